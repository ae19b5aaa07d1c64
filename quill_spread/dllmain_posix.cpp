// The load and unload hooks of Quill_Spread.so, which do what DllMain does in the Windows build,
// and the seam the library runs on.
#include "platform_posix.h"
#include "state.h"

const plat::Seam& plat::seam = plat::osSeam;

// The module handle is the base address of this file.
__attribute__((constructor)) static void QuillLoad()
{
    ProcessAttach(plat_posix::NoteLoadedModule(reinterpret_cast<const void*>(&QuillLoad)));
}

// Runs at dlclose, and at the process's end if the host never unloaded the library.
__attribute__((destructor)) static void QuillUnload()
{
    ProcessDetach(true);
}
