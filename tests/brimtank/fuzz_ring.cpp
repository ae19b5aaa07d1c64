// Fuzzes brimtank's ring on the baton seam (baton_platform.h): the bytes choose the ring's size
// and initial fill, the input's length, the size of every read, which write falls short and by
// how much, and at every switch point whether the main thread and the writer change places.
// Checked at every call: the output is the input from its first byte on, in order, and all of
// it when no write failed; the ring never holds more than its capacity less one; reads and
// writes stay inside the ring and continue where the last one of their kind ended; while input
// runs, writes are whole chunks (cut only at the ring's end) and the first waits for the initial
// fill; and no thread waits for a wake-up that never comes (the seam checks that).
#include "baton_platform.h"
#include "brimtank_core.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

using brimtank::io_chunk;

namespace {

[[noreturn]] void Fault(const char* what, std::uint64_t at)
{
    std::printf("ORACLE %s (at byte %llu)\n", what, static_cast<unsigned long long>(at));
    std::fflush(stdout);
    __builtin_trap();
}

constexpr std::uint64_t max_input = 12 * io_chunk;

// The input, made up from each byte's position, so that a byte that comes out of the wrong
// place in the ring differs from the one expected. Made once: every run reads a prefix of it.
const std::vector<unsigned char>& Input()
{
    static const std::vector<unsigned char> input = [] {
        std::vector<unsigned char> bytes(max_input);
        for (std::uint64_t at = 0; at < max_input; ++at)
            bytes[at] = static_cast<unsigned char>((at * 0x9E3779B97F4A7C15ull) >> 56);
        return bytes;
    }();
    return input;
}

bool Choose(void* fdp)
{
    return static_cast<FuzzedDataProvider*>(fdp)->ConsumeBool();
}

class FuzzIo final : public brimtank::RingIo {
public:
    FuzzIo(FuzzedDataProvider& fdp, const brimtank::RingSettings& s, std::uint64_t input_size,
           std::uint32_t failing_write)
        : fdp_(fdp), s_(s), input_size_(input_size), failing_write_(failing_write)
    {
    }

    std::size_t Read(unsigned char* into, std::size_t count) override
    {
        baton_platform::MaySwitch();
        if (input_done_)
            Fault("read after the end of input", in_);
        const std::uint64_t off = in_ % s_.ring_size;
        if (in_ == 0)
            base_ = into;
        if (into != base_ + off)
            Fault("read not where the last read ended", in_);
        if (count == 0 || count > std::min(io_chunk, s_.ring_size - off))
            Fault("read not cut to a chunk and to the ring's end", in_);
        if (in_ + count - out_ > s_.ring_size - 1)
            Fault("ring would hold more than its capacity less one", in_);
        // Any size up to the count, as a read that returns early would give (the whole count
        // once the bytes run out), and the rest of the input at its end.
        std::size_t n = count;
        if (fdp_.ConsumeBool())
            n = fdp_.ConsumeIntegralInRange<std::size_t>(1, count);
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, input_size_ - in_));
        const std::size_t half = n / 2;
        std::memcpy(into, Input().data() + in_, half);
        baton_platform::MaySwitch();  // the writer must not take bytes still being read
        std::memcpy(into + half, Input().data() + in_ + half, n - half);
        in_ += n;
        input_done_ = n == 0;
        return n;
    }

    std::size_t Write(const unsigned char* from, std::size_t count) override
    {
        baton_platform::MaySwitch();
        if (failed_ || flushes_ != 0)
            Fault("write after a failed write or the flush", out_);
        const std::uint64_t off = out_ % s_.ring_size;
        const std::uint64_t whole = std::min(io_chunk, s_.ring_size - off);
        if (from != base_ + off)
            Fault("write not where the last write ended", out_);
        if (count == 0 || count > whole || out_ + count > in_)
            Fault("write of bytes not read", out_);
        if (!input_done_ && count != whole)
            Fault("write of a part of a chunk while input runs", out_);
        if (writes_ == 0 && !input_done_ && in_ < std::max(s_.initial_fill, io_chunk))
            Fault("first write before the initial fill", out_);
        if (std::memcmp(from, Input().data() + out_, count) != 0)
            Fault("output differs from input", out_);
        std::size_t taken = count;
        if (writes_++ == failing_write_) {
            taken = fdp_.ConsumeIntegralInRange<std::size_t>(0, count - 1);
            failed_ = true;
        }
        out_ += taken;
        return taken;
    }

    void Flush() override { ++flushes_; }

    // After the run: one flush, and all of the input when no write failed.
    void CheckEnd() const
    {
        if (flushes_ != 1)
            Fault("output not flushed once", out_);
        if (!failed_ && (!input_done_ || out_ != input_size_))
            Fault("output ends before the input", out_);
    }

private:
    FuzzedDataProvider& fdp_;
    const brimtank::RingSettings s_;
    const std::uint64_t input_size_;
    const std::uint32_t failing_write_;
    const unsigned char* base_ = nullptr;
    std::uint64_t in_ = 0;   // bytes read into the ring
    std::uint64_t out_ = 0;  // bytes the output took
    bool input_done_ = false;
    bool failed_ = false;
    std::uint32_t writes_ = 0;
    int flushes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    brimtank::RingSettings s;
    s.ring_size = brimtank::min_buf_size + fdp.ConsumeIntegralInRange<std::uint64_t>(0, 4 * io_chunk);
    s.initial_fill = fdp.ConsumeIntegralInRange<std::uint64_t>(0, s.ring_size - brimtank::min_buf_size);
    const std::uint64_t input_size = fdp.ConsumeIntegralInRange<std::uint64_t>(0, max_input);
    // 0: every write succeeds; else the one with that number.
    const std::uint32_t failing = fdp.ConsumeIntegralInRange<std::uint32_t>(0, 24);

    FuzzIo io(fdp, s, input_size, failing == 0 ? UINT32_MAX : failing - 1);
    baton_platform::SetChooser(Choose, &fdp);
    if (brimtank::RunRing(s, io) != 0)
        Fault("run ended with an exit code other than 0", 0);
    io.CheckEnd();
    baton_platform::SetChooser(nullptr, nullptr);
    return 0;
}
