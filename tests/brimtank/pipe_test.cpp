// brimtank end to end: the real program behind real pipes (natively, and built for Windows
// under wine). Independent runs go side by side, so that waiting for one costs no time.
#include "child_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace test_support;

namespace {

const std::string brimtank = BRIMTANK_PATH;
// The usage text goes out before the streams are switched to binary mode, so on Windows the
// runtime's text mode turns its newline into CR LF.
#ifdef _WIN32
const std::string usage_text = "Usage: brimtank buf_size_bytes initial_fill_bytes\r\n";
#else
const std::string usage_text = "Usage: brimtank buf_size_bytes initial_fill_bytes\n";
#endif

constexpr std::size_t io_chunk = 65536;
constexpr std::size_t MiB = 1048576;
// What the pipes around the program, a read waiting for the rest of its chunk and the runtime's
// stream buffers may hold besides the ring, generously.
constexpr std::size_t pipe_slack = MiB;

// Waits until the feeder has handed over at least n bytes; false after timeout_ms.
bool WaitFed(ChildProcess& child, std::size_t n, int timeout_ms)
{
    for (int waited = 0; child.FedBytes() < n; waited += 5) {
        if (waited >= timeout_ms || child.FeedFinished())
            return child.FedBytes() >= n;
        os::SleepMs(5);
    }
    return true;
}

// Waits for the feeder to give up on a program that has ended without reading all its input,
// so that nothing writes to the pipe any more when the child's handles are closed.
void WaitFeedGivenUp(ChildProcess& child)
{
    for (int waited = 0; !child.FeedFinished() && waited < 30000; waited += 5)
        os::SleepMs(5);
}

// Runs body(i) for every i in [0, n) on threads of its own and waits for all.
template <typename Body>
void SideBySide(std::size_t n, Body body)
{
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i)
        threads.emplace_back([&body, i] { body(i); });
    for (auto& t : threads)
        t.join();
}

struct Outcome {
    int exit_code = -1;
    bool output_equal = false;
    std::size_t output_size = 0;
    std::string err;
};

TEST(Pipe, copies_byte_exact_across_many_wraps)
{
    struct Case { std::vector<std::string> args; std::size_t input, piece; };
    const Case cases[] = {
        {{"0", "0"}, 4 * MiB + 77, 7919},               // the smallest ring, 32 times round
        {{"1000000", "999999"}, 5 * MiB + 3, 65537},    // a ring that is no multiple of a chunk
        {{"3145741", "1000000"}, 6 * MiB + 1, 300007},  // a few MiB, pieces far above a chunk
    };
    const std::size_t n = sizeof cases / sizeof cases[0];
    Outcome got[n];
    SideBySide(n, [&](std::size_t i) {
        std::string data = PatternBytes(cases[i].input, static_cast<std::uint32_t>(20 + i));
        ChildProcess child;
        if (!child.Start(brimtank, cases[i].args))
            return;
        child.FeedStdin(data, cases[i].piece, 0, true);
        got[i].exit_code = child.Wait(90000);
        got[i].output_size = child.StdoutSize();
        got[i].output_equal = child.Stdout() == data;
        got[i].err = child.Stderr();
    });
    for (std::size_t i = 0; i < n; ++i) {
        const std::string ring = cases[i].args[0];
        EXPECT_EQ(got[i].exit_code, 0) << "ring " << ring;
        EXPECT_TRUE(got[i].output_equal) << "ring " << ring << ": " << got[i].output_size
                                         << " bytes out of " << cases[i].input;
        EXPECT_EQ(got[i].err, "") << "ring " << ring;
    }
}

