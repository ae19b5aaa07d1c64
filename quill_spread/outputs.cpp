// Opening and closing the outputs of a control: StartSave opens output 1, StopSave closes every
// output, GetSaveFilePath reports the path output 1 actually got, and CreateUniqueFile finds a
// creatable name for an output file.
#include "state.h"

HANDLE CreateUniqueFile(WCHAR* path, int limit, int overwrite)
{
    HANDLE file = plat::CreateOutputFile(path, overwrite != 0);
    if (file != INVALID_HANDLE_VALUE)
        return file;
    // Any failure leads here, not only an existing file: with overwrite the file may be held
    // open by another process.
    int length = plat::StrLen(path);
    if (length >= static_cast<int>(MAX_SAVE_PATH))
        return INVALID_HANDLE_VALUE;

    // The numbered suffix goes before the extension; a dot inside a directory name is none.
    int ext = length;
    for (int i = length - 1; i >= 0; --i) {
        if (path[i] == '\\' || path[i] == '/')
            break;
        if (path[i] == '.') {
            ext = i;
            break;
        }
    }

    // Room for a 511-unit path, the longest suffix "-(999)" and the terminator.
    WCHAR work[MAX_SAVE_PATH + 16];
    plat::StrCopy(work, path);
    for (int n = 1; n <= 999; ++n) {
        int candidateLength = ext + plat::FormatNumbered(work + ext, n, path + ext);
        if (candidateLength >= limit)
            continue;  // would not fit the caller's buffer
        file = plat::CreateOutputFile(work, overwrite != 0);
        if (file != INVALID_HANDLE_VALUE) {
            plat::StrCopy(path, work);
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

void CloseOutputs(CtrlSlot& slot)
{
    for (DWORD k = 0; k < slot.outputCount; ++k)
        CloseOutputEntry(slot.outputs[k]);
    // started, unitOffset, overwrite and savePath stay: a stopped control still reports its
    // last path, and DuplicateSave may extend it by that path.
    slot.outputCount = 0;
}

namespace {

// Stops the running save of slot, then opens output 1 for fileName: a file under that name or
// a numbered variant, or a control of the nested plug-in. Lock held.
BOOL OpenSave(CtrlSlot& slot, const WCHAR* fileName, BOOL overwrite, ULONGLONG startParam)
{
    CloseOutputs(slot);
    slot.overwrite = overwrite != 0 ? 1 : 0;
    slot.started[0] = 0;
    slot.unitOffset = 0;
    OutputEntry& primary = slot.outputs[0];

    if (InNestedMode()) {
        const NestedPlugIn& n = plugInState.nested;
        if (n.CreateCtrl(&primary.nestedId)) {
            DWORD nestedId = primary.nestedId;
            if (!n.StartSave(nestedId, fileName, slot.overwrite, startParam)) {
                n.DeleteCtrl(nestedId);
            } else {
                DWORD capacity = MAX_SAVE_PATH;
                if (n.GetSaveFilePath(nestedId, slot.savePath, &capacity)) {
                    // Whatever the nested plug-in wrote, the path stays terminated.
                    slot.savePath[MAX_SAVE_PATH - 1] = 0;
                    slot.outputCount = 1;
                    return TRUE;
                }
                n.StopSave(nestedId);
                n.DeleteCtrl(nestedId);
            }
        }
    } else if (plat::StrLen(fileName) < static_cast<int>(MAX_SAVE_PATH)) {
        plat::StrCopy(slot.savePath, fileName);
        primary.file = CreateUniqueFile(slot.savePath, MAX_SAVE_PATH, slot.overwrite);
        if (primary.file != INVALID_HANDLE_VALUE) {
            slot.outputCount = 1;
            return TRUE;
        }
    }
    slot.savePath[0] = 0;
    return FALSE;
}

}  // namespace

BOOL WINAPI StartSave(DWORD id, const WCHAR* fileName, BOOL overwrite, ULONGLONG startParam)
{
    LockHold hold;
    CtrlSlot* slot = FindCtrl(id);
    // A call without a name fails before anything is stopped: the running save goes on.
    if (slot == nullptr || fileName == nullptr)
        return FALSE;
    return OpenSave(*slot, fileName, overwrite, startParam);
}

BOOL WINAPI StopSave(DWORD id)
{
    LockHold hold;
    CtrlSlot* slot = FindCtrl(id);
    if (slot == nullptr)
        return FALSE;
    CloseOutputs(*slot);
    return TRUE;
}

BOOL WINAPI GetSaveFilePath(DWORD id, WCHAR* filePath, DWORD* filePathSize)
{
    LockHold hold;
    CtrlSlot* slot = FindCtrl(id);
    if (slot == nullptr || filePathSize == nullptr)
        return FALSE;
    return HandOutString(slot->savePath, filePath, filePathSize);
}
