// tailgrip's portable core: the program, its argument rules, the preamble check and the read
// loop that follows a growing file. Nothing here includes an OS header; the core reaches the
// operating system only through plat:: (platform.h), and the loop reaches the file, the output
// and the pause through LoopIo, so it runs the same against a real file and against a scripted
// one in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The program: arguments as the platform's wide strings, result the exit code. Called by the
// entry point of main_win32.cpp or main_posix.cpp.
int tool_main(int argc, wchar_t** argv);

namespace tailgrip {

// The unit of every read and write.
constexpr std::size_t io_chunk = 65536;
// The pause of a pass that passes nothing on.
constexpr unsigned idle_sleep_ms = 200;

// The second argument: the idle time and, after a lower-case "p", the preamble check.
struct TimeoutArg {
    std::int32_t close_timeout_sec = 0;
    std::int32_t interval = 0;  // 0: check off; else 1 to 65536
    std::uint8_t preamble_byte = 0;
};

// Converts text (idle seconds, optionally "p" and interval * 256 + preamble_byte); false when
// the suffix value is out of range (below 256, or an interval above 65536).
bool ParseTimeoutArg(const wchar_t* text, TimeoutArg* out);

// The byte count of every read after the first while the check is on: the largest whole number
// of intervals that fits in io_chunk.
std::uint64_t BlockReadSize(std::int32_t interval);

// True when the last byte of block and every interval-th byte before it hold preamble_byte.
bool BlockPasses(const unsigned char* block, std::size_t n, std::int32_t interval,
                 std::uint8_t preamble_byte);

// Decimal text to a signed value clamped to [min, max], with the rules of the Windows C
// runtime's _wcstoi64 and wcstol in base 10: leading blanks (space, \t to \r) and a sign are
// accepted, the digits end at the first other character, a value out of range becomes the
// nearest limit. *end receives where the conversion stopped: after the digits, or text itself
// when there are none. Both builds read the arguments with it, so that they agree.
std::int64_t DecimalToSigned(const wchar_t* text, std::int64_t min, std::int64_t max,
                             const wchar_t** end);

// What the read loop needs of the world.
class LoopIo {
public:
    virtual ~LoopIo() = default;
    // Reads up to size bytes at the current position; 0 at the end of the file or on an error.
    // Reaching the end must not be remembered: a later call returns what was appended since.
    // Every call returns the bytes as the file holds them now, never ones fetched earlier.
    virtual std::size_t Read(unsigned char* buf, std::size_t size) = 0;
    // Moves the position back by n bytes, so that they are read again.
    virtual void SeekBack(std::size_t n) = 0;
    // Passes n bytes on; returns how many went out.
    virtual std::size_t Write(const unsigned char* buf, std::size_t n) = 0;
    virtual void Sleep(unsigned ms) = 0;
};

// Copies the file to the output until close_timeout_sec seconds' worth of passes (five per
// second) wrote nothing, or a write falls short. With interval not 0, the first byte read and
// then every block's examined bytes must hold preamble_byte before the block is passed on.
void RunReadLoop(LoopIo& io, std::int32_t close_timeout_sec, std::int32_t interval,
                 std::uint8_t preamble_byte);

// LoopIo over a C runtime stream opened by plat::OpenShared and an output stream.
class FileLoopIo : public LoopIo {
public:
    FileLoopIo(std::FILE* file, std::FILE* out) : file_(file), out_(out) {}
    std::size_t Read(unsigned char* buf, std::size_t size) override;
    void SeekBack(std::size_t n) override;
    std::size_t Write(const unsigned char* buf, std::size_t n) override;
    void Sleep(unsigned ms) override;

private:
    std::FILE* file_;
    std::FILE* out_;
    bool short_read_ = false;  // the last read came back short: the end may be marked
};

}  // namespace tailgrip
