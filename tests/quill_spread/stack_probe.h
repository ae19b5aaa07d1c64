// The notes of the stack-probe nested plug-in (stack_probe_plugin.cpp), which the test reads in
// process through the plug-in's export ProbeNotes.
#pragma once

#include <windows.h>

#include <cstdint>

namespace stack_probe {

// The six functions of the nested contract, in this order.
enum Fn { create_ctrl, delete_ctrl, start_save, stop_save, get_save_file_path, add_ts_buff };

struct Notes {
    DWORD calls[6];
    std::uintptr_t firstArg[6];   // the address of the first argument of the first call
    DWORD moved[6];               // later calls whose first argument lay anywhere else
    ULONGLONG startParams[64];    // of the first 64 StartSave calls, in order
    DWORD lastSize;               // of the last AddTSBuff
    DWORD* lastWriteSize;         // the counter the last AddTSBuff was given
    BOOL taken[64];               // the nested control exists
};

typedef const Notes* (*ProbeNotesFn)();

}  // namespace stack_probe
