// The seam calls of Quill_Spread.so that a test program takes over (outputs, the library's own
// path, the nested plug-in's module), bound to their POSIX implementation in posix_system.cpp.
// A test links a platform file of its own in place of this one; the rest of the seam is
// defined in posix_system.cpp and profile_posix.cpp, which both link.
#include "platform_posix.h"

HANDLE plat::CreateOutputFile(const WCHAR* path, bool overwrite)
{
    return plat_posix::CreateOutputFile(path, overwrite);
}

BOOL plat::WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    return plat_posix::WriteOutput(file, data, size, written);
}

void plat::CloseOutput(HANDLE file)
{
    plat_posix::CloseOutput(file);
}

DWORD plat::OwnLongPath(HMODULE self, WCHAR* path, DWORD size)
{
    return plat_posix::OwnLongPath(self, path, size);
}

HMODULE plat::LoadModule(const WCHAR* path)
{
    return plat_posix::LoadModule(path);
}

plat::Proc plat::FindFunction(HMODULE module, const char* name)
{
    return plat_posix::FindFunction(module, name);
}

void plat::ReleaseModule(HMODULE module)
{
    plat_posix::ReleaseModule(module);
}

