// The entry point of Quill_Spread.dll.
#include "controls.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        ProcessAttach(instance);
    else if (reason == DLL_PROCESS_DETACH)
        ProcessDetach(reserved == nullptr);  // null: FreeLibrary, not the process ending
    return TRUE;
}
