// Windows side of Quill_Spread's seam: critical section, CreateFileW/WriteFile, module paths,
// LoadLibraryW, the profile functions, ShellExecuteW and the lstr string functions. Only
// KERNEL32, USER32 and SHELL32 are used: the library has no C runtime.
#include "platform.h"

#include <shellapi.h>

namespace plat_win32 {
namespace {

using plat::LockStorage;
using plat::Proc;

CRITICAL_SECTION* AsSection(LockStorage* lock)
{
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(LockStorage::bytes), "lock storage too small");
    return reinterpret_cast<CRITICAL_SECTION*>(lock->bytes);
}

void InitLock(LockStorage* lock)
{
    InitializeCriticalSection(AsSection(lock));
}

void EnterLock(LockStorage* lock)
{
    EnterCriticalSection(AsSection(lock));
}

void LeaveLock(LockStorage* lock)
{
    LeaveCriticalSection(AsSection(lock));
}

void DeleteLock(LockStorage* lock)
{
    DeleteCriticalSection(AsSection(lock));
}

// Written only by us, readable by anyone meanwhile, never writable or deletable by others.
// Plain buffered synchronous writes: CREATE_ALWAYS replaces, CREATE_NEW refuses an existing file.
HANDLE CreateOutputFile(const WCHAR* path, bool overwrite)
{
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       overwrite ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A synchronous WriteFile on a disk file writes everything or fails.
BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    return WriteFile(file, data, size, written, nullptr);
}

void CloseOutput(HANDLE file)
{
    CloseHandle(file);
}

DWORD ModuleFileName(HMODULE module, WCHAR* path, DWORD size)
{
    return GetModuleFileNameW(module, path, size);
}

DWORD LongPathName(const WCHAR* path, WCHAR* longPath, DWORD size)
{
    return GetLongPathNameW(path, longPath, size);
}

HMODULE LoadModule(const WCHAR* path)
{
    return LoadLibraryW(path);
}

Proc FindFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<Proc>(GetProcAddress(module, name));
}

void ReleaseModule(HMODULE module)
{
    FreeLibrary(module);
}

UINT ProfileInt(const WCHAR* section, const WCHAR* key, int fallback, const WCHAR* file)
{
    return GetPrivateProfileIntW(section, key, fallback, file);
}

DWORD ProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* fallback, WCHAR* value,
                    DWORD size, const WCHAR* file)
{
    return GetPrivateProfileStringW(section, key, fallback, value, size, file);
}

BOOL WriteProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                        const WCHAR* file)
{
    return WritePrivateProfileStringW(section, key, value, file);
}

INT_PTR OpenForEditing(const WCHAR* path)
{
    return reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"edit", path, nullptr, nullptr, SW_SHOWNORMAL));
}

int StrLen(const WCHAR* s)
{
    return lstrlenW(s);
}

void StrCopy(WCHAR* to, const WCHAR* from)
{
    lstrcpyW(to, from);
}

int StrCmpI(const WCHAR* a, const WCHAR* b)
{
    return lstrcmpiW(a, b);
}

int FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
{
    return wsprintfW(out, L"-(%d)%s", n, suffix);
}

}  // namespace
}  // namespace plat_win32

// In the order of plat::Seam.
const plat::Seam plat::osSeam = {
    plat_win32::InitLock,
    plat_win32::EnterLock,
    plat_win32::LeaveLock,
    plat_win32::DeleteLock,
    plat_win32::CreateOutputFile,
    plat_win32::WriteOutput,
    plat_win32::CloseOutput,
    plat_win32::ModuleFileName,
    plat_win32::LongPathName,
    plat_win32::LoadModule,
    plat_win32::FindFunction,
    plat_win32::ReleaseModule,
    plat_win32::ProfileInt,
    plat_win32::ProfileString,
    plat_win32::WriteProfileString,
    plat_win32::OpenForEditing,
    plat_win32::StrLen,
    plat_win32::StrCopy,
    plat_win32::StrCmpI,
    plat_win32::FormatNumbered,
};
