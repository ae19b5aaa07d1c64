// Windows side of the proxy's seam: the clock, the busy timer, the file server's open
// resources, and what the test clients need (lookup, request, message box).
#include "platform_win32.h"

#include <wchar.h>

namespace proxy {

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
    if (!FileTimeToSystemTime(&requested, &utc))
        return false;
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
        if (net_file_enum_ == nullptr || net_api_buffer_free_ == nullptr) {
            net_file_enum_ = nullptr;
            net_api_buffer_free_ = nullptr;
            FreeLibrary(netapi);
        }
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

}  // namespace proxy
