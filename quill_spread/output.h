// The life of one output, in one place: opening it (a file under the requested name or a
// numbered variant of it, or a control of the nested plug-in that saves to that name), writing
// to it and closing it. StartSave and DuplicateSave open through the same function, so an
// output 1 and an added output are opened, and rolled back, alike. Lock held throughout.
#pragma once

#include "state.h"

// An entry is live while it holds an output of the current mode.
bool IsLive(const OutputEntry& entry);

// Opens entry for the path requested: a file created by CreateUniqueFile (direct-file mode),
// or a nested control that CreateCtrl made, StartSave started and GetSaveFilePath asked for its
// path (nested mode). actual, of actualSize units and possibly requested itself, receives the
// path actually used; an empty requested path is refused in direct-file mode. false when the
// output could not be opened: what was opened on the way is closed again and the entry holds
// nothing.
bool OpenOutput(OutputEntry& entry, const WCHAR* requested, WCHAR* actual, DWORD actualSize,
                int overwrite, ULONGLONG startParam);
// Writes size bytes to the output of entry, which writes its byte count through written; an
// output whose write fails is closed, and false returned.
bool WriteToOutput(OutputEntry& entry, const BYTE* data, DWORD size, DWORD* written);
// Closes what entry holds (nested: StopSave then DeleteCtrl) and marks it empty; false when it
// held nothing.
bool CloseOutputEntry(OutputEntry& entry);
// Closes every output of slot: StopSave, and StartSave and DeleteCtrl before they go on.
void CloseOutputs(CtrlSlot& slot);

// Creates path or a numbered variant of it ("-(N)" before the extension, N = 1 to 999, only
// candidates shorter than limit); path receives the name created. INVALID_HANDLE_VALUE when
// none could be created, path then unchanged.
HANDLE CreateUniqueFile(WCHAR* path, DWORD limit, int overwrite);
