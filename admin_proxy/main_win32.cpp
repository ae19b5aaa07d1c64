// VelmoraAdminProxy: sets the system clock and answers whether a file with a given extension is
// open through this computer's file server, on behalf of less-privileged processes of the same
// desktop that send it window messages. It has the rights of whoever starts it. Started with
// /TestSetTime or /TestNetFind it is a test client of a running proxy instead.
//
// The decisions, the start-up order included, are in proxy_core.cpp, the window and the calls
// to the system in platform_win32.cpp.
#include "proxy_core.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int)
{
    return proxy::ProxyMain(command_line);
}
