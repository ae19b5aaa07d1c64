// The operating-system seam of tailgrip: binary standard output, the shared open of the file it
// follows, 64-bit positioning, the pause between passes and the runtime's number conversions.
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

void SleepMs(unsigned ms);

// Decimal conversions with the rules of the Windows C runtime (_wcstoi64 and wcstol, base 10,
// long of 32 bits): leading white space and a sign are accepted, the digits end at the first
// other character, a value out of range becomes the nearest limit. *end receives where the
// conversion stopped: after the digits, or text itself when there are none.
std::int64_t WideToInt64(const wchar_t* text, const wchar_t** end);
std::int32_t WideToLong(const wchar_t* text, const wchar_t** end);

}  // namespace plat
