// The seam of Quill_Spread.so: every call goes to the POSIX implementation of posix_system.cpp
// and profile_posix.cpp. A test program links a platform file of its own in place of this one.
#include "platform_posix.h"

void plat::InitLock(LockStorage* lock)
{
    plat_posix::InitLock(lock);
}

void plat::EnterLock(LockStorage* lock)
{
    plat_posix::EnterLock(lock);
}

void plat::LeaveLock(LockStorage* lock)
{
    plat_posix::LeaveLock(lock);
}

void plat::DeleteLock(LockStorage* lock)
{
    plat_posix::DeleteLock(lock);
}

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

UINT plat::ReadDataUnit(const WCHAR* file, UINT absent)
{
    return plat_posix::ReadDataUnit(file, absent);
}

void plat::ReadWritePlugin(const WCHAR* file, WCHAR* value, DWORD size)
{
    plat_posix::ReadWritePlugin(file, value, size);
}

bool plat::HasWritePlugin(const WCHAR* file)
{
    return plat_posix::HasWritePlugin(file);
}

void plat::WriteSettings(const WCHAR* file, const WCHAR* writePlugin, const WCHAR* dataUnit)
{
    plat_posix::WriteSettings(file, writePlugin, dataUnit);
}

INT_PTR plat::OpenForEditing(const WCHAR* file)
{
    return plat_posix::OpenForEditing(file);
}

bool plat::SamePath(const WCHAR* a, const WCHAR* b)
{
    return plat_posix::SamePath(a, b);
}

int plat::FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
{
    return plat_posix::FormatNumbered(out, n, suffix);
}
