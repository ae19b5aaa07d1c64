// The control table, the settings and the nested plug-in binding: CreateCtrl, DeleteCtrl,
// GetPlugInName, Setting, and the load and unload work of the entry point.
#include "state.h"

PlugInState plugInState;

namespace {

const WCHAR section_set[] = QTEXT("SET");
const WCHAR key_write_plugin[] = QTEXT("WritePlugin");
const WCHAR key_data_unit[] = QTEXT("DataUnit");
const WCHAR ini_suffix[] = QTEXT(".ini");
const WCHAR plugin_name[] = QTEXT("Quill Spreader PlugIn");

bool AnyCtrlInUse()
{
    for (const CtrlSlot& slot : plugInState.slots) {
        if (slot.inUse)
            return true;
    }
    return false;
}

// Resolves one entry point of the nested plug-in; false when it is missing.
template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* into)
{
    plat::Proc proc = plat::FindFunction(module, name);
    if (proc == nullptr)
        return false;
    *into = reinterpret_cast<Fn>(proc);
    return true;
}

// The settings path: the library's own long path with ".ini" appended; false when the
// library's path cannot be formed. path has room for MAX_SAVE_PATH units.
bool SettingsPath(WCHAR* path)
{
    DWORD length = GetModuleLongPath(path);
    if (length == 0)
        return false;
    plat::StrCopy(path + length, ini_suffix);
    return true;
}

}  // namespace

CtrlSlot* FindCtrl(DWORD id)
{
    if (!IdInRange(id, MAX_CTRL))
        return nullptr;
    CtrlSlot* slot = &plugInState.slots[id - 1];
    return slot->inUse ? slot : nullptr;
}

bool InNestedMode()
{
    return plugInState.nested.module != nullptr;
}

bool IsLive(const OutputEntry& entry)
{
    return InNestedMode() ? entry.nestedId != 0 : entry.file != INVALID_HANDLE_VALUE;
}

bool CloseOutputEntry(OutputEntry& entry)
{
    if (!IsLive(entry))
        return false;
    if (InNestedMode()) {
        // Results ignored: the output is gone for us whatever the nested plug-in says.
        plugInState.nested.StopSave(entry.nestedId);
        plugInState.nested.DeleteCtrl(entry.nestedId);
        entry.nestedId = 0;
    } else {
        plat::CloseOutput(entry.file);
        entry.file = INVALID_HANDLE_VALUE;
    }
    return true;
}

DWORD GetModuleLongPath(WCHAR* longPath)
{
    WCHAR work[MAX_SAVE_PATH];
    DWORD length = plat::ModuleFileName(plugInState.selfModule, work, MAX_SAVE_PATH);
    if (length == 0 || length >= MAX_SAVE_PATH)  // failed, or cut to fit
        return 0;
    // 508, not 512: ".ini" and the terminator must still fit the 512-unit settings path.
    DWORD longLength = plat::LongPathName(work, longPath, 508);
    return longLength < 508 ? longLength : 0;
}

void BindNestedPlugIn()
{
    PlugInState& s = plugInState;
    s.dataUnit = 1;
    s.nested.module = nullptr;

    WCHAR path[MAX_SAVE_PATH];
    if (!SettingsPath(path))
        return;
    UINT unit = plat::ProfileInt(section_set, key_data_unit, 188, path);
    s.dataUnit = unit < 2 ? 1 : unit;

    WCHAR value[64];
    plat::ProfileString(section_set, key_write_plugin, QTEXT(""), value, 64, path);
    if (value[0] == 0 || value[0] == ';')
        return;

    // Cut the settings path back to its directory, keeping the separator.
    int dirLength = plat::StrLen(path);
    while (dirLength > 0 && path[dirLength - 1] != '\\' && path[dirLength - 1] != '/')
        path[--dirLength] = 0;
    if (plat::StrLen(value) + dirLength >= static_cast<int>(MAX_SAVE_PATH))
        return;
    plat::StrCopy(path + dirLength, value);

    HMODULE module = plat::LoadModule(path);
    if (module == nullptr)
        return;
    NestedPlugIn& n = s.nested;
    if (!Resolve(module, "CreateCtrl", &n.CreateCtrl) ||
        !Resolve(module, "DeleteCtrl", &n.DeleteCtrl) ||
        !Resolve(module, "StartSave", &n.StartSave) ||
        !Resolve(module, "StopSave", &n.StopSave) ||
        !Resolve(module, "GetSaveFilePath", &n.GetSaveFilePath) ||
        !Resolve(module, "AddTSBuff", &n.AddTSBuff)) {
        plat::ReleaseModule(module);  // not a write plug-in: write files ourselves
        return;
    }
    n.module = module;
}

