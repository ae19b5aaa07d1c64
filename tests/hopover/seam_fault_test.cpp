// hopover's exits when the seam fails: standard streams that cannot be switched to binary mode,
// and a file that opens but cannot be positioned. Neither happens on POSIX with the real seam
// (streams have no text mode; a regular file seeks anywhere), so for this test the linker puts
// wrappers in front of it (--wrap) that fail on request.
#include "hopover_core.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

bool refuse_binary = false;
bool refuse_seek = false;
int seeks = 0;

}  // namespace

// plat::SetBinaryStdio() and plat::Seek64(FILE*, uint64_t), and the wrappers the linker calls
// in their place.
extern "C" bool __real__ZN4plat14SetBinaryStdioEv();
extern "C" bool __wrap__ZN4plat14SetBinaryStdioEv()
{
    return !refuse_binary && __real__ZN4plat14SetBinaryStdioEv();
}

extern "C" int __real__ZN4plat6Seek64EP8_IO_FILEm(std::FILE* file, std::uint64_t offset);
extern "C" int __wrap__ZN4plat6Seek64EP8_IO_FILEm(std::FILE* file, std::uint64_t offset)
{
    ++seeks;
    return refuse_seek ? -1 : __real__ZN4plat6Seek64EP8_IO_FILEm(file, offset);
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
    seeks = 0;
    EXPECT_EQ(Run(), 1);
    refuse_seek = false;
    EXPECT_EQ(seeks, 1);
}

}  // namespace
