// VelmoraAdminProxy.exe in server mode under wine: found under HWND_MESSAGE, driven with both
// requests by SendMessage from this process, and closed with WM_CLOSE. The open-file query is
// answered by wine's own netapi32 (whose enumeration always fails) and, for a copy of the
// program under another name, by a stand-in in the system directory that hands out a list of
// paths the test writes (see StandInCopy).
#include "wine_session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace proxy_wine;

namespace {

const std::wstring proxy_exe = HostPath(PROXY_PATH);
const std::wstring standin_dll = HostPath(STANDIN_PATH);

const auto* const desktop_environment =
    ::testing::AddGlobalTestEnvironment(new PrivateDesktopEnvironment);

constexpr std::int64_t hour = 36000000000LL;

TEST(Server, found_under_message_parent_and_closed_with_zero)
{
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(proxy_exe));
    EXPECT_EQ(FindProxy(), proxy.window);
    EXPECT_FALSE(IsWindowVisible(proxy.window));
    wchar_t title[32] = L"x";
    EXPECT_EQ(GetWindowTextW(proxy.window, title, 32), 0);

    EXPECT_EQ(proxy.Close(), 0);
    EXPECT_FALSE(IsWindow(proxy.window));
}

TEST(Server, set_time_to_present_then_busy)
{
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(proxy_exe));
    // Outside the window: refused before the clock is touched.
    WPARAM w;
    LPARAM l;
    Present(&w, &l, -3 * hour);
    EXPECT_EQ(proxy.Request(WM_APP, w, l), -1);
    // Inside the window but not the present: wine refuses to set it, and a failure does not
    // begin a busy period.
    Present(&w, &l, hour);
    EXPECT_EQ(proxy.Request(WM_APP, w, l), -1);

    EXPECT_EQ(SetTimeToPresent(proxy, must_succeed), 1);
    // Busy for 30 s now: the same request is refused at once.
    EXPECT_EQ(SetTimeToPresent(proxy), -1);
    // The open-file query is still served (wine's enumeration fails, so -1, never 0).
    EXPECT_EQ(proxy.Query(0x747874, 0), -1);
    EXPECT_EQ(SetTimeToPresent(proxy), -1);

    // The busy timer's expiry, brought forward (sent, so that it is handled before the next
    // request): another timer's leaves the proxy busy, its own ends the busy period.
    proxy.Request(WM_TIMER, 2, 0);
    EXPECT_EQ(SetTimeToPresent(proxy), -1);
    proxy.Request(WM_TIMER, 1, 0);
    EXPECT_EQ(SetTimeToPresent(proxy, must_succeed), 1);
    EXPECT_EQ(SetTimeToPresent(proxy), -1);

    // A real expiry is posted and reaches the window through the message loop. Requests sent
    // meanwhile overtake it and are refused as busy until the loop has dispatched it.
    ASSERT_TRUE(PostMessageW(proxy.window, WM_TIMER, 1, 0));
    LRESULT answer = -1;
    for (int tries = 0; tries < 250 && answer != 1; ++tries) {
        Sleep(20);
        answer = SetTimeToPresent(proxy);
    }
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(proxy.Close(), 0);
}

TEST(Server, upper_halves_of_words_are_ignored)
{
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(proxy_exe));
    EXPECT_EQ(SetTimeToPresent(proxy, must_succeed, static_cast<WPARAM>(0xDEADBEEF00000000ULL),
                               static_cast<LPARAM>(0x7654321000000000LL)),
              1);
    EXPECT_EQ(proxy.Close(), 0);
}

TEST(Server, command_line_is_compared_whole)
{
    // Each of these is server mode: a proxy window appears and answers.
    for (const wchar_t* arguments :
         {L"/TestNetFind ", L"/TestSetTime now", L"/TestNetFind /TestSetTime", L"/server"}) {
        ProxyServer proxy;
        ASSERT_TRUE(proxy.Start(proxy_exe, arguments)) << "no proxy window";
        EXPECT_EQ(proxy.Query(0x747874, 0), -1);
        EXPECT_EQ(proxy.Close(), 0);
    }
}

TEST(Server, second_proxy_is_started_and_either_answers)
{
    ProxyServer first, second;
    ASSERT_TRUE(first.Start(proxy_exe));
    ASSERT_TRUE(second.Start(proxy_exe));
    EXPECT_NE(first.window, second.window);
    HWND found = FindProxy();
    EXPECT_TRUE(found == first.window || found == second.window);
    EXPECT_EQ(second.Close(), 0);
    EXPECT_EQ(FindProxy(), first.window);
    EXPECT_EQ(first.Close(), 0);
    EXPECT_EQ(FindProxy(), nullptr);
}

