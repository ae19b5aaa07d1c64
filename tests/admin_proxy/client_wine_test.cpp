// The test clients of VelmoraAdminProxy.exe under wine, on a private Xvfb display (the test
// runs through with_xvfb): each outcome's text in the message box, its caption and its single
// OK button, read from the box's windows, the box closed with a key press through X, and exit
// code 0 after it. Against no proxy, the real proxy (with wine's netapi32 and with the
// stand-in), and a server of the same class that answers 0.
#include "wine_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace proxy_wine;

namespace {

const std::wstring proxy_exe = HostPath(PROXY_PATH);
const std::wstring standin_dll = HostPath(STANDIN_PATH);
const std::wstring zero_server_exe = HostPath(ZERO_SERVER_PATH);
const wchar_t xdotool[] = L"Z:\\usr\\bin\\xdotool";   // checked for; run through sh

class DesktopEnvironment : public ::testing::Environment {
public:
    void SetUp() override { EnterPrivateDesktop(); }
};
const auto* const desktop_environment =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment);

// What a test client showed.
struct Shown {
    bool box = false;
    std::wstring caption;
    std::vector<std::wstring> texts;     // visible static controls with text
    std::vector<std::wstring> buttons;   // visible buttons
    bool ok_button = false;              // a visible button with the identifier IDOK
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
            shown->ok_button = true;
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
// closes the box as a user would (Return through X, to the window of that exact title) and
// waits for the end.
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

    // Sent again while the box is still up: the first key may come before X has mapped it.
    // wine's own stderr is the Unix one, so xdotool's chatter is silenced in a shell.
    const std::wstring close_box = L"Z:\\bin\\sh -c \"/usr/bin/xdotool search --name "
                                   L"'^VelmoraAdminProxy$' key Return 2>/dev/null\"";
    for (int attempt = 0; attempt < 40 && client.Running(); ++attempt) {
        if (FindBox(client.Id()) != nullptr)
            RunUnixCommand(close_box);
        client.Wait(250);
    }
    shown.exit_code = client.Wait(5000);
    if (shown.exit_code == -1)
        ADD_FAILURE() << "the box did not close on Return";
    return shown;
}

// Runs a client and checks the whole of what it showed.
void ExpectClientShows(const std::wstring& program, const std::wstring& arguments,
                       const std::wstring& text)
{
    Shown shown = RunClient(program, arguments);
    if (!shown.box)
        return;
    EXPECT_EQ(shown.caption, L"VelmoraAdminProxy");
    ASSERT_EQ(shown.texts.size(), 1u);
    EXPECT_EQ(shown.texts[0], text);
    ASSERT_EQ(shown.buttons.size(), 1u);
    EXPECT_EQ(shown.buttons[0], L"OK");
    EXPECT_TRUE(shown.ok_button);
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
        ASSERT_NE(GetFileAttributesW(xdotool), INVALID_FILE_ATTRIBUTES)
            << "xdotool is needed to close the message boxes";
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
    ExpectClientShows(proxy_exe, L"/TestSetTime", L"Succeeded.");
    ExpectClientShows(proxy_exe, L"/testsettime", L"Failed.");
    EXPECT_EQ(proxy.Close(), 0);
}

TEST_F(Clients, net_find_client_against_wine_enumeration_fails)
{
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(proxy_exe));
    ExpectClientShows(proxy_exe, L"/TestNetFind", L"Failed or no access.");
    EXPECT_EQ(proxy.Close(), 0);
}

TEST_F(Clients, net_find_client_asks_for_txt)
{
    ASSERT_TRUE(NativeNetapiFirst()) << "WINEDLLOVERRIDES must contain netapi32=n,b";
    StandInCopy copy(proxy_exe, standin_dll);
    ASSERT_TRUE(copy.Ready());
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(copy.Program(), L"", copy.Directory()));
    const std::string enumerated =
        "NetFileEnum server=null base=null user=null level=3 prefmax=4294967295 resume=null\n"
        "NetApiBufferFree ok\n";

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
    Child server;
    ChildOptions options;
    options.program = zero_server_exe;
    ASSERT_TRUE(server.Start(options));
    HWND window = WaitForProxyWindow(server, 10000);
    ASSERT_NE(window, nullptr);
    ExpectClientShows(proxy_exe, L"/TestSetTime", L"Denied.");
    ExpectClientShows(proxy_exe, L"/TestNetFind", L"Denied.");
    EXPECT_EQ(CloseProxy(window, server), 0);
}

}  // namespace
