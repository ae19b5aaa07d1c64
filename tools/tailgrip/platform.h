// The operating-system seam of tailgrip: binary standard output, the shared open of the file it
// follows, 64-bit positioning and the pause between passes.
// platform_win32.cpp and platform_posix.cpp implement it side by side.
#pragma once

#include <cstdint>
#include <cstdio>

namespace plat {

// Switches standard output to binary mode; false if that fails.
bool SetBinaryStdout();

// Opens path for reading, binary and sequential, without denying other processes read or
// write access, so that its producer keeps writing it; null on failure. The stream is
// unbuffered: the producer may still fill in space it preallocated, so every read must fetch
// the bytes from the file as they are now, never ones that the runtime read ahead earlier.
std::FILE* OpenShared(const wchar_t* path);

enum class SeekFrom { start, current, end };

// Moves the position of file by offset bytes from origin; 0 on success, as fseek. Also clears
// the stream's end-of-file state, in the runtime's stream and underneath it.
int Seek64(std::FILE* file, std::int64_t offset, SeekFrom origin);

// Pauses for ms milliseconds, the whole of them even when a signal handler runs meanwhile.
void SleepMs(unsigned ms);

}  // namespace plat
