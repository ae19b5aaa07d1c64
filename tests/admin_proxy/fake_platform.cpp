// The seam of platform.h over proxy_test::fake (fake_platform.h).
#include "fake_platform.h"

#include "platform.h"

#include <cstdio>

proxy_test::FakeSystem proxy_test::fake;

namespace proxy::plat {

namespace {

using proxy_test::fake;

// Its address stands for the system's buffer of open files.
int system_buffer = 0;

}  // namespace

void KeepLibrariesOutOfCurrentFolder()
{
    fake.calls.emplace_back("KeepLibrariesOutOfCurrentFolder");
}

bool CreateProxyWindow()
{
    fake.calls.emplace_back("CreateProxyWindow");
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

bool EnumerateOpenFiles(OpenFileList* list)
{
    ++fake.enumerations;
    const bool fails = fake.enumeration_fails;
    fake.buffer_out = fails ? fake.buffer_on_failure
                            : fake.buffer_when_empty || !fake.open_files.empty();
    list->buffer = fake.buffer_out ? &system_buffer : nullptr;
    list->count = !fails || fake.entries_on_failure
                      ? static_cast<std::uint32_t>(fake.open_files.size())
                      : 0;
    return !fails;
}

const Unit* OpenFilePath(const OpenFileList& list, std::uint32_t index)
{
    ++fake.paths_read;
    if (list.buffer != &system_buffer || index >= fake.open_files.size())
        return nullptr;
    const proxy_test::OpenEntry& e = fake.open_files[index];
    return e.null_path ? nullptr : e.path.c_str();
}

void ReleaseOpenFiles(void* buffer)
{
    ++fake.releases;
    if (buffer != &system_buffer || !fake.buffer_out)
        ++fake.wrong_releases;
    fake.buffer_out = false;
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
