// A stream pair for running the ring in process: the whole input from memory, the output kept
// in memory, every call counted. Reads come from the main thread, writes from the writer thread.
#pragma once

#include "brimtank_core.h"

#include <algorithm>
#include <string>
#include <utility>

namespace brimtank_test {

class CountingIo final : public brimtank::RingIo {
public:
    explicit CountingIo(std::string input) : input_(std::move(input)) {}

    std::size_t Read(unsigned char* into, std::size_t count) override
    {
        ++reads;
        std::size_t n = std::min(count, input_.size() - at_);
        input_.copy(reinterpret_cast<char*>(into), n, at_);
        at_ += n;
        return n;
    }

    std::size_t Write(const unsigned char* from, std::size_t count) override
    {
        ++writes;
        output.append(reinterpret_cast<const char*>(from), count);
        return count;
    }

    void Flush() override { ++flushes; }

    int reads = 0;  // main thread only
    int writes = 0;  // writer thread only, read after the join
    int flushes = 0;
    std::string output;

private:
    const std::string input_;
    std::size_t at_ = 0;
};

}  // namespace brimtank_test
