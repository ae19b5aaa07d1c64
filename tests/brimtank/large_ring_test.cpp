// The largest ring, 1 GiB, in a 32-bit process, in process with the platform's real threads:
// where no free range of the address space can hold it, the run ends with exit code 1 before
// anything is read or written, never a crash; where one can (programs are large-address-aware,
// so a 32-bit process on 64-bit Windows has 4 GiB of address space), it is byte-exact.
#include "brimtank_core.h"
#include "counting_io.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using brimtank_test::CountingIo;

TEST(LargeRing, one_gib_ring_fails_cleanly_without_room_and_is_exact_with_it)
{
    const brimtank::RingSettings settings = brimtank::SettingsFromArgs(L"-1", L"1048576");
    ASSERT_EQ(settings.ring_size, 1073741824u);
    const std::string input = test_support::PatternBytes(5 * 1048576 + 3, 9);

    // Take every free range of 1 GiB, so that no allocation of the ring can succeed.
    std::vector<void*> taken;
    while (void* p = VirtualAlloc(nullptr, settings.ring_size, MEM_RESERVE, PAGE_NOACCESS))
        taken.push_back(p);
    CountingIo starved(input);
    int code = brimtank::RunRing(settings, starved);
    for (void* p : taken)
        VirtualFree(p, 0, MEM_RELEASE);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(starved.reads, 0);
    EXPECT_EQ(starved.output.size(), 0u);

    CountingIo io(input);
    EXPECT_EQ(brimtank::RunRing(settings, io), 0);
    EXPECT_TRUE(io.output == input) << io.output.size() << " of " << input.size() << " bytes";
}

}  // namespace
