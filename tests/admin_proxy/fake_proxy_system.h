// A ProxySystem for tests of the request logic: a clock that stands still until moved, a
// system-time setter and a busy timer that record their calls and fail on demand, a list of
// open files whose enumeration fails on demand (still reporting entries read, if asked) and
// that checks every buffer comes back, and a test-client side with a window that may be
// missing and answers what the test says.
#pragma once

#include "proxy_core.h"

#include <cstdint>
#include <string>
#include <vector>

namespace proxy_test {

using proxy::Unit;
using UString = std::basic_string<Unit>;

// A path of the fake list, or an entry whose path is null.
struct OpenEntry {
    UString path;
    bool null_path = false;
};

class FakeProxySystem : public proxy::ProxySystem {
public:
    // Clock.
    std::int64_t now = 133500000000000000LL;   // an instant in 2024
    int now_reads = 0;
    bool clock_accepts = true;
    std::vector<std::int64_t> clock_sets;

    // Busy timer.
    bool timer_starts = true;
    int timer_start_calls = 0;
    int timer_stop_calls = 0;
    bool timer_running = false;
    int loop_ends = 0;

    // Open files.
    std::vector<OpenEntry> open_files;
    bool enumeration_fails = false;
    bool buffer_on_failure = true;   // a failing enumeration still hands back a buffer
    bool entries_on_failure = false; // ... and counts the entries it read before failing
    bool buffer_when_empty = true;   // a successful enumeration of nothing hands back a buffer
    int enumerations = 0;
    int paths_read = 0;
    int releases = 0;
    int wrong_releases = 0;          // buffers released that were not handed out, or twice

    // Test client.
    bool window_exists = true;
    int window_lookups = 0;
    proxy::LResult answer = 1;
    struct Sent {
        std::uint32_t message;
        proxy::WParam wParam;
        proxy::LParam lParam;
    };
    std::vector<Sent> sent;
    std::vector<UString> shown;

    int CompareNoCase(const Unit* a, const Unit* b) override
    {
        auto fold = [](Unit c) { return c >= u'A' && c <= u'Z' ? Unit(c - u'A' + u'a') : c; };
        for (;; ++a, ++b) {
            int d = int(fold(*a)) - int(fold(*b));
            if (d != 0 || *a == 0)
                return d;
        }
    }

    std::int64_t NowUtc() override
    {
        ++now_reads;
        return now;
    }

    bool SetClockUtc(std::int64_t filetime) override
    {
        if (!clock_accepts)
            return false;
        clock_sets.push_back(filetime);
        now = filetime;
        return true;
    }

    bool StartBusyTimer() override
    {
        ++timer_start_calls;
        if (timer_starts)
            timer_running = true;
        return timer_starts;
    }

    void StopBusyTimer() override
    {
        ++timer_stop_calls;
        timer_running = false;
    }

    void EndMessageLoop() override { ++loop_ends; }

    bool EnumerateOpenFiles(proxy::OpenFileList* list) override
    {
        ++enumerations;
        if (enumeration_fails) {
            list->buffer = buffer_on_failure ? &buffer_ : nullptr;
            list->count = entries_on_failure ? static_cast<std::uint32_t>(open_files.size()) : 0;
            buffer_out_ = buffer_on_failure;
            return false;
        }
        buffer_out_ = buffer_when_empty || !open_files.empty();
        list->buffer = buffer_out_ ? &buffer_ : nullptr;
        list->count = static_cast<std::uint32_t>(open_files.size());
        return true;
    }

    const Unit* OpenFilePath(const proxy::OpenFileList& list, std::uint32_t index) override
    {
        ++paths_read;
        if (list.buffer != &buffer_ || index >= open_files.size())
            return nullptr;
        const OpenEntry& e = open_files[index];
        return e.null_path ? nullptr : e.path.c_str();
    }

    void ReleaseOpenFiles(void* buffer) override
    {
        ++releases;
        if (buffer != &buffer_ || !buffer_out_)
            ++wrong_releases;
        buffer_out_ = false;
    }

    // True when no buffer handed out is still waiting to be released.
    bool AllBuffersReleased() const { return !buffer_out_ && wrong_releases == 0; }

    bool FindProxyWindow() override
    {
        ++window_lookups;
        return window_exists;
    }

    proxy::LResult SendRequest(std::uint32_t message, proxy::WParam wParam,
                               proxy::LParam lParam) override
    {
        sent.push_back({message, wParam, lParam});
        return answer;
    }

    void ShowMessage(const Unit* text) override { shown.emplace_back(text); }

private:
    int buffer_ = 0;          // its address stands for the system's buffer
    bool buffer_out_ = false;
};

}  // namespace proxy_test
