// The program's start-up order, the choice of mode from the command line, and the test clients:
// what they send and which text they show for each outcome.
#include "fake_platform.h"
#include "proxy_internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace proxy;
using proxy_test::FakeSystem;
using proxy_test::FreshFake;
using proxy_test::UString;

namespace {

using Calls = std::vector<std::string>;

TEST(StartUp, libraries_kept_out_first_then_window_filter_and_loop)
{
    // The current folder leaves the library search before anything else happens; the filter
    // opens for exactly the two requests once the window exists, before the loop serves them.
    FakeSystem& sys = FreshFake();
    EXPECT_EQ(ProxyMain(PROXY_TEXT("")), 0);
    EXPECT_EQ(sys.calls, (Calls{"KeepLibrariesOutOfCurrentFolder", "CreateProxyWindow",
                                "AdmitFromLowerIntegrity 0x8000",
                                "AdmitFromLowerIntegrity 0x8001", "RunMessageLoop"}));
    // The window's messages go to the proxy's procedure, with one state for the server: a
    // second set-time request finds it busy.
    const std::uint64_t now = static_cast<std::uint64_t>(sys.now);
    LResult answers[2] = {};
    for (LResult& answer : answers)
        EXPECT_TRUE(sys.handler(msg_set_time, static_cast<WParam>(now & 0xFFFFFFFFu),
                                static_cast<LParam>(now >> 32), &answer));
    EXPECT_EQ(answers[0], 1);
    EXPECT_EQ(answers[1], -1);

    // No window: the program ends at once, exit code 0, nothing else done or shown.
    FreshFake().window_created = false;
    EXPECT_EQ(ProxyMain(nullptr), 0);
    EXPECT_EQ(sys.calls, (Calls{"KeepLibrariesOutOfCurrentFolder", "CreateProxyWindow"}));

    // A test client, too, keeps libraries out first.
    FreshFake();
    EXPECT_EQ(ProxyMain(PROXY_TEXT("/TestNetFind")), 0);
    EXPECT_EQ(sys.calls, (Calls{"KeepLibrariesOutOfCurrentFolder", "FindProxyWindow",
                                "SendRequest", "ShowMessage"}));
}

TEST(Mode, whole_command_line_chooses_mode_ignoring_letter_case)
{
    // The mode shows in what runs: the server creates its window, a client sends its request.
    constexpr std::uint32_t server = 0;
    struct Case {
        const Unit* line;
        std::uint32_t sends;
    };
    const Case cases[] = {
        {PROXY_TEXT("/TestSetTime"), msg_set_time},
        {PROXY_TEXT("/testsettime"), msg_set_time},
        {PROXY_TEXT("/TESTSETTIME"), msg_set_time},
        {PROXY_TEXT("/TestNetFind"), msg_open_file_query},
        {PROXY_TEXT("/testnetfind"), msg_open_file_query},
        {PROXY_TEXT(""), server},
        // Nothing is trimmed: a blank or another word makes it a different text.
        {PROXY_TEXT("/TestNetFind "), server},
        {PROXY_TEXT(" /TestNetFind"), server},
        {PROXY_TEXT("/TestNetFind now"), server},
        {PROXY_TEXT("/TestSetTime /TestNetFind"), server},
        {PROXY_TEXT("\"/TestSetTime\""), server},
        {PROXY_TEXT("/TestSetTim"), server},
        {PROXY_TEXT("-TestSetTime"), server},
        {PROXY_TEXT("/Test"), server},
    };
    for (const Case& c : cases) {
        FakeSystem& sys = FreshFake();
        ProxyMain(c.line);
        const bool is_server = sys.calls.size() > 1 && sys.calls[1] == "CreateProxyWindow";
        EXPECT_EQ(is_server, c.sends == server) << UString(c.line).size();
        if (c.sends != server) {
            ASSERT_EQ(sys.sent.size(), 1u);
            EXPECT_EQ(sys.sent[0].message, c.sends);
        }
    }
}

TEST(Client, sends_its_request_and_shows_the_sign_of_the_answer)
{
    const Unit* const set_time = PROXY_TEXT("/TestSetTime");
    const Unit* const net_find = PROXY_TEXT("/TestNetFind");
    constexpr LResult no_window = 0x5EED;
    struct Case {
        const Unit* line;
        LResult answer;
        const Unit* text;
    };
    const Case cases[] = {
        {set_time, no_window, PROXY_TEXT("Proxy not found.")},
        {net_find, no_window, PROXY_TEXT("Proxy not found.")},
        {set_time, 1, PROXY_TEXT("Succeeded.")},
        {set_time, 7, PROXY_TEXT("Succeeded.")},
        {set_time, -1, PROXY_TEXT("Failed.")},
        {set_time, INTPTR_MIN, PROXY_TEXT("Failed.")},
        {set_time, 0, PROXY_TEXT("Denied.")},
        {net_find, 1, PROXY_TEXT("Succeeded.")},
        {net_find, INTPTR_MAX, PROXY_TEXT("Succeeded.")},
        {net_find, -1, PROXY_TEXT("Failed or no access.")},
        {net_find, -2, PROXY_TEXT("Failed or no access.")},
        {net_find, 0, PROXY_TEXT("Denied.")},
    };
    for (const Case& c : cases) {
        FakeSystem& sys = FreshFake();
        sys.now = 0x01DA2B3C4D5E6F70LL;
        sys.window_exists = c.answer != no_window;
        sys.answer = c.answer;
        ProxyMain(c.line);
        ASSERT_EQ(sys.shown.size(), 1u);
        EXPECT_EQ(sys.shown[0], UString(c.text)) << c.answer;
        if (!sys.window_exists) {
            // Nothing is sent, and the clock is not even read.
            EXPECT_TRUE(sys.sent.empty());
            EXPECT_EQ(sys.now_reads, 0);
        } else if (c.line == set_time) {
            // The client's own present, which a proxy decodes back to the same instant.
            ASSERT_EQ(sys.sent.size(), 1u);
            EXPECT_EQ(sys.sent[0].message, 0x8000u);
            EXPECT_EQ(sys.sent[0].wParam, static_cast<WParam>(0x4D5E6F70u));
            EXPECT_EQ(sys.sent[0].lParam, static_cast<LParam>(0x01DA2B3Cu));
            EXPECT_EQ(RequestedTime(sys.sent[0].wParam, sys.sent[0].lParam), sys.now);
        } else {
            // "txt", and no clock reading.
            ASSERT_EQ(sys.sent.size(), 1u);
            EXPECT_EQ(sys.sent[0].message, 0x8001u);
            EXPECT_EQ(sys.sent[0].wParam, static_cast<WParam>(0x747874));
            EXPECT_EQ(sys.sent[0].lParam, 0);
            EXPECT_EQ(sys.now_reads, 0);
        }
    }
}

}  // namespace
