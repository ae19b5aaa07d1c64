// tailgrip end to end: the real program behind real pipes, following real files that this
// test writes while it runs (natively, and built for Windows under wine).
#include "child_process.h"
#include "stream_bytes.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace test_support;
using namespace tailgrip_test;

namespace {

const std::string tailgrip = TAILGRIP_PATH;
// The usage text goes out on stderr, which stays in text mode, so on Windows the runtime turns
// its newline into CR LF.
#ifdef _WIN32
const char* const newline = "\r\n";
#else
const char* const newline = "\n";
#endif
const std::string usage_text = std::string("Usage: tailgrip seek_offset|-seek_end_offset "
                                           "close_timeout_sec[p{interval*256+preamble_byte}] "
                                           "file_path") + newline;

constexpr std::size_t ts_block = 65424;

bool WriteAt(const std::string& path, std::size_t offset, const std::string& bytes)
{
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

// A producer that keeps its file open and writes it piece by piece, as a recording does. On
// Windows it can share only reading, as the recording plug-in does.
class Producer {
public:
    Producer(const std::string& path, bool share_read_only)
    {
#ifdef _WIN32
        if (share_read_only) {
            const std::wstring wide(path.begin(), path.end());
            handle_ = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            ok_ = handle_ != INVALID_HANDLE_VALUE;
            return;
        }
#else
        (void)share_read_only;
#endif
        file_ = std::fopen(path.c_str(), "wb");
        ok_ = file_ != nullptr;
    }
    ~Producer()
    {
#ifdef _WIN32
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
#endif
        if (file_ != nullptr)
            std::fclose(file_);
    }
    bool ok() const { return ok_; }
    bool Append(const std::string& bytes)
    {
#ifdef _WIN32
        if (handle_ != INVALID_HANDLE_VALUE) {
            DWORD done = 0;
            return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                             nullptr) && done == bytes.size();
        }
#endif
        return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() &&
               std::fflush(file_) == 0;
    }

private:
    std::FILE* file_ = nullptr;
    bool ok_ = false;
#ifdef _WIN32
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#endif
};

class Follow : public ::testing::Test {
protected:
    // Ends a run whose idle time is long: the reader goes away, one more byte is appended, and
    // the write of it fails, which ends the run normally.
    int FinishByGoneReader(ChildProcess& child, const std::string& path)
    {
        child.CloseStdout();
        AppendFileBytes(path, "x");
        return child.Wait(10000);
    }

