// Duplicate outputs: DuplicateSave adds an output to a running save, found by the path of its
// output 1, or removes one again.
#include "output.h"

namespace {

// The lowest in-use control whose output-1 path equals path, ignoring case; null if none.
CtrlSlot* FindSaveByPath(const WCHAR* path)
{
    for (CtrlSlot& slot : plugInState.slots) {
        if (slot.inUse && plat::SamePath(slot.savePath, path))
            return &slot;
    }
    return nullptr;
}

// Removes output outputId of slot; false for an id of no live output. Lock held.
bool RemoveOutput(CtrlSlot& slot, DWORD outputId)
{
    DWORD k = IndexOfId(outputId);
    if (k >= slot.outputCount)
        return false;
    // The entry stays counted and becomes free for a later add.
    return CloseOutputEntry(slot.outputs[k]);
}

// Adds an output for newPath to slot, in the lowest free entry or a new one at the end, and
// writes its id. Lock held.
bool AddOutput(CtrlSlot& slot, DWORD* outputId, WCHAR* newPath, DWORD newPathSize,
               int overwriteMode, ULONGLONG startParam)
{
    DWORD k = 0;
    while (k < slot.outputCount && IsLive(slot.outputs[k]))
        ++k;
    if (k == slot.outputCount) {
        if (slot.outputCount == MAX_OUTPUT)
            return false;
        // Counted at once; should the open fail, it stays counted as a free entry.
        ++slot.outputCount;
    }
    int overwrite = overwriteMode < 0 ? slot.overwrite : overwriteMode != 0 ? 1 : 0;
    slot.started[k] = 0;  // joins at the next data-unit boundary
    // The nested plug-in writes its path into the host's buffer.
    if (!OpenOutput(slot.outputs[k], newPath, newPath, newPathSize, overwrite, startParam))
        return false;
    *outputId = IdOfIndex(k);
    return true;
}

}  // namespace

BOOL WINAPI DuplicateSave(const WCHAR* primaryPath, DWORD* outputId, WCHAR* newPath,
                          DWORD newPathSize, int overwriteMode, ULONGLONG startParam)
{
    if (primaryPath == nullptr || outputId == nullptr)
        return FALSE;
    LockHold hold;
    // Whether the control is saving is not asked: a stopped control can be extended too.
    CtrlSlot* slot = FindSaveByPath(primaryPath);
    if (slot == nullptr)
        return FALSE;
    bool done = newPath == nullptr
                    ? RemoveOutput(*slot, *outputId)
                    : AddOutput(*slot, outputId, newPath, newPathSize, overwriteMode, startParam);
    return done ? TRUE : FALSE;
}
