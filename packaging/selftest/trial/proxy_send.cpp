// proxy_send: sends one request to the running proxy, as any less-privileged client would, and
// prints the answer. For the demo and for trying the proxy by hand.
//   proxy_send find                 1 if a proxy window exists, else 0
//   proxy_send settime [seconds]    the set-time request for the present (+ seconds)
//   proxy_send query EXTENSION      the open-file query for up to 8 characters
//   proxy_send close                WM_CLOSE
// Exit code 0 when a proxy window was found, 1 when not, 2 for a wrong command.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fputs("usage: proxy_send find|settime [seconds]|query EXTENSION|close\n", stderr);
        return 2;
    }
    HWND proxy = FindWindowExW(HWND_MESSAGE, nullptr, L"VelmoraAdminProxy", nullptr);
    if (std::wcscmp(argv[1], L"find") == 0) {
        std::printf("%d\n", proxy != nullptr ? 1 : 0);
        return proxy != nullptr ? 0 : 1;
    }
    if (proxy == nullptr) {
        std::fputs("no proxy window\n", stderr);
        return 1;
    }
    LRESULT answer;
    if (std::wcscmp(argv[1], L"settime") == 0) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        std::uint64_t t = (std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        if (argc > 2)
            t += static_cast<std::uint64_t>(_wtoi64(argv[2]) * 10000000LL);
        answer = SendMessageW(proxy, WM_APP, static_cast<WPARAM>(t & 0xFFFFFFFFu),
                              static_cast<LPARAM>(t >> 32));
    } else if (std::wcscmp(argv[1], L"query") == 0 && argc > 2) {
        // Character k of the extension in byte k: 1 to 4 in wParam, 5 to 8 in lParam.
        std::uint64_t words[2] = {0, 0};
        for (int k = 0; k < 8 && argv[2][k] != 0; ++k)
            words[k / 4] |= std::uint64_t(argv[2][k] & 0xFF) << (8 * (k % 4));
        answer = SendMessageW(proxy, WM_APP + 1, static_cast<WPARAM>(words[0]),
                              static_cast<LPARAM>(words[1]));
    } else if (std::wcscmp(argv[1], L"close") == 0) {
        answer = SendMessageW(proxy, WM_CLOSE, 0, 0);
    } else {
        std::fputs("usage: proxy_send find|settime [seconds]|query EXTENSION|close\n", stderr);
        return 2;
    }
    std::printf("%lld\n", static_cast<long long>(answer));
    return 0;
}
