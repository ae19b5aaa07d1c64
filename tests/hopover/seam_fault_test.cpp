// hopover's exits when the seam fails: standard streams that cannot be switched to binary mode,
// and a file that opens but cannot be positioned. Neither real seam fails so when tests run, so
// this runs on a test seam that fails on request.
#include "failing_platform.h"
#include "hopover_core.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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
    failing_platform::RefuseBinary(true);
    EXPECT_EQ(Run(), 1);
    failing_platform::RefuseBinary(false);
    EXPECT_EQ(failing_platform::Seeks(), 0);
}

TEST_F(SeamFault, file_that_cannot_be_positioned_ends_with_one)
{
    failing_platform::RefuseSeek(true);
    EXPECT_EQ(Run(), 1);
    failing_platform::RefuseSeek(false);
    EXPECT_EQ(failing_platform::Seeks(), 1);
}

}  // namespace
