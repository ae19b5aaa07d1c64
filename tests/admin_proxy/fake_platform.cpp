// The seam of platform.h over proxy_test::fake (fake_platform.h).
#include "fake_platform.h"

#include "platform.h"

#include <cstdio>

proxy_test::FakeSystem proxy_test::fake;

namespace proxy::plat {

using proxy_test::fake;

void KeepLibrariesOutOfCurrentFolder()
{
    fake.calls.emplace_back("KeepLibrariesOutOfCurrentFolder");
}

bool CreateProxyWindow(MessageHandler handler)
{
    fake.calls.emplace_back("CreateProxyWindow");
    fake.handler = handler;
    return fake.window_created;
}

void AdmitFromLowerIntegrity(std::uint32_t message)
{
    char call[48];
    std::snprintf(call, sizeof call, "AdmitFromLowerIntegrity 0x%x", unsigned(message));
    fake.calls.emplace_back(call);
}

void RunMessageLoop()
{
    fake.calls.emplace_back("RunMessageLoop");
}

std::int64_t NowUtc()
{
    ++fake.now_reads;
    return fake.now;
}

bool SetClockUtc(std::int64_t filetime)
{
    if (fake.clock_accepts)
        fake.clock_sets.push_back(fake.now = filetime);
    return fake.clock_accepts;
}

bool StartBusyTimer()
{
    ++fake.timer_start_calls;
    fake.timer_running = fake.timer_running || fake.timer_starts;
    return fake.timer_starts;
}

void StopBusyTimer()
{
    ++fake.timer_stop_calls;
    fake.timer_running = false;
}

void EndMessageLoop()
{
    ++fake.loop_ends;
}

OpenFileSearch FindOpenFile(PathTest matches, const void* context)
{
    ++fake.searches;
    if (fake.search_fails)
        return OpenFileSearch::failed;
    for (const proxy_test::UString& path : fake.open_files)
        if (matches(path.c_str(), context))
            return OpenFileSearch::found;
    return OpenFileSearch::none;
}

bool FindProxyWindow()
{
    fake.calls.emplace_back("FindProxyWindow");
    ++fake.window_lookups;
    return fake.window_exists;
}

LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam)
{
    fake.calls.emplace_back("SendRequest");
    fake.sent.push_back({message, wParam, lParam});
    return fake.answer;
}

void ShowMessage(const Unit* text)
{
    fake.calls.emplace_back("ShowMessage");
    fake.shown.emplace_back(text);
}

}  // namespace proxy::plat
