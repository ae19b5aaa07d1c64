// The steps and arithmetic of the self-test's Windows-only checks, tried without Windows.
#include "selftest/windows_plan.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace selftest;

namespace {

// Records what WithShare asked for; names in busy are in use.
struct Shares {
    std::vector<std::wstring> busy, added, used, removed;
    unsigned long refuse = 0;
    ShareOutcome Run(bool useThrows = false)
    {
        return WithShare(
            77,
            [&](const std::wstring& name) -> unsigned long {
                for (const std::wstring& b : busy)
                    if (b == name)
                        return share_name_in_use;
                added.push_back(name);
                return refuse;
            },
            [&](const std::wstring& name) {
                used.push_back(name);
                if (useThrows)
                    throw std::runtime_error("use failed");
            },
            [&](const std::wstring& name) -> unsigned long {
                removed.push_back(name);
                return 0;
            });
    }
};

TEST(WindowsPlan, ShareTakesTheFirstFreeNameAndIsAlwaysRemoved)
{
    Shares s;
    s.busy = {L"VelmoraSelftest77$", L"VelmoraSelftest77-2$"};
    ShareOutcome got = s.Run();
    EXPECT_EQ(got.name, L"VelmoraSelftest77-3$");
    EXPECT_EQ(got.added, 0u);
    EXPECT_EQ(s.used, std::vector<std::wstring>{got.name});
    EXPECT_EQ(s.removed, std::vector<std::wstring>{got.name});

    // A use that fails half-way still removes the share.
    Shares thrown;
    EXPECT_THROW(thrown.Run(true), std::runtime_error);
    EXPECT_EQ(thrown.removed, std::vector<std::wstring>{L"VelmoraSelftest77$"});

    // Refused (the Server service stopped, say): nothing is used or removed.
    Shares refused;
    refused.refuse = 2114;
    EXPECT_EQ(refused.Run().added, 2114u);
    EXPECT_TRUE(refused.used.empty() && refused.removed.empty());

    // Every name in use: it gives up after the last try.
    Shares full;
    for (int i = 1; i <= share_name_tries; ++i)
        full.busy.push_back(ShareName(77, i));
    EXPECT_EQ(full.Run().added, share_name_in_use);
    EXPECT_TRUE(full.used.empty() && full.removed.empty());
}

TEST(WindowsPlan, Arguments)
{
    EXPECT_LE(ShareName(4294967295ul, share_name_tries).size(), 80u);
    EXPECT_EQ(ShareSecurity(L"S-1-5-21-1-2-3-1001"), L"D:(A;;GA;;;S-1-5-21-1-2-3-1001)");
    EXPECT_EQ(ThroughShare(L"S$", L"open.txt"), L"\\\\localhost\\S$\\open.txt");
    for (unsigned long process : {0ul, 4294967295ul}) {
        std::wstring extension = AbsentExtension(process);
        EXPECT_LE(extension.size(), 8u);
        for (wchar_t c : extension)
            EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z')) << extension;
    }
}

TEST(WindowsPlan, LongPathHasTheLengthAskedForInNamesWindowsTakes)
{
    // Base lengths that leave 0, 2, 201, 202 (a last piece of 1 would be an empty name) and
    // many units for the folders.
    for (std::size_t base : {504u, 502u, 303u, 302u, 60u}) {
        LongPath plan = PlanLongPath(std::wstring(base, L'b'), 511, L"rec.ts");
        ASSERT_EQ(plan.file.size(), 511u) << base;
        EXPECT_EQ(plan.file.substr(504), L"\\rec.ts");
        std::wstring parent = std::wstring(base, L'b');
        for (const std::wstring& folder : plan.folders) {
            ASSERT_EQ(folder.compare(0, parent.size() + 1, parent + L"\\"), 0);
            std::size_t name = folder.size() - parent.size() - 1;
            EXPECT_TRUE(name >= 1 && name <= 200) << base << ": " << name;
            parent = folder;
        }
        EXPECT_EQ(plan.file.compare(0, parent.size(), parent), 0);
    }
    // No room: 505 units and up, and 503 (a folder name of no unit).
    for (std::size_t base : {505u, 600u, 503u})
        EXPECT_TRUE(PlanLongPath(std::wstring(base, L'b'), 511, L"rec.ts").file.empty()) << base;
}

TEST(WindowsPlan, ClockMovedIsTheSystemTimesChangeLessTheTimePassed)
{
    // 2.5 s by a 10 MHz counter, the system time 3 s on: moved 0.5 s.
    EXPECT_EQ(ClockMoved(30000000, 25000000, 10000000), 5000000);
    // A counter at 3 GHz after a day, whose product with 10^7 would not fit in 64 bits.
    long long day = 86400LL * 3000000000LL;
    EXPECT_EQ(ClockMoved(864000000000LL - 10000000, day, 3000000000LL), -10000000);
}

}  // namespace
