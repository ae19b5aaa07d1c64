// The request logic of VelmoraAdminProxy: its start-up and the choice of mode from the command
// line, the window procedure's table, the set-time request with its acceptance window and busy
// period, the open-file query with its extension check and suffix match, and the test clients.
// It includes no OS header: every effect goes through the seam (platform.h).
#pragma once

#include "platform.h"

#include <cstdint>

namespace proxy {

// Requested times are accepted strictly between a tenth of a day before the present and a day
// after it: a client may correct a clock that runs far behind, but can move it back only a
// little. The clock counts in 100-ns units.
constexpr std::int64_t clock_units_per_second = 10000000;
constexpr std::int64_t accept_ahead = 24 * 60 * 60 * clock_units_per_second;   // 24 h
constexpr std::int64_t accept_back = accept_ahead / 10;                          // 2 h 24 min

// The answers of both requests. 0 is never an answer: a sender that gets 0 knows the message
// did not reach the proxy.
constexpr LResult answer_yes = 1;
constexpr LResult answer_no = -1;

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

// The decisions of the proxy window's procedure for state: true with *result set when the
// message is answered here, false when it must go on to the default procedure (also after the
// busy timer's expiry was handled). The server's window hands its messages to this with a
// state of its own.
bool HandleProxyMessage(ProxyState& state, std::uint32_t message, WParam wParam, LParam lParam,
                        LResult* result);

}  // namespace proxy
