// tailgrip's start when standard output cannot be switched to binary mode: exit code 1, before
// the file is opened. Neither real seam refuses when tests run, so this one runs on a test seam
// that refuses on request.
#include "refusing_platform.h"
#include "tailgrip_core.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

    refusing_platform::RefuseBinary(true);
    EXPECT_EQ(tool_main(4, argv.data()), 1);
    EXPECT_EQ(refusing_platform::FilesOpened(), 0);
}

}  // namespace
