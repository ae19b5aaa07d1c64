// The entry point of Quill_Spread.dll and the seam it runs on.
#include "state.h"

const plat::Seam& plat::seam = plat::osSeam;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        ProcessAttach(instance);
    else if (reason == DLL_PROCESS_DETACH)
        ProcessDetach(reserved == nullptr);  // null: FreeLibrary, not the process ending
    return TRUE;
}
