// The Windows side of the proxy's seam (platform.h): ProxySystem with the real calls (the
// clock, the busy timer, the file server's open resources, and the test clients' lookup,
// request and message box), and the server: the window class, the message-only window, the
// message filter and the message loop.
#include "platform.h"
#include "proxy_core.h"

#include <windows.h>
#include <lm.h>
#include <wchar.h>

#include <type_traits>

namespace proxy {

static_assert(std::is_same<WParam, WPARAM>::value, "message parameter types");
static_assert(std::is_same<LParam, LPARAM>::value, "message parameter types");
static_assert(std::is_same<LResult, LRESULT>::value, "message result type");
static_assert(msg_destroy == WM_DESTROY, "message numbers");
static_assert(msg_timer == WM_TIMER, "message numbers");
static_assert(msg_set_time == WM_APP, "message numbers");
static_assert(msg_open_file_query == WM_APP + 1, "message numbers");

namespace {

class Win32ProxySystem : public ProxySystem {
public:
    // The proxy window, once created; the busy timer belongs to it.
    void SetWindow(HWND window) { window_ = window; }

    int CompareNoCase(const Unit* a, const Unit* b) override;
    std::int64_t NowUtc() override;
    bool SetClockUtc(std::int64_t filetime) override;
    bool StartBusyTimer() override;
    void StopBusyTimer() override;
    void EndMessageLoop() override;
    bool EnumerateOpenFiles(OpenFileList* list) override;
    const Unit* OpenFilePath(const OpenFileList& list, std::uint32_t index) override;
    void ReleaseOpenFiles(void* buffer) override;
    bool FindProxyWindow() override;
    LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam) override;
    void ShowMessage(const Unit* text) override;

private:
    // Loads the file server's functions on the first call; false when they cannot be had.
    bool HaveNetApi();

    HWND window_ = nullptr;   // the proxy window in server mode, the one found in a client
    bool netapi_tried_ = false;
    decltype(&NetFileEnum) net_file_enum_ = nullptr;
    decltype(&NetApiBufferFree) net_api_buffer_free_ = nullptr;
};

// One proxy window per process, served on the one thread that runs the message loop, so the
// state needs no lock.
Win32ProxySystem proxy_system;
ProxyState proxy_state;

// The C runtime's comparison folds only A to Z in the "C" locale, which the program never
// leaves, so a path's non-ASCII characters never fold onto the letters of an extension.
int Win32ProxySystem::CompareNoCase(const Unit* a, const Unit* b)
{
    return _wcsicmp(a, b);
}

std::int64_t Win32ProxySystem::NowUtc()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                     now.dwLowDateTime);
}

bool Win32ProxySystem::SetClockUtc(std::int64_t filetime)
{
    std::uint64_t bits = static_cast<std::uint64_t>(filetime);
    FILETIME requested;
    requested.dwLowDateTime = static_cast<DWORD>(bits & 0xFFFFFFFFu);
    requested.dwHighDateTime = static_cast<DWORD>(bits >> 32);
    SYSTEMTIME utc;
    // GCOVR_EXCL_START: only a time near the present is asked for, and such a time converts.
    if (!FileTimeToSystemTime(&requested, &utc))
        return false;
    // GCOVR_EXCL_STOP
    // Needs the system-time privilege, which only an elevated administrator's token holds.
    return SetSystemTime(&utc) != FALSE;
}

bool Win32ProxySystem::StartBusyTimer()
{
    // No timer procedure: the expiry arrives as WM_TIMER with wParam 1 at the proxy window.
    return SetTimer(window_, busy_timer_id, busy_timer_ms, nullptr) != 0;
}

void Win32ProxySystem::StopBusyTimer()
{
    KillTimer(window_, busy_timer_id);
}

void Win32ProxySystem::EndMessageLoop()
{
    PostQuitMessage(0);
}

