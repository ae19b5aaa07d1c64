// Fuzzes tailgrip's read loop over a fake file that its producer changes at every pause. The
// bytes choose the check (interval and preamble byte), the idle time, the start position, the
// file's final length, and at every pause how far the file has grown and how much of it holds
// its final bytes (space written ahead holds zeros until then); packet starts may also hold a
// wrong byte until a chosen pause, or for good, and one write may fall short.
// Checked at every call: the output is the file's bytes from the start position on, in order,
// as they were when read; while the check is on, every block passed on has all its packet
// starts in place and ends on one, and a block held back has one out of place; the idle time
// ends the run exactly when it should; and a short write ends it at once.
#include "tailgrip_core.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

using tailgrip::io_chunk;

namespace {

constexpr std::size_t max_length = 4 * io_chunk + 1000;
constexpr unsigned max_pauses = 5000;  // far beyond any run of these sizes: the loop never ends

// Bytes that vary with their position, for the bytes between packet starts.
const std::vector<unsigned char>& Noise()
{
    static const std::vector<unsigned char> noise = [] {
        std::vector<unsigned char> bytes(max_length + 256);
        for (std::size_t q = 0; q < bytes.size(); ++q)
            bytes[q] = static_cast<unsigned char>((q * 0x9E3779B1u) >> 24);
        return bytes;
    }();
    return noise;
}

[[noreturn]] void Fault(const char* what, std::uint64_t at)
{
    std::printf("ORACLE %s (at file position %llu)\n", what, static_cast<unsigned long long>(at));
    std::fflush(stdout);
    __builtin_trap();
}

// A packet start that holds another byte until a given pause (0: for good).
struct Defect {
    std::size_t at;
    unsigned char value;
    unsigned until_pause;
};

class GrowingFile final : public tailgrip::LoopIo {
public:
    GrowingFile(FuzzedDataProvider& fdp, std::int32_t interval, std::uint8_t preamble,
                std::int32_t timeout)
        : fdp_(fdp), interval_(interval), preamble_(preamble), timeout_(timeout),
          check_on_(interval != 0)
    {
        const std::size_t length = fdp.ConsumeIntegralInRange<std::size_t>(0, max_length);
        start_ = fdp.ConsumeIntegralInRange<std::size_t>(0, length + 100);
        pos_ = start_;
        // Packets from the start position on; the bytes between vary with the position.
        const std::size_t seed = fdp.ConsumeIntegral<unsigned char>();
        final_.assign(Noise().begin() + seed, Noise().begin() + seed + length);
        for (std::size_t q = start_; interval != 0 && q < length; q += static_cast<std::size_t>(interval))
            final_[q] = preamble;
        for (int k = fdp.ConsumeIntegralInRange(0, 3); k > 0; --k) {
            std::size_t at = fdp.ConsumeIntegralInRange<std::size_t>(0, length);
            if (interval != 0)
                at = start_ + at % (length / static_cast<std::size_t>(interval) + 1) *
                                  static_cast<std::size_t>(interval);
            const auto value = static_cast<unsigned char>(
                preamble ^ fdp.ConsumeIntegralInRange<unsigned>(1, 255));
            defects_.push_back({at, value, fdp.ConsumeIntegralInRange(0u, 40u)});
        }
        size_ = fdp.ConsumeIntegralInRange<std::size_t>(0, length);
        written_ = fdp.ConsumeIntegralInRange<std::size_t>(0, size_);
        // 0: every write goes out whole; else the one with that number falls short.
        failing_write_ = fdp.ConsumeIntegralInRange(0u, 12u);
        view_ = final_;
        view_.resize(std::max(length, start_ + 1));  // a read past the end copies nothing
        std::memset(view_.data() + written_, 0, view_.size() - written_);
        Refresh(written_);
    }

    std::size_t Read(unsigned char* buf, std::size_t size) override
    {
        if (failed_)
            Fault("read after a short write", pos_);
        // While the check is on, the first read takes the byte at the start position and every
        // later one the most whole packets that fit in a chunk, beginning one byte after a
        // packet start; without it, whole chunks.
        std::size_t expected = io_chunk;
        if (check_on_ && first_)
            expected = 1;
        else if (check_on_)
            expected = io_chunk / static_cast<std::size_t>(interval_) * static_cast<std::size_t>(interval_);
        if (size != expected)
            Fault("read of the wrong size", pos_);
        if (check_on_ && (first_ ? pos_ != start_ : !IsPacketStart(pos_ - 1)))
            Fault("read under the check not one byte after a packet start", pos_);
        const std::size_t n = pos_ < size_ ? std::min(size, size_ - pos_) : 0;
        std::memcpy(buf, view_.data() + pos_, n);
        last_pos_ = pos_;
        last_n_ = n;
        pos_ += n;
        ++passes_since_write_;
        if (n < size)
            check_on_ = false;  // a short read is passed on unexamined, and ends the check
        return n;
    }

    void SeekBack(std::size_t n) override
    {
        if (failed_)
            Fault("seek after a short write", pos_);
        if (n == 0 || n != last_n_ || pos_ != last_pos_ + n)
            Fault("moved back by other than the block just read", pos_);
        if (!check_on_)
            Fault("held back a block without the check", last_pos_);
        if (AllPacketStartsInPlace(last_pos_, n))
            Fault("held back a block whose packet starts are all in place", last_pos_);
        pos_ = last_pos_;
    }

