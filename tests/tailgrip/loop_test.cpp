// The read loop against a scripted file: every read's size and position, every seek back, every
// pause and every write are seen, and the file changes between pauses as a producer would
// change it. No real time passes.
#include "stream_bytes.h"
#include "tailgrip_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using tailgrip::io_chunk;
using namespace tailgrip_test;

namespace {

constexpr std::size_t ts_block = 65424;  // 348 packets of 188 bytes

struct ReadCall {
    std::size_t size;
    std::uint64_t pos;
    std::size_t got;
    std::size_t sleeps_before;
};

// Thrown by the scripted pause when a loop would never end, so that a fault fails the test
// instead of hanging it.
struct Runaway {};

class ScriptedFile : public tailgrip::LoopIo {
public:
    std::string content;
    std::uint64_t pos = 0;
    std::vector<ReadCall> reads;
    std::vector<std::uint64_t> seeks_back_to;
    std::string out;
    std::size_t writes = 0;
    std::size_t fail_write = SIZE_MAX;  // index of the write that falls one byte short
    std::size_t sleeps = 0;
    std::size_t sleep_cap = 200000;
    // Runs after each pause, with sleeps already counted: the producer's move.
    std::function<void(ScriptedFile&)> on_sleep;

    std::size_t Read(unsigned char* buf, std::size_t size) override
    {
        std::size_t n = 0;
        if (pos < content.size())
            n = std::min<std::size_t>(size, content.size() - pos);
        std::memcpy(buf, content.data() + pos, n);
        reads.push_back({size, pos, n, sleeps});
        pos += n;
        return n;
    }

    void SeekBack(std::size_t n) override
    {
        EXPECT_LE(n, pos);
        pos -= n;
        seeks_back_to.push_back(pos);
    }

    std::size_t Write(const unsigned char* buf, std::size_t n) override
    {
        std::size_t taken = writes++ == fail_write ? n - 1 : n;
        out.append(reinterpret_cast<const char*>(buf), taken);
        return taken;
    }

    void Sleep(unsigned ms) override
    {
        EXPECT_EQ(ms, 200u);
        if (++sleeps > sleep_cap)
            throw Runaway{};
        if (on_sleep)
            on_sleep(*this);
    }

    void Run(std::int32_t close_timeout_sec, std::int32_t interval, std::uint8_t preamble)
    {
        ASSERT_NO_THROW(tailgrip::RunReadLoop(*this, close_timeout_sec, interval, preamble));
    }
};

TEST(ReadLoop, block_sizes_follow_interval)
{
    struct Case { std::int32_t interval; std::size_t block; };
    const Case cases[] = {{1, 65536},     {2, 65536},     {100, 65500},   {188, 65424},
                          {192, 65472},   {204, 65484},   {256, 65536},   {32768, 65536},
                          {40000, 40000}, {65535, 65535}, {65536, 65536}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interval);
        EXPECT_EQ(tailgrip::BlockReadSize(c.interval), c.block);
        // One byte, two whole blocks, a short tail, then nothing.
        const std::size_t b = c.block;
        ScriptedFile f;
        f.content = PacketStream(1 + 2 * b + 10, static_cast<std::size_t>(c.interval), 3);
        f.Run(0, c.interval, sync_byte);
        ASSERT_EQ(f.reads.size(), 5u);
        EXPECT_EQ(f.reads[0].size, 1u);
        EXPECT_EQ(f.reads[1].size, b);
        EXPECT_EQ(f.reads[1].pos, 1u);
        EXPECT_EQ(f.reads[2].size, b);
        EXPECT_EQ(f.reads[2].pos, 1 + b);
        EXPECT_EQ(f.reads[3].size, b);
        EXPECT_EQ(f.reads[3].got, 10u);
        EXPECT_EQ(f.reads[4].size, io_chunk);  // the short read switched the check off
        EXPECT_EQ(f.reads[4].got, 0u);
        EXPECT_TRUE(f.out == f.content);
        EXPECT_EQ(f.sleeps, 0u);
    }
}

TEST(ReadLoop, check_off_reads_whole_chunks)
{
    ScriptedFile f;
    f.content = test_support::PatternBytes(3 * io_chunk + 5, 4);
    f.Run(0, 0, 0);
    ASSERT_EQ(f.reads.size(), 5u);
    for (const ReadCall& r : f.reads)
        EXPECT_EQ(r.size, io_chunk);
    EXPECT_EQ(f.reads[3].got, 5u);
    EXPECT_TRUE(f.out == f.content);
}

