// The types of the write plug-in interface: the Win32 ones from the Windows headers in the
// Windows build, and the same names over the POSIX ABI elsewhere. Only type names and
// constants come from here; the portable code calls no operating-system function.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "win_types_posix.h"
#endif
