// The seam of refusing_platform.h over the standard library; each call keeps its promise of
// platform.h for the small files of a test.
#include "refusing_platform.h"

#include "platform.h"

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

namespace {

bool refuse_binary = false;
int files_opened = 0;

}  // namespace

namespace refusing_platform {

void RefuseBinary(bool refuse)
{
    refuse_binary = refuse;
}

int FilesOpened()
{
    return files_opened;
}

}  // namespace refusing_platform

namespace plat {

bool SetBinaryStdout()
{
    return !refuse_binary;
}

std::FILE* OpenShared(const wchar_t* path)
{
    ++files_opened;
    std::FILE* file = std::fopen(std::string(path, path + std::wcslen(path)).c_str(), "rb");
    if (file != nullptr)
        std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

int Seek64(std::FILE* file, std::int64_t offset, SeekFrom origin)
{
    static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};  // in SeekFrom's order
    return std::fseek(file, static_cast<long>(offset), whence[static_cast<int>(origin)]);
}

void SleepMs(unsigned ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace plat
