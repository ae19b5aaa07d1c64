// The life of one output: open, write, close, and the numbered names of CreateUniqueFile.
#include "output.h"

bool IsLive(const OutputEntry& entry)
{
    return InNestedMode() ? entry.nestedId != 0 : entry.file != INVALID_HANDLE_VALUE;
}

HANDLE CreateUniqueFile(WCHAR* path, DWORD limit, int overwrite)
{
    HANDLE file = plat::CreateOutputFile(path, overwrite != 0);
    if (file != INVALID_HANDLE_VALUE)
        return file;
    // Any failure leads here, not only an existing file: with overwrite the file may be held
    // open by another process.
    int length = TextLength(path);
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
    TextCopy(work, path);
    for (int n = 1; n <= 999; ++n) {
        int candidateLength = ext + plat::FormatNumbered(work + ext, n, path + ext);
        if (static_cast<DWORD>(candidateLength) >= limit)
            continue;  // would not fit the caller's buffer
        file = plat::CreateOutputFile(work, overwrite != 0);
        if (file != INVALID_HANDLE_VALUE) {
            TextCopy(path, work);
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

bool OpenOutput(OutputEntry& entry, const WCHAR* requested, WCHAR* actual, DWORD actualSize,
                int overwrite, ULONGLONG startParam)
{
    if (!InNestedMode()) {
        // An empty name is no file: it would only ever be created as "-(1)" in the host's
        // current folder. entry.file is not touched on these refusals: nothing was opened.
        if (requested[0] == 0)
            return false;
        if (actual != requested) {
            if (static_cast<DWORD>(TextLength(requested)) >= actualSize)
                return false;
            TextCopy(actual, requested);
        }
        entry.file = CreateUniqueFile(actual, actualSize, overwrite);
        return entry.file != INVALID_HANDLE_VALUE;
    }
    const NestedPlugIn& n = plugInState.nested;
    if (n.CreateCtrl(&entry.nestedId)) {
        DWORD nestedId = entry.nestedId;
        if (!n.StartSave(nestedId, requested, overwrite, startParam)) {
            n.DeleteCtrl(nestedId);
        } else {
            // A size that the nested plug-in writes back is not passed on.
            DWORD capacity = actualSize;
            if (n.GetSaveFilePath(nestedId, actual, &capacity))
                return true;
            n.StopSave(nestedId);
            n.DeleteCtrl(nestedId);
        }
    }
    entry.nestedId = 0;
    return false;
}

bool WriteToOutput(OutputEntry& entry, const BYTE* data, DWORD size, DWORD* written)
{
    BOOL ok = InNestedMode() ? plugInState.nested.AddTSBuff(entry.nestedId, data, size, written)
                             : plat::WriteOutput(entry.file, data, size, written);
    if (ok)
        return true;
    CloseOutputEntry(entry);  // this output ends here; the others go on
    return false;
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

void CloseOutputs(CtrlSlot& slot)
{
    for (DWORD k = 0; k < slot.outputCount; ++k)
        CloseOutputEntry(slot.outputs[k]);
    // started, unitOffset, overwrite and savePath stay: a stopped control still reports its
    // last path, and DuplicateSave may extend it by that path.
    slot.outputCount = 0;
}
