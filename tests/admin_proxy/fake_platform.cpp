// The seam of platform.h over proxy_test::fake (fake_platform.h).
#include "fake_platform.h"

#include "platform.h"

#include <cstdio>

namespace proxy_test {

FakeSystem fake;

namespace {

// Its address stands for the system's buffer of open files.
int system_buffer = 0;

void Log(const char* call)
{
    fake.calls.emplace_back(call);
}

}  // namespace

}  // namespace proxy_test

namespace proxy::plat {

using proxy_test::fake;
using proxy_test::Log;

void KeepLibrariesOutOfCurrentFolder()
{
    Log("KeepLibrariesOutOfCurrentFolder");
}

bool CreateProxyWindow()
{
    Log("CreateProxyWindow");
    return fake.window_created;
}

void AdmitFromLowerIntegrity(std::uint32_t message)
{
    char call[48];
    std::snprintf(call, sizeof call, "AdmitFromLowerIntegrity 0x%x", unsigned(message));
    Log(call);
}

void RunMessageLoop()
{
    Log("RunMessageLoop");
}

std::int64_t NowUtc()
{
    ++fake.now_reads;
    return fake.now;
}

bool SetClockUtc(std::int64_t filetime)
{
    if (!fake.clock_accepts)
        return false;
    fake.clock_sets.push_back(filetime);
    fake.now = filetime;
    return true;
}

bool StartBusyTimer()
{
    ++fake.timer_start_calls;
    if (fake.timer_starts)
        fake.timer_running = true;
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
    if (fake.enumeration_fails) {
        list->buffer = fake.buffer_on_failure ? &proxy_test::system_buffer : nullptr;
        list->count =
            fake.entries_on_failure ? static_cast<std::uint32_t>(fake.open_files.size()) : 0;
        fake.buffer_out = fake.buffer_on_failure;
        return false;
    }
    fake.buffer_out = fake.buffer_when_empty || !fake.open_files.empty();
    list->buffer = fake.buffer_out ? &proxy_test::system_buffer : nullptr;
    list->count = static_cast<std::uint32_t>(fake.open_files.size());
    return true;
}

const Unit* OpenFilePath(const OpenFileList& list, std::uint32_t index)
{
    ++fake.paths_read;
    if (list.buffer != &proxy_test::system_buffer || index >= fake.open_files.size())
        return nullptr;
    const proxy_test::OpenEntry& e = fake.open_files[index];
    return e.null_path ? nullptr : e.path.c_str();
}

void ReleaseOpenFiles(void* buffer)
{
    ++fake.releases;
    if (buffer != &proxy_test::system_buffer || !fake.buffer_out)
        ++fake.wrong_releases;
    fake.buffer_out = false;
}

bool FindProxyWindow()
{
    Log("FindProxyWindow");
    ++fake.window_lookups;
    return fake.window_exists;
}

LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam)
{
    Log("SendRequest");
    fake.sent.push_back({message, wParam, lParam});
    return fake.answer;
}

void ShowMessage(const Unit* text)
{
    Log("ShowMessage");
    fake.shown.emplace_back(text);
}

}  // namespace proxy::plat
