// POSIX side of hopover's seam: standard streams are already binary, and the file opens
// read-only (POSIX has no share modes to deny).
#include "platform.h"

#include <stdio.h>
#include <sys/types.h>

#include <string>

namespace plat {

bool SetBinaryStdio()
{
    return true;
}

// Arguments were widened byte for byte in main_posix.cpp; narrowing them the same way gives back
// the exact bytes of the path, whatever its encoding.
std::FILE* OpenShared(const wchar_t* path)
{
    std::string narrow;
    for (const wchar_t* p = path; *p != 0; ++p)
        narrow.push_back(static_cast<char>(*p));
    return std::fopen(narrow.c_str(), "rb");
}

int Seek64(std::FILE* file, std::uint64_t offset)
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
}

}  // namespace plat
