// hopover's portable core: the program and its copy loop.
#include "hopover_core.h"

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::size_t io_chunk = 65536;
unsigned char block_buf[io_chunk];

int usage()
{
    std::fputs("Usage: hopover file_path\n", stderr);
    return 2;
}

// Copies the stream `from` to standard output until its end (or a read error), counting the
// bytes in *copied; false as soon as a write falls short.
bool copy_to_stdout(std::FILE* from, std::uint64_t* copied)
{
    for (;;) {
        std::size_t n = std::fread(block_buf, 1, io_chunk, from);
        if (n == 0)
            return true;
        if (std::fwrite(block_buf, 1, n, stdout) != n)
            return false;
        *copied += n;
    }
}

}  // namespace

// Relays standard input to standard output; when the input ends, goes on from file_path at the
// number of bytes relayed so far, up to the file's current end. The file is taken to hold the
// same stream from its first byte, so the output continues it seamlessly.
//
// Every failed write ends the run with exit code 1, in either phase: a relay that lost bytes
// must not look like one that finished.
int tool_main(int argc, wchar_t** argv)
{
    if (argc != 2)
        return usage();
    if (!plat::SetBinaryStdio())
        return 1;
    // Every write is a whole chunk: through the runtime's 4 KiB buffer each would cost two
    // system calls, one that fills and flushes the buffer and one for the rest.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    std::uint64_t relayed_bytes = 0;
    if (!copy_to_stdout(stdin, &relayed_bytes))
        return 1;

    // Opened only now: the writer of the file may have created it while the input ran.
    std::FILE* file = plat::OpenShared(argv[1]);
    if (file == nullptr)
        return 1;
    if (plat::Seek64(file, relayed_bytes) != 0) {
        std::fclose(file);
        return 1;
    }
    std::uint64_t from_file = 0;
    bool written = copy_to_stdout(file, &from_file);
    std::fclose(file);
    if (!written)
        return 1;
    // Nothing waits in a buffer (stdout is unbuffered), so every loss showed at its write.
    // stdout belongs to whoever started us: flush it, never close it.
    std::fflush(stdout);
    return 0;
}
