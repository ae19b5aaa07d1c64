// brimtank: copies standard input to standard output, byte for byte and in order, through a
// ring buffer of buf_size_bytes, so that a producer that delivers in bursts and a consumer that
// takes data at its own pace do not hold each other up. Output waits once, at the start, until
// initial_fill_bytes are buffered or the input ends.
#include "platform.h"
#include "ring.h"

#include <cstdio>

namespace {

int usage()
{
    std::fputs("Usage: brimtank buf_size_bytes initial_fill_bytes\n", stderr);
    return 2;
}

}  // namespace

int tool_main(int argc, wchar_t** argv)
{
    if (argc != 3)
        return usage();
    if (!plat::SetBinaryStdio())
        return 1;
    brimtank::RingSettings settings = brimtank::SettingsFromArgs(argv[1], argv[2]);
    brimtank::StdioRingIo io;
    return brimtank::RunRing(settings, io);
}
