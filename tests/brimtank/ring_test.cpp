// brimtank's core, in process: the argument conversion, and the two loops with the real threads,
// lock and events of the platform, driven through a recording stream pair that checks every
// read and write the loops make (where in the ring, how much, and when).
#include "brimtank_core.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using brimtank::io_chunk;

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

// Streams for RunRing that check, at every call, what the loops promise: each read and each
// write starts where the previous one of its kind ended in the ring, wrapping at its end; reads
// ask for a whole chunk cut only at the ring's end, and never into bytes not yet handed to a
// write; while input runs, writes are whole chunks cut only at the ring's end; the first write
// waits for max(initial fill, one chunk) or the end of input; output equals input.
class RecordingIo final : public brimtank::RingIo {
public:
    enum class Consumer { takes_all, blocks_until_released, fails_at_write };

    RecordingIo(const brimtank::RingSettings& s, std::string input, bool endless = false)
        : ring_size_(s.ring_size), fill_(s.initial_fill), input_(std::move(input)),
          endless_(endless)
    {
    }

    void SetConsumer(Consumer c, std::size_t failing_write = 0)
    {
        consumer_ = c;
        failing_write_ = failing_write;
    }

    // The read that would start at input offset at waits until Release: a producer that pauses.
    void StallInputAt(std::uint64_t at) { stall_at_ = at; }

    std::size_t Read(unsigned char* into, std::size_t count) override
    {
        Jitter(&read_rng_);
        std::uint64_t in = in_total_.load();
        if (in == stall_at_)
            WaitForRelease();
        std::uint64_t off = in % ring_size_;
        if (in == 0)
            base_.store(into);
        if (into != base_.load() + off)
            Fault("read at ring index " + std::to_string(into - base_.load()) + ", expected " +
                  std::to_string(off));
        if (count != std::min<std::uint64_t>(io_chunk, ring_size_ - off))
            Fault("read of " + std::to_string(count) + " at index " + std::to_string(off));
        if (in + count > out_done_.load() + ring_size_ - 1)
            Fault("read of " + std::to_string(count) + " would overwrite unwritten bytes at " +
                  std::to_string(in));
        std::size_t n = count;
        if (!endless_ && in + n > input_.size())
            n = static_cast<std::size_t>(input_.size() - in);
        for (std::size_t i = 0; i < n; ++i)
            into[i] = InputByte(in + i);
        if (n < count)
            input_done_.store(true);
        in_total_.store(in + n);
        ++reads_;
        return n;
    }

    std::size_t Write(const unsigned char* from, std::size_t count) override
    {
        Jitter(&write_rng_);
        bool input_was_done = input_done_.load();
        std::uint64_t out = out_total_;
        std::uint64_t off = out % ring_size_;
        if (from != base_.load() + off)
            Fault("write at ring index " + std::to_string(from - base_.load()) + ", expected " +
                  std::to_string(off));
        std::uint64_t whole = std::min<std::uint64_t>(io_chunk, ring_size_ - off);
        if (count == 0 || count > whole || (!input_was_done && count != whole))
            Fault("write of " + std::to_string(count) + " at index " + std::to_string(off) +
                  (input_was_done ? " after" : " before") + " the end of input");
        if (out == 0 && !input_was_done &&
            in_total_.load() < std::max<std::uint64_t>(fill_, io_chunk))
            Fault("first write with only " + std::to_string(in_total_.load()) + " bytes read");
        if (flushes_.load() != 0)
            Fault("write after the flush");
        if (!endless_ && out + count > input_.size())
            Fault("write of " + std::to_string(count) + " bytes beyond the input's end");
        for (std::size_t i = 0; i < count && (endless_ || out + i < input_.size()); ++i) {
            if (from[i] != InputByte(out + i)) {
                Fault("output differs from input at byte " + std::to_string(out + i));
                break;
            }
        }
        ++writes_;
        if (consumer_ == Consumer::blocks_until_released)
            WaitForRelease();
        if (consumer_ == Consumer::fails_at_write && writes_ == failing_write_) {
            failed_ = true;
            return count / 2;
        }
        if (failed_)
            Fault("write after a failed write");
        out_total_ = out + count;
        out_done_.store(out + count);
        return count;
    }

    void Flush() override { ++flushes_; }

    void Release()
    {
        std::lock_guard<std::mutex> lock(gate_mu_);
        released_ = true;
        gate_.notify_all();
    }

    // Wait until the writer has handed over at least n bytes, or the loops have read more than
    // at_least bytes; false after timeout_ms.
    bool WaitForWritten(std::uint64_t n, int timeout_ms)
    {
        return WaitUntil([&] { return out_done_.load() >= n; }, timeout_ms);
    }
    bool WaitForRead(std::uint64_t at_least, int timeout_ms)
    {
        return WaitUntil([&] { return in_total_.load() > at_least; }, timeout_ms);
    }

