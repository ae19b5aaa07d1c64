// brimtank's core on the counting seam: every start-up and set-up failure ends the run with exit
// code 1 before any byte moves and releases what it had made, and a whole run releases all.
// (The ring's memory, which the seam cannot see, is checked by the AddressSanitizer build.)
#include "address_space.h"
#include "brimtank_core.h"
#include "counting_io.h"
#include "counting_platform.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using brimtank_test::CountingIo;

class StartUp : public ::testing::Test {
protected:
    void SetUp() override { counting_platform::Reset(); }
    void TearDown() override { counting_platform::Reset(); }
};

TEST_F(StartUp, each_failure_releases_what_was_made)
{
    struct Case {
        const char* fails;
        int event_failing;
        bool thread_fails;
        int events_made, locks_made;
    };
    const Case cases[] = {
        {"the first event", 1, false, 0, 0},
        {"the second event", 2, false, 1, 0},
        {"the writer thread", 0, true, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fails);
        counting_platform::Reset();
        counting_platform::FailEventCreation(c.event_failing);
        counting_platform::FailThreadStart(c.thread_fails);
        CountingIo io(test_support::PatternBytes(300000, 1));
        EXPECT_EQ(brimtank::RunRing({1000000, 0}, io), 1);
        EXPECT_EQ(io.reads + io.writes + io.flushes, 0);
        counting_platform::Counts n = counting_platform::Now();
        EXPECT_EQ(n.events_made, c.events_made);
        EXPECT_EQ(n.locks_made, c.locks_made);
        EXPECT_EQ(n.threads_started, 0);
        EXPECT_EQ(n.events_open, 0);
        EXPECT_EQ(n.locks_open, 0);
    }
}

#ifdef BRIMTANK_LIMIT_ADDRESS_SPACE
TEST_F(StartUp, ring_that_cannot_be_allocated_ends_with_one_before_anything_is_made)
{
    CountingIo io(test_support::PatternBytes(300000, 3));
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &was), 0);
    rlimit low = was;
    low.rlim_cur = 512u << 20;  // no room for a ring of 1 GiB
    ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
    const int code = brimtank::RunRing({1073741824, 0}, io);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &was), 0);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(io.reads + io.writes + io.flushes, 0);
    counting_platform::Counts n = counting_platform::Now();
    EXPECT_EQ(n.events_made, 0);
    EXPECT_EQ(n.locks_made, 0);
    EXPECT_EQ(n.threads_started, 0);
}
#endif

TEST_F(StartUp, whole_run_joins_the_writer_and_releases_everything)
{
    const std::string input = test_support::PatternBytes(5 * 131072 + 17, 2);
    CountingIo io(input);
    EXPECT_EQ(brimtank::RunRing({131072, 0}, io), 0);
    EXPECT_TRUE(io.output == input) << io.output.size() << " bytes out of " << input.size();
    EXPECT_EQ(io.flushes, 1);
    counting_platform::Counts n = counting_platform::Now();
    EXPECT_EQ(n.events_made, 2);
    EXPECT_EQ(n.locks_made, 1);
    EXPECT_EQ(n.threads_started, 1);
    EXPECT_EQ(n.events_open, 0);
    EXPECT_EQ(n.locks_open, 0);
    EXPECT_EQ(n.threads_running, 0);
}

TEST_F(StartUp, binary_mode_failure_ends_with_one_before_the_ring_is_made)
{
    counting_platform::FailBinaryStdio(true);
    wchar_t program[] = L"brimtank", size[] = L"1000000", fill[] = L"0";
    wchar_t* argv[] = {program, size, fill, nullptr};
    EXPECT_EQ(tool_main(3, argv), 1);
    EXPECT_EQ(counting_platform::Now().events_made, 0);
}

}  // namespace