TEST(Pipe, output_held_back_until_fill_and_whole_chunks)
{
    // Input arrives in pieces with pauses. After some of them, exactly so much output must have
    // come: nothing while fewer than max(initial fill, one chunk) bytes have been read (reads
    // take whole chunks), then every whole chunk read so far.
    struct Stage { std::size_t pieces, output; };
    struct Case {
        std::vector<std::string> args;
        std::size_t piece, pieces;
        Stage before, after;
    };
    const Case cases[] = {
        // No fill: one chunk still has to be there, and the next waits for a whole one too.
        {{"0", "0"}, 65535, 3, {1, 0}, {2, 65536}},
        // The fill becomes 1000000 - 131072 = 868928: 13 chunks are too few, 14 enough.
        {{"1000000", "999999"}, 122000, 9, {7, 0}, {8, 14 * io_chunk}},
        {{"4194304", "300000"}, 70000, 6, {4, 0}, {5, 5 * io_chunk}},
        // Input pauses right after the 16960 bytes before the ring's end: they wait for more.
        {{"1000000", "0"}, 500000, 3, {1, 7 * io_chunk}, {2, 15 * io_chunk}},
    };
    const std::size_t n = sizeof cases / sizeof cases[0];
    struct Seen {
        Outcome end;
        bool reached[2] = {false, false};  // the output came while the feeder still paused
        std::size_t output[2] = {0, 0};
    } seen[n];
    SideBySide(n, [&](std::size_t i) {
        const Case& c = cases[i];
        std::string data = PatternBytes(c.piece * c.pieces, static_cast<std::uint32_t>(30 + i));
        ChildProcess child;
        if (!child.Start(brimtank, c.args))
            return;
        child.FeedStdin(data, c.piece, 700, true);
        const Stage stages[] = {c.before, c.after};
        for (int s = 0; s < 2; ++s) {
            const std::size_t fed = stages[s].pieces * c.piece;
            if (!WaitFed(child, fed, 60000))
                break;
            seen[i].reached[s] = child.WaitForStdout(stages[s].output, 30000) &&
                                 child.OfferedBytes() == fed;
        }
        seen[i].end.exit_code = child.Wait(60000);
        for (int s = 0; s < 2; ++s)
            seen[i].output[s] = child.StdoutWhileOffered(stages[s].pieces * c.piece);
        seen[i].end.output_equal = child.Stdout() == data;
        seen[i].end.err = child.Stderr();
    });
    int reached = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Case& c = cases[i];
        const std::string name = c.args[0] + " " + c.args[1];
        const Stage stages[] = {c.before, c.after};
        for (int s = 0; s < 2; ++s) {
            // Never more than the stage allows on the input offered by then, whatever the
            // timing; and all of it, where it came before the feeder went on (on a loaded
            // machine the feeder may go on first, and the stage then shows only the bound).
            EXPECT_LE(seen[i].output[s], stages[s].output)
                << name << " after " << stages[s].pieces << " pieces of " << c.piece;
            if (seen[i].reached[s] && stages[s].output > 0) {
                ++reached;
                EXPECT_EQ(seen[i].output[s], stages[s].output)
                    << name << " after " << stages[s].pieces << " pieces of " << c.piece;
            }
        }
        EXPECT_EQ(seen[i].end.exit_code, 0) << name;
        EXPECT_TRUE(seen[i].end.output_equal) << name;
        EXPECT_EQ(seen[i].end.err, "") << name;
    }
    // A program that held whole chunks back would reach no stage while its feeder paused.
    EXPECT_GT(reached, 0) << "no stage's output came while its feeder paused";
}

TEST(Pipe, input_shorter_than_fill_goes_out_when_it_ends)
{
    struct Case { std::vector<std::string> args; std::size_t input; };
    const Case cases[] = {
        {{"4194304", "3000000"}, 1000},
        {{"1000000", "999999"}, 868927},
        {{"0", "0"}, 65535},
        {{"0", "0"}, 1},
        {{"0", "0"}, 0},  // empty input: nothing at all, still a normal end
        {{"4194304", "3000000"}, 0},
    };
    const std::size_t n = sizeof cases / sizeof cases[0];
    Outcome got[n];
    SideBySide(n, [&](std::size_t i) {
        std::string data = PatternBytes(cases[i].input, static_cast<std::uint32_t>(40 + i));
        RunResult r = RunTool(brimtank, cases[i].args, data, 60000);
        got[i].exit_code = r.exit_code;
        got[i].output_equal = r.out == data;
        got[i].output_size = r.out.size();
        got[i].err = r.err;
    });
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(got[i].exit_code, 0) << cases[i].input << " bytes";
        EXPECT_TRUE(got[i].output_equal) << cases[i].input << " bytes in, "
                                         << got[i].output_size << " out";
        EXPECT_EQ(got[i].err, "");
    }
}

TEST(Pipe, consumer_that_never_reads_stops_reader_at_ring_capacity)
{
    // The ring's capacity as the arguments give it, seen from how much input the program takes
    // while nothing is read from it: about the ring, never much more. Once it has taken about
    // the ring, the consumer goes away: the failed write stops the writer, and the reader ends
    // the run by itself where it lacks room (or at the input's end), so that what it took is
    // counted once it has stopped taking.
    struct Case { std::vector<std::string> args; std::size_t ring, input; };
    const Case cases[] = {
        {{"4194304", "0"}, 4194304, 12 * MiB},
        {{"abc", "abc"}, 131072, 4 * MiB},      // no digits: the smallest ring
        {{"100", "5000000"}, 131072, 4 * MiB},  // below the smallest ring
        {{"-1", "0"}, 1073741824, 12 * MiB},    // 4294967295, clamped to the largest ring
    };
    const std::size_t n = sizeof cases / sizeof cases[0];
    struct Seen {
        Outcome end;
        bool took_ring = false;
        std::size_t fed = 0;
    } seen[n];
    SideBySide(n, [&](std::size_t i) {
        const Case& c = cases[i];
        std::string data = PatternBytes(c.input, static_cast<std::uint32_t>(50 + i));
        ChildProcess child;
        if (!child.Start(brimtank, c.args))
            return;
        child.PauseStdout(true);
        child.FeedStdin(data, 32768, 0, true);
        // Pieces in flight and chunks cut at the ring's end keep it from counting exactly.
        std::size_t at_least = std::min(c.input, c.ring - 2 * io_chunk);
        seen[i].took_ring = WaitFed(child, at_least, 60000);
        child.CloseStdout();
        seen[i].end.exit_code = child.Wait(60000);
        WaitFeedGivenUp(child);
        seen[i].fed = child.FedBytes();
        seen[i].end.err = child.Stderr();
    });
    for (std::size_t i = 0; i < n; ++i) {
        const Case& c = cases[i];
        const std::string name = c.args[0] + " " + c.args[1];
        EXPECT_TRUE(seen[i].took_ring) << name << ": took " << seen[i].fed;
        EXPECT_LE(seen[i].fed, std::min(c.input, c.ring + pipe_slack)) << name;
        EXPECT_EQ(seen[i].end.exit_code, 0) << name;
        EXPECT_EQ(seen[i].end.err, "") << name;
    }
}