// netapi32.dll is not among the libraries that Windows always takes from its own directory.
// Imported statically, it would be looked for in the program's folder first, before a line of
// the program has run, and a netapi32.dll placed there by anyone who may write to that folder
// would run with the proxy's rights. So it is loaded here, once, from the system directory
// alone; LOAD_LIBRARY_SEARCH_SYSTEM32 holds for the libraries it depends on as well. Where the
// flag is unknown (Windows 7 without its loader update) the load fails and so does every
// open-file query, rather than fall back to a search that includes the program's folder.
bool Win32ProxySystem::HaveNetApi()
{
    if (!netapi_tried_) {
        netapi_tried_ = true;
        HMODULE netapi = LoadLibraryExW(L"netapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (netapi == nullptr)
            return false;
        // Through void (*)(), which converts to any function type without a warning.
        using AnyProc = void (*)();
        net_file_enum_ = reinterpret_cast<decltype(&NetFileEnum)>(
            reinterpret_cast<AnyProc>(GetProcAddress(netapi, "NetFileEnum")));
        net_api_buffer_free_ = reinterpret_cast<decltype(&NetApiBufferFree)>(
            reinterpret_cast<AnyProc>(GetProcAddress(netapi, "NetApiBufferFree")));
        // A list that could not be released is not taken: both functions or neither. The
        // library stays loaded for the life of the process.
        // GCOVR_EXCL_START: every netapi32 of Windows and wine exports both, and the system
        // directory holds one netapi32 only, the stand-in that the other tests need.
        if (net_file_enum_ == nullptr || net_api_buffer_free_ == nullptr) {
            net_file_enum_ = nullptr;
            net_api_buffer_free_ = nullptr;
            FreeLibrary(netapi);
        }
        // GCOVR_EXCL_STOP
    }
    return net_file_enum_ != nullptr;
}

bool Win32ProxySystem::EnumerateOpenFiles(OpenFileList* list)
{
    list->buffer = nullptr;
    list->count = 0;
    if (!HaveNetApi())
        return false;
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    // This computer, every open resource of every user, all entries in one buffer.
    NET_API_STATUS status = net_file_enum_(nullptr, nullptr, nullptr, 3, &buffer,
                                           MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    list->buffer = buffer;
    list->count = status == NERR_Success ? read : 0;
    return status == NERR_Success;
}

const Unit* Win32ProxySystem::OpenFilePath(const OpenFileList& list, std::uint32_t index)
{
    return static_cast<const FILE_INFO_3*>(list.buffer)[index].fi3_pathname;
}

void Win32ProxySystem::ReleaseOpenFiles(void* buffer)
{
    // Called only for a buffer that the enumeration handed out, so the function is there.
    net_api_buffer_free_(buffer);
}

bool Win32ProxySystem::FindProxyWindow()
{
    // Message-only windows are not enumerated with the top-level ones: they are found only
    // by asking under HWND_MESSAGE.
    window_ = FindWindowExW(HWND_MESSAGE, nullptr, proxy_window_class, nullptr);
    return window_ != nullptr;
}

LResult Win32ProxySystem::SendRequest(std::uint32_t message, WParam wParam, LParam lParam)
{
    // Waits for the answer without a time limit; 0 means the message was not delivered.
    return SendMessageW(window_, message, wParam, lParam);
}

void Win32ProxySystem::ShowMessage(const Unit* text)
{
    MessageBoxW(nullptr, text, proxy_window_class, MB_OK);
}

LRESULT CALLBACK ProxyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (HandleProxyMessage(proxy_state, proxy_system, message, wParam, lParam, &result))
        return result;
    // WM_CLOSE among others: the default destroys the window, and WM_DESTROY ends the loop.
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

namespace plat {

ProxySystem& System()
{
    return proxy_system;
}

void RunServer()
{
    // The program's own module: the instance handle that wWinMain receives.
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = ProxyWindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = proxy_window_class;
    // A failed registration shows as the failure of the creation that follows.
    RegisterClassW(&window_class);

    // HWND_MESSAGE as parent: never visible, never enumerated, reached by no broadcast.
    HWND window = CreateWindowExW(0, proxy_window_class, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, instance, nullptr);
    // GCOVR_EXCL_START: fails only without a window station to create it in (a service
    // denied the desktop), which wine does not reproduce.
    if (window == nullptr)
        return;
    // GCOVR_EXCL_STOP
    // Set before the loop runs: no message of another thread arrives before GetMessageW.
    proxy_system.SetWindow(window);

    // Lets processes of a lower integrity level send the two requests into this process (the
    // filter is the process's, not the window's). Without it they get 0 from SendMessageW.
    ChangeWindowMessageFilter(WM_APP, MSGFLT_ADD);
    ChangeWindowMessageFilter(WM_APP + 1, MSGFLT_ADD);

    MSG msg;
    // 0 is the quit message, -1 a failure: either ends the proxy.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace plat

}  // namespace proxy
