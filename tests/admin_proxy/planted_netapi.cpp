// A netapi32.dll as someone who may write to the proxy's folder would plant it there. Loaded into
// any process, it leaves a mark beside itself, its own file name with ".loaded" appended, before
// anything else runs. Its two functions refuse, as the system does for want of rights, so that a
// proxy that took it would still run and answer, only wrongly.
#include <windows.h>
#include <lm.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t mark[MAX_PATH + 8];
        DWORD n = GetModuleFileNameW(self, mark, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            lstrcatW(mark, L".loaded");
            HANDLE f = CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            if (f != INVALID_HANDLE_VALUE)
                CloseHandle(f);
        }
    }
    return TRUE;
}

extern "C" NET_API_STATUS WINAPI NetFileEnum(LMSTR, LMSTR, LMSTR, DWORD, LPBYTE* bufptr, DWORD,
                                             LPDWORD entriesread, LPDWORD totalentries,
                                             PDWORD_PTR)
{
    *bufptr = nullptr;
    *entriesread = 0;
    *totalentries = 0;
    return ERROR_ACCESS_DENIED;
}

extern "C" NET_API_STATUS WINAPI NetApiBufferFree(LPVOID)
{
    return NERR_Success;
}
