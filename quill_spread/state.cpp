// The one state record and the lookups that every part of the library uses.
#include "state.h"

PlugInState plugInState;

CtrlSlot* FindCtrl(DWORD id)
{
    DWORD index = IndexOfId(id);
    if (index >= MAX_CTRL)
        return nullptr;
    CtrlSlot* slot = &plugInState.slots[index];
    return slot->inUse ? slot : nullptr;
}

bool InNestedMode()
{
    return plugInState.nested.module != nullptr;
}

BOOL HandOutString(const WCHAR* text, WCHAR* buffer, DWORD* size)
{
    DWORD required = static_cast<DWORD>(TextLength(text)) + 1;
    if (buffer != nullptr && *size >= required) {
        TextCopy(buffer, text);
        return TRUE;
    }
    *size = required;
    return buffer == nullptr ? TRUE : FALSE;
}
