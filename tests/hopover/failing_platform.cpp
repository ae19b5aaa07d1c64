// The seam of failing_platform.h over the standard library; each call keeps its promise of
// platform.h for the small files of a test.
#include "failing_platform.h"

#include "platform.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool refuse_binary = false;
bool refuse_seek = false;
int seeks = 0;

}  // namespace

namespace failing_platform {

void RefuseBinary(bool refuse)
{
    refuse_binary = refuse;
}

void RefuseSeek(bool refuse)
{
    refuse_seek = refuse;
}

int Seeks()
{
    return seeks;
}

}  // namespace failing_platform

namespace plat {

bool SetBinaryStdio()
{
    return !refuse_binary;
}

std::FILE* OpenShared(const wchar_t* path)
{
    return std::fopen(std::string(path, path + std::wcslen(path)).c_str(), "rb");
}

int Seek64(std::FILE* file, std::uint64_t offset)
{
    ++seeks;
    return refuse_seek ? -1 : std::fseek(file, static_cast<long>(offset), SEEK_SET);
}

}  // namespace plat
