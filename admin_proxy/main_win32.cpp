// VelmoraAdminProxy: sets the system clock and answers whether a file with a given extension is
// open through this computer's file server, on behalf of less-privileged processes of the same
// desktop that send it window messages. It has the rights of whoever starts it. Started with
// /TestSetTime or /TestNetFind it is a test client of a running proxy instead.
//
// The decisions are in proxy_core.cpp, the window and the calls to the system in
// platform_win32.cpp.
#include "platform.h"
#include "proxy_core.h"

#include <windows.h>

// Every path ends with exit code 0: the proxy has no one to report to but the clients.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int)
{
    // Libraries loaded later must not come from the current directory.
    SetDllDirectoryW(L"");

    proxy::ProxySystem& sys = proxy::plat::System();
    proxy::ProxyMode mode = proxy::ChooseMode(sys, command_line);
    if (mode == proxy::ProxyMode::server)
        proxy::plat::RunServer();
    else
        proxy::RunTestClient(mode, sys);
    return 0;
}
