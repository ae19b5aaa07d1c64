// VelmoraAdminProxy: sets the system clock and answers whether a file with a given extension is
// open through this computer's file server, on behalf of less-privileged processes of the same
// desktop that send it window messages. It has the rights of whoever starts it. Started with
// /TestSetTime or /TestNetFind it is a test client of a running proxy instead.
//
// This file holds what only Windows has: the entry point, the window class, the message-only
// window, the message filter and the message loop. The decisions are in proxy_core.cpp.
#include "platform_win32.h"
#include "proxy_core.h"

#include <windows.h>

#include <type_traits>

static_assert(std::is_same<proxy::WParam, WPARAM>::value, "message parameter types");
static_assert(std::is_same<proxy::LParam, LPARAM>::value, "message parameter types");
static_assert(std::is_same<proxy::LResult, LRESULT>::value, "message parameter types");
static_assert(proxy::msg_destroy == WM_DESTROY, "message numbers");
static_assert(proxy::msg_timer == WM_TIMER, "message numbers");
static_assert(proxy::msg_set_time == WM_APP, "message numbers");
static_assert(proxy::msg_open_file_query == WM_APP + 1, "message numbers");

namespace {

// One proxy window per process, served on the one thread that runs the message loop, so the
// state needs no lock.
proxy::ProxyState proxy_state;
proxy::Win32ProxySystem proxy_system;

LRESULT CALLBACK ProxyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (proxy::HandleProxyMessage(proxy_state, proxy_system, message, wParam, lParam, &result))
        return result;
    // WM_CLOSE among others: the default destroys the window, and WM_DESTROY ends the loop.
    return DefWindowProcW(window, message, wParam, lParam);
}

void RunServer(HINSTANCE instance)
{
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = ProxyWindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = proxy::proxy_window_class;
    // A failed registration shows as the failure of the creation that follows.
    RegisterClassW(&window_class);

    // HWND_MESSAGE as parent: never visible, never enumerated, reached by no broadcast.
    HWND window = CreateWindowExW(0, proxy::proxy_window_class, nullptr, 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, instance, nullptr);
    if (window == nullptr)
        return;
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

}  // namespace

// Every path ends with exit code 0: the proxy has no one to report to but the clients.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int)
{
    // Libraries loaded later must not come from the current directory.
    SetDllDirectoryW(L"");

    proxy::ProxyMode mode = proxy::ChooseMode(proxy_system, command_line);
    if (mode == proxy::ProxyMode::server)
        RunServer(instance);
    else
        proxy::RunTestClient(mode, proxy_system);
    return 0;
}
