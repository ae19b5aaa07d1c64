// The request logic of VelmoraAdminProxy: its start-up and the choice of mode from the command
// line, the window procedure's table, the set-time request with its acceptance window and busy
// period, the open-file query with its extension check and suffix match, and the test clients.
// It includes no OS header: every effect goes through the seam (platform.h).
#pragma once

#include "platform.h"

#include <cstdint>

namespace proxy {

// Message numbers as the platform defines them (platform_win32.cpp checks them against its
// headers). The two requests are fixed numbers, not registered messages, so that senders need no lookup.
constexpr std::uint32_t msg_destroy = 0x0002;           // WM_DESTROY
constexpr std::uint32_t msg_timer = 0x0113;             // WM_TIMER
constexpr std::uint32_t msg_set_time = 0x8000;          // WM_APP: the set-time request
constexpr std::uint32_t msg_open_file_query = 0x8001;   // WM_APP + 1: the open-file query

// The busy timer: identifier 1 of the proxy window, one expiry after 30 s.
constexpr WParam busy_timer_id = 1;
constexpr std::uint32_t busy_timer_ms = 30000;

// Requested times are accepted strictly between 2 h 24 min before the present and 24 h after
// it, in 100-ns units: a client may correct a clock that runs far behind, but can move it back
// only a little.
constexpr std::int64_t accept_before = 86400000000LL;
constexpr std::int64_t accept_after = 864000000000LL;

// The answers of both requests. 0 is never an answer: a sender that gets 0 knows the message
// did not reach the proxy.
constexpr LResult answer_yes = 1;
constexpr LResult answer_no = -1;

// The class name of the proxy window, which is also the caption of the test clients' boxes.
extern const Unit proxy_window_class[];

// State of one proxy. set_time_busy is true from a set-time request that set the clock until
// the busy timer fires; every set-time request in between is refused. busy_timer_missing is
// true while a busy period waits for a timer that the system could not create: each refused
// request tries to start it again, so that the period still ends 30 s after the timer started
// instead of never.
struct ProxyState {
    bool set_time_busy = false;
    bool busy_timer_missing = false;
};

// The whole program for command_line, the text behind the program name and the blanks after
// it: keeps libraries out of the current folder, then serves as the proxy or, for
// "/TestSetTime" or "/TestNetFind" (compared whole, ignoring the case of A to Z), runs that
// test client once. The exit code, 0 on every path.
int ProxyMain(const Unit* command_line);

// The proxy window's procedure, less the default handling: true with *result set when the
// message is answered here, false when it must go on to the default procedure (also after the
// busy timer's expiry was handled).
bool HandleProxyMessage(ProxyState& state, std::uint32_t message, WParam wParam, LParam lParam,
                        LResult* result);

}  // namespace proxy
