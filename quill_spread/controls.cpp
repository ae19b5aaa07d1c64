// The control table, the settings and the nested plug-in binding: CreateCtrl, DeleteCtrl,
// GetPlugInName, Setting, and the load and unload work of the entry point.
#include "controls.h"
#include "output.h"

namespace {

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
bool Resolve(HMODULE module, NestedFunction which, Fn* into)
{
    plat::Proc proc = plat::FindFunction(module, nested_function_names[which]);
    if (proc == nullptr)
        return false;
    *into = reinterpret_cast<Fn>(proc);
    return true;
}

// Writes the long path of the library's own file (capacity OWN_PATH_CAPACITY) and returns its
// length; 0 on failure.
DWORD GetModuleLongPath(WCHAR* longPath)
{
    return plat::OwnLongPath(plugInState.selfModule, longPath, OWN_PATH_CAPACITY);
}

// The settings path, into path (MAX_SAVE_PATH units); false when the library's path cannot
// be formed.
bool SettingsPath(WCHAR* path)
{
    WCHAR own[OWN_PATH_CAPACITY];
    return SettingsPathOf(own, GetModuleLongPath(own), path);
}

// Reads DataUnit and WritePlugin and binds the nested plug-in they name, if any.
void BindNestedPlugIn()
{
    PlugInState& s = plugInState;
    s.dataUnit = 1;
    s.nested.module = nullptr;

    WCHAR path[MAX_SAVE_PATH];
    if (!SettingsPath(path))
        return;
    s.dataUnit = DataUnitOf(plat::ReadDataUnit(path, DEFAULT_DATA_UNIT));

    WCHAR value[WRITE_PLUGIN_CAPACITY];
    plat::ReadWritePlugin(path, value, WRITE_PLUGIN_CAPACITY);
    DWORD length = 0;
    if (NestedPluginPath(path, value, &length) != NestedChoice::load)
        return;

    HMODULE module = plat::LoadModule(path);
    if (module == nullptr)
        return;
    // The library itself, under whatever spelling: nesting into ourselves would take a control
    // of our own for every output, until all 16 were used and every StartSave failed. The
    // loader's handle tells it for every spelling (case, short names, links), where comparing
    // paths would miss some. Its functions are ours: write files directly, as for a library
    // that is no write plug-in.
    if (module == s.selfModule) {
        plat::ReleaseModule(module);
        return;
    }
    NestedPlugIn& n = s.nested;
    if (!Resolve(module, NESTED_CREATE_CTRL, &n.CreateCtrl) ||
        !Resolve(module, NESTED_DELETE_CTRL, &n.DeleteCtrl) ||
        !Resolve(module, NESTED_START_SAVE, &n.StartSave) ||
        !Resolve(module, NESTED_STOP_SAVE, &n.StopSave) ||
        !Resolve(module, NESTED_GET_SAVE_FILE_PATH, &n.GetSaveFilePath) ||
        !Resolve(module, NESTED_ADD_TS_BUFF, &n.AddTSBuff)) {
        plat::ReleaseModule(module);  // not a write plug-in: write files ourselves
        return;
    }
    n.module = module;
}

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
    if (!plat::HasWritePlugin(path))
        plat::WriteSettings(path, default_write_plugin, default_data_unit_text);
    return plat::OpenForEditing(path);
}

}  // namespace

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
