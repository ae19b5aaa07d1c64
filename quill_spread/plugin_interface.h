// The write plug-in interface: the nine exports of Quill_Spread, and the six functions it
// requires of a nested write plug-in, which share these signatures.
//
// Results are 1 for success and 0 for failure (Setting passes on what the editor start gave).
// String sizes count UTF-16 units including the terminator. Every buffer stays owned by the
// caller and is used only for the duration of the call.
#pragma once

#include "plugin_types.h"

#ifdef _WIN32
#define QUILL_EXPORT  // the export list is Quill_Spread.def
#else
#define QUILL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Display name "Quill Spreader PlugIn". name null: *nameSize gets the required size (22),
// result 1. A capacity below that: *nameSize gets 22, result 0, name untouched.
QUILL_EXPORT BOOL WINAPI GetPlugInName(WCHAR* name, DWORD* nameSize);

// Opens the settings file (the library's own path with ".ini" appended) in the user's editor,
// writing the defaults first when it has no WritePlugin key. owner, the window a host may pass
// for a settings dialog, is never read: it is declared so that on x86, where a stdcall callee
// removes its arguments, a host that passes it keeps its stack balanced.
QUILL_EXPORT INT_PTR WINAPI Setting(HWND owner);

// Allocates the lowest free control (ids 1 to 16) and writes its id through id.
QUILL_EXPORT BOOL WINAPI CreateCtrl(DWORD* id);

// Stops the control's save, if any, and frees the control.
QUILL_EXPORT BOOL WINAPI DeleteCtrl(DWORD id);

// Stops a running save of the control, then opens output 1 for fileName: a file under that
// name or a free numbered variant ("name-(N).ext"), or a control of the nested plug-in.
// overwrite non-zero replaces an existing file. startParam is handed to the nested plug-in.
QUILL_EXPORT BOOL WINAPI StartSave(DWORD id, const WCHAR* fileName, BOOL overwrite,
                                   ULONGLONG startParam);

// Closes every output of the control; 1 for every existing control.
QUILL_EXPORT BOOL WINAPI StopSave(DWORD id);

// The path that output 1 actually got, under the same size protocol as GetPlugInName; empty
// before the first successful save and after a failed one.
QUILL_EXPORT BOOL WINAPI GetSaveFilePath(DWORD id, WCHAR* filePath, DWORD* filePathSize);

// Hands one stream buffer to every live output of the control, in output order, without
// copying. An output that has not started yet skips to the next data-unit boundary first.
// Result 1 and *writeSize = size when at least one output took the buffer.
QUILL_EXPORT BOOL WINAPI AddTSBuff(DWORD id, const BYTE* data, DWORD size, DWORD* writeSize);

// Adds an output to the save whose output-1 path equals primaryPath (ignoring case), or, with
// newPath null, removes the output whose id *outputId holds. An added output receives the
// stream from the next data-unit boundary of the next AddTSBuff on; newPath (capacity
// newPathSize, owned by the caller) receives the path actually opened, *outputId its id.
// overwriteMode: negative uses the save's own overwrite flag, 0 never replaces, positive does.
QUILL_EXPORT BOOL WINAPI DuplicateSave(const WCHAR* primaryPath, DWORD* outputId, WCHAR* newPath,
                                       DWORD newPathSize, int overwriteMode,
                                       ULONGLONG startParam);

}  // extern "C"

// The six functions of a nested write plug-in, resolved by these names.
typedef BOOL(WINAPI* NestedCreateCtrlFn)(DWORD* id);
typedef BOOL(WINAPI* NestedDeleteCtrlFn)(DWORD id);
typedef BOOL(WINAPI* NestedStartSaveFn)(DWORD id, const WCHAR* fileName, BOOL overwrite,
                                        ULONGLONG startParam);
typedef BOOL(WINAPI* NestedStopSaveFn)(DWORD id);
typedef BOOL(WINAPI* NestedGetSaveFilePathFn)(DWORD id, WCHAR* filePath, DWORD* filePathSize);
typedef BOOL(WINAPI* NestedAddTSBuffFn)(DWORD id, const BYTE* data, DWORD size, DWORD* writeSize);
