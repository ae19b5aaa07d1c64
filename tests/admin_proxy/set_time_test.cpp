// The set-time request through the proxy window's procedure: decoding, the acceptance window
// around the present, the busy period and its timer, and the rest of the procedure's table.
#include "fake_platform.h"
#include "proxy_internal.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace proxy;
using proxy_test::FakeSystem;
using proxy_test::FreshFake;

namespace {

constexpr std::int64_t hour = 36000000000LL;   // in 100-ns units

WParam LowWord(std::int64_t t)
{
    return static_cast<WParam>(static_cast<std::uint64_t>(t) & 0xFFFFFFFFu);
}

LParam HighWord(std::int64_t t)
{
    return static_cast<LParam>(static_cast<std::uint64_t>(t) >> 32);
}

class SetTime : public ::testing::Test {
protected:
    // Sends the message as the window procedure gets it; checks it is answered here.
    LResult Send(std::uint32_t message, WParam wParam, LParam lParam)
    {
        LResult result = 12345;
        EXPECT_TRUE(HandleProxyMessage(state, message, wParam, lParam, &result));
        return result;
    }
    LResult RequestTime(std::int64_t t) { return Send(msg_set_time, LowWord(t), HighWord(t)); }
    // Delivers the timer message; it must go on to the default procedure.
    void Timer(WParam id)
    {
        LResult result = 12345;
        EXPECT_FALSE(HandleProxyMessage(state, msg_timer, id, 0, &result));
    }

