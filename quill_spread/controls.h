// The control table's own work beyond its exports: what the entry point does at load and
// unload.
#pragma once

#include "state.h"

// Entry point work, called by the platform's load and unload hooks.
void ProcessAttach(HMODULE self);
// unloading: the library is unloaded while the process goes on, so the files it still holds
// open are closed (nothing is called in the nested plug-in, which may be gone already).
void ProcessDetach(bool unloading);
