// The state of Quill_Spread: one static record holding the lock, the data unit, the table of
// controls with their outputs, the library's own module and the nested plug-in binding. No
// memory is ever allocated; every operation is bounded by the table sizes.
#pragma once

#include "platform.h"
#include "plugin_interface.h"

#include <cstdint>

constexpr DWORD MAX_CTRL = 16;
constexpr DWORD MAX_OUTPUT = 64;
constexpr DWORD MAX_SAVE_PATH = 512;

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

// Ids are 1-based indices; 0 is never valid.
inline bool IdInRange(DWORD id, DWORD count)
{
    return id - 1 < count;  // unsigned: id 0 wraps to the largest value
}
inline DWORD IdOfIndex(DWORD index)
{
    return index + 1;
}

// The in-use control named by id, or null.
CtrlSlot* FindCtrl(DWORD id);

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

bool InNestedMode();
// An entry is live while it holds an output of the current mode.
bool IsLive(const OutputEntry& entry);
// Closes what entry holds (nested: StopSave then DeleteCtrl) and marks it empty; false when it
// held nothing.
bool CloseOutputEntry(OutputEntry& entry);
// Closes every output of slot, as StopSave does; StartSave and DeleteCtrl stop a save with it.
// Lock held.
void CloseOutputs(CtrlSlot& slot);

// The size protocol of GetPlugInName and GetSaveFilePath, size not null: with buffer null, or
// a capacity *size below what text needs with its terminator, *size receives that need (result
// TRUE for a null buffer, FALSE otherwise, the buffer untouched); else text is copied (TRUE,
// *size unchanged).
BOOL HandOutString(const WCHAR* text, WCHAR* buffer, DWORD* size);

// Writes the long path of the library's own file (capacity at least 508) and returns its
// length; 0 on failure.
DWORD GetModuleLongPath(WCHAR* longPath);
// Reads DataUnit and WritePlugin and binds the nested plug-in they name, if any.
void BindNestedPlugIn();
// Creates path or a numbered variant of it ("-(N)" before the extension, N = 1 to 999, only
// candidates shorter than limit); path receives the name created. INVALID_HANDLE_VALUE when
// none could be created, path then unchanged.
HANDLE CreateUniqueFile(WCHAR* path, int limit, int overwrite);

// Entry point work, called by the platform's load and unload hooks.
void ProcessAttach(HMODULE self);
// unloading: the library is unloaded while the process goes on, so the files it still holds
// open are closed (nothing is called in the nested plug-in, which may be gone already).
void ProcessDetach(bool unloading);