TEST(Server, without_netapi32_the_query_answers_minus_one)
{
    // A copy whose netapi32 wine refuses to load: the query fails, the proxy goes on serving.
    test_support::ScratchDir dir("admin_proxy");
    const std::wstring name = L"proxy_without_netapi.exe";
    const std::wstring copy = Widen(dir.path()) + L"\\" + name;
    ASSERT_TRUE(SetNetapiLoadOrder(name, L""));
    ASSERT_TRUE(CopyFileW(proxy_exe.c_str(), copy.c_str(), FALSE));
    ProxyServer proxy;
    ASSERT_TRUE(proxy.Start(copy));
    EXPECT_EQ(proxy.Query(0x747874, 0), -1);
    EXPECT_EQ(proxy.Query(0x747874, 0), -1);
    EXPECT_EQ(SetTimeToPresent(proxy, must_succeed), 1);
    EXPECT_EQ(proxy.Close(), 0);
}

class StandIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(copy.Ready());
        ASSERT_TRUE(proxy.Start(copy.Program(), L"", copy.Directory()));
    }
    void TearDown() override { EXPECT_EQ(proxy.Close(), 0); }
    void List(const std::string& text) { ASSERT_TRUE(copy.List(text)); }
    std::string Calls() { return copy.Calls(); }

    StandInCopy copy{proxy_exe, standin_dll};
    ProxyServer proxy;
};

const std::string enum_call = standin_enumeration;
const std::string free_call = standin_release;

TEST_F(StandIn, matching_paths_and_buffer_released)
{
    struct Case {
        const char* paths;
        WPARAM w;
        LPARAM l;
        LRESULT answer;
    };
    const Case cases[] = {
        {"C:\\share\\news.TXT\n", 0x747874, 0, 1},
        // Junk above the low 32 bits of either word (on x64) changes nothing.
        {"C:\\share\\news.TXT\n", static_cast<WPARAM>(0xFFFFFFFF00747874ULL),
         static_cast<LPARAM>(0x7654321000000000LL), 1},
        {"C:\\rec\\news.txt.part\nC:\\rec\\atxt\n", 0x747874, 0, -1},
        {"C:\\rec\\a.doc\n.txt\n", 0x747874, 0, 1},
        {"txt\n", 0x747874, 0, -1},
        {"\\\\server\\rec\\show.ABCDEFGH\n", 0x64636261, 0x68676665, 1},
        {"\\\\server\\rec\\show.ABCDEFG\n", 0x64636261, 0x68676665, -1},
        {"D:\\b.TX\n", 0x41007874, 0, 1},   // t, x, 0, A: the A only validated
        {"", 0x747874, 0, -1},               // nothing open
        {"D:\\a.ts\nD:\\b.TS\n", 0x7374, 0, 1},
        // An entry without a path is skipped; the search stops at the first match and never
        // reads the entry behind it.
        {"(null)\nD:\\a.tsx\nD:\\b.TS\n(unreadable)\n", 0x7374, 0, 1},
        // A Kelvin sign folds to k in Unicode, but the comparison folds only A to Z.
        {"D:\\rec\\a.\xE2\x84\xAA\n", 0x6B, 0, -1},
        {"D:\\rec\\a.K\n", 0x6B, 0, 1},
    };
    for (const Case& c : cases) {
        List(std::string("0\nbuffer\n") + c.paths);
        EXPECT_EQ(proxy.Query(c.w, c.l), c.answer) << c.paths;
        EXPECT_EQ(Calls(), enum_call + free_call) << c.paths;
    }
}

TEST_F(StandIn, invalid_extension_is_refused_before_enumeration)
{
    List("0\nbuffer\nC:\\a.txt\nC:\\b.tx\n");
    const std::pair<WPARAM, LPARAM> queries[] = {
        {0, 0},                   // empty
        {0, 0x747874},            // empty although lParam holds letters
        {0x7874, 0x2E},           // t, x, 0, 0, then a dot behind the end
        {0x742E74, 0},            // t . t
        {0x747820, 0},            // a blank
        {0x7874, 0x80000000},     // byte 0x80 as character 8
    };
    for (const auto& q : queries)
        EXPECT_EQ(proxy.Query(q.first, q.second), -1) << std::hex << q.first << " " << q.second;
    EXPECT_EQ(Calls(), "");
}

TEST_F(StandIn, failed_enumeration_answers_minus_one_and_releases_its_buffer)
{
    // Refused for want of rights, no buffer.
    List("5\nnobuffer\nC:\\a.txt\n");
    EXPECT_EQ(proxy.Query(0x747874, 0), -1);
    EXPECT_EQ(Calls(), enum_call);
    // More data than fitted, with a buffer of matching entries: still a failure, and the
    // buffer goes back.
    List("234\nbuffer\nC:\\a.txt\n");
    EXPECT_EQ(proxy.Query(0x747874, 0), -1);
    EXPECT_EQ(Calls(), enum_call + free_call);
    // And the next successful one works as before.
    List("0\nbuffer\nC:\\a.txt\n");
    EXPECT_EQ(proxy.Query(0x747874, 0), 1);
    EXPECT_EQ(Calls(), enum_call + free_call);
}

}  // namespace
