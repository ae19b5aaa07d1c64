// A nested write plug-in that watches how it is called: the six functions of the nested
// contract, declared exactly as a third-party plug-in declares them (WINAPI, so stdcall on x86),
// each noting its arguments and the stack address of its first argument. A caller that removes
// the arguments itself after a stdcall function already has (or that pushes them with the wrong
// widths) moves that address from one call to the next from the same place, and cuts a 64-bit
// startParam in two. The test reads the notes in process through ProbeNotes.
#include "stack_probe.h"

#define PROBE_EXPORT extern "C" __declspec(dllexport)

namespace {

stack_probe::Notes notes;
constexpr DWORD first_id = 201;

// Counts a call of function index whose first argument lies at arg.
void Note(stack_probe::Fn index, const void* arg)
{
    std::uintptr_t at = reinterpret_cast<std::uintptr_t>(arg);
    if (notes.calls[index]++ == 0)
        notes.firstArg[index] = at;
    else if (at != notes.firstArg[index])
        ++notes.moved[index];
}

bool Valid(DWORD id)
{
    return id >= first_id && id - first_id < 64;
}

}  // namespace

PROBE_EXPORT BOOL WINAPI CreateCtrl(DWORD* id)
{
    Note(stack_probe::create_ctrl, &id);
    for (DWORD i = 0; i < 64; ++i) {
        if (!notes.taken[i]) {
            notes.taken[i] = TRUE;  // taken until DeleteCtrl
            *id = first_id + i;
            return TRUE;
        }
    }
    return FALSE;
}

PROBE_EXPORT BOOL WINAPI DeleteCtrl(DWORD id)
{
    Note(stack_probe::delete_ctrl, &id);
    if (!Valid(id))
        return FALSE;
    notes.taken[id - first_id] = FALSE;
    return TRUE;
}

PROBE_EXPORT BOOL WINAPI StartSave(DWORD id, const WCHAR* fileName, BOOL, ULONGLONG startParam)
{
    Note(stack_probe::start_save, &id);
    DWORD n = notes.calls[stack_probe::start_save] - 1;
    if (n < 64)
        notes.startParams[n] = startParam;
    return Valid(id) && fileName != nullptr;
}

PROBE_EXPORT BOOL WINAPI StopSave(DWORD id)
{
    Note(stack_probe::stop_save, &id);
    return Valid(id);
}

PROBE_EXPORT BOOL WINAPI GetSaveFilePath(DWORD id, WCHAR* filePath, DWORD* filePathSize)
{
    Note(stack_probe::get_save_file_path, &id);
    if (!Valid(id) || filePathSize == nullptr)
        return FALSE;
    const WCHAR path[] = L"probe.ts";
    DWORD required = sizeof path / sizeof path[0];
    if (filePath == nullptr || *filePathSize < required) {
        *filePathSize = required;
        return filePath == nullptr;
    }
    lstrcpyW(filePath, path);
    return TRUE;
}

PROBE_EXPORT BOOL WINAPI AddTSBuff(DWORD id, const BYTE* data, DWORD size, DWORD* writeSize)
{
    Note(stack_probe::add_ts_buff, &id);
    notes.lastSize = size;
    notes.lastWriteSize = writeSize;
    if (!Valid(id) || data == nullptr || writeSize == nullptr)
        return FALSE;
    *writeSize = size;
    return TRUE;
}

// Not part of the contract: the test's window into the notes.
PROBE_EXPORT const stack_probe::Notes* ProbeNotes()
{
    return &notes;
}
