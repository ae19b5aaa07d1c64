// The operating-system seam of Quill_Spread: what the portable code (state.cpp, output.cpp,
// controls.cpp, save.cpp, distribute.cpp, duplicate.cpp) needs of the system, named by that
// need. The functions are bound at link time: platform_win32.cpp or platform_posix.cpp defines
// them in the library, a test's platform file in a test program. Nothing here is a table that
// could be swapped at run time, so the library carries no test hook.
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

// The long, absolute path of the library's own file (self is the module handle the entry point
// was given) and its length; 0 when it cannot be told or does not fit size units with its
// terminator.
DWORD OwnLongPath(HMODULE self, WCHAR* path, DWORD size);

// The nested plug-in: loads the library at path (null on failure), finds an exported function
// (null when missing), releases the library again. Loading the library's own file gives self.
HMODULE LoadModule(const WCHAR* path);
Proc FindFunction(HMODULE module, const char* name);
void ReleaseModule(HMODULE module);

// The settings file, section "SET". DataUnit as a number (absent when the key is missing or
// empty), read as the Windows profile functions read numbers.
UINT ReadDataUnit(const WCHAR* file, UINT absent);
// WritePlugin cut to size - 1 units, always terminated; empty when the key is missing.
void ReadWritePlugin(const WCHAR* file, WCHAR* value, DWORD size);
// Whether WritePlugin is there; a value that begins with "*" counts as missing.
bool HasWritePlugin(const WCHAR* file);
// Sets WritePlugin and then DataUnit, creating the file when it is missing; failures are not
// told.
void WriteSettings(const WCHAR* file, const WCHAR* writePlugin, const WCHAR* dataUnit);
// Opens file in the desktop's editor without waiting for it; above 32 when it was started.
INT_PTR OpenForEditing(const WCHAR* file);

// Whether two paths name the same file as far as spelling goes: equal ignoring case.
bool SamePath(const WCHAR* a, const WCHAR* b);
// Writes "-(n)" followed by suffix into out; returns the units written, terminator excluded.
int FormatNumbered(WCHAR* out, int n, const WCHAR* suffix);

}  // namespace plat
