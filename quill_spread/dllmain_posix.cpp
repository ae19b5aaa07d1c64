// The load and unload hooks of Quill_Spread.so, which do what DllMain does in the Windows build.
#include "controls.h"
#include "platform_posix.h"

// The module handle is the one dlopen gives for this file.
__attribute__((constructor)) static void QuillLoad()
{
    ProcessAttach(plat_posix::NoteLoadedModule(reinterpret_cast<const void*>(&QuillLoad)));
}

// Runs at dlclose, and at the process's end if the host never unloaded the library.
__attribute__((destructor)) static void QuillUnload()
{
    ProcessDetach(true);
}