TEST(PreambleCheck, examines_last_byte_and_every_interval_th_before_it)
{
    // A block as the loop reads it: it starts one byte after a packet start.
    std::string stream = TsStream(1 + ts_block + 1, 5);
    std::vector<unsigned char> block(stream.begin() + 1, stream.begin() + 1 + ts_block);
    ASSERT_TRUE(tailgrip::BlockPasses(block.data(), block.size(), 188, sync_byte));
    std::vector<std::size_t> examined;
    for (std::size_t i = 0; i < block.size(); ++i) {
        unsigned char kept = block[i];
        block[i] = static_cast<unsigned char>(kept == sync_byte ? 0 : sync_byte);
        if (!tailgrip::BlockPasses(block.data(), block.size(), 188, sync_byte))
            examined.push_back(i);
        block[i] = kept;
    }
    ASSERT_EQ(examined.size(), 348u);
    for (std::size_t k = 0; k < examined.size(); ++k)
        EXPECT_EQ(examined[k], 187 + 188 * k);

    // Interval 1: every byte counts; interval 65536: only the last one.
    std::vector<unsigned char> zeros(io_chunk, 0);
    EXPECT_TRUE(tailgrip::BlockPasses(zeros.data(), zeros.size(), 1, 0));
    zeros[0] = 1;
    EXPECT_FALSE(tailgrip::BlockPasses(zeros.data(), zeros.size(), 1, 0));
    EXPECT_TRUE(tailgrip::BlockPasses(zeros.data(), zeros.size(), 65536, 0));
    zeros[io_chunk - 1] = 1;
    EXPECT_FALSE(tailgrip::BlockPasses(zeros.data(), zeros.size(), 65536, 0));
}

TEST(ReadLoop, failed_block_is_read_again_until_the_file_fills)
{
    // Space of full length preallocated with zeros; written from the front, the rest filled
    // in at the third pause.
    const std::string final_stream = TsStream(1 + 3 * ts_block + 1, 6);
    const std::size_t written = 1 + ts_block + 1000;
    ScriptedFile f;
    f.content = final_stream.substr(0, written) + std::string(final_stream.size() - written, '\0');
    std::vector<std::size_t> out_at_sleep;
    f.on_sleep = [&](ScriptedFile& s) {
        out_at_sleep.push_back(s.out.size());
        if (s.sleeps == 3)
            s.content = final_stream;
    };
    f.Run(2, 188, sync_byte);

    EXPECT_TRUE(f.out == final_stream);
    // Before the fill only the blocks in front of the incomplete one came out.
    ASSERT_GE(out_at_sleep.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(out_at_sleep[i], 1 + ts_block);
    // The incomplete block: read three times from the same place with the same size, each
    // time moved back over.
    ASSERT_EQ(f.seeks_back_to.size(), 3u);
    for (std::uint64_t p : f.seeks_back_to)
        EXPECT_EQ(p, 1 + ts_block);
    for (std::size_t i = 2; i < 6; ++i) {
        EXPECT_EQ(f.reads[i].pos, 1 + ts_block);
        EXPECT_EQ(f.reads[i].size, ts_block);
        EXPECT_EQ(f.reads[i].sleeps_before, i - 2);
    }
    // Written blocks do not pause; after the data, 2 s worth of pauses end the run.
    EXPECT_EQ(f.sleeps, 3u + 10u);
}

TEST(ReadLoop, wrong_first_byte_passes_nothing_until_the_idle_time_ends)
{
    ScriptedFile f;
    f.content = "X" + TsStream(3 * ts_block, 7);
    f.Run(2, 188, sync_byte);
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.sleeps, 10u);
    ASSERT_EQ(f.reads.size(), 11u);
    for (const ReadCall& r : f.reads) {
        EXPECT_EQ(r.size, 1u);
        EXPECT_EQ(r.pos, 0u);
    }
    EXPECT_EQ(f.seeks_back_to.size(), 11u);
}

TEST(ReadLoop, idle_time_counts_passes_without_a_written_block)
{
    struct Case { std::int32_t timeout; std::size_t sleeps; };
    for (Case c : {Case{0, 0}, Case{-3, 0}, Case{1, 5}, Case{10, 50}}) {
        ScriptedFile f;
        f.Run(c.timeout, 0, 0);
        EXPECT_EQ(f.sleeps, c.sleeps) << c.timeout;
        EXPECT_EQ(f.reads.size(), c.sleeps + 1) << c.timeout;
    }

    // Data after 30 idle passes starts the count again.
    ScriptedFile f;
    f.on_sleep = [](ScriptedFile& s) {
        if (s.sleeps == 30)
            s.content += "late data";
    };
    f.Run(10, 0, 0);
    EXPECT_EQ(f.out, "late data");
    EXPECT_EQ(f.sleeps, 30u + 50u);
}

