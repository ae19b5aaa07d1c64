// tailgrip's portable core: the program's start and finish, argument rules, preamble check,
// read loop, and the loop's I/O over C runtime streams.
#include "tailgrip_core.h"

#include "platform.h"

#include <cstdio>

namespace tailgrip {

namespace {

// The block last read. The only buffer of the program: nothing is allocated.
unsigned char block_buf[io_chunk];

bool IsSpace(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

}  // namespace

std::int64_t DecimalToSigned(const wchar_t* text, std::int64_t min, std::int64_t max,
                             const wchar_t** end)
{
    const wchar_t* p = text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    // The magnitude saturates one past what fits, so that overflow is seen however long the
    // digits run on.
    const std::uint64_t limit = negative ? 0 - static_cast<std::uint64_t>(min)
                                         : static_cast<std::uint64_t>(max);
    std::uint64_t magnitude = 0;
    const wchar_t* digits = p;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        unsigned digit = static_cast<unsigned>(*p - L'0');
        if (magnitude > (limit - digit) / 10)
            magnitude = limit + 1;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (p == digits) {
        *end = text;
        return 0;
    }
    *end = p;
    if (magnitude > limit)
        return negative ? min : max;
    return negative ? static_cast<std::int64_t>(0 - magnitude)
                    : static_cast<std::int64_t>(magnitude);
}

namespace {

// wcstol's reading on Windows, where long has 32 bits.
std::int32_t DecimalToLong(const wchar_t* text, const wchar_t** end)
{
    return static_cast<std::int32_t>(DecimalToSigned(text, INT32_MIN, INT32_MAX, end));
}

}  // namespace

bool ParseTimeoutArg(const wchar_t* text, TimeoutArg* out)
{
    const wchar_t* end = text;
    out->close_timeout_sec = DecimalToLong(text, &end);
    out->interval = 0;
    out->preamble_byte = 0;
    // Only a lower-case "p" right where the number stopped asks for the check; anything else
    // there is ignored.
    if (*end != L'p')
        return true;
    const wchar_t* suffix_end = end;
    std::int32_t v = DecimalToLong(end + 1, &suffix_end);
    if (v <= 0)
        return false;
    std::int32_t interval = v >> 8;
    if (interval == 0 || interval > static_cast<std::int32_t>(io_chunk))
        return false;
    out->interval = interval;
    out->preamble_byte = static_cast<std::uint8_t>(v & 0xff);
    return true;
}

std::uint64_t BlockReadSize(std::int32_t interval)
{
    return io_chunk - io_chunk % static_cast<std::uint64_t>(interval);
}

bool BlockPasses(const unsigned char* block, std::size_t n, std::int32_t interval,
                 std::uint8_t preamble_byte)
{
    std::int64_t e = static_cast<std::int64_t>(n) - 1;
    while (e >= 0 && block[e] == preamble_byte)
        e -= interval;
    return e < 0;
}

void RunReadLoop(LoopIo& io, std::int32_t close_timeout_sec, std::int32_t interval,
                 std::uint8_t preamble_byte)
{
    // The first read under the check takes the single byte that must begin a packet; every
    // later block is a whole number of intervals that starts one byte after a packet start, so
    // its last byte is the start of the packet after it.
    std::uint64_t read_size = interval != 0 ? 1 : io_chunk;
    // Five passes a second for close_timeout_sec seconds. In 64 bits, so that a timeout above
    // 429496729 s means a long wait instead of a product that wraps round to an early end.
    const std::int64_t idle_limit = 5 * static_cast<std::int64_t>(close_timeout_sec);
    std::int64_t idle_count = 0;
    for (;;) {
        std::size_t n = io.Read(block_buf, static_cast<std::size_t>(read_size));
        // A short read is passed on unexamined: the check examines whole blocks only.
        bool passes = interval == 0 || n != read_size ||
                      BlockPasses(block_buf, n, interval, preamble_byte);
        if (n > 0 && passes) {
            idle_count = 0;
            if (io.Write(block_buf, n) != n)
                return;
            if (n == read_size && interval != 0) {
                read_size = BlockReadSize(interval);
            } else {
                interval = 0;
                read_size = io_chunk;
            }
            continue;
        }
        if (n == 0) {
            // The file had nothing more: from here on it is copied as it comes.
            interval = 0;
            read_size = io_chunk;
        } else {
            // Some packet start is not written yet: read the same bytes again after the pause.
            io.SeekBack(n);
        }
        if (++idle_count > idle_limit)
            return;
        io.Sleep(idle_sleep_ms);
    }
}

std::size_t FileLoopIo::Read(unsigned char* buf, std::size_t size)
{
    // Both runtimes remember the end of a file: once fread came back short, glibc keeps
    // answering 0 until the stream's end-of-file flag is cleared, and msvcrt until a seek clears
    // the mark it keeps on the descriptor itself. A seek to where we stand clears both, so that
    // this read sees what the producer appended meanwhile. Only a short read can have left such
    // a mark: while the file keeps up, each block costs one read and no seek.
    if (short_read_) {
        std::clearerr(file_);
        plat::Seek64(file_, 0, plat::SeekFrom::current);
    }
    std::size_t n = std::fread(buf, 1, size, file_);
    short_read_ = n != size;
    return n;
}

void FileLoopIo::SeekBack(std::size_t n)
{
    // Should this fail, the next read simply goes on from where it stands.
    plat::Seek64(file_, -static_cast<std::int64_t>(n), plat::SeekFrom::current);
}

std::size_t FileLoopIo::Write(const unsigned char* buf, std::size_t n)
{
    return std::fwrite(buf, 1, n, out_);
}

void FileLoopIo::Sleep(unsigned ms)
{
    plat::SleepMs(ms);
}

}  // namespace tailgrip

namespace {

int usage()
{
    std::fputs("Usage: tailgrip seek_offset|-seek_end_offset "
               "close_timeout_sec[p{interval*256+preamble_byte}] file_path\n",
               stderr);
    return 2;
}

}  // namespace

// Copies file_path to standard output from a given position on and keeps following it while
// another process is still writing it, until close_timeout_sec seconds pass without new data.
// With the suffix p{interval*256+preamble_byte} it passes data on only once the first byte of
// every interval-byte packet in it holds preamble_byte.
//
// The run ends with exit code 0 once the idle time has run out, and also after a failed
// write: a reader that went away ends the follow, it is not an error of the follow itself.
int tool_main(int argc, wchar_t** argv)
{
    if (argc != 4)
        return usage();
    if (!plat::SetBinaryStdout())
        return 1;
    // Whatever has been passed on must reach the reader while we wait for more: a buffered
    // stdout would keep the tail of a block (3984 bytes of a 65424-byte one in a 4 KiB buffer)
    // until the next write, seconds later or never. Every write is a whole block anyway.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    const wchar_t* end = nullptr;
    std::int64_t start = tailgrip::DecimalToSigned(argv[1], INT64_MIN, INT64_MAX, &end);
    tailgrip::TimeoutArg timeout;
    if (!tailgrip::ParseTimeoutArg(argv[2], &timeout))
        return 1;

    std::FILE* file = plat::OpenShared(argv[3]);
    if (file == nullptr)
        return 1;
    // Negative counts from the end with one added, so "-1" is the end itself (only what is
    // written from now on) and "-0", being 0, the start.
    int sought = start >= 0 ? plat::Seek64(file, start, plat::SeekFrom::start)
                            : plat::Seek64(file, start + 1, plat::SeekFrom::end);
    if (sought != 0) {
        std::fclose(file);
        return 1;
    }

    tailgrip::FileLoopIo io(file, stdout);
    tailgrip::RunReadLoop(io, timeout.close_timeout_sec, timeout.interval,
                          timeout.preamble_byte);
    std::fclose(file);
    // stdout belongs to whoever started us: flush it, never close it.
    std::fflush(stdout);
    return 0;
}
