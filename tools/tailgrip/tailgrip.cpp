// tailgrip: copies file_path to standard output from a given position on and keeps following it
// while another process is still writing it, until close_timeout_sec seconds pass without new
// data. With the suffix p{interval*256+preamble_byte} it passes data on only once the first byte
// of every interval-byte packet in it holds preamble_byte.
#include "platform.h"
#include "tailgrip_core.h"

#include <cstdint>
#include <cstdio>

namespace {

int usage()
{
    std::fputs("Usage: tailgrip seek_offset|-seek_end_offset "
               "close_timeout_sec[p{interval*256+preamble_byte}] file_path\n",
               stderr);
    return 2;
}

}  // namespace

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
    std::int64_t start = plat::WideToInt64(argv[1], &end);
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
