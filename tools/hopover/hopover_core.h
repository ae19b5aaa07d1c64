// hopover's portable core: the program, which relays standard input and then the rest of a
// file to standard output. Nothing here includes an OS header; the core reaches the operating
// system only through plat:: (platform.h).
#pragma once

// The program: arguments as the platform's wide strings, result the exit code. Called by the
// entry point of main_win32.cpp or main_posix.cpp.
int tool_main(int argc, wchar_t** argv);
