// The request logic of VelmoraAdminProxy: the choice of mode from the command line, the window
// procedure's table, the set-time request with its acceptance window and busy period, the
// open-file query with its extension check and suffix match, and the test clients' choice of
// text. It includes no OS header: every effect goes through ProxySystem, which the Windows
// program implements with the real calls (platform_win32.cpp) and the tests with fakes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace proxy {

// Strings are UTF-16 units: wchar_t on Windows, char16_t elsewhere.
#ifdef _WIN32
using Unit = wchar_t;
#define PROXY_TEXT(s) L##s
#else
using Unit = char16_t;
#define PROXY_TEXT(s) u##s
#endif

// The message parameters, pointer-sized, spelled as the platform spells WPARAM, LPARAM and
// LRESULT: 32-bit Windows makes the signed ones long, where std::intptr_t is int.
// main_win32.cpp checks them against its headers.
#if defined(_WIN32) && !defined(_WIN64)
using WParam = unsigned int;
using LParam = long;
using LResult = long;
#else
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
#endif

// Message numbers as the platform defines them; main_win32.cpp checks them against its headers.
// The two requests are fixed numbers, not registered messages, so that senders need no lookup.
constexpr std::uint32_t msg_destroy = 0x0002;           // WM_DESTROY
constexpr std::uint32_t msg_timer = 0x0113;             // WM_TIMER
constexpr std::uint32_t msg_set_time = 0x8000;          // WM_APP: the set-time request
constexpr std::uint32_t msg_open_file_query = 0x8001;   // WM_APP + 1: the open-file query

// The busy timer: identifier 1 of the proxy window, one expiry after 30 s.
constexpr std::uintptr_t busy_timer_id = 1;
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

// The texts the test clients show.
extern const Unit text_not_found[];
extern const Unit text_succeeded[];
extern const Unit text_failed[];
extern const Unit text_failed_or_no_access[];
extern const Unit text_denied[];

enum class ProxyMode { server, test_set_time, test_net_find };

// The entries of one enumeration of open resources. buffer is the system's and must go back
// through ReleaseOpenFiles whenever it is not null, whatever the enumeration's status.
struct OpenFileList {
    void* buffer = nullptr;
    std::uint32_t count = 0;   // entries read into buffer
};

// Everything the logic needs of the system, one call per effect.
class ProxySystem {
public:
    virtual ~ProxySystem() = default;

    // Compares two zero-terminated strings ignoring the case of A to Z only; 0 when equal.
    virtual int CompareNoCase(const Unit* a, const Unit* b) = 0;

    // Server side.
    // The present as UTC in 100-ns units since 1601-01-01.
    virtual std::int64_t NowUtc() = 0;
    // Sets the system clock to the UTC time filetime; false when the time cannot be converted
    // to a calendar time or the system refuses to set it.
    virtual bool SetClockUtc(std::int64_t filetime) = 0;
    // Starts (or restarts) the busy timer; false when the system could not create it.
    virtual bool StartBusyTimer() = 0;
    virtual void StopBusyTimer() = 0;
    // Asks the message loop to end once the current message is done.
    virtual void EndMessageLoop() = 0;
    // Lists every resource open through this computer's file server, all entries in one
    // buffer; true on success. On failure list->buffer may still hold a buffer to release.
    virtual bool EnumerateOpenFiles(OpenFileList* list) = 0;
    // The path of entry index (< list.count); may be null.
    virtual const Unit* OpenFilePath(const OpenFileList& list, std::uint32_t index) = 0;
    virtual void ReleaseOpenFiles(void* buffer) = 0;

    // Test-client side.
    // Looks for a proxy window and remembers it for SendRequest; false if there is none.
    virtual bool FindProxyWindow() = 0;
    // Sends a message to the window found and waits for its result.
    virtual LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam) = 0;
    // Shows text in a box captioned with the class name, with an OK button, until it is closed.
    virtual void ShowMessage(const Unit* text) = 0;
};

// State of one proxy. set_time_busy is true from a set-time request that set the clock until
// the busy timer fires; every set-time request in between is refused. busy_timer_missing is
// true while a busy period waits for a timer that the system could not create: each refused
// request tries to start it again, so that the period still ends 30 s after the timer started
// instead of never.
struct ProxyState {
    bool set_time_busy = false;
    bool busy_timer_missing = false;
};

// The mode for command_line, the text behind the program name and the blanks after it. It is
// compared whole: a trailing blank or another word gives server mode.
ProxyMode ChooseMode(ProxySystem& sys, const Unit* command_line);

// The proxy window's procedure, less the default handling: true with *result set when the
// message is answered here, false when it must go on to the default procedure (also after the
// busy timer's expiry was handled).
bool HandleProxyMessage(ProxyState& state, ProxySystem& sys, std::uint32_t message,
                        WParam wParam, LParam lParam, LResult* result);

// The requested time of a set-time request: lParam's low 32 bits above wParam's, signed.
std::int64_t RequestedTime(WParam wParam, LParam lParam);

// True when requested lies strictly inside the acceptance window around now.
bool WithinAcceptanceWindow(std::int64_t requested, std::int64_t now);

LResult SetTimeRequest(ProxyState& state, ProxySystem& sys, WParam wParam, LParam lParam);

// The match suffix of an open-file query: a dot, the eight extension bytes as units, and a
// terminating 0.
constexpr std::size_t match_suffix_units = 10;
struct MatchSuffix {
    Unit units[match_suffix_units];
    std::size_t length;   // of the dot and the extension, 2 to 9
};

// Fills *suffix from the query's bytes; false if any of the eight bytes is neither 0, a digit
// nor an ASCII letter, or the extension is empty.
bool MakeMatchSuffix(WParam wParam, LParam lParam, MatchSuffix* suffix);

// True when path ends in the suffix, ignoring the case of A to Z.
bool PathEndsWith(ProxySystem& sys, const Unit* path, const MatchSuffix& suffix);

LResult OpenFileQuery(ProxySystem& sys, WParam wParam, LParam lParam);

// The text a test client shows: for no proxy found, or for the result of its request.
const Unit* ClientText(ProxyMode mode, bool found, LResult result);

// One test-client run: find the proxy, send the mode's request, show the outcome.
void RunTestClient(ProxyMode mode, ProxySystem& sys);

}  // namespace proxy
