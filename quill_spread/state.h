// The state of Quill_Spread: one static record holding the lock, the data unit, the table of
// controls with their outputs, the library's own module and the nested plug-in binding, and the
// small lookups every part uses. No memory is ever allocated; every operation is bounded by the
// table sizes.
#pragma once

#include "binding.h"  // MAX_SAVE_PATH
#include "platform.h"
#include "plugin_interface.h"

#include <cstdint>

constexpr DWORD MAX_CTRL = 16;
constexpr DWORD MAX_OUTPUT = 64;

// One output of a control. Which member is meant follows from the mode, which cannot change
// while any control exists, so a slot never mixes the two kinds.
union OutputEntry {
    HANDLE file;      // direct-file mode; INVALID_HANDLE_VALUE: holds no output
    DWORD nestedId;   // nested mode: a control of the nested plug-in; 0: holds no output
};

struct CtrlSlot {
    std::uint8_t inUse;
    std::uint8_t overwrite;                 // 0 or 1, the flag of the current save
    DWORD unitOffset;                       // stream bytes accepted since StartSave, mod dataUnit
    DWORD outputCount;                      // leading entries of outputs in use; the rest unread
    std::uint8_t started[MAX_OUTPUT];       // the output has had its first bytes
    OutputEntry outputs[MAX_OUTPUT];        // output id = entry index + 1
    WCHAR savePath[MAX_SAVE_PATH];          // actual path of output 1; empty: no successful save
};

struct NestedPlugIn {
    HMODULE module;  // null: direct-file mode; the six addresses are valid only while set
    NestedCreateCtrlFn CreateCtrl;
    NestedDeleteCtrlFn DeleteCtrl;
    NestedStartSaveFn StartSave;
    NestedStopSaveFn StopSave;
    NestedGetSaveFilePathFn GetSaveFilePath;
    NestedAddTSBuffFn AddTSBuff;
};

// PlugInState stays a plain aggregate, zero at load: DllMain is the entry point, so no runtime
// start-up runs to construct anything.
struct PlugInState {
    plat::LockStorage lock;
    DWORD dataUnit;  // at least 1 once the first control was created
    CtrlSlot slots[MAX_CTRL];
    HMODULE selfModule;
    NestedPlugIn nested;
};

extern PlugInState plugInState;

// Ids are 1-based indices; 0 is never valid: as an index it wraps to the largest value, which
// fails every range test. No other code does this arithmetic.
inline DWORD IndexOfId(DWORD id)
{
    return id - 1;
}
inline DWORD IdOfIndex(DWORD index)
{
    return index + 1;
}

// The in-use control named by id, or null.
CtrlSlot* FindCtrl(DWORD id);

bool InNestedMode();

// Holds the library's lock for one scope. Every export but GetPlugInName and Setting holds it
// for its whole run and calls internal functions that expect it held; no export calls another.
// The lock stays re-entrant all the same: a nested plug-in, or a host it calls back, may enter
// the exports again on the same thread.
class LockHold {
public:
    LockHold() { plat::EnterLock(&plugInState.lock); }
    ~LockHold() { plat::LeaveLock(&plugInState.lock); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;
};

// The size protocol of GetPlugInName and GetSaveFilePath, size not null: with buffer null, or
// a capacity *size below what text needs with its terminator, *size receives that need (result
// TRUE for a null buffer, FALSE otherwise, the buffer untouched); else text is copied (TRUE,
// *size unchanged).
BOOL HandOutString(const WCHAR* text, WCHAR* buffer, DWORD* size);

// Strings, in the library's own loops: the Windows build has no C runtime to call.
inline int TextLength(const WCHAR* s)
{
    int n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}
inline void TextCopy(WCHAR* to, const WCHAR* from)
{
    while ((*to++ = *from++) != 0) {
    }
}
