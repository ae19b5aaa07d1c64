// The choice of mode from the command line, and the test clients: what they send and which
// text they show for each outcome.
#include "fake_proxy_system.h"
#include "proxy_core.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace proxy;
using proxy_test::FakeProxySystem;
using proxy_test::UString;

namespace {

TEST(Mode, whole_command_line_chooses_mode_ignoring_letter_case)
{
    FakeProxySystem sys;
    struct Case {
        const Unit* line;
        ProxyMode mode;
    };
    const Case cases[] = {
        {PROXY_TEXT("/TestSetTime"), ProxyMode::test_set_time},
        {PROXY_TEXT("/testsettime"), ProxyMode::test_set_time},
        {PROXY_TEXT("/TESTSETTIME"), ProxyMode::test_set_time},
        {PROXY_TEXT("/TestNetFind"), ProxyMode::test_net_find},
        {PROXY_TEXT("/testnetfind"), ProxyMode::test_net_find},
        {PROXY_TEXT(""), ProxyMode::server},
        // Nothing is trimmed: a blank or another word makes it a different text.
        {PROXY_TEXT("/TestNetFind "), ProxyMode::server},
        {PROXY_TEXT(" /TestNetFind"), ProxyMode::server},
        {PROXY_TEXT("/TestNetFind now"), ProxyMode::server},
        {PROXY_TEXT("/TestSetTime /TestNetFind"), ProxyMode::server},
        {PROXY_TEXT("\"/TestSetTime\""), ProxyMode::server},
        {PROXY_TEXT("/TestSetTim"), ProxyMode::server},
        {PROXY_TEXT("-TestSetTime"), ProxyMode::server},
        {PROXY_TEXT("/Test"), ProxyMode::server},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseMode(sys, c.line), c.mode) << UString(c.line).size();
    EXPECT_EQ(ChooseMode(sys, nullptr), ProxyMode::server);
}

TEST(Client, server_mode_has_no_client_side)
{
    FakeProxySystem sys;
    RunTestClient(ProxyMode::server, sys);
    EXPECT_EQ(sys.window_lookups, 0);
    EXPECT_TRUE(sys.sent.empty());
    EXPECT_TRUE(sys.shown.empty());
}

TEST(Client, no_proxy_window_sends_nothing)
{
    for (ProxyMode mode : {ProxyMode::test_set_time, ProxyMode::test_net_find}) {
        FakeProxySystem sys;
        sys.window_exists = false;
        RunTestClient(mode, sys);
        EXPECT_TRUE(sys.sent.empty());
        EXPECT_EQ(sys.now_reads, 0);
        ASSERT_EQ(sys.shown.size(), 1u);
        EXPECT_EQ(sys.shown[0], UString(PROXY_TEXT("Proxy not found.")));
    }
}

TEST(Client, set_time_client_sends_its_own_present)
{
    FakeProxySystem sys;
    sys.now = 0x01DA2B3C4D5E6F70LL;
    RunTestClient(ProxyMode::test_set_time, sys);
    ASSERT_EQ(sys.sent.size(), 1u);
    EXPECT_EQ(sys.sent[0].message, 0x8000u);
    EXPECT_EQ(sys.sent[0].wParam, static_cast<WParam>(0x4D5E6F70u));
    EXPECT_EQ(sys.sent[0].lParam, static_cast<LParam>(0x01DA2B3Cu));

    // What it sends is what a proxy decodes back to the same instant.
    EXPECT_EQ(RequestedTime(sys.sent[0].wParam, sys.sent[0].lParam), sys.now);
}

TEST(Client, net_find_client_asks_for_txt)
{
    FakeProxySystem sys;
    RunTestClient(ProxyMode::test_net_find, sys);
    ASSERT_EQ(sys.sent.size(), 1u);
    EXPECT_EQ(sys.sent[0].message, 0x8001u);
    EXPECT_EQ(sys.sent[0].wParam, static_cast<WParam>(0x747874));
    EXPECT_EQ(sys.sent[0].lParam, 0);
    EXPECT_EQ(sys.now_reads, 0);
}

TEST(Client, text_follows_sign_of_answer)
{
    struct Case {
        ProxyMode mode;
        LResult answer;
        const Unit* text;
    };
    const Case cases[] = {
        {ProxyMode::test_set_time, 1, PROXY_TEXT("Succeeded.")},
        {ProxyMode::test_set_time, 7, PROXY_TEXT("Succeeded.")},
        {ProxyMode::test_set_time, -1, PROXY_TEXT("Failed.")},
        {ProxyMode::test_set_time, INTPTR_MIN, PROXY_TEXT("Failed.")},
        {ProxyMode::test_set_time, 0, PROXY_TEXT("Denied.")},
        {ProxyMode::test_net_find, 1, PROXY_TEXT("Succeeded.")},
        {ProxyMode::test_net_find, INTPTR_MAX, PROXY_TEXT("Succeeded.")},
        {ProxyMode::test_net_find, -1, PROXY_TEXT("Failed or no access.")},
        {ProxyMode::test_net_find, -2, PROXY_TEXT("Failed or no access.")},
        {ProxyMode::test_net_find, 0, PROXY_TEXT("Denied.")},
    };
    for (const Case& c : cases) {
        FakeProxySystem sys;
        sys.answer = c.answer;
        RunTestClient(c.mode, sys);
        ASSERT_EQ(sys.shown.size(), 1u);
        EXPECT_EQ(sys.shown[0], UString(c.text)) << c.answer;
    }
}

}  // namespace
