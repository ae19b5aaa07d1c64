// A recording stream pair for running brimtank's ring in process: it checks every read and
// write the loops make (where in the ring, how much, and when) and can stall either side.
#pragma once

#include "brimtank_core.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brimtank_test {

using brimtank::io_chunk;

// Polls done every 2 ms until it holds; false after timeout_ms.
template <typename Done>
bool WaitUntil(Done done, int timeout_ms)
{
    for (int waited = 0; !done(); waited += 2) {
        if (waited >= timeout_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
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
        ++writes_begun_;
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

    std::uint64_t InTotal() const { return in_total_.load(); }
    int WritesBegun() const { return writes_begun_.load(); }
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
    std::atomic<int> writes_begun_{0};
    bool failed_ = false;                      // writer thread only
    std::uint32_t read_rng_ = 1, write_rng_ = 2;

    std::mutex gate_mu_;
    std::condition_variable gate_;
    bool released_ = false;
    std::mutex fault_mu_;
    std::vector<std::string> faults_;
};

inline std::string Describe(const std::vector<std::string>& faults)
{
    std::string s;
    for (const auto& f : faults)
        s += "\n  " + f;
    return s;
}

}  // namespace brimtank_test
