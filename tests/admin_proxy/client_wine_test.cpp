// The test clients of VelmoraAdminProxy.exe under wine, on a private Xvfb display (the test
// runs through with_xvfb): each outcome's text in the message box, its caption and its single
// OK button, read from the box's windows, the box closed by clicking that button, and exit
// code 0 after it. Against no proxy, the real proxy (its open-file query answered by the
// stand-in netapi32), and a server of the same class that answers 0.
#include "wine_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace proxy_wine;

namespace {

const std::wstring proxy_exe = HostPath(PROXY_PATH);
const std::wstring standin_dll = HostPath(STANDIN_PATH);
const std::wstring zero_server_exe = HostPath(ZERO_SERVER_PATH);

// Without a window manager, wine waits 2 s at the close of every message box for one to
// confirm that the box's X window is gone. Xvfb has none, so for this run the program's
// windows are made unmanaged (wine's per-program setting, read when a client starts), which
// skips the wait and changes nothing else the test looks at.
const wchar_t x11_settings_key[] =
    L"Software\\Wine\\AppDefaults\\VelmoraAdminProxy.exe\\X11 Driver";

class ClientEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        EnterPrivateDesktop();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, x11_settings_key, 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const wchar_t no[] = L"N";
        EXPECT_EQ(RegSetValueExW(key, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(no),
                                 sizeof no),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void TearDown() override
    {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, x11_settings_key, L"Managed");
    }
};
const auto* const client_environment =
    ::testing::AddGlobalTestEnvironment(new ClientEnvironment);

// What a test client showed.
struct Shown {
    bool box = false;
    std::wstring caption;
    std::vector<std::wstring> texts;     // visible static controls with text
    std::vector<std::wstring> buttons;   // visible buttons
    HWND ok_button = nullptr;            // the visible button with the identifier IDOK
    int exit_code = -1;
};

std::wstring TextOf(HWND window)
{
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

BOOL CALLBACK CollectControl(HWND control, LPARAM into)
{
    Shown* shown = reinterpret_cast<Shown*>(into);
    if (!IsWindowVisible(control))
        return TRUE;
    wchar_t class_name[64] = L"";
    GetClassNameW(control, class_name, 64);
    std::wstring text = TextOf(control);
    if (lstrcmpiW(class_name, L"Button") == 0) {
        shown->buttons.push_back(text);
        if (GetDlgCtrlID(control) == IDOK)
            shown->ok_button = control;
    } else if (lstrcmpiW(class_name, L"Static") == 0 && !text.empty()) {
        shown->texts.push_back(text);
    }
    return TRUE;
}

// The visible dialog window of process id, or null.
HWND FindBox(DWORD id)
{
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == id && IsWindowVisible(w))
            return w;
    }
    return nullptr;
}

// Runs the program as a test client with the exact argument text, reads its message box,
// clicks its OK button and waits for the end.
Shown RunClient(const std::wstring& program, const std::wstring& arguments)
{
    Shown shown;
    Child client;
    ChildOptions options;
    options.program = program;
    options.arguments = arguments;
    if (!client.Start(options)) {
        ADD_FAILURE() << "client did not start";
        return shown;
    }
    HWND box = nullptr;
    for (int waited = 0; waited < 15000 && box == nullptr && client.Running(); waited += 20) {
        box = FindBox(client.Id());
        if (box == nullptr)
            Sleep(20);
    }
    if (box == nullptr) {
        ADD_FAILURE() << "no message box appeared";
        shown.exit_code = client.Wait(0);
        return shown;
    }
    shown.box = true;
    shown.caption = TextOf(box);
    EnumChildWindows(box, CollectControl, reinterpret_cast<LPARAM>(&shown));

    if (shown.ok_button == nullptr) {
        ADD_FAILURE() << "the box has no OK button";   // the child is ended at destruction
        return shown;
    }
    // The click as the button reports it to its box.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(shown.ok_button));
    shown.exit_code = client.Wait(10000);
    if (shown.exit_code == -1)
        ADD_FAILURE() << "the client did not end when its box was closed";
    return shown;
}

