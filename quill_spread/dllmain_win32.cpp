// The entry point of Quill_Spread.dll, the seam it runs on, and the two memory routines the
// compiler may emit calls to: the library links no C runtime, so nothing else would provide them.
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

// Plain byte loops; the optimizer must not turn them back into calls to themselves. Today's code
// leads the compiler to no such call, so nothing runs them; they are here so that a clear or a
// copy it emits after a change still links without a C runtime.
// GCOVR_EXCL_START
extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns"))) void*
memset(void* to, int value, size_t size)
{
    unsigned char* p = static_cast<unsigned char*>(to);
    while (size-- != 0)
        *p++ = static_cast<unsigned char>(value);
    return to;
}

extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns"))) void*
memcpy(void* to, const void* from, size_t size)
{
    unsigned char* p = static_cast<unsigned char*>(to);
    const unsigned char* q = static_cast<const unsigned char*>(from);
    while (size-- != 0)
        *p++ = *q++;
    return to;
}
// GCOVR_EXCL_STOP