    std::uint64_t InTotal() const { return in_total_.load(); }
    std::uint64_t OutTotal() const { return out_done_.load(); }
    int Flushes() const { return flushes_.load(); }
    std::size_t Reads() const { return reads_; }
    std::vector<std::string> Faults()
    {
        std::lock_guard<std::mutex> lock(fault_mu_);
        return faults_;
    }

private:
    unsigned char InputByte(std::uint64_t at) const
    {
        if (!endless_)
            return static_cast<unsigned char>(input_[static_cast<std::size_t>(at)]);
        return static_cast<unsigned char>(input_[static_cast<std::size_t>(at % input_.size())]);
    }

    template <typename Done>
    static bool WaitUntil(Done done, int timeout_ms)
    {
        for (int waited = 0; !done(); waited += 2) {
            if (waited >= timeout_ms)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    void WaitForRelease()
    {
        std::unique_lock<std::mutex> lock(gate_mu_);
        gate_.wait(lock, [this] { return released_; });
    }

    void Fault(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(fault_mu_);
        if (faults_.size() < 10)
            faults_.push_back(what);
    }

    // Now and then gives the other thread the processor, so that the two loops meet in many
    // different orders.
    static void Jitter(std::uint32_t* rng)
    {
        *rng = *rng * 1664525u + 1013904223u;
        std::uint32_t r = *rng >> 24;
        if (r < 16)
            std::this_thread::yield();
        else if (r < 18)
            std::this_thread::sleep_for(std::chrono::microseconds(300));
    }

    const std::uint64_t ring_size_;
    const std::uint64_t fill_;
    const std::string input_;
    const bool endless_;
    Consumer consumer_ = Consumer::takes_all;
    std::size_t failing_write_ = 0;
    std::uint64_t stall_at_ = ~std::uint64_t{0};

    std::atomic<const unsigned char*> base_{nullptr};
    std::atomic<std::uint64_t> in_total_{0};   // bytes handed to the loops (main thread)
    std::atomic<bool> input_done_{false};
    std::atomic<std::uint64_t> out_done_{0};   // bytes whose write has returned (writer)
    std::uint64_t out_total_ = 0;              // writer thread only
    std::atomic<int> flushes_{0};
    std::size_t reads_ = 0;                    // main thread only
    std::size_t writes_ = 0;                   // writer thread only
    bool failed_ = false;                      // writer thread only
    std::uint32_t read_rng_ = 1, write_rng_ = 2;

    std::mutex gate_mu_;
    std::condition_variable gate_;
    bool released_ = false;
    std::mutex fault_mu_;
    std::vector<std::string> faults_;
};

std::string Describe(const std::vector<std::string>& faults)
{
    std::string s;
    for (const auto& f : faults)
        s += "\n  " + f;
    return s;
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

TEST(Ring, blocked_consumer_stops_reader_below_one_chunk_free)
{
    for (std::uint64_t ring_size : {std::uint64_t{131072}, std::uint64_t{1000000}}) {
        std::size_t input = static_cast<std::size_t>(3 * ring_size);
        RecordingIo io({ring_size, 0}, test_support::PatternBytes(input, 4));
        io.SetConsumer(RecordingIo::Consumer::blocks_until_released);
        int code = -1;
        std::thread run([&] { code = brimtank::RunRing({ring_size, 0}, io); });
        // The first write never returns: the reader must fill the ring until fewer than one
        // chunk is free. Reading further would overwrite bytes that are still to go out, which
        // the recording reports.
        EXPECT_TRUE(io.WaitForRead(ring_size - 1 - io_chunk, 20000))
            << "reader stopped at " << io.InTotal() << " of ring " << ring_size;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_LE(io.InTotal(), ring_size - 1);
        io.Release();
        run.join();
        EXPECT_EQ(code, 0);
        EXPECT_EQ(io.OutTotal(), input);
        auto faults = io.Faults();
        EXPECT_TRUE(faults.empty()) << "ring " << ring_size << Describe(faults);
    }
}

TEST(Ring, tail_before_ring_end_waits_for_a_whole_chunk_while_input_runs)
{
    // A ring of 1000000 bytes: fifteen whole chunks and a 16960-byte tail before its end. Input
    // pauses just after the tail was read; while it runs, the tail alone is not enough to write.
    const std::uint64_t ring_size = 1000000;
    const std::size_t input = 3 * 1000000;
    RecordingIo io({ring_size, 0}, test_support::PatternBytes(input, 7));
    io.StallInputAt(ring_size);
    int code = -1;
    std::thread run([&] { code = brimtank::RunRing({ring_size, 0}, io); });
    EXPECT_TRUE(io.WaitForWritten(15 * io_chunk, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(io.OutTotal(), 15 * io_chunk);
    io.Release();
    run.join();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(io.OutTotal(), input);
    EXPECT_TRUE(io.Faults().empty()) << Describe(io.Faults());
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