    std::size_t Write(const unsigned char* buf, std::size_t n) override
    {
        if (failed_)
            Fault("write after a short write", pos_);
        if (n == 0 || n != last_n_ || last_pos_ != start_ + out_)
            Fault("output skips or repeats file bytes", last_pos_);
        if (std::memcmp(buf, view_.data() + last_pos_, n) != 0)
            Fault("output differs from the file", last_pos_);
        if (check_on_) {
            if (!AllPacketStartsInPlace(last_pos_, n))
                Fault("passed on a block with a packet start out of place", last_pos_);
            if (!IsPacketStart(last_pos_ + n - 1))
                Fault("passed on a block that does not end on a packet start", last_pos_);
            first_ = false;
        }
        out_ += n;
        passes_since_write_ = 0;
        if (++writes_ != failing_write_)
            return n;
        failed_ = true;
        return fdp_.ConsumeIntegralInRange<std::size_t>(0, n - 1);
    }

    void Sleep(unsigned ms) override
    {
        if (failed_)
            Fault("pause after a short write", pos_);
        if (ms != 200)
            Fault("pause of other than 200 ms", pos_);
        if (passes_since_write_ > IdleLimit())
            Fault("pause after the idle time ran out", pos_);
        if (++pauses_ > max_pauses)
            Fault("loop never ends", pos_);
        // The producer's move: the file grows, and more of it holds its final bytes.
        const std::size_t was_written = written_;
        size_ = std::min(final_.size(), size_ + fdp_.ConsumeIntegralInRange<std::size_t>(0, 2 * io_chunk));
        written_ = std::min(size_, written_ + fdp_.ConsumeIntegralInRange<std::size_t>(0, 2 * io_chunk));
        Refresh(was_written);
    }

    // After the run: it ended at a short write, or at the pass that ran the idle time out; if
    // that pass found nothing to read, everything up to the file's end has been passed on.
    void CheckEnd() const
    {
        if (failed_)
            return;
        if (passes_since_write_ != IdleLimit() + 1)
            Fault("idle time ran out after the wrong number of passes", pos_);
        if (last_n_ == 0 && start_ + out_ < size_)
            Fault("output ends before the file", start_ + out_);
    }

private:
    bool IsPacketStart(std::size_t q) const
    {
        return interval_ != 0 && q >= start_ && (q - start_) % static_cast<std::size_t>(interval_) == 0;
    }

    bool AllPacketStartsInPlace(std::size_t from, std::size_t n) const
    {
        const auto step = static_cast<std::size_t>(interval_);
        std::size_t q = std::max(from, start_);
        q += (step - (q - start_) % step) % step;  // the first packet start at or after from
        for (; q < from + n; q += step) {
            if (view_[q] != preamble_)
                return false;
        }
        return true;
    }

    std::uint64_t IdleLimit() const { return timeout_ > 0 ? 5 * static_cast<std::uint64_t>(timeout_) : 0; }

    // Brings the file as a read sees it up to date, from was_written on: final bytes up to
    // written_, zeros after them, and the packet starts not yet put right.
    void Refresh(std::size_t was_written)
    {
        if (written_ > was_written)
            std::memcpy(view_.data() + was_written, final_.data() + was_written, written_ - was_written);
        for (const Defect& d : defects_) {
            if (d.at < written_)
                view_[d.at] = d.until_pause == 0 || pauses_ < d.until_pause ? d.value : final_[d.at];
        }
    }

    FuzzedDataProvider& fdp_;
    const std::int32_t interval_;
    const std::uint8_t preamble_;
    const std::int32_t timeout_;
    std::vector<unsigned char> final_;
    std::vector<unsigned char> view_;
    std::vector<Defect> defects_;
    std::size_t start_ = 0;
    std::size_t size_ = 0;     // the file's length now
    std::size_t written_ = 0;  // the part that holds its final bytes
    std::size_t pos_ = 0;
    std::size_t last_pos_ = 0;
    std::size_t last_n_ = 0;
    std::size_t out_ = 0;
    std::uint64_t passes_since_write_ = 0;
    unsigned pauses_ = 0;
    unsigned writes_ = 0;
    unsigned failing_write_ = 0;
    bool failed_ = false;
    bool check_on_;      // what the loop must be doing: the check runs until a read falls short
    bool first_ = true;  // no block passed on under the check yet
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::int32_t interval =
        fdp.ConsumeBool() ? fdp.PickValueInArray({0, 1, 2, 100, 188, 192, 204, 256, 40000, 65535, 65536})
                          : fdp.ConsumeIntegralInRange(0, 65536);
    const auto preamble = fdp.ConsumeIntegral<std::uint8_t>();
    const std::int32_t timeout = fdp.ConsumeIntegralInRange(-2, 3);
    GrowingFile file(fdp, interval, preamble, timeout);
    tailgrip::RunReadLoop(file, timeout, interval, preamble);
    file.CheckEnd();
    return 0;
}
