// The save of a control: StartSave opens output 1, StopSave closes every output, and
// GetSaveFilePath reports the path output 1 actually got.
#include "output.h"

namespace {

// Stops the running save of slot, then opens output 1 for fileName: a file under that name or
// a numbered variant, or a control of the nested plug-in. Lock held.
BOOL OpenSave(CtrlSlot& slot, const WCHAR* fileName, BOOL overwrite, ULONGLONG startParam)
{
    CloseOutputs(slot);
    slot.overwrite = overwrite != 0 ? 1 : 0;
    slot.started[0] = 0;
    slot.unitOffset = 0;
    if (OpenOutput(slot.outputs[0], fileName, slot.savePath, MAX_SAVE_PATH, slot.overwrite,
                   startParam)) {
        // Whatever a nested plug-in wrote there, the path stays terminated.
        slot.savePath[MAX_SAVE_PATH - 1] = 0;
        slot.outputCount = 1;
        return TRUE;
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
