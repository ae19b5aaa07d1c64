// brimtank's portable core: the program's start, the argument conversion, and the ring with its
// two threads. The main thread reads input into the ring, the writer thread writes the ring to
// output; one lock guards the two indices and the end flag, and two auto-reset events wake
// whichever side waits. Neither side holds the lock while it reads, writes or waits, so input
// and output move at the same time.
#include "brimtank_core.h"

#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

namespace brimtank {

std::uint32_t ConvertCount(const wchar_t* text)
{
    wchar_t* end = nullptr;
    errno = 0;
    unsigned long value = std::wcstoul(text, &end, 10);
    if (end == text)
        return 0;  // no digits
    if (errno == ERANGE)
        return 0xFFFFFFFFu;
    // The runtime skips white space with iswspace, so the same skip finds its sign. Its unsigned
    // long may be 64 bits wide: take the magnitude back out and apply 32-bit rules to it.
    const wchar_t* p = text;
    while (std::iswspace(static_cast<std::wint_t>(*p)))
        ++p;
    bool negative = *p == L'-';
    unsigned long magnitude = negative ? 0ul - value : value;
    if (magnitude > 0xFFFFFFFFul)
        return 0xFFFFFFFFu;
    std::uint32_t result = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - result : result;
}

RingSettings SettingsFromArgs(const wchar_t* buf_size_bytes, const wchar_t* initial_fill_bytes)
{
    RingSettings s;
    s.ring_size = ConvertCount(buf_size_bytes);
    if (s.ring_size < min_buf_size)
        s.ring_size = min_buf_size;
    if (s.ring_size > max_buf_size)
        s.ring_size = max_buf_size;
    // Two chunks below capacity, not one: the reader waits for room only once fewer than one
    // chunk is free, so a fill capped this way is always reached while input still runs.
    s.initial_fill = ConvertCount(initial_fill_bytes);
    if (s.initial_fill > s.ring_size - min_buf_size)
        s.initial_fill = s.ring_size - min_buf_size;
    return s;
}

std::size_t StdioRingIo::Read(unsigned char* into, std::size_t count)
{
    return std::fread(into, 1, count, stdin);
}

std::size_t StdioRingIo::Write(const unsigned char* from, std::size_t count)
{
    return std::fwrite(from, 1, count, stdout);
}

void StdioRingIo::Flush()
{
    std::fflush(stdout);
}

namespace {

// The state of one run, set up by the main thread before the writer starts and torn down after
// it has ended. in_pos belongs to the main thread and out_pos to the writer: each changes only
// its own, under ring_lock, and reads its own without the lock; the other side reads it only
// under the lock. The ring keeps one byte empty, so in_pos == out_pos means empty and the ring
// holds at most ring_size - 1 bytes.
struct Ring {
    unsigned char* ring_buf;
    std::uint64_t ring_size;
    std::uint64_t in_pos;
    std::uint64_t out_pos;
    std::uint64_t initial_fill;  // after the start only the writer reads and clears it
    int input_ended;             // input ended, or the writer stopped after a failed write
    plat::AutoEvent data_event;   // input stored or input ended: for the writer
    plat::AutoEvent space_event;  // room freed or writer stopped: for the main thread
    plat::Lock ring_lock;
    bool lock_made;
    plat::Thread writer_thread;
    RingIo* io;
};

// Both under ring_lock.
std::uint64_t buffered(const Ring& r)
{
    return (r.in_pos - r.out_pos + r.ring_size) % r.ring_size;
}

std::uint64_t free_space(const Ring& r)
{
    return (r.out_pos - r.in_pos - 1 + r.ring_size) % r.ring_size;
}

std::uint64_t min64(std::uint64_t a, std::uint64_t b)
{
    return a < b ? a : b;
}

// The writer thread; its context is the run's Ring. Every wake-up tests the state again from
// the start: a signal given between a test and the wait is held by the event, so none is lost,
// and a stale one costs one more pass.
unsigned writer_proc(void* context)
{
    Ring& r = *static_cast<Ring*>(context);
    for (;;) {
        plat::EnterLock(&r.ring_lock);
        std::uint64_t have = buffered(r);
        int ended = r.input_ended;
        if (ended == 0 && have < r.initial_fill) {
            plat::LeaveLock(&r.ring_lock);
            plat::WaitAutoEvent(r.data_event);
            continue;
        }
        // While input runs, only whole chunks go out; after it ended, whatever is left.
        std::uint64_t threshold = ended != 0 ? 1 : io_chunk;
        if (have >= threshold) {
            std::uint64_t chunk = min64(have, io_chunk);
            plat::LeaveLock(&r.ring_lock);
            std::uint64_t len = min64(r.ring_size - r.out_pos, chunk);  // never past the ring's end
            r.initial_fill = 0;  // the fill holds output back once per run
            std::size_t written =
                r.io->Write(r.ring_buf + r.out_pos, static_cast<std::size_t>(len));
            if (written != len) {
                // The output is lost (its reader may have gone): stop writing and let the main
                // thread finish once the ring lacks room; what is still buffered is dropped.
                plat::EnterLock(&r.ring_lock);
                r.input_ended = 1;
                plat::LeaveLock(&r.ring_lock);
                plat::SetAutoEvent(r.space_event);
                r.io->Flush();
                return 0;
            }
            plat::EnterLock(&r.ring_lock);
            r.out_pos = (r.out_pos + len) % r.ring_size;
            plat::LeaveLock(&r.ring_lock);
            plat::SetAutoEvent(r.space_event);
            continue;
        }
        if (ended != 0) {
            plat::LeaveLock(&r.ring_lock);
            r.io->Flush();  // everything has been written
            return 0;
        }
        plat::LeaveLock(&r.ring_lock);
        plat::WaitAutoEvent(r.data_event);
    }
}

// Reads only with a whole chunk of room free. The end flag is tested only when room is lacking:
// the main thread sets it itself only on its way out, so finding it set means that the writer
// has stopped, and no room will ever be freed again.
void input_loop(Ring& r)
{
    for (;;) {
        plat::EnterLock(&r.ring_lock);
        std::uint64_t room = free_space(r);
        if (room >= io_chunk) {
            plat::LeaveLock(&r.ring_lock);
            std::uint64_t count = min64(r.ring_size - r.in_pos, io_chunk);  // cut at the ring's end
            std::size_t n = r.io->Read(r.ring_buf + r.in_pos, static_cast<std::size_t>(count));
            plat::EnterLock(&r.ring_lock);
            if (n == 0)
                r.input_ended = 1;  // end of input, or a read error, which counts the same
            else
                r.in_pos = (r.in_pos + n) % r.ring_size;
            plat::LeaveLock(&r.ring_lock);
            plat::SetAutoEvent(r.data_event);
            if (n == 0)
                return;
            continue;
        }
        if (r.input_ended != 0) {
            plat::LeaveLock(&r.ring_lock);
            return;
        }
        plat::LeaveLock(&r.ring_lock);
        plat::WaitAutoEvent(r.space_event);
    }
}

// Makes the ring, the two events and the lock, then starts the writer, stopping at the first
// step that fails; what was made is recorded in r for release_ring.
bool set_up_ring(Ring& r)
{
    r.ring_buf = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(r.ring_size)));
    if (r.ring_buf == nullptr)
        return false;
    r.data_event = plat::CreateAutoEvent();
    if (r.data_event == nullptr)
        return false;
    r.space_event = plat::CreateAutoEvent();
    if (r.space_event == nullptr)
        return false;
    plat::InitLock(&r.ring_lock);
    r.lock_made = true;
    return plat::StartThread(&r.writer_thread, writer_proc, &r);
}

