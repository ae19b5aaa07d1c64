// The operating-system seam of hopover: binary standard streams and the file it continues from.
// platform_win32.cpp and platform_posix.cpp implement it side by side.
#pragma once

#include <cstdint>
#include <cstdio>

namespace plat {

// Switches standard input, then standard output, to binary mode; false if either fails.
bool SetBinaryStdio();

// Opens path for reading without denying other processes read or write access; null on failure.
std::FILE* OpenShared(const wchar_t* path);

// Positions file at offset bytes from its start; 0 on success, as fseek.
int Seek64(std::FILE* file, std::uint64_t offset);

}  // namespace plat
