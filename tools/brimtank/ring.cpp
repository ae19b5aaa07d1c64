// The ring and its two threads. The main thread reads input into the ring, the writer thread
// writes the ring to output; one lock guards the two indices and the end flag, and two
// auto-reset events wake whichever side waits. Neither side holds the lock while it reads,
// writes or waits, so input and output move at the same time.
#include "ring.h"

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

// The process-wide state of one run, set up by the main thread before the writer starts and
// torn down after it has ended. in_pos belongs to the main thread and out_pos to the writer:
// each changes only its own, under ring_lock, and reads its own without the lock; the other
// side reads it only under the lock. The ring keeps one byte empty, so in_pos == out_pos means
// empty and the ring holds at most ring_size - 1 bytes.
unsigned char* ring_buf;
std::uint64_t ring_size;
std::uint64_t in_pos;
std::uint64_t out_pos;
std::uint64_t initial_fill;  // after the start only the writer reads and clears it
int input_ended;             // input ended, or the writer stopped after a failed write
plat::AutoEvent data_event;   // input stored or input ended: for the writer
plat::AutoEvent space_event;  // room freed or writer stopped: for the main thread
plat::Lock ring_lock;
plat::ThreadHandle writer_thread;
RingIo* ring_io;

// Both under ring_lock.
std::uint64_t buffered()
{
    return (in_pos - out_pos + ring_size) % ring_size;
}

std::uint64_t free_space()
{
    return (out_pos - in_pos - 1 + ring_size) % ring_size;
}

std::uint64_t min64(std::uint64_t a, std::uint64_t b)
{
    return a < b ? a : b;
}

// Every wake-up tests the state again from the start: a signal given between a test and the
// wait is held by the event, so none is lost, and a stale one costs one more pass.
unsigned writer_proc()
{
    for (;;) {
        plat::EnterLock(&ring_lock);
        std::uint64_t have = buffered();
        int ended = input_ended;
        if (ended == 0 && have < initial_fill) {
            plat::LeaveLock(&ring_lock);
            plat::WaitAutoEvent(data_event);
            continue;
        }
        // While input runs, only whole chunks go out; after it ended, whatever is left.
        std::uint64_t threshold = ended != 0 ? 1 : io_chunk;
        if (have >= threshold) {
            std::uint64_t chunk = min64(have, io_chunk);
            plat::LeaveLock(&ring_lock);
            std::uint64_t len = min64(ring_size - out_pos, chunk);  // never past the ring's end
            initial_fill = 0;  // the fill holds output back once per run
            std::size_t written = ring_io->Write(ring_buf + out_pos, static_cast<std::size_t>(len));
            if (written != len) {
                // The output is lost (its reader may have gone): stop writing and let the main
                // thread finish once the ring lacks room; what is still buffered is dropped.
                plat::EnterLock(&ring_lock);
                input_ended = 1;
                plat::LeaveLock(&ring_lock);
                plat::SetAutoEvent(space_event);
                ring_io->Flush();
                return 0;
            }
            plat::EnterLock(&ring_lock);
            out_pos = (out_pos + len) % ring_size;
            plat::LeaveLock(&ring_lock);
            plat::SetAutoEvent(space_event);
            continue;
        }
        if (ended != 0) {
            plat::LeaveLock(&ring_lock);
            ring_io->Flush();  // everything has been written
            return 0;
        }
        plat::LeaveLock(&ring_lock);
        plat::WaitAutoEvent(data_event);
    }
}

// Reads only with a whole chunk of room free. The end flag is tested only when room is lacking:
// the main thread sets it itself only on its way out, so finding it set means that the writer
// has stopped, and no room will ever be freed again.
void input_loop()
{
    for (;;) {
        plat::EnterLock(&ring_lock);
        std::uint64_t room = free_space();
        if (room >= io_chunk) {
            plat::LeaveLock(&ring_lock);
            std::uint64_t count = min64(ring_size - in_pos, io_chunk);  // cut at the ring's end
            std::size_t n = ring_io->Read(ring_buf + in_pos, static_cast<std::size_t>(count));
            plat::EnterLock(&ring_lock);
            if (n == 0)
                input_ended = 1;  // end of input, or a read error, which counts the same
            else
                in_pos = (in_pos + n) % ring_size;
            plat::LeaveLock(&ring_lock);
            plat::SetAutoEvent(data_event);
            if (n == 0)
                return;
            continue;
        }
        if (input_ended != 0) {
            plat::LeaveLock(&ring_lock);
            return;
        }
        plat::LeaveLock(&ring_lock);
        plat::WaitAutoEvent(space_event);
    }
}

}  // namespace

int RunRing(const RingSettings& settings, RingIo& io)
{
    ring_size = settings.ring_size;
    initial_fill = settings.initial_fill;
    in_pos = 0;
    out_pos = 0;
    input_ended = 0;
    ring_io = &io;

    ring_buf = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(ring_size)));
    if (ring_buf == nullptr)
        return 1;
    data_event = plat::CreateAutoEvent();
    if (data_event == nullptr) {
        std::free(ring_buf);
        return 1;
    }
    space_event = plat::CreateAutoEvent();
    if (space_event == nullptr) {
        plat::CloseAutoEvent(data_event);
        std::free(ring_buf);
        return 1;
    }
    plat::InitLock(&ring_lock);
    if (!plat::StartThread(writer_proc, &writer_thread)) {
        plat::DeleteLock(&ring_lock);
        plat::CloseAutoEvent(space_event);
        plat::CloseAutoEvent(data_event);
        std::free(ring_buf);
        return 1;
    }

    input_loop();

    plat::JoinThread(writer_thread);
    plat::DeleteLock(&ring_lock);
    plat::CloseAutoEvent(space_event);
    plat::CloseAutoEvent(data_event);
    std::free(ring_buf);
    ring_buf = nullptr;
    ring_io = nullptr;
    // 0 also after a failed write: the run ended, and the output's loss was its reader's doing.
    return 0;
}

}  // namespace brimtank
