// brimtank's portable core: the program, its argument conversion and the two loops around the
// ring. Nothing here includes an OS header; the core reaches the threads, the lock and the events
// only through plat:: (platform.h), and the streams through RingIo, so the same loops run behind
// the real standard streams and in tests.
#pragma once

#include <cstddef>
#include <cstdint>

// The program: arguments as the platform's wide strings, result the exit code. Called by the
// entry point of main_win32.cpp or main_posix.cpp.
int tool_main(int argc, wchar_t** argv);

namespace brimtank {

// The largest single read and write; also the free room the reader needs before it reads, and
// what the writer needs buffered before it writes while input still runs.
constexpr std::uint64_t io_chunk = 65536;
// The smallest ring, and the reserve below capacity that caps the initial fill.
constexpr std::uint64_t min_buf_size = 131072;
constexpr std::uint64_t max_buf_size = 1073741824;

// A command-line count read as the C runtime reads an unsigned 32-bit long in base 10: leading
// white space and a sign are taken, the digits end at the first other character, no digits
// give 0, a value beyond 4294967295 gives 4294967295, and a minus sign negates modulo 2^32.
// The same result on every platform, whatever the width of its unsigned long.
std::uint32_t ConvertCount(const wchar_t* text);

struct RingSettings {
    std::uint64_t ring_size;     // 131072 to 1073741824
    std::uint64_t initial_fill;  // at most ring_size - 131072
};

// Both arguments converted and clamped into the ring's capacity and its initial fill.
RingSettings SettingsFromArgs(const wchar_t* buf_size_bytes, const wchar_t* initial_fill_bytes);

// The two streams. Read has the contract of fread: it returns fewer bytes than asked only at end
// of input or on an error (0 ends the input). Write returns the bytes it wrote; fewer than asked
// is a failed write. Read is called by the main thread only, Write and Flush by the writer only.
class RingIo {
public:
    virtual std::size_t Read(unsigned char* into, std::size_t count) = 0;
    virtual std::size_t Write(const unsigned char* from, std::size_t count) = 0;
    virtual void Flush() = 0;

protected:
    ~RingIo() = default;
};

// Standard input and standard output through the C runtime, as the program uses them.
class StdioRingIo final : public RingIo {
public:
    std::size_t Read(unsigned char* into, std::size_t count) override;
    std::size_t Write(const unsigned char* from, std::size_t count) override;
    void Flush() override;
};

// Copies io's input to its output through a ring of settings.ring_size bytes, holding output
// back once until settings.initial_fill bytes are buffered (or the input ends). Returns the exit
// code: 1 when the ring, an event or the writer thread could not be set up (everything made so
// far released), otherwise 0 once the input has stopped and the writer has ended, also after a
// failed write. Each run keeps its state to itself, so runs on other threads do not meet.
int RunRing(const RingSettings& settings, RingIo& io);

}  // namespace brimtank
