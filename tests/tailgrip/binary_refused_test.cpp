// tailgrip's start when standard output cannot be switched to binary mode: exit code 1, before
// the file is opened. Neither real seam refuses when tests run, so this test links the seam
// below in place of the real one: it refuses, and counts the files that the start goes on to.
#include "platform.h"
#include "tailgrip_core.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int files_opened = 0;

}  // namespace

bool plat::SetBinaryStdout()
{
    return false;
}

std::FILE* plat::OpenShared(const wchar_t*)
{
    ++files_opened;
    return nullptr;
}

int plat::Seek64(std::FILE*, std::int64_t, SeekFrom)
{
    return -1;
}

void plat::SleepMs(unsigned) {}

namespace {

TEST(Start, binary_mode_refused_ends_with_one_before_the_file_is_opened)
{
    // A file that a run would copy to standard output, ending at once with exit code 0.
    test_support::ScratchDir dir("tailgrip_binary");
    const std::string path = dir.File("stream.ts");
    ASSERT_TRUE(test_support::WriteFileBytes(path, "data"));
    std::vector<std::wstring> args = {L"tailgrip", L"0", L"0", std::wstring(path.begin(), path.end())};
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    EXPECT_EQ(tool_main(4, argv.data()), 1);
    EXPECT_EQ(files_opened, 0);
}

}  // namespace
