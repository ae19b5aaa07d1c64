// Windows side of Quill_Spread's seam: critical section, CreateFileW/WriteFile, the module's
// path, LoadLibraryW, the profile functions, ShellExecuteW, lstrcmpiW and wsprintfW. Only
// KERNEL32, USER32 and SHELL32 are used: the library has no C runtime.
#include "platform.h"
#include "state.h"

#include <shellapi.h>

namespace {

const WCHAR section_set[] = L"SET";
const WCHAR key_write_plugin[] = L"WritePlugin";
const WCHAR key_data_unit[] = L"DataUnit";

CRITICAL_SECTION* AsSection(plat::LockStorage* lock)
{
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(plat::LockStorage::bytes),
                  "lock storage too small");
    return reinterpret_cast<CRITICAL_SECTION*>(lock->bytes);
}

}  // namespace

void plat::InitLock(LockStorage* lock)
{
    InitializeCriticalSection(AsSection(lock));
}

void plat::EnterLock(LockStorage* lock)
{
    EnterCriticalSection(AsSection(lock));
}

void plat::LeaveLock(LockStorage* lock)
{
    LeaveCriticalSection(AsSection(lock));
}

void plat::DeleteLock(LockStorage* lock)
{
    DeleteCriticalSection(AsSection(lock));
}

// Written only by us, readable by anyone meanwhile, never writable or deletable by others.
// Plain buffered synchronous writes: CREATE_ALWAYS replaces, CREATE_NEW refuses an existing file.
HANDLE plat::CreateOutputFile(const WCHAR* path, bool overwrite)
{
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       overwrite ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A synchronous WriteFile on a disk file writes everything or fails.
BOOL plat::WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    return WriteFile(file, data, size, written, nullptr);
}

void plat::CloseOutput(HANDLE file)
{
    CloseHandle(file);
}

DWORD plat::OwnLongPath(HMODULE self, WCHAR* path, DWORD size)
{
    // The module's file as the loader knows it, which may be a short (8.3) or relative-looking
    // spelling; MAX_SAVE_PATH is the longest path the library keeps anywhere.
    WCHAR work[MAX_SAVE_PATH];
    DWORD length = GetModuleFileNameW(self, work, MAX_SAVE_PATH);
    // It fails only for a handle of no loaded module, and self is the library's own.
    if (length == 0)  // GCOVR_EXCL_LINE
        return 0;     // GCOVR_EXCL_LINE
    if (length >= MAX_SAVE_PATH)  // cut to fit
        return 0;
    // The size needed when it does not fit, 0 on failure: either way no path.
    DWORD longLength = GetLongPathNameW(work, path, size);
    return longLength < size ? longLength : 0;
}

HMODULE plat::LoadModule(const WCHAR* path)
{
    return LoadLibraryW(path);
}

plat::Proc plat::FindFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<Proc>(GetProcAddress(module, name));
}

void plat::ReleaseModule(HMODULE module)
{
    FreeLibrary(module);
}

UINT plat::ReadDataUnit(const WCHAR* file, UINT absent)
{
    return GetPrivateProfileIntW(section_set, key_data_unit, static_cast<INT>(absent), file);
}

void plat::ReadWritePlugin(const WCHAR* file, WCHAR* value, DWORD size)
{
    GetPrivateProfileStringW(section_set, key_write_plugin, L"", value, size, file);
}

bool plat::HasWritePlugin(const WCHAR* file)
{
    // A two-unit buffer reads at most one character: enough to tell the default "*" apart.
    WCHAR value[2];
    GetPrivateProfileStringW(section_set, key_write_plugin, L"*", value, 2, file);
    return lstrcmpiW(value, L"*") != 0;
}

void plat::WriteSettings(const WCHAR* file, const WCHAR* writePlugin, const WCHAR* dataUnit)
{
    WritePrivateProfileStringW(section_set, key_write_plugin, writePlugin, file);
    WritePrivateProfileStringW(section_set, key_data_unit, dataUnit, file);
}

INT_PTR plat::OpenForEditing(const WCHAR* file)
{
    return reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"edit", file, nullptr, nullptr, SW_SHOWNORMAL));
}

bool plat::SamePath(const WCHAR* a, const WCHAR* b)
{
    return lstrcmpiW(a, b) == 0;
}

int plat::FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
{
    return wsprintfW(out, L"-(%d)%s", n, suffix);
}
