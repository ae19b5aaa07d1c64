// The proxy's seam for tests of the request logic (fake_platform.cpp, linked in place of the
// Windows one): a clock that stands still until moved, a system-time setter and a busy timer
// that record their calls and fail on demand, a list of open paths whose search fails on
// demand, a test-client side with a window that may be missing and answers what the test says,
// and a window that may fail to be created and keeps the handler it was given. The start-up's
// and the test client's seam calls are also logged by name, in order.
#pragma once

#include "proxy_core.h"

#include <cstdint>
#include <string>
#include <vector>

namespace proxy_test {

using proxy::Unit;
using UString = std::basic_string<Unit>;

struct FakeSystem {
    // The start-up's and the test client's seam calls by name, in order (with its message:
    // "AdmitFromLowerIntegrity 0x8000").
    std::vector<std::string> calls;

    // Start-up.
    bool window_created = true;
    proxy::MessageHandler handler = nullptr;

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

    // Open files: the paths the search asks about, each up to its first 0.
    std::vector<UString> open_files;
    bool search_fails = false;
    int searches = 0;

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