// Releases what set_up_ring made, in the reverse order, once no thread uses it any more.
void release_ring(Ring& r)
{
    if (r.lock_made)
        plat::DeleteLock(&r.ring_lock);
    if (r.space_event != nullptr)
        plat::CloseAutoEvent(r.space_event);
    if (r.data_event != nullptr)
        plat::CloseAutoEvent(r.data_event);
    std::free(r.ring_buf);
}

}  // namespace

int RunRing(const RingSettings& settings, RingIo& io)
{
    Ring r{};
    r.ring_size = settings.ring_size;
    r.initial_fill = settings.initial_fill;
    r.io = &io;

    int code = 1;
    if (set_up_ring(r)) {
        input_loop(r);
        plat::JoinThread(&r.writer_thread);
        // 0 also after a failed write: the run ended, and the output's loss was its reader's
        // doing.
        code = 0;
    }
    release_ring(r);
    return code;
}

}  // namespace brimtank

namespace {

int usage()
{
    std::fputs("Usage: brimtank buf_size_bytes initial_fill_bytes\n", stderr);
    return 2;
}

}  // namespace

// Copies standard input to standard output, byte for byte and in order, through a ring buffer
// of buf_size_bytes, so that a producer that delivers in bursts and a consumer that takes data
// at its own pace do not hold each other up. Output waits once, at the start, until
// initial_fill_bytes are buffered or the input ends.
int tool_main(int argc, wchar_t** argv)
{
    if (argc != 3)
        return usage();
    if (!plat::SetBinaryStdio())
        return 1;
    // The writer hands over up to a chunk at a time: through the runtime's 4 KiB buffer each
    // would cost two system calls, one that fills and flushes the buffer and one for the rest.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    brimtank::RingSettings settings = brimtank::SettingsFromArgs(argv[1], argv[2]);
    brimtank::StdioRingIo io;
    return brimtank::RunRing(settings, io);
}