TEST(Pipe, consumer_gone_ends_with_zero)
{
    // Input that never ends, with the reader gone from the start or in the middle: the program
    // ends once its ring lacks a chunk of room. Input that ends: it ends with the input.
    struct Case {
        std::vector<std::string> args;
        std::size_t ring, input;
        bool input_ends;
        std::size_t close_after_output;  // 0: gone before anything was written
    };
    const Case cases[] = {
        {{"0", "0"}, 131072, 16 * MiB, false, 0},
        {{"2000000", "1000000"}, 2000000, 16 * MiB, false, 0},
        {{"1000000", "0"}, 1000000, 16 * MiB, false, 300000},
        {{"4194304", "0"}, 4194304, 300000, true, 0},
    };
    const std::size_t n = sizeof cases / sizeof cases[0];
    struct Seen {
        Outcome end;
        std::size_t fed = 0;
        std::size_t taken = 0;  // output read before the reader went
    } seen[n];
    SideBySide(n, [&](std::size_t i) {
        const Case& c = cases[i];
        ChildProcess child;
        if (!child.Start(brimtank, c.args))
            return;
        if (c.close_after_output == 0)
            child.CloseStdout();
        child.FeedStdin(PatternBytes(c.input, static_cast<std::uint32_t>(60 + i)), 65536, 0,
                        c.input_ends);
        if (c.close_after_output != 0) {
            child.WaitForStdout(c.close_after_output, 60000);
            child.CloseStdout();
            seen[i].taken = child.StdoutSize();
        }
        seen[i].end.exit_code = child.Wait(60000);
        WaitFeedGivenUp(child);
        seen[i].fed = child.FedBytes();
        seen[i].end.err = child.Stderr();
    });
    for (std::size_t i = 0; i < n; ++i) {
        const Case& c = cases[i];
        const std::string name = c.args[0] + " " + c.args[1];
        EXPECT_EQ(seen[i].end.exit_code, 0) << name;
        EXPECT_EQ(seen[i].end.err, "") << name;
        if (!c.input_ends) {
            EXPECT_LE(seen[i].fed, c.ring + seen[i].taken + pipe_slack) << name;
        }
    }
}

TEST(Pipe, wrong_argument_count_prints_usage_and_reads_nothing)
{
    const std::vector<std::vector<std::string>> arg_lists = {{}, {"1000000"}, {"0", "0", "0"}};
    const std::size_t n = arg_lists.size();
    struct Seen {
        int exit_code = -1;
        std::string out, err;
        std::size_t fed = 0;
    } seen[3];
    SideBySide(n, [&](std::size_t i) {
        ChildProcess child;
        if (!child.Start(brimtank, arg_lists[i]))
            return;
        // Far more than a pipe holds, never closed: a program that read before checking its
        // arguments would take more than the pipe's capacity or never end.
        child.FeedStdin(std::string(4 * MiB, 'x'), 0, 0, false);
        seen[i].exit_code = child.Wait(30000);
        WaitFeedGivenUp(child);
        seen[i].out = child.Stdout();
        seen[i].err = child.Stderr();
        seen[i].fed = child.FedBytes();
    });
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(seen[i].exit_code, 2) << arg_lists[i].size() << " arguments";
        EXPECT_EQ(seen[i].err, usage_text);
        EXPECT_EQ(seen[i].out, "");
        EXPECT_LE(seen[i].fed, MiB);
    }
}

}  // namespace

// Started by a program that has none to give (a service, a GUI program): on Windows the runtime
// cannot switch the missing stream to binary mode, which ends the run with 1; POSIX needs no
// switch, and the failed read is the end of an empty input. Either way nothing is written.
TEST(Pipe, without_standard_input_nothing_is_written)
{
    ChildProcess child;
    ASSERT_TRUE(child.Start(brimtank, {"0", "0"}, false));
#ifdef _WIN32
    EXPECT_EQ(child.Wait(20000), 1);
#else
    EXPECT_EQ(child.Wait(20000), 0);
#endif
    EXPECT_EQ(child.Stdout(), "");
    EXPECT_EQ(child.Stderr(), "");
}
