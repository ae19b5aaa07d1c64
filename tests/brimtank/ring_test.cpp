// brimtank's core, in process: the argument conversion, and the two loops with the real threads,
// lock and events of the platform, driven through a recording stream pair that checks every
// read and write the loops make (where in the ring, how much, and when).
#include "brimtank_core.h"
#include "recording_io.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using brimtank::io_chunk;
using brimtank_test::Describe;
using brimtank_test::RecordingIo;

namespace {

TEST(Arguments, counts_convert_like_an_unsigned_32_bit_long)
{
    struct Row { const wchar_t* text; std::uint32_t value; };
    const Row rows[] = {
        {L"0", 0},
        {L"131072", 131072},
        {L"", 0},
        {L"abc", 0},
        {L"x12", 0},
        {L"12abc", 12},
        {L"0x10", 0},
        {L"1e6", 1},
        {L"  \t\n+42 7", 42},
        {L"- 5", 0},
        {L"+-5", 0},
        {L"-0", 0},
        {L"-1", 4294967295u},
        {L"  -131072", 4294836224u},
        {L"-4294967295", 1},
        {L"4294967295", 4294967295u},
        // Beyond 32 bits saturates, also where a 64-bit unsigned long would still hold it,
        // and a minus sign does not undo the saturation.
        {L"4294967296", 4294967295u},
        {L"-4294967296", 4294967295u},
        {L"18446744073709551615", 4294967295u},
        {L"-18446744073709551615", 4294967295u},
        {L"99999999999999999999999999", 4294967295u},
        {L"-99999999999999999999999999", 4294967295u},
        {L"000000000000000000000000000000000000000001000000", 1000000},
    };
    for (const Row& r : rows)
        EXPECT_EQ(brimtank::ConvertCount(r.text), r.value) << "text \"" << r.text << "\"";
}

TEST(Arguments, ring_size_and_fill_are_clamped)
{
    struct Row { const wchar_t* size; const wchar_t* fill; std::uint64_t ring_size, initial_fill; };
    const Row rows[] = {
        {L"0", L"0", 131072, 0},
        {L"abc", L"abc", 131072, 0},
        {L"131071", L"99999", 131072, 0},  // the smallest ring never holds output back
        {L"131073", L"5", 131073, 1},
        {L"-1", L"0", 1073741824, 0},
        {L"1073741825", L"-1", 1073741824, 1073741824 - 131072},
        {L"1000000", L"999999", 1000000, 868928},
        {L"1000000", L"868928", 1000000, 868928},
        {L"1000000", L"868927", 1000000, 868927},
        {L"4194304", L"300000", 4194304, 300000},
        {L"4294967296", L"4294967296", 1073741824, 1073741824 - 131072},
    };
    for (const Row& r : rows) {
        brimtank::RingSettings s = brimtank::SettingsFromArgs(r.size, r.fill);
        EXPECT_EQ(s.ring_size, r.ring_size) << "\"" << r.size << "\" \"" << r.fill << "\"";
        EXPECT_EQ(s.initial_fill, r.initial_fill) << "\"" << r.size << "\" \"" << r.fill << "\"";
    }
}


TEST(Ring, copy_wraps_ring_many_times_in_whole_chunks)
{
    struct Case { std::uint64_t ring_size, fill; std::size_t input; };
    const Case cases[] = {
        {131072, 0, 40 * 131072 + 1},
        {131073, 1, 30 * 131073 - 1},
        {1000000, 868928, 9 * 1000000 + 12345},
        {3 * 1048576 + 4321, 1048576, 4 * (3 * 1048576 + 4321) + 65536},
        {262144, 0, 65536 * 12},  // ends exactly on a chunk and on the ring's end
    };
    std::uint32_t seed = 10;
    for (const Case& c : cases) {
        RecordingIo io({c.ring_size, c.fill}, test_support::PatternBytes(c.input, seed++));
        EXPECT_EQ(brimtank::RunRing({c.ring_size, c.fill}, io), 0);
        EXPECT_EQ(io.OutTotal(), c.input) << "ring " << c.ring_size;
        EXPECT_EQ(io.Flushes(), 1);
        auto faults = io.Faults();
        EXPECT_TRUE(faults.empty()) << "ring " << c.ring_size << Describe(faults);
    }
}

TEST(Ring, input_shorter_than_fill_or_chunk_goes_out_at_its_end)
{
    struct Case { std::uint64_t ring_size, fill; std::size_t input; };
    const Case cases[] = {
        {4194304, 3000000, 1000}, {4194304, 3000000, 2999999}, {131072, 0, 65535},
        {131072, 0, 1}, {1000000, 868928, 868927},
        {131072, 0, 0},  // empty input: one read, no write, and the flush
    };
    for (const Case& c : cases) {
        RecordingIo io({c.ring_size, c.fill}, test_support::PatternBytes(c.input, 3));
        EXPECT_EQ(brimtank::RunRing({c.ring_size, c.fill}, io), 0);
        EXPECT_EQ(io.OutTotal(), c.input);
        EXPECT_EQ(io.Flushes(), 1);
        if (c.input == 0) {
            EXPECT_EQ(io.Reads(), 1u);
        }
        auto faults = io.Faults();
        EXPECT_TRUE(faults.empty()) << c.input << " bytes" << Describe(faults);
    }
}

TEST(Ring, failed_write_stops_writer_and_reader_ends_without_input_end)
{
    // Input that never ends: the run still finishes once the ring lacks a chunk of room.
    for (std::size_t failing : {std::size_t{1}, std::size_t{7}, std::size_t{40}}) {
        const std::uint64_t ring_size = 8 * io_chunk;  // every write a whole chunk
        RecordingIo io({ring_size, 200000}, test_support::PatternBytes(1000003, 5), true);
        io.SetConsumer(RecordingIo::Consumer::fails_at_write, failing);
        EXPECT_EQ(brimtank::RunRing({ring_size, 200000}, io), 0);
        EXPECT_EQ(io.OutTotal(), (failing - 1) * io_chunk);
        EXPECT_GT(io.InTotal() - io.OutTotal(), ring_size - 1 - io_chunk);
        EXPECT_EQ(io.Flushes(), 1);
        auto faults = io.Faults();
        EXPECT_TRUE(faults.empty()) << "failing write " << failing << Describe(faults);
    }
    // Input that ends before the ring is full: the run ends with the input.
    RecordingIo io({4194304, 0}, test_support::PatternBytes(300000, 6));
    io.SetConsumer(RecordingIo::Consumer::fails_at_write, 1);
    EXPECT_EQ(brimtank::RunRing({4194304, 0}, io), 0);
    EXPECT_EQ(io.InTotal(), 300000u);
    EXPECT_EQ(io.Flushes(), 1);
}

TEST(Ring, runs_on_two_threads_at_once_keep_to_their_own_state)
{
    // Each run hands its writer its own state: two at once, with rings of different sizes and
    // fills, each copy whole and checked read by read.
    const brimtank::RingSettings a{131072, 0}, b{1000000, 500000};
    RecordingIo io_a(a, test_support::PatternBytes(20 * 131072 + 5, 8));
    RecordingIo io_b(b, test_support::PatternBytes(4 * 1000000 + 3, 9));
    int code_a = -1, code_b = -1;
    std::thread run_a([&] { code_a = brimtank::RunRing(a, io_a); });
    std::thread run_b([&] { code_b = brimtank::RunRing(b, io_b); });
    run_a.join();
    run_b.join();
    EXPECT_EQ(code_a, 0);
    EXPECT_EQ(code_b, 0);
    EXPECT_EQ(io_a.OutTotal(), 20 * 131072u + 5);
    EXPECT_EQ(io_b.OutTotal(), 4 * 1000000u + 3);
    EXPECT_TRUE(io_a.Faults().empty()) << Describe(io_a.Faults());
    EXPECT_TRUE(io_b.Faults().empty()) << Describe(io_b.Faults());
}

}  // namespace
