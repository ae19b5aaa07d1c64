// The recording host run as a separate program on a private copy of the library: the stream
// from standard input, a duplicate joining and leaving at chosen positions, the paths and
// results it prints, and the bytes of every file.
#include "quill_fixture.h"

#include "child_process.h"

using namespace quill_test;
using test_support::ReadFileBytes;
using test_support::RunTool;

namespace {

TEST_F(QuillTest, host_records_with_a_duplicate_joining_and_leaving)
{
    std::string stream = test_support::PatternBytes(200000, 21);
    ASSERT_TRUE(test_support::WriteFileBytes(dir.File("main.ts"), "taken"));
    std::string main = dir.File("main.ts"), dup = dir.File("dup.ts");
    test_support::RunResult r =
        RunTool(RECORD_HOST_PATH,
                {lib_path, main, "--buffer", "5000", "--dup", "1000:" + dup, "--drop", "150001:1"},
                stream);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string numbered = dir.File("main-(1).ts");
    EXPECT_EQ(r.out, "save 1 " + numbered + "\n" +
                         "dup 1 at 1000 ret 1 id 2 path " + dup + "\n" +
                         "drop 1 at 150001 ret 1\n" +
                         "fed 200000 buffers 41 refused 0\n" +
                         "stop 1\n");
    EXPECT_TRUE(ReadFileBytes(numbered) == stream);
    EXPECT_EQ(ReadFileBytes(main), "taken");
    // 1000 = 5 * 188 + 60: the duplicate begins at the boundary 1128.
    std::string copy = ReadFileBytes(dup);
    EXPECT_TRUE(copy == stream.substr(1128, 150001 - 1128)) << copy.size();
}

TEST_F(QuillTest, host_raw_mode_writes_every_file_whole)
{
    std::string stream = test_support::PatternBytes(70001, 22);
    std::string input = dir.File("in.ts");
    ASSERT_TRUE(test_support::WriteFileBytes(input, stream));
    test_support::RunResult r =
        RunTool(RECORD_HOST_PATH, {lib_path, dir.File("a.ts"), "--input", input, "--raw", "--dup",
                                   "0:" + dir.File("b.ts")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "raw 2 files fed 70001 buffers 2 refused 0\n");
    EXPECT_TRUE(ReadFileBytes(dir.File("a.ts")) == stream);
    EXPECT_TRUE(ReadFileBytes(dir.File("b.ts")) == stream);
}

}  // namespace