namespace {

// Takes the lowest free control and writes its id; false when all are in use. The settings
// are read, and the mode chosen, only while no control exists. Lock held.
bool ClaimCtrl(DWORD* id)
{
    DWORD index = 0;
    while (index < MAX_CTRL && plugInState.slots[index].inUse)
        ++index;
    if (index == MAX_CTRL)
        return false;
    if (!AnyCtrlInUse())
        BindNestedPlugIn();
    CtrlSlot& slot = plugInState.slots[index];
    slot.inUse = 1;
    slot.outputCount = 0;
    slot.savePath[0] = 0;
    *id = IdOfIndex(index);
    return true;
}

// Stops the save of slot and frees it; the last control releases the nested plug-in. Lock held.
void FreeCtrl(CtrlSlot& slot)
{
    CloseOutputs(slot);
    slot.inUse = 0;
    if (!AnyCtrlInUse() && InNestedMode()) {
        // No control is left to call into it; the next CreateCtrl binds afresh.
        plat::ReleaseModule(plugInState.nested.module);
        plugInState.nested.module = nullptr;
    }
}

// Writes the default settings when the file has no WritePlugin key, then opens it in the
// editor; 0 when the library's path cannot be formed.
INT_PTR EditSettings()
{
    WCHAR path[MAX_SAVE_PATH];
    if (!SettingsPath(path))
        return 0;
    // A two-unit buffer reads at most one character: enough to tell "absent" ("*") apart.
    WCHAR value[2];
    plat::ProfileString(section_set, key_write_plugin, QTEXT("*"), value, 2, path);
    if (plat::StrCmpI(value, QTEXT("*")) == 0) {
        plat::WriteProfileString(section_set, key_write_plugin, QTEXT(";Quill_Basic.dll"), path);
        plat::WriteProfileString(section_set, key_data_unit, QTEXT("188"), path);
    }
    return plat::OpenForEditing(path);
}

}  // namespace

BOOL HandOutString(const WCHAR* text, WCHAR* buffer, DWORD* size)
{
    DWORD required = static_cast<DWORD>(plat::StrLen(text)) + 1;
    if (buffer != nullptr && *size >= required) {
        plat::StrCopy(buffer, text);
        return TRUE;
    }
    *size = required;
    return buffer == nullptr ? TRUE : FALSE;
}

BOOL WINAPI CreateCtrl(DWORD* id)
{
    LockHold hold;
    if (id == nullptr)
        return FALSE;
    return ClaimCtrl(id) ? TRUE : FALSE;
}

BOOL WINAPI DeleteCtrl(DWORD id)
{
    LockHold hold;
    CtrlSlot* slot = FindCtrl(id);
    if (slot == nullptr)
        return FALSE;
    FreeCtrl(*slot);
    return TRUE;
}

BOOL WINAPI GetPlugInName(WCHAR* name, DWORD* nameSize)
{
    if (nameSize == nullptr)
        return FALSE;
    return HandOutString(plugin_name, name, nameSize);
}

INT_PTR WINAPI Setting(HWND /*owner: never read*/)
{
    return EditSettings();
}

void ProcessAttach(HMODULE self)
{
    plugInState.selfModule = self;
    plat::InitLock(&plugInState.lock);
}

void ProcessDetach(bool unloading)
{
    // Files still open when the host unloads the library would otherwise stay open, and
    // locked against writers, until the process ends. A nested plug-in is never called from
    // here: it may have been unloaded before us.
    if (unloading && !InNestedMode()) {
        for (CtrlSlot& slot : plugInState.slots) {
            if (slot.inUse)
                CloseOutputs(slot);
        }
    }
    plat::DeleteLock(&plugInState.lock);
}
