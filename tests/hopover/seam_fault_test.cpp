// hopover's exits when the seam fails: standard streams that cannot be switched to binary mode,
// and a file that opens but cannot be positioned. Neither real seam fails so when tests run, so
// this test links the seam below in place of the real one: the file from the standard library,
// and each failure on request.
#include "hopover_core.h"
#include "platform.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

bool refuse_binary = false;
bool refuse_seek = false;
int seeks = 0;

}  // namespace

bool plat::SetBinaryStdio()
{
    return !refuse_binary;
}

std::FILE* plat::OpenShared(const wchar_t* path)
{
    return std::fopen(std::string(path, path + std::wcslen(path)).c_str(), "rb");
}

int plat::Seek64(std::FILE* file, std::uint64_t offset)
{
    ++seeks;
    return refuse_seek ? -1 : std::fseek(file, static_cast<long>(offset), SEEK_SET);
}

namespace {

class SeamFault : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The program reads standard input to its end first: make it an empty file.
        ASSERT_TRUE(test_support::WriteFileBytes(empty_input, ""));
        ASSERT_NE(std::freopen(empty_input.c_str(), "rb", stdin), nullptr);
        ASSERT_TRUE(test_support::WriteFileBytes(file, "the rest of the stream"));
    }

    int Run()
    {
        std::vector<std::wstring> args = {L"hopover", std::wstring(file.begin(), file.end())};
        std::vector<wchar_t*> argv;
        for (std::wstring& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return tool_main(2, argv.data());
    }

    test_support::ScratchDir dir{"hopover_seam"};
    const std::string empty_input = dir.File("input");
    const std::string file = dir.File("stream.ts");
};

TEST_F(SeamFault, binary_mode_refused_ends_with_one_at_once)
{
    refuse_binary = true;
    EXPECT_EQ(Run(), 1);
    refuse_binary = false;
    EXPECT_EQ(seeks, 0);
}

TEST_F(SeamFault, file_that_cannot_be_positioned_ends_with_one)
{
    refuse_seek = true;
    EXPECT_EQ(Run(), 1);
    refuse_seek = false;
    EXPECT_EQ(seeks, 1);
}

}  // namespace
