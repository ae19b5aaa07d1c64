// hopover end to end: the real program behind real pipes and files (natively, and built for
// Windows under wine).
#include "child_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>

using namespace test_support;

namespace {

const std::string hopover = HOPOVER_PATH;
// The usage text goes out before the streams are switched to binary mode, so on Windows the
// runtime's text mode turns its newline into CR LF.
#ifdef _WIN32
const std::string usage_text = "Usage: hopover file_path\r\n";
#else
const std::string usage_text = "Usage: hopover file_path\n";
#endif

class Relay : public ::testing::Test {
protected:
    ScratchDir dir{"hopover"};
};

TEST_F(Relay, relay_resumes_file_at_count)
{
    // Sizes and cut points away from multiples of the 65536-byte transfer unit, up to several
    // MiB, so every block boundary case of both phases is crossed.
    struct Case { std::size_t file_size, input_size; };
    const Case cases[] = {
        {1, 1},           {65536, 65536},        {65537, 65535},      {200000, 1},
        {200000, 131073}, {3 * 1048576 + 17, 1048576 + 5},           {5 * 1048576 + 3, 4 * 1048576 - 1},
    };
    int seed = 1;
    for (const Case& c : cases) {
        std::string whole = PatternBytes(c.file_size, seed++);
        std::string path = dir.File("stream" + std::to_string(seed) + ".ts");
        ASSERT_TRUE(WriteFileBytes(path, whole));
        RunResult r = RunTool(hopover, {path}, whole.substr(0, c.input_size));
        EXPECT_EQ(r.exit_code, 0) << c.file_size << "/" << c.input_size;
        EXPECT_TRUE(r.out == whole) << "output of " << r.out.size() << " bytes for file "
                                    << c.file_size << " after input " << c.input_size;
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Relay, empty_input_copies_whole_file)
{
    std::string whole = PatternBytes(300001, 7);
    std::string path = dir.File("whole.ts");
    ASSERT_TRUE(WriteFileBytes(path, whole));
    RunResult r = RunTool(hopover, {path}, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out == whole);
}

TEST_F(Relay, file_shorter_than_input_adds_nothing)
{
    std::string path = dir.File("short.ts");
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(1000, 3)));
    std::string input = PatternBytes(70000, 4);
    RunResult r = RunTool(hopover, {path}, input);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out == input);

    // An empty file with empty input: nothing at all, still a normal end.
    std::string empty = dir.File("empty.ts");
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    r = RunTool(hopover, {empty}, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(Relay, missing_file_relays_input_then_fails)
{
    std::string input = PatternBytes(150000, 5);
    RunResult r = RunTool(hopover, {dir.File("absent.ts")}, input);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.out == input);
    EXPECT_EQ(r.err, "");
}

TEST_F(Relay, file_opened_only_after_input_ended)
{
    // The file does not exist while the input runs; it appears before the input ends, once
    // the first chunk has come out: hopover is then past its start, reading more input.
    std::string whole = PatternBytes(100000, 6);
    std::string path = dir.File("late.ts");
    ChildProcess child;
    ASSERT_TRUE(child.Start(hopover, {path}));
    child.FeedStdin(whole.substr(0, 70000), 0, 0, false);
    ASSERT_TRUE(child.WaitForStdout(65536, 10000));
    ASSERT_TRUE(WriteFileBytes(path, whole));
    child.CloseStdin();
    EXPECT_EQ(child.Wait(10000), 0);
    EXPECT_TRUE(child.Stdout() == whole);
}

TEST_F(Relay, wrong_argument_count_prints_usage_and_reads_nothing)
{
    std::string path = dir.File("any.ts");
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    const std::vector<std::vector<std::string>> arg_lists = {{}, {path, path}};
    for (const auto& args : arg_lists) {
        ChildProcess child;
        ASSERT_TRUE(child.Start(hopover, args));
        // Far more than a pipe holds, never closed: a program that read before checking its
        // arguments would take more than the pipe's capacity or never end.
        child.FeedStdin(std::string(4 * 1048576, 'x'), 0, 0, false);
        EXPECT_EQ(child.Wait(10000), 2) << args.size() << " arguments";
        EXPECT_EQ(child.Stderr(), usage_text);
        EXPECT_EQ(child.Stdout(), "");
        EXPECT_LE(child.FedBytes(), 1048576u);
    }
}

// Started by a program that has none to give (a service, a GUI program): on Windows the runtime
// cannot switch the missing stream to binary mode, which ends the run with 1 before the file is
// touched; POSIX needs no switch, and the failed read ends an empty input phase, so the whole
// file follows.
TEST_F(Relay, without_standard_input)
{
    std::string whole = PatternBytes(100000, 3);
    std::string path = dir.File("no_input.ts");
    ASSERT_TRUE(WriteFileBytes(path, whole));
    ChildProcess child;
    ASSERT_TRUE(child.Start(hopover, {path}, false));
#ifdef _WIN32
    EXPECT_EQ(child.Wait(10000), 1);
    EXPECT_EQ(child.Stdout(), "");
#else
    EXPECT_EQ(child.Wait(10000), 0);
    EXPECT_TRUE(child.Stdout() == whole);
#endif
    EXPECT_EQ(child.Stderr(), "");
}

TEST_F(Relay, reader_gone_exits_one_without_hanging)
{
    // Gone before the input phase writes anything, gone only for the file phase, and gone where
    // everything fits in the runtime's output buffer, so that only the final flush meets the
    // loss: a run that lost bytes must not end as one that delivered them.
    struct Case { std::size_t input_size, file_size; };
    const Case cases[] = {{300000, 500000}, {0, 500000}, {0, 100}, {100, 200}};
    for (const Case& c : cases) {
        std::string whole = PatternBytes(c.file_size, 8);
        std::string path = dir.File("gone" + std::to_string(c.file_size) + ".ts");
        ASSERT_TRUE(WriteFileBytes(path, whole));
        ChildProcess child;
        ASSERT_TRUE(child.Start(hopover, {path}));
        child.CloseStdout();
        child.FeedStdin(PatternBytes(c.input_size, 9));
        EXPECT_EQ(child.Wait(10000), 1) << c.input_size << "/" << c.file_size;
    }
}

}  // namespace