TEST(ReadLoop, large_timeout_is_a_long_wait_not_an_early_end)
{
    // 5 x each of these but the first leaves the signed 32-bit range; wrapped round, 429496730
    // and 858993459 would turn negative and end the run at the first pass. The producer comes
    // back after 100000 pauses and finds its reader gone.
    for (std::int32_t timeout : {429496729, 429496730, 858993459, INT32_MAX}) {
        ScriptedFile f;
        f.fail_write = 0;
        f.on_sleep = [](ScriptedFile& s) {
            if (s.sleeps == 100000)
                s.content = "x";
        };
        f.Run(timeout, 0, 0);
        EXPECT_EQ(f.sleeps, 100000u) << timeout;
        EXPECT_EQ(f.writes, 1u) << timeout;
    }
}

TEST(ReadLoop, short_read_is_passed_unexamined_and_check_stays_off)
{
    // The first block passes; the tail after it is 500 bytes without a single packet start.
    std::string head = TsStream(1 + ts_block + 1, 8);
    ScriptedFile f;
    f.content = head + std::string(499, 'z');
    f.on_sleep = [](ScriptedFile& s) {
        if (s.sleeps == 1)
            s.content += std::string(2 * io_chunk + 3, '\0');  // fails any check
    };
    f.Run(1, 188, sync_byte);
    EXPECT_TRUE(f.out == f.content);
    EXPECT_TRUE(f.seeks_back_to.empty());
    ASSERT_GE(f.reads.size(), 4u);
    EXPECT_EQ(f.reads[2].size, ts_block);
    EXPECT_EQ(f.reads[2].got, 500u);
    for (std::size_t i = 3; i < f.reads.size(); ++i)
        EXPECT_EQ(f.reads[i].size, io_chunk);
}

TEST(ReadLoop, nothing_at_the_start_position_switches_check_off)
{
    ScriptedFile f;
    f.on_sleep = [](ScriptedFile& s) {
        if (s.sleeps == 2)
            s.content = std::string(1000, 'q');
    };
    f.Run(1, 188, sync_byte);
    ASSERT_GE(f.reads.size(), 3u);
    EXPECT_EQ(f.reads[0].size, 1u);
    EXPECT_EQ(f.reads[1].size, io_chunk);
    EXPECT_EQ(f.out, std::string(1000, 'q'));
}

TEST(ReadLoop, failed_write_ends_the_run_at_once)
{
    for (std::int32_t interval : {0, 188}) {
        ScriptedFile f;
        f.content = TsStream(5 * io_chunk, 9);
        f.fail_write = 1;
        f.Run(1000, interval, sync_byte);
        EXPECT_EQ(f.reads.size(), 2u) << interval;
        EXPECT_EQ(f.sleeps, 0u) << interval;
        EXPECT_EQ(f.writes, 2u) << interval;
    }
}

TEST(ReadLoop, follows_appends_in_uneven_pieces)
{
    const std::string whole = TsStream(700000, 10);
    const std::size_t pieces[] = {1, 187, 188, 189, 4095, 65423, 65424, 65425, 100000, 7, 131072};
    for (std::int32_t interval : {0, 188}) {
        ScriptedFile f;
        std::size_t k = 0;
        std::size_t filled = 1 + ts_block + 1;  // one block passes the check before the pieces
        f.content = whole.substr(0, filled);
        f.on_sleep = [&](ScriptedFile& s) {
            std::size_t piece = k < std::size(pieces) ? pieces[k++] : whole.size();
            piece = std::min(piece, whole.size() - filled);
            s.content += whole.substr(filled, piece);
            filled += piece;
        };
        f.Run(1, interval, sync_byte);
        EXPECT_TRUE(f.out == whole) << interval << ": " << f.out.size() << " bytes out";
        // Every read continues where the one before it stopped: nothing lost or repeated.
        std::uint64_t expected_pos = 0;
        for (const ReadCall& r : f.reads) {
            EXPECT_EQ(r.pos, expected_pos);
            expected_pos = r.pos + r.got;
        }
    }
}

}  // namespace