    ScratchDir dir{"tailgrip"};
};

TEST_F(Follow, wrong_argument_count_prints_usage)
{
    std::string path = dir.File("any.ts");
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    const std::vector<std::vector<std::string>> arg_lists = {
        {}, {"0", path}, {"0", "0", path, path}};
    for (const auto& args : arg_lists) {
        RunResult r = RunTool(tailgrip, args);
        EXPECT_EQ(r.exit_code, 2) << args.size() << " arguments";
        EXPECT_EQ(r.err, usage_text);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Follow, start_up_failures_exit_one_silently)
{
    std::string path = dir.File("thousand.ts");
    ASSERT_TRUE(WriteFileBytes(path, PatternBytes(1000, 1)));
    const std::vector<std::vector<std::string>> arg_lists = {
        {"0", "0", dir.File("absent.ts")},
        {"0", "0p255", path},      {"0", "0p0", path},  {"0", "0p-256", path},
        {"0", "0p16777472", path}, {"0", "0p", path},
        {"-1002", "0", path},      // 1001 bytes before the end of 1000
    };
    for (const auto& args : arg_lists) {
        RunResult r = RunTool(tailgrip, args);
        EXPECT_EQ(r.exit_code, 1) << args[0] << " " << args[1];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Follow, start_position_from_start_or_end)
{
    std::string path = dir.File("positions.ts");
    const std::string bytes = PatternBytes(1000, 2);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    struct Case { const char* start; std::size_t from; };
    const Case cases[] = {{"0", 0},    {"-0", 0},      {"-1", 1000},  {"-1001", 0},
                          {"-101", 900}, {"500", 500}, {"1000", 1000}, {"  +7", 7}};
    for (const Case& c : cases) {
        RunResult r = RunTool(tailgrip, {c.start, "0", path});
        EXPECT_EQ(r.exit_code, 0) << c.start;
        EXPECT_TRUE(r.out == bytes.substr(c.from)) << c.start << ": " << r.out.size();
    }
}

TEST_F(Follow, suffix_switches_the_check)
{
    std::string garbage = PatternBytes(150000, 3);
    garbage[0] = 'X';
    std::string garbage_path = dir.File("garbage.ts");
    ASSERT_TRUE(WriteFileBytes(garbage_path, garbage));
    std::string ts = TsStream(150000, 4);
    std::string ts_path = dir.File("packets.ts");
    ASSERT_TRUE(WriteFileBytes(ts_path, ts));

    struct Case { const char* timeout; const std::string* path; std::string out; };
    const Case cases[] = {
        {"0x", &garbage_path, garbage},      // check off
        {"0P48199", &garbage_path, garbage}, // check off: only a lower-case p counts
        {"p48199", &garbage_path, ""},       // timeout 0, check on: the first byte fails
        {"p48199", &ts_path, ts},
        {"0p48199", &ts_path, ts},
    };
    for (const Case& c : cases) {
        RunResult r = RunTool(tailgrip, {"0", c.timeout, *c.path});
        EXPECT_EQ(r.exit_code, 0) << c.timeout;
        EXPECT_TRUE(r.out == c.out) << c.timeout << ": " << r.out.size() << " bytes";
    }
}

TEST_F(Follow, smallest_and_largest_suffix_values)
{
    // 256: interval 1, preamble 0, so every byte of a full block must be 0.
    std::string zeros(70000, '\0');
    std::string path = dir.File("zeros.ts");
    ASSERT_TRUE(WriteFileBytes(path, zeros));
    RunResult r = RunTool(tailgrip, {"0", "0p256", path});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out == zeros);
    zeros[40000] = 1;
    ASSERT_TRUE(WriteFileBytes(path, zeros));
    r = RunTool(tailgrip, {"0", "0p256", path});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string(1, '\0'));

    // 16777471: interval 65536, preamble 255, so only the last byte of a block is examined.
    std::string wide = PatternBytes(1 + 65536, 5);
    wide[0] = '\xff';
    wide[65536] = '\xff';
    ASSERT_TRUE(WriteFileBytes(path, wide));
    r = RunTool(tailgrip, {"0", "0p16777471", path});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out == wide);
    wide[65536] = '\xfe';
    ASSERT_TRUE(WriteFileBytes(path, wide));
    r = RunTool(tailgrip, {"0", "0p16777471", path});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "\xff");
}

