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

// Input pauses inside a read, so the one that waits for an event is the writer; by then it must
// have written exactly what it may while input runs. A ring of 1000000 bytes has fifteen whole
// chunks and a 16960-byte tail before its end: paused just after the tail, the tail alone is not
// enough to write (the recording reports any write that is not a whole chunk). An initial fill
// of two chunks, paused with exactly that much read: the fill is reached, not one byte more is
// needed, and once output has begun the fill holds nothing back, so both chunks go out.
TEST(RingWait, writer_paused_input_writes_all_whole_chunks_it_may)
{
    struct Case { std::uint64_t ring_size, fill, pause_at, written; };
    const Case cases[] = {{1000000, 0, 1000000, 15 * io_chunk},
                          {4 * io_chunk, 2 * io_chunk, 2 * io_chunk, 2 * io_chunk}};
    for (const Case& c : cases) {
        counting_platform::Reset();
        const std::size_t input = 3 * 1000000;
        RecordingIo io({c.ring_size, c.fill}, test_support::PatternBytes(input, 7));
        io.StallInputAt(c.pause_at);
        int code = -1;
        std::thread run([&] { code = brimtank::RunRing({c.ring_size, c.fill}, io); });
        EXPECT_TRUE(WaitUntil([&] { return io.OutTotal() >= c.written && OneWaits(); }, 20000))
            << "fill " << c.fill;
        EXPECT_EQ(io.OutTotal(), c.written) << "fill " << c.fill;
        io.Release();
        run.join();
        EXPECT_EQ(code, 0);
        EXPECT_EQ(io.OutTotal(), input);
        EXPECT_TRUE(io.Faults().empty()) << Describe(io.Faults());
    }
}

}  // namespace
