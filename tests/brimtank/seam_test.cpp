// brimtank's real POSIX seam where the system says no: an event when memory has run out, and
// the writer thread when there is no room left for its stack. Both must come back as failures
// that the core can act on (how it does is tested on the counting seam).
#include "address_space.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <new>

namespace {

// While set, the non-throwing operator new finds no memory.
bool out_of_memory = false;

}  // namespace

// Replaces the library's non-throwing operator new for this program with one that behaves as
// the default does (the throwing one, its exception turned into null) unless out_of_memory.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (out_of_memory)
        return nullptr;
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

TEST(PosixSeam, event_without_memory_is_none)
{
    out_of_memory = true;
    plat::AutoEvent none = plat::CreateAutoEvent();
    out_of_memory = false;
    EXPECT_EQ(none, nullptr);
    plat::AutoEvent event = plat::CreateAutoEvent();
    ASSERT_NE(event, nullptr);
    plat::CloseAutoEvent(event);
}

#ifdef BRIMTANK_LIMIT_ADDRESS_SPACE
// The bytes of address space the process has mapped.
std::size_t MappedBytes()
{
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

unsigned NoteRun(void* ran)
{
    static_cast<std::atomic<bool>*>(ran)->store(true);
    return 0;
}

TEST(PosixSeam, writer_thread_without_room_for_its_stack_does_not_start)
{
    // No thread has ended in this program, so no cached stack can stand in for a new one: a
    // limit half a stack above what is mapped leaves the new thread's stack nowhere to go.
    pthread_attr_t attr;
    ASSERT_EQ(pthread_getattr_default_np(&attr), 0);
    std::size_t stack = 0;
    ASSERT_EQ(pthread_attr_getstacksize(&attr, &stack), 0);
    pthread_attr_destroy(&attr);
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &was), 0);
    rlimit low = was;
    low.rlim_cur = MappedBytes() + stack / 2;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
    plat::Thread thread{};
    std::atomic<bool> ran{false};
    const bool started = plat::StartThread(&thread, NoteRun, &ran);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &was), 0);
    if (started)
        plat::JoinThread(&thread);
    EXPECT_FALSE(started);
    EXPECT_FALSE(ran.load());
}
#endif

}  // namespace
