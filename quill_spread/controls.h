// The control table's own work beyond its exports: the settings and the nested plug-in
// binding, and what the entry point does at load and unload.
#pragma once

#include "state.h"

// Writes the long path of the library's own file (capacity at least 508) and returns its
// length; 0 on failure.
DWORD GetModuleLongPath(WCHAR* longPath);
// Reads DataUnit and WritePlugin and binds the nested plug-in they name, if any.
void BindNestedPlugIn();

// Entry point work, called by the platform's load and unload hooks.
void ProcessAttach(HMODULE self);
// unloading: the library is unloaded while the process goes on, so the files it still holds
// open are closed (nothing is called in the nested plug-in, which may be gone already).
void ProcessDetach(bool unloading);
