// The proxy's seam for tests of the request logic (fake_platform.cpp, linked in place of the
// Windows one): a clock that stands still until moved, a system-time setter and a busy timer
// that record their calls and fail on demand, a list of open files whose enumeration fails on
// demand (still reporting entries read, if asked) and that checks every buffer comes back, a
// test-client side with a window that may be missing and answers what the test says, and a
// window that may fail to be created. The start-up's and the test client's seam calls are also
// logged by name, in order.
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

struct FakeSystem {
    // The start-up's and the test client's seam calls by name, in order (with its message:
    // "AdmitFromLowerIntegrity 0x8000").
    std::vector<std::string> calls;

    // Start-up.
    bool window_created = true;

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
    bool buffer_out = false;

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

    // True when no buffer handed out is still waiting to be released.
    bool AllBuffersReleased() const { return !buffer_out && wrong_releases == 0; }
};

// The one system the seam works on.
extern FakeSystem fake;

// Starts the fake afresh and returns it.
inline FakeSystem& FreshFake()
{
    fake = FakeSystem{};
    return fake;
}

}  // namespace proxy_test
