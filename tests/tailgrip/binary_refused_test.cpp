// tailgrip's start when standard output cannot be switched to binary mode: exit code 1, before
// the file is read. POSIX streams have no text mode, so the real seam never refuses; for this
// test the linker puts a wrapper in front of it (--wrap), which refuses on request.
#include "tailgrip_core.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool refuse_binary = false;
int binary_calls = 0;

}  // namespace

// plat::SetBinaryStdout() and the wrapper the linker calls in its place.
extern "C" bool __real__ZN4plat15SetBinaryStdoutEv();
extern "C" bool __wrap__ZN4plat15SetBinaryStdoutEv()
{
    ++binary_calls;
    return !refuse_binary && __real__ZN4plat15SetBinaryStdoutEv();
}

namespace {

TEST(Start, binary_mode_refused_ends_with_one_before_the_file_is_read)
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

    refuse_binary = true;
    EXPECT_EQ(tool_main(4, argv.data()), 1);
    EXPECT_EQ(binary_calls, 1);
}

}  // namespace
