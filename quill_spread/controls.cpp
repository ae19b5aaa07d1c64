// The control table, the settings and the nested plug-in binding: CreateCtrl, DeleteCtrl,
// GetPlugInName, Setting, and the load and unload work of the entry point.
#include "controls.h"
#include "output.h"

namespace {

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
    TextCopy(path + length, ini_suffix);
    return true;
}

}  // namespace

DWORD GetModuleLongPath(WCHAR* longPath)
{
    // 508, not 512: ".ini" and the terminator must still fit the 512-unit settings path.
    return plat::OwnLongPath(plugInState.selfModule, longPath, 508);
}

void BindNestedPlugIn()
{
    PlugInState& s = plugInState;
    s.dataUnit = 1;
    s.nested.module = nullptr;

    WCHAR path[MAX_SAVE_PATH];
    if (!SettingsPath(path))
        return;
    UINT unit = plat::ReadDataUnit(path, 188);
    s.dataUnit = unit < 2 ? 1 : unit;

    WCHAR value[64];
    plat::ReadWritePlugin(path, value, 64);
    if (value[0] == 0 || value[0] == ';')
        return;

    // Cut the settings path back to its directory, keeping the separator.
    int dirLength = TextLength(path);
    while (dirLength > 0 && path[dirLength - 1] != '\\' && path[dirLength - 1] != '/')
        path[--dirLength] = 0;
    if (TextLength(value) + dirLength >= static_cast<int>(MAX_SAVE_PATH))
        return;
    TextCopy(path + dirLength, value);

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
    if (!plat::HasWritePlugin(path))
        plat::WriteSettings(path, QTEXT(";Quill_Basic.dll"), QTEXT("188"));
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
