// The Windows side of the proxy's seam (platform.h): the library search path, the window
// class, the message-only window, the message filter and the message loop; the clock, the busy
// timer and the file server's open resources; the test clients' lookup, request and message box.
#include "platform.h"

#include <windows.h>
#include <lm.h>

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

// The class name of the proxy window, by which clients find it; also the caption of the test
// clients' boxes.
const wchar_t proxy_window_class[] = L"VelmoraAdminProxy";

// One proxy window per process, served on the one thread that runs the message loop, so
// nothing here needs a lock. The window is the proxy's own in server mode, the one found in a
// client; its messages go to the handler the logic gave first.
HWND proxy_window = nullptr;
MessageHandler proxy_handler = nullptr;

// The file server's two functions, loaded on the first enumeration.
bool netapi_tried = false;
decltype(&NetFileEnum) net_file_enum = nullptr;
decltype(&NetApiBufferFree) net_api_buffer_free = nullptr;

LRESULT CALLBACK ProxyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (proxy_handler(message, wParam, lParam, &result))
        return result;
    // WM_CLOSE among others: the default destroys the window, and WM_DESTROY ends the loop.
    return DefWindowProcW(window, message, wParam, lParam);
}

// netapi32.dll is not among the libraries that Windows always takes from its own directory.
// Imported statically, it would be looked for in the program's folder first, before a line of
// the program has run, and a netapi32.dll placed there by anyone who may write to that folder
// would run with the proxy's rights. So it is loaded here, once, from the system directory
// alone; LOAD_LIBRARY_SEARCH_SYSTEM32 holds for the libraries it depends on as well. Where the
// flag is unknown (Windows 7 without its loader update) the load fails and so does every
// open-file query, rather than fall back to a search that includes the program's folder.
bool HaveNetApi()
{
    if (!netapi_tried) {
        netapi_tried = true;
        HMODULE netapi = LoadLibraryExW(L"netapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (netapi == nullptr)
            return false;
        // Through void (*)(), which converts to any function type without a warning.
        using AnyProc = void (*)();
        net_file_enum = reinterpret_cast<decltype(&NetFileEnum)>(
            reinterpret_cast<AnyProc>(GetProcAddress(netapi, "NetFileEnum")));
        net_api_buffer_free = reinterpret_cast<decltype(&NetApiBufferFree)>(
            reinterpret_cast<AnyProc>(GetProcAddress(netapi, "NetApiBufferFree")));
        // A list that could not be released is not taken: both functions or neither. The
        // library stays loaded for the life of the process.
        if (net_file_enum == nullptr || net_api_buffer_free == nullptr) {
            net_file_enum = nullptr;
            net_api_buffer_free = nullptr;
            FreeLibrary(netapi);
        }
    }
    return net_file_enum != nullptr;
}

}  // namespace

namespace plat {

void KeepLibrariesOutOfCurrentFolder()
{
    // An empty string, not null: null would put the current directory back.
    SetDllDirectoryW(L"");
}

bool CreateProxyWindow(MessageHandler handler)
{
    // Before the window exists: its creation already sends it messages.
    proxy_handler = handler;
    // The program's own module: the instance handle that wWinMain receives.
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = ProxyWindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = proxy_window_class;
    // A failed registration shows as the failure of the creation that follows.
    RegisterClassW(&window_class);

    // HWND_MESSAGE as parent: never visible, never enumerated, reached by no broadcast. Set
    // before the loop runs: no message of another thread arrives before GetMessageW.
    proxy_window = CreateWindowExW(0, proxy_window_class, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                   nullptr, instance, nullptr);
    return proxy_window != nullptr;
}

void AdmitFromLowerIntegrity(std::uint32_t message)
{
    // The filter is the process's, not the window's. Its result is not examined: where it
    // fails, senders of lower integrity get 0, which the test clients show as "Denied.".
    ChangeWindowMessageFilter(message, MSGFLT_ADD);
}

void RunMessageLoop()
{
    MSG msg;
    // 0 is the quit message, -1 a failure: either ends the proxy.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

std::int64_t NowUtc()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                     now.dwLowDateTime);
}

bool SetClockUtc(std::int64_t filetime)
{
    std::uint64_t bits = static_cast<std::uint64_t>(filetime);
    FILETIME requested;
    requested.dwLowDateTime = static_cast<DWORD>(bits & 0xFFFFFFFFu);
    requested.dwHighDateTime = static_cast<DWORD>(bits >> 32);
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&requested, &utc))
        return false;
    // Needs the system-time privilege, which only an elevated administrator's token holds.
    return SetSystemTime(&utc) != FALSE;
}

bool StartBusyTimer()
{
    // No timer procedure: the expiry arrives as WM_TIMER with wParam 1 at the proxy window.
    return SetTimer(proxy_window, busy_timer_id, busy_timer_ms, nullptr) != 0;
}

void StopBusyTimer()
{
    KillTimer(proxy_window, busy_timer_id);
}

void EndMessageLoop()
{
    PostQuitMessage(0);
}

OpenFileSearch FindOpenFile(PathTest matches, const void* context)
{
    if (!HaveNetApi())
        return OpenFileSearch::failed;
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    // This computer, every open resource of every user, all entries in one buffer.
    NET_API_STATUS status = net_file_enum(nullptr, nullptr, nullptr, 3, &buffer,
                                          MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    // Any other status, more data for one, fails the search: no entry of it is read.
    OpenFileSearch search = status == NERR_Success ? OpenFileSearch::none : OpenFileSearch::failed;
    const FILE_INFO_3* entries = reinterpret_cast<const FILE_INFO_3*>(buffer);
    for (DWORD i = 0; search == OpenFileSearch::none && i < read; ++i) {
        // An entry without a path cannot match; it is skipped rather than read.
        const wchar_t* path = entries[i].fi3_pathname;
        if (path != nullptr && matches(path, context))
            search = OpenFileSearch::found;
    }
    // The system's buffer goes back on every path, also after a failure that handed one out.
    if (buffer != nullptr)
        net_api_buffer_free(buffer);
    return search;
}

bool FindProxyWindow()
{
    // Message-only windows are not enumerated with the top-level ones: they are found only
    // by asking under HWND_MESSAGE.
    proxy_window = FindWindowExW(HWND_MESSAGE, nullptr, proxy_window_class, nullptr);
    return proxy_window != nullptr;
}

LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam)
{
    // Waits for the answer without a time limit; 0 means the message was not delivered.
    return SendMessageW(proxy_window, message, wParam, lParam);
}

void ShowMessage(const Unit* text)
{
    MessageBoxW(nullptr, text, proxy_window_class, MB_OK);
}

}  // namespace plat

}  // namespace proxy
