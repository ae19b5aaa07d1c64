// A 32-bit process's address space taken away, in process with the platform's real threads.
// Where no free range can hold the largest ring, 1 GiB, the run ends with exit code 1 before
// anything is read or written, never a crash; where one can (programs are large-address-aware,
// so a 32-bit process on 64-bit Windows has 4 GiB of address space), it is byte-exact. Where no
// range is left for a thread's stack, the writer thread does not start. (A 64-bit process has
// far too much address space to take away.)
#include "brimtank_core.h"
#include "counting_io.h"
#include "platform.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using brimtank_test::CountingIo;

// Reserves every free range of the address space of at least smallest bytes, the largest first.
std::vector<void*> TakeAddressSpace(SIZE_T smallest)
{
    std::vector<void*> taken;
    for (SIZE_T size = SIZE_T{1} << 30; size >= smallest; size /= 2) {
        while (void* p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS))
            taken.push_back(p);
    }
    return taken;
}

void GiveBack(const std::vector<void*>& taken)
{
    for (void* p : taken)
        VirtualFree(p, 0, MEM_RELEASE);
}

TEST(LargeRing, one_gib_ring_fails_cleanly_without_room_and_is_exact_with_it)
{
    const brimtank::RingSettings settings = brimtank::SettingsFromArgs(L"-1", L"1048576");
    ASSERT_EQ(settings.ring_size, 1073741824u);
    const std::string input = test_support::PatternBytes(5 * 1048576 + 3, 9);

    const std::vector<void*> taken = TakeAddressSpace(settings.ring_size);
    CountingIo starved(input);
    int code = brimtank::RunRing(settings, starved);
    GiveBack(taken);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(starved.reads, 0);
    EXPECT_EQ(starved.output.size(), 0u);

    CountingIo io(input);
    EXPECT_EQ(brimtank::RunRing(settings, io), 0);
    EXPECT_TRUE(io.output == input) << io.output.size() << " of " << input.size() << " bytes";
}

unsigned NoteRun(void* ran)
{
    *static_cast<volatile LONG*>(ran) = 1;
    return 0;
}

TEST(WriterThread, without_room_for_its_stack_does_not_start)
{
    const std::vector<void*> taken = TakeAddressSpace(64 * 1024);  // the allocation granularity
    plat::Thread thread{};
    volatile LONG ran = 0;
    const bool started = plat::StartThread(&thread, NoteRun, const_cast<LONG*>(&ran));
    GiveBack(taken);
    if (started)
        plat::JoinThread(&thread);
    EXPECT_FALSE(started);
    EXPECT_EQ(ran, 0);
}

}  // namespace
