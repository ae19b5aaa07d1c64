// The operating-system seam of Quill_Spread. The portable code (state.cpp, outputs.cpp,
// distribute.cpp, duplicate.cpp) reaches files, its own module, the nested plug-in, the settings
// file, the lock and even string handling only through these calls: the Windows build imports
// nothing but system libraries, so strings go through the lstr functions and wsprintfW there.
//
// The calls go through one table of operations, Seam. platform_win32.cpp and platform_posix.cpp
// each fill one in, osSeam; the library's entry file binds `seam` to it. A test program binds
// `seam` to a wrapper of osSeam instead and so injects faults without a hook in the library.
#pragma once

#include "plugin_types.h"

// UTF-16 literals for the portable code: L"" where WCHAR is wchar_t, u"" where it is char16_t.
#ifdef _WIN32
#define QTEXT(s) L##s
#else
#define QTEXT(s) u##s
#endif

namespace plat {

// Room for the platform's re-entrant lock object (a CRITICAL_SECTION, or a recursive
// pthread mutex); each platform file checks that its object fits.
struct LockStorage {
    alignas(16) unsigned char bytes[64];
};

typedef void (*Proc)();

// The operations, in the order of the calls below, where each one's contract is stated.
struct Seam {
    void (*InitLock)(LockStorage* lock);
    void (*EnterLock)(LockStorage* lock);
    void (*LeaveLock)(LockStorage* lock);
    void (*DeleteLock)(LockStorage* lock);
    HANDLE (*CreateOutputFile)(const WCHAR* path, bool overwrite);
    BOOL (*WriteOutput)(HANDLE file, const void* data, DWORD size, DWORD* written);
    void (*CloseOutput)(HANDLE file);
    DWORD (*ModuleFileName)(HMODULE module, WCHAR* path, DWORD size);
    DWORD (*LongPathName)(const WCHAR* path, WCHAR* longPath, DWORD size);
    HMODULE (*LoadModule)(const WCHAR* path);
    Proc (*FindFunction)(HMODULE module, const char* name);
    void (*ReleaseModule)(HMODULE module);
    UINT (*ProfileInt)(const WCHAR* section, const WCHAR* key, int fallback, const WCHAR* file);
    DWORD (*ProfileString)(const WCHAR* section, const WCHAR* key, const WCHAR* fallback,
                           WCHAR* value, DWORD size, const WCHAR* file);
    BOOL (*WriteProfileString)(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                               const WCHAR* file);
    INT_PTR (*OpenForEditing)(const WCHAR* path);
    int (*StrLen)(const WCHAR* s);
    void (*StrCopy)(WCHAR* to, const WCHAR* from);
    int (*StrCmpI)(const WCHAR* a, const WCHAR* b);
    int (*FormatNumbered)(WCHAR* out, int n, const WCHAR* suffix);
};

// The operating system's own implementation (platform_win32.cpp or platform_posix.cpp).
extern const Seam osSeam;
// The implementation the library runs on: osSeam, bound in dllmain_win32.cpp or
// dllmain_posix.cpp; in a test program, the test's wrapper of it.
extern const Seam& seam;

// The one re-entrant lock: the owning thread may enter it again.
inline void InitLock(LockStorage* lock)
{
    seam.InitLock(lock);
}
inline void EnterLock(LockStorage* lock)
{
    seam.EnterLock(lock);
}
inline void LeaveLock(LockStorage* lock)
{
    seam.LeaveLock(lock);
}
inline void DeleteLock(LockStorage* lock)
{
    seam.DeleteLock(lock);
}

// Creates path for writing, others may only read it while it is open. overwrite true replaces
// an existing file, false fails when one exists. INVALID_HANDLE_VALUE on failure, and then
// nothing is left to close.
inline HANDLE CreateOutputFile(const WCHAR* path, bool overwrite)
{
    return seam.CreateOutputFile(path, overwrite);
}
// Writes all size bytes or fails; *written receives the bytes written.
inline BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    return seam.WriteOutput(file, data, size, written);
}
inline void CloseOutput(HANDLE file)
{
    seam.CloseOutput(file);
}

// The file of module, as GetModuleFileNameW: the length copied; size when the path was cut.
inline DWORD ModuleFileName(HMODULE module, WCHAR* path, DWORD size)
{
    return seam.ModuleFileName(module, path, size);
}
// The long form of path, as GetLongPathNameW: the length copied, or the size needed (with the
// terminator) when it does not fit; 0 on failure.
inline DWORD LongPathName(const WCHAR* path, WCHAR* longPath, DWORD size)
{
    return seam.LongPathName(path, longPath, size);
}

// Run-time loading of the nested plug-in.
inline HMODULE LoadModule(const WCHAR* path)
{
    return seam.LoadModule(path);
}
inline Proc FindFunction(HMODULE module, const char* name)
{
    return seam.FindFunction(module, name);
}
inline void ReleaseModule(HMODULE module)
{
    seam.ReleaseModule(module);
}

// Profile files ([section] and key=value lines), as the Windows profile functions.
inline UINT ProfileInt(const WCHAR* section, const WCHAR* key, int fallback, const WCHAR* file)
{
    return seam.ProfileInt(section, key, fallback, file);
}
inline DWORD ProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* fallback,
                           WCHAR* value, DWORD size, const WCHAR* file)
{
    return seam.ProfileString(section, key, fallback, value, size, file);
}
inline BOOL WriteProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                               const WCHAR* file)
{
    return seam.WriteProfileString(section, key, value, file);
}
// Opens path in the desktop's editor without waiting for it; above 32 when it was started.
inline INT_PTR OpenForEditing(const WCHAR* path)
{
    return seam.OpenForEditing(path);
}

// Strings.
inline int StrLen(const WCHAR* s)
{
    return seam.StrLen(s);
}
inline void StrCopy(WCHAR* to, const WCHAR* from)
{
    seam.StrCopy(to, from);
}
// 0 when equal ignoring case.
inline int StrCmpI(const WCHAR* a, const WCHAR* b)
{
    return seam.StrCmpI(a, b);
}
// Writes "-(n)" followed by suffix into out; returns the units written, terminator excluded.
inline int FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
{
    return seam.FormatNumbered(out, n, suffix);
}

}  // namespace plat
