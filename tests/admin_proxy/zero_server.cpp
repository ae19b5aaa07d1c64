// A test server with the proxy's window class that answers both requests with 0, as the system
// does when it refuses to deliver a message: the test clients must then show "Denied.".
// WM_CLOSE ends it.
#include <windows.h>

namespace {

LRESULT CALLBACK ZeroWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_APP:
    case WM_APP + 1:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int wmain()
{
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = ZeroWindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VelmoraAdminProxy";
    if (!RegisterClassW(&window_class))
        return 1;
    if (!CreateWindowExW(0, L"VelmoraAdminProxy", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         window_class.hInstance, nullptr))
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}