TEST_F(Follow, wrong_first_byte_ends_after_the_idle_time_with_nothing)
{
    std::string path = dir.File("misaligned.ts");
    ASSERT_TRUE(WriteFileBytes(path, "X" + TsStream(200000, 6)));
    RunResult r = RunTool(tailgrip, {"0", "1p48199", path});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

void FollowWhileWriting(const std::string& path, bool share_read_only, const char* timeout)
{
    const bool check = std::string(timeout).find('p') != std::string::npos;
    const std::string whole = TsStream(800000, 7);
    // Under the check, the first block passes before the producer goes on in pieces.
    const std::size_t head = check ? 1 + ts_block + 1 : 1000;
    Producer producer(path, share_read_only);
    ASSERT_TRUE(producer.ok());
    ASSERT_TRUE(producer.Append(whole.substr(0, head)));

    ChildProcess child;
    ASSERT_TRUE(child.Start(tailgrip, {"0", timeout, path}));
    ASSERT_TRUE(child.WaitForStdout(head, 10000));
    const std::size_t pieces[] = {1, 187, 188, 189, 4095, 65423, 65424, 65425, 100000, 7, 131072};
    const int pauses[] = {0, 3, 20};
    std::size_t filled = head;
    for (std::size_t k = 0; filled < whole.size(); ++k) {
        std::size_t piece = k < std::size(pieces) ? pieces[k] : 50000;
        piece = std::min(piece, whole.size() - filled);
        ASSERT_TRUE(producer.Append(whole.substr(filled, piece)));
        filled += piece;
        os::SleepMs(pauses[k % std::size(pauses)]);
    }
    EXPECT_TRUE(child.WaitForStdout(whole.size(), 20000));
    EXPECT_TRUE(child.Stdout() == whole) << child.StdoutSize() << " bytes out";
    child.CloseStdout();
    ASSERT_TRUE(producer.Append("x"));
    EXPECT_EQ(child.Wait(10000), 0);
}

TEST_F(Follow, output_equals_a_file_appended_in_uneven_pieces)
{
    FollowWhileWriting(dir.File("appended.ts"), false, "30");
    FollowWhileWriting(dir.File("appended-checked.ts"), false, "30p48199");
}

#ifdef _WIN32
TEST_F(Follow, follows_a_file_whose_writer_shares_only_reading)
{
    FollowWhileWriting(dir.File("recording.ts"), true, "30");
    FollowWhileWriting(dir.File("recording-checked.ts"), true, "30p48199");
}
#endif

TEST_F(Follow, preallocated_file_is_passed_on_as_it_fills)
{
    const std::size_t size = 188 * 1100;
    const std::string whole = TsStream(size, 8);
    std::string path = dir.File("prealloc.ts");
    ASSERT_TRUE(WriteFileBytes(path, std::string(size, '\0')));

    // How far each state of the file lets a run go, seen by runs that end at their first pass
    // without data: nothing while the first packet is missing, then up to the first block with
    // zeros where packets should start.
    struct Stage { std::size_t filled, out; };
    const Stage stages[] = {{0, 0}, {100000, 1 + ts_block}, {140000, 1 + 2 * ts_block}};
    for (const Stage& stage : stages) {
        ASSERT_TRUE(WriteAt(path, 0, whole.substr(0, stage.filled)));
        RunResult r = RunTool(tailgrip, {"0", "0p48199", path});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(r.out == whole.substr(0, stage.out)) << stage.filled << ": " << r.out.size();
    }

    // A run that waits goes as far at each state, and on as the space fills. Had it passed
    // anything on too early, the zeros in it would show in the comparison at the end.
    ASSERT_TRUE(WriteFileBytes(path, std::string(size, '\0')));
    ChildProcess child;
    ASSERT_TRUE(child.Start(tailgrip, {"0", "30p48199", path}));
    for (const Stage& stage : stages) {
        ASSERT_TRUE(WriteAt(path, 0, whole.substr(0, stage.filled)));
        ASSERT_TRUE(child.WaitForStdout(stage.out, 10000)) << stage.filled;
    }

    // The tail beyond the last whole block first: it will be read short and go out unexamined.
    ASSERT_TRUE(WriteAt(path, 190000, whole.substr(190000)));
    ASSERT_TRUE(WriteAt(path, 140000, whole.substr(140000, 20000)));
    ASSERT_TRUE(WriteAt(path, 160000, whole.substr(160000, 30000)));
    EXPECT_TRUE(child.WaitForStdout(size, 10000));
    EXPECT_TRUE(child.Stdout() == whole) << child.StdoutSize() << " bytes out";
    EXPECT_EQ(FinishByGoneReader(child, path), 0);
}

TEST_F(Follow, file_ending_mid_block_passes_its_tail_and_check_stays_off)
{
    std::string path = dir.File("midblock.ts");
    const std::string start = TsStream(1 + ts_block, 9) + std::string(499, 'z');
    ASSERT_TRUE(WriteFileBytes(path, start));
    ChildProcess child;
    ASSERT_TRUE(child.Start(tailgrip, {"0", "30p48199", path}));
    ASSERT_TRUE(child.WaitForStdout(start.size(), 10000));
    // Zeros would fail any check; with the check off they are copied.
    const std::string more(2 * 65536 + 11, '\0');
    ASSERT_TRUE(AppendFileBytes(path, more));
    EXPECT_TRUE(child.WaitForStdout(start.size() + more.size(), 10000));
    EXPECT_TRUE(child.Stdout() == start + more) << child.StdoutSize() << " bytes out";
    EXPECT_EQ(FinishByGoneReader(child, path), 0);
}

// Regression: the tail of a block stayed in the runtime's stdout buffer while the program
// waited for more data, so the reader saw it only at the next block or at the end.
TEST_F(Follow, passed_bytes_reach_the_reader_while_it_waits)
{
    struct Case { const char* timeout; std::string bytes; };
    const Case cases[] = {{"30", PatternBytes(70000, 10)},
                          {"30p48199", TsStream(1 + ts_block, 11)}};
    for (const Case& c : cases) {
        std::string path = dir.File(std::string("unbuffered") + c.timeout + ".ts");
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        ChildProcess child;
        ASSERT_TRUE(child.Start(tailgrip, {"0", c.timeout, path}));
        EXPECT_TRUE(child.WaitForStdout(c.bytes.size(), 10000)) << c.timeout;
        EXPECT_EQ(child.Wait(0), -1) << "the bytes came only with the finish";
        EXPECT_TRUE(child.Stdout() == c.bytes) << c.timeout;
        EXPECT_EQ(FinishByGoneReader(child, path), 0);
    }
}

TEST_F(Follow, start_at_the_end_passes_only_what_comes_later)
{
    std::string path = dir.File("live.ts");
    const std::string before = PatternBytes(5000, 12);
    ASSERT_TRUE(WriteFileBytes(path, before));
    ChildProcess child;
    ASSERT_TRUE(child.Start(tailgrip, {"-1", "30", path}));
    // When the program took its position is not visible from here: append pieces until some
    // arrive; the output must then start at one of the piece boundaries.
    std::string file = before;
    std::vector<std::size_t> boundaries;
    for (int i = 0; i < 100 && child.StdoutSize() == 0; ++i) {
        boundaries.push_back(file.size());
        std::string piece = PatternBytes(100 + i, 100 + i);
        ASSERT_TRUE(AppendFileBytes(path, piece));
        file += piece;
        child.WaitForStdout(1, 100);
    }
    const std::string last = PatternBytes(777, 13);
    ASSERT_TRUE(AppendFileBytes(path, last));
    file += last;
    std::string out;
    for (int i = 0; i < 1000; ++i) {
        out = child.Stdout();
        if (out.size() >= last.size() && out.compare(out.size() - last.size(), last.size(), last) == 0)
            break;
        os::SleepMs(10);
    }
    ASSERT_FALSE(boundaries.empty());
    std::size_t from = file.size() - std::min(out.size(), file.size());
    EXPECT_NE(std::find(boundaries.begin(), boundaries.end(), from), boundaries.end())
        << "output starts at " << from;
    EXPECT_TRUE(out == file.substr(from));
    EXPECT_EQ(FinishByGoneReader(child, path), 0);
}

TEST_F(Follow, start_past_the_end_waits_for_the_file_to_grow)
{
    std::string path = dir.File("short.ts");
    const std::string whole = PatternBytes(2500, 14);
    ASSERT_TRUE(WriteFileBytes(path, whole.substr(0, 1000)));
    // Accepted, and nothing there: a run that ends at its first pass without data.
    RunResult r = RunTool(tailgrip, {"2000", "0", path});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");

    // A run that waits: the file grows, first short of the start, then beyond it.
    ChildProcess child;
    ASSERT_TRUE(child.Start(tailgrip, {"2000", "30", path}));
    ASSERT_TRUE(AppendFileBytes(path, whole.substr(1000, 500)));
    ASSERT_TRUE(AppendFileBytes(path, whole.substr(1500)));
    EXPECT_TRUE(child.WaitForStdout(500, 10000));
    EXPECT_TRUE(child.Stdout() == whole.substr(2000));
    EXPECT_EQ(FinishByGoneReader(child, path), 0);
}

TEST_F(Follow, reader_gone_ends_with_zero)
{
    std::string path = dir.File("big.ts");
    ASSERT_TRUE(WriteFileBytes(path, TsStream(3 * 1048576, 15)));
    for (const char* timeout : {"30", "30p48199"}) {
        ChildProcess child;
        ASSERT_TRUE(child.Start(tailgrip, {"0", timeout, path}));
        child.CloseStdout();
        EXPECT_EQ(child.Wait(10000), 0) << timeout;
    }
}

}  // namespace
