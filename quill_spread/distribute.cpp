// Stream distribution: AddTSBuff hands each host buffer to every live output of a control.
#include "output.h"

namespace {

// Writes the buffer to every live output of slot, each output from its first data-unit
// boundary on; size is at least 1. Lock held.
BOOL FeedOutputs(CtrlSlot& slot, const BYTE* data, DWORD size, DWORD* writeSize)
{
    *writeSize = 0;
    const DWORD unit = plugInState.dataUnit;
    // The slot keeps its position across DeleteCtrl and CreateCtrl, and the data unit read by
    // the next first control may be smaller: taken as it stood, unit - offset would wrap and an
    // output added before the next StartSave would never find its boundary.
    const DWORD offset = slot.unitOffset % unit;
    bool any = false;
    // Entry order, output 1 first; every output gets the same bytes of the host's buffer.
    for (DWORD k = 0; k < slot.outputCount; ++k) {
        OutputEntry& entry = slot.outputs[k];
        if (!IsLive(entry))
            continue;
        // An output that has had nothing yet begins at the next data-unit boundary.
        DWORD skip = slot.started[k] || offset == 0 ? 0 : unit - offset;
        if (skip >= size)
            continue;  // the boundary lies at or past this buffer's end: wait for the next one
        slot.started[k] = 1;
        if (WriteToOutput(entry, data + skip, size - skip, writeSize))
            any = true;
    }
    if (!any)
        return FALSE;  // not accepted: the stream position stays
    // Both offset and size % unit stay below a unit, which may be above 2^31 (a DataUnit of -5
    // reads as 4294967291): their sum may not fit 32 bits, so it is reduced without being
    // formed (a 64-bit remainder would need a runtime helper on x86).
    const DWORD rest = size % unit;
    slot.unitOffset = offset >= unit - rest ? offset - (unit - rest) : offset + rest;
    *writeSize = size;
    return TRUE;
}

}  // namespace

BOOL WINAPI AddTSBuff(DWORD id, const BYTE* data, DWORD size, DWORD* writeSize)
{
    LockHold hold;
    CtrlSlot* slot = FindCtrl(id);
    if (slot == nullptr || data == nullptr || size == 0 || writeSize == nullptr)
        return FALSE;
    return FeedOutputs(*slot, data, size, writeSize);
}
