// The operating-system seam of Quill_Spread. The portable code (state.cpp, outputs.cpp,
// distribute.cpp, duplicate.cpp) reaches files, its own module, the nested plug-in, the settings
// file, the lock and even string handling only through these calls: the Windows build imports
// nothing but system libraries, so strings go through the lstr functions and wsprintfW there.
// platform_win32.cpp and platform_posix.cpp implement it, in the same order.
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

// The one re-entrant lock: the owning thread may enter it again.
void InitLock(LockStorage* lock);
void EnterLock(LockStorage* lock);
void LeaveLock(LockStorage* lock);
void DeleteLock(LockStorage* lock);

// Creates path for writing, others may only read it while it is open. overwrite true replaces
// an existing file, false fails when one exists. INVALID_HANDLE_VALUE on failure, and then
// nothing is left to close.
HANDLE CreateOutputFile(const WCHAR* path, bool overwrite);
// Writes all size bytes or fails; *written receives the bytes written.
BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written);
void CloseOutput(HANDLE file);

// The file of module, as GetModuleFileNameW: the length copied; size when the path was cut.
DWORD ModuleFileName(HMODULE module, WCHAR* path, DWORD size);
// The long form of path, as GetLongPathNameW: the length copied, or the size needed (with the
// terminator) when it does not fit; 0 on failure.
DWORD LongPathName(const WCHAR* path, WCHAR* longPath, DWORD size);

// Run-time loading of the nested plug-in.
typedef void (*Proc)();
HMODULE LoadModule(const WCHAR* path);
Proc FindFunction(HMODULE module, const char* name);
void ReleaseModule(HMODULE module);

// Profile files ([section] and key=value lines), as the Windows profile functions.
UINT ProfileInt(const WCHAR* section, const WCHAR* key, int fallback, const WCHAR* file);
DWORD ProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* fallback, WCHAR* value,
                    DWORD size, const WCHAR* file);
BOOL WriteProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                        const WCHAR* file);
// Opens path in the desktop's editor without waiting for it; above 32 when it was started.
INT_PTR OpenForEditing(const WCHAR* path);

// Strings.
int StrLen(const WCHAR* s);
void StrCopy(WCHAR* to, const WCHAR* from);
// 0 when equal ignoring case.
int StrCmpI(const WCHAR* a, const WCHAR* b);
// Writes "-(n)" followed by suffix into out; returns the units written, terminator excluded.
int FormatNumbered(WCHAR* out, int n, const WCHAR* suffix);

}  // namespace plat