// Runs a client and checks the whole of what it showed. wine sets the clock only to within
// half a second of its own reading, so a set-time client held up that long on a loaded machine
// shows "Failed."; as that begins no busy period, one that must succeed gets tries runs.
void ExpectClientShows(const std::wstring& program, const std::wstring& arguments,
                       const std::wstring& text, int tries = 1)
{
    Shown shown = RunClient(program, arguments);
    for (int run = 1; run < tries && shown.texts == std::vector<std::wstring>{L"Failed."}; ++run)
        shown = RunClient(program, arguments);
    if (!shown.box)
        return;
    EXPECT_EQ(shown.caption, L"VelmoraAdminProxy");
    ASSERT_EQ(shown.texts.size(), 1u);
    EXPECT_EQ(shown.texts[0], text);
    ASSERT_EQ(shown.buttons.size(), 1u);
    EXPECT_EQ(shown.buttons[0], L"OK");
    EXPECT_NE(shown.ok_button, nullptr);
    EXPECT_EQ(shown.exit_code, 0);
}

class Clients : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t display[64] = L"";
        if (GetEnvironmentVariableW(L"DISPLAY", display, 64) == 0) {
            wchar_t why[512] = L"no DISPLAY was given";
            GetEnvironmentVariableW(L"VELMORA_XVFB_ERROR", why, 512);
            FAIL() << "the test clients' message boxes need a display (run through "
                      "with_xvfb): "
                   << std::string(why, why + lstrlenW(why));
        }
    }
};

TEST_F(Clients, no_proxy_shows_proxy_not_found)
{
    ASSERT_EQ(FindProxy(), nullptr);
    ExpectClientShows(proxy_exe, L"/TestSetTime", L"Proxy not found.");
    ExpectClientShows(proxy_exe, L"/TestNetFind", L"Proxy not found.");
}

TEST_F(Clients, set_time_client_succeeds_then_fails_while_busy)
{
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(proxy_exe));
    ExpectClientShows(proxy_exe, L"/TestSetTime", L"Succeeded.", 3);
    ExpectClientShows(proxy_exe, L"/testsettime", L"Failed.");
    EXPECT_EQ(proxy.Close(), 0);
}

TEST_F(Clients, net_find_client_asks_for_txt)
{
    StandInCopy copy(proxy_exe, standin_dll);
    ASSERT_TRUE(copy.Ready());
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(copy.Program(), L"", copy.Directory()));
    const std::string enumerated = std::string(standin_enumeration) + standin_release;

    ASSERT_TRUE(copy.List("0\nbuffer\nC:\\rec\\news.ts\n\\\\box\\rec\\news.TXT\n"));
    ExpectClientShows(proxy_exe, L"/TestNetFind", L"Succeeded.");
    EXPECT_EQ(copy.Calls(), enumerated);
    // The switch in lower case is the same client.
    ExpectClientShows(proxy_exe, L"/testnetfind", L"Succeeded.");
    EXPECT_EQ(copy.Calls(), enumerated);

    ASSERT_TRUE(copy.List("0\nbuffer\nC:\\rec\\news.txt.part\nC:\\rec\\newstxt\n"));
    ExpectClientShows(proxy_exe, L"/TestNetFind", L"Failed or no access.");
    EXPECT_EQ(copy.Calls(), enumerated);
    EXPECT_EQ(proxy.Close(), 0);
}

TEST_F(Clients, answer_zero_shows_denied)
{
    ProxyServer server;
    ASSERT_TRUE(server.Start(zero_server_exe));
    ExpectClientShows(proxy_exe, L"/TestSetTime", L"Denied.");
    ExpectClientShows(proxy_exe, L"/TestNetFind", L"Denied.");
    EXPECT_EQ(server.Close(), 0);
}

}  // namespace