    ProxyState state;
    FakeSystem& sys = FreshFake();
};

TEST_F(SetTime, acceptance_window_bounds_are_strict)
{
    const std::int64_t n = 133500000000000000LL;
    struct Case {
        std::int64_t offset;
        bool accepted;
    };
    const Case cases[] = {
        {-accept_back, false},     {-accept_back + 1, true},  {accept_ahead, false},
        {accept_ahead - 1, true},    {-3 * hour, false},          {23 * hour, true},
        {0, true},                   {-2 * hour, true},           {25 * hour, false},
    };
    for (const Case& c : cases) {
        ProxyState fresh;
        FakeSystem& clock = FreshFake();
        clock.now = n;
        LResult result = 0;
        ASSERT_TRUE(HandleProxyMessage(fresh, msg_set_time, LowWord(n + c.offset),
                                       HighWord(n + c.offset), &result));
        EXPECT_EQ(result, c.accepted ? 1 : -1) << "offset " << c.offset;
        EXPECT_EQ(fresh.set_time_busy, c.accepted) << "offset " << c.offset;
        if (c.accepted) {
            ASSERT_EQ(clock.clock_sets.size(), 1u);
            EXPECT_EQ(clock.clock_sets[0], n + c.offset);
        } else {
            EXPECT_TRUE(clock.clock_sets.empty()) << "offset " << c.offset;
        }
    }
}

TEST_F(SetTime, time_with_top_bit_set_is_refused)
{
    // 0x80000000 in the high word makes the time negative, far below any lower bound.
    EXPECT_EQ(Send(msg_set_time, LowWord(sys.now), static_cast<LParam>(0x80000000u)), -1);
    EXPECT_EQ(RequestedTime(0, 0xFFFFFFFF), -4294967296LL);
    EXPECT_EQ(RequestedTime(0xFFFFFFFF, 0xFFFFFFFF), -1);
    EXPECT_EQ(RequestedTime(0, 0x80000000u), INT64_MIN);
    EXPECT_TRUE(sys.clock_sets.empty());
    EXPECT_FALSE(state.set_time_busy);
}

TEST_F(SetTime, upper_halves_of_both_words_are_ignored)
{
    const std::int64_t t = sys.now + hour;
    const WParam junk_w = static_cast<WParam>(0xDEADBEEF00000000ULL) | LowWord(t);
    const LParam junk_l = static_cast<LParam>(0x8123456700000000ULL | HighWord(t));
    EXPECT_EQ(RequestedTime(junk_w, junk_l), t);
    EXPECT_EQ(Send(msg_set_time, junk_w, junk_l), 1);
    ASSERT_EQ(sys.clock_sets.size(), 1u);
    EXPECT_EQ(sys.clock_sets[0], t);
}

TEST_F(SetTime, window_holds_at_the_ends_of_the_64_bit_range)
{
    // No bound is computed by adding to or subtracting from the present, so extreme values
    // neither overflow nor wrap into acceptance.
    EXPECT_FALSE(WithinAcceptanceWindow(INT64_MIN, INT64_MAX));
    EXPECT_FALSE(WithinAcceptanceWindow(INT64_MAX, INT64_MIN));
    EXPECT_TRUE(WithinAcceptanceWindow(INT64_MAX, INT64_MAX - accept_ahead + 1));
    EXPECT_FALSE(WithinAcceptanceWindow(INT64_MAX, INT64_MAX - accept_ahead));
    EXPECT_TRUE(WithinAcceptanceWindow(INT64_MIN, INT64_MIN + accept_back - 1));
    EXPECT_FALSE(WithinAcceptanceWindow(INT64_MIN, INT64_MIN + accept_back));
}

TEST_F(SetTime, busy_flag_refuses_second_set_time)
{
    ASSERT_EQ(RequestTime(sys.now + hour), 1);
    EXPECT_TRUE(state.set_time_busy);
    EXPECT_EQ(sys.timer_start_calls, 1);
    EXPECT_TRUE(sys.timer_running);

    // While busy nothing is looked at: the clock is neither read nor set, whatever the time.
    const int reads = sys.now_reads;
    EXPECT_EQ(RequestTime(sys.now), -1);
    EXPECT_EQ(RequestTime(sys.now - 10 * hour), -1);
    EXPECT_EQ(sys.now_reads, reads);
    EXPECT_EQ(sys.clock_sets.size(), 1u);
    EXPECT_EQ(sys.timer_start_calls, 1);

    // Another timer's expiry leaves the busy period as it is.
    Timer(2);
    EXPECT_TRUE(state.set_time_busy);
    EXPECT_EQ(sys.timer_stop_calls, 0);
    EXPECT_EQ(RequestTime(sys.now), -1);

    // The busy timer's expiry kills it and ends the period: the same request now succeeds.
    Timer(busy_timer_id);
    EXPECT_FALSE(state.set_time_busy);
    EXPECT_EQ(sys.timer_stop_calls, 1);
    EXPECT_FALSE(sys.timer_running);
    EXPECT_EQ(RequestTime(sys.now), 1);
    EXPECT_EQ(sys.clock_sets.size(), 2u);
    EXPECT_EQ(sys.timer_start_calls, 2);
}

TEST_F(SetTime, only_a_success_begins_a_busy_period)
{
    // Refused for its time: no busy period, no timer.
    EXPECT_EQ(RequestTime(sys.now - 3 * hour), -1);
    EXPECT_FALSE(state.set_time_busy);
    EXPECT_EQ(sys.timer_start_calls, 0);

    // The system refuses to set the clock (no privilege): no busy period either.
    sys.clock_accepts = false;
    EXPECT_EQ(RequestTime(sys.now + hour), -1);
    EXPECT_FALSE(state.set_time_busy);
    EXPECT_EQ(sys.timer_start_calls, 0);

    sys.clock_accepts = true;
    EXPECT_EQ(RequestTime(sys.now + hour), 1);
    EXPECT_TRUE(state.set_time_busy);
    EXPECT_EQ(sys.timer_start_calls, 1);
}

TEST_F(SetTime, busy_timer_that_cannot_start_is_retried_until_it_runs)
{
    // The clock was set, so the answer is 1, and the busy period begins although its timer
    // could not be created.
    sys.timer_starts = false;
    ASSERT_EQ(RequestTime(sys.now + hour), 1);
    EXPECT_TRUE(state.set_time_busy);
    EXPECT_TRUE(state.busy_timer_missing);

    // Requests in the busy period are refused and each tries the timer again.
    EXPECT_EQ(RequestTime(sys.now), -1);
    EXPECT_EQ(sys.timer_start_calls, 2);
    sys.timer_starts = true;
    EXPECT_EQ(RequestTime(sys.now), -1);
    EXPECT_EQ(sys.timer_start_calls, 3);
    EXPECT_FALSE(state.busy_timer_missing);
    EXPECT_TRUE(sys.timer_running);

    // Once it runs it is not started again, and its expiry ends the period as usual.
    EXPECT_EQ(RequestTime(sys.now), -1);
    EXPECT_EQ(sys.timer_start_calls, 3);
    Timer(busy_timer_id);
    EXPECT_FALSE(state.set_time_busy);
    EXPECT_EQ(RequestTime(sys.now), 1);
    EXPECT_EQ(sys.clock_sets.size(), 2u);
}

TEST_F(SetTime, procedure_table_answers_its_messages_and_passes_the_rest_on)
{
    LResult result = 12345;
    EXPECT_TRUE(HandleProxyMessage(state, msg_destroy, 0, 0, &result));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sys.loop_ends, 1);

    // WM_CLOSE, WM_USER, WM_APP + 2 and a registered-range message go to the default.
    for (std::uint32_t message : {0x0010u, 0x0400u, 0x8002u, 0xC000u, 0x0001u}) {
        result = 12345;
        EXPECT_FALSE(HandleProxyMessage(state, message, 1, 1, &result)) << message;
        EXPECT_EQ(result, 12345) << message;
    }
    EXPECT_EQ(sys.loop_ends, 1);
    EXPECT_EQ(sys.now_reads, 0);
    EXPECT_EQ(sys.searches, 0);

    // A timer message outside a busy period changes nothing but still stops the timer.
    Timer(busy_timer_id);
    EXPECT_FALSE(state.set_time_busy);
    EXPECT_EQ(sys.timer_stop_calls, 1);
}

}  // namespace
