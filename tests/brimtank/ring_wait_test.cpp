// Where each of brimtank's loops must stop and wait, in process on the counting seam, which
// shows when a thread waits for an event: the state is looked at once a loop demonstrably
// waits, not after a pause that a slow machine might not fill.
#include "brimtank_core.h"
#include "counting_platform.h"
#include "recording_io.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <thread>

using brimtank::io_chunk;
using brimtank_test::Describe;
using brimtank_test::RecordingIo;
using brimtank_test::WaitUntil;

namespace {

bool OneWaits()
{
    return counting_platform::Now().waiting == 1;
}

TEST(RingWait, blocked_consumer_stops_reader_below_one_chunk_free)
{
    counting_platform::Reset();
    for (std::uint64_t ring_size : {std::uint64_t{131072}, std::uint64_t{1000000}}) {
        std::size_t input = static_cast<std::size_t>(3 * ring_size);
        RecordingIo io({ring_size, 0}, test_support::PatternBytes(input, 4));
        io.SetConsumer(RecordingIo::Consumer::blocks_until_released);
        int code = -1;
        std::thread run([&] { code = brimtank::RunRing({ring_size, 0}, io); });
        // The first write never returns, so the writer waits in it, not for an event: the one
        // that waits for an event is the reader, which must have filled the ring until fewer
        // than one chunk is free, and no further (the recording reports an overwrite).
        EXPECT_TRUE(WaitUntil([&] { return io.WritesBegun() == 1 && OneWaits(); }, 20000));
        EXPECT_GT(io.InTotal(), ring_size - 1 - io_chunk) << "ring " << ring_size;
        EXPECT_LE(io.InTotal(), ring_size - 1) << "ring " << ring_size;
        io.Release();
        run.join();
        EXPECT_EQ(code, 0);
        EXPECT_EQ(io.OutTotal(), input);
        auto faults = io.Faults();
        EXPECT_TRUE(faults.empty()) << "ring " << ring_size << Describe(faults);
    }
}

TEST(RingWait, tail_before_ring_end_waits_for_a_whole_chunk_while_input_runs)
{
    counting_platform::Reset();
    // A ring of 1000000 bytes: fifteen whole chunks and a 16960-byte tail before its end. Input
    // pauses just after the tail was read, inside a read, with the ring nearly empty, so the one
    // that waits for an event is the writer: the tail alone is not enough to write while input
    // runs (the recording reports any write that is not a whole chunk).
    const std::uint64_t ring_size = 1000000;
    const std::size_t input = 3 * 1000000;
    RecordingIo io({ring_size, 0}, test_support::PatternBytes(input, 7));
    io.StallInputAt(ring_size);
    int code = -1;
    std::thread run([&] { code = brimtank::RunRing({ring_size, 0}, io); });
    EXPECT_TRUE(WaitUntil([&] { return io.OutTotal() >= 15 * io_chunk && OneWaits(); }, 20000));
    EXPECT_EQ(io.OutTotal(), 15 * io_chunk);
    io.Release();
    run.join();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(io.OutTotal(), input);
    EXPECT_TRUE(io.Faults().empty()) << Describe(io.Faults());
}

}  // namespace
