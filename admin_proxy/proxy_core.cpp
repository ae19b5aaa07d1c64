// The request logic of VelmoraAdminProxy; see proxy_core.h for what each piece decides.
#include "proxy_core.h"
#include "proxy_internal.h"

#include <cstddef>

namespace proxy {

namespace {

const Unit text_not_found[] = PROXY_TEXT("Proxy not found.");
const Unit text_succeeded[] = PROXY_TEXT("Succeeded.");
const Unit text_failed[] = PROXY_TEXT("Failed.");
const Unit text_failed_or_no_access[] = PROXY_TEXT("Failed or no access.");
const Unit text_denied[] = PROXY_TEXT("Denied.");

const Unit switch_set_time[] = PROXY_TEXT("/TestSetTime");
const Unit switch_net_find[] = PROXY_TEXT("/TestNetFind");

// The extension "txt" as the test client sends it: t in the lowest byte, then x, then t.
constexpr WParam test_extension_low = 0x747874;
constexpr LParam test_extension_high = 0;

constexpr std::uint64_t low32 = 0xFFFFFFFFu;

bool IsExtensionByte(unsigned byte)
{
    return byte == 0 || (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

std::size_t Length(const Unit* s)
{
    std::size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Compares two zero-terminated strings whole, folding only A to Z, as the C runtime's
// comparison does in the "C" locale: a path's non-ASCII characters never fold onto the
// letters of an extension or a switch. 0 when equal.
int CompareNoCase(const Unit* a, const Unit* b)
{
    auto fold = [](Unit c) { return c >= u'A' && c <= u'Z' ? Unit(c - u'A' + u'a') : c; };
    for (;; ++a, ++b) {
        int d = int(fold(*a)) - int(fold(*b));
        if (d != 0 || *a == 0)
            return d;
    }
}

enum class ProxyMode { server, test_set_time, test_net_find };

ProxyMode ChooseMode(const Unit* command_line)
{
    if (command_line == nullptr)
        return ProxyMode::server;
    if (CompareNoCase(command_line, switch_set_time) == 0)
        return ProxyMode::test_set_time;
    if (CompareNoCase(command_line, switch_net_find) == 0)
        return ProxyMode::test_net_find;
    return ProxyMode::server;
}

LResult SetTimeRequest(ProxyState& state, WParam wParam, LParam lParam)
{
    if (state.set_time_busy) {
        // A busy period whose timer could not be created would never end; try again, so that
        // it ends 30 s after the timer could finally be started.
        if (state.busy_timer_missing && plat::StartBusyTimer())
            state.busy_timer_missing = false;
        return answer_no;
    }
    std::int64_t requested = RequestedTime(wParam, lParam);
    if (!WithinAcceptanceWindow(requested, plat::NowUtc()))
        return answer_no;
    if (!plat::SetClockUtc(requested))
        return answer_no;
    state.set_time_busy = true;
    state.busy_timer_missing = !plat::StartBusyTimer();
    return answer_yes;
}

// The match suffix of an open-file query: a dot, the eight extension bytes as units, and a
// terminating 0.
constexpr std::size_t match_suffix_units = 10;
struct MatchSuffix {
    Unit units[match_suffix_units];
    std::size_t length;   // of the dot and the extension, 2 to 9
};

// Fills *suffix from the query's bytes; false if any of the eight bytes is neither 0, a digit
// nor an ASCII letter, or the extension is empty.
bool MakeMatchSuffix(WParam wParam, LParam lParam, MatchSuffix* suffix)
{
    const std::uint64_t words[2] = {static_cast<std::uint64_t>(wParam),
                                    static_cast<std::uint64_t>(lParam)};
    for (auto& u : suffix->units)
        u = 0;
    suffix->units[0] = u'.';
    // All eight bytes are stored and checked, also those behind a 0 byte: a request with
    // anything but letters and digits is refused as a whole.
    for (unsigned k = 0; k < 8; ++k) {
        unsigned byte = static_cast<unsigned>((words[k / 4] >> (8 * (k % 4))) & 0xFF);
        suffix->units[k + 1] = static_cast<Unit>(byte);
        if (!IsExtensionByte(byte))
            return false;
    }
    if (suffix->units[1] == 0)
        return false;
    suffix->length = Length(suffix->units);
    return true;
}

// True when path ends in the suffix (a MatchSuffix), ignoring the case of A to Z: the test the
// search of open resources puts each path to.
bool PathEndsWith(const Unit* path, const void* context)
{
    const MatchSuffix& suffix = *static_cast<const MatchSuffix*>(context);
    std::size_t n = Length(path);
    if (n < suffix.length)
        return false;
    return CompareNoCase(path + (n - suffix.length), suffix.units) == 0;
}

LResult OpenFileQuery(WParam wParam, LParam lParam)
{
    MatchSuffix suffix;
    if (!MakeMatchSuffix(wParam, lParam, &suffix))
        return answer_no;
    // A list the system refused is no list: -1, as when nothing matches.
    const bool found = plat::FindOpenFile(PathEndsWith, &suffix) == OpenFileSearch::found;
    return found ? answer_yes : answer_no;
}

// The text a test client shows: for no proxy found, or for the result of its request.
const Unit* ClientText(ProxyMode mode, bool found, LResult result)
{
    if (!found)
        return text_not_found;
    if (result > 0)
        return text_succeeded;
    if (result < 0)
        return mode == ProxyMode::test_net_find ? text_failed_or_no_access : text_failed;
    return text_denied;
}

// One test-client run: find the proxy, send the mode's request, show the outcome.
void RunTestClient(ProxyMode mode)
{
    if (!plat::FindProxyWindow()) {
        plat::ShowMessage(ClientText(mode, false, 0));
        return;
    }
    LResult result;
    if (mode == ProxyMode::test_set_time) {
        // The client's own reading of the present, split as the wire format carries it.
        std::uint64_t now = static_cast<std::uint64_t>(plat::NowUtc());
        result = plat::SendRequest(msg_set_time, static_cast<WParam>(now & low32),
                                   static_cast<LParam>(now >> 32));
    } else {
        result = plat::SendRequest(msg_open_file_query, test_extension_low, test_extension_high);
    }
    plat::ShowMessage(ClientText(mode, true, result));
}

// The state of this process's proxy window, which lives as long as the process: the system may
// still deliver a message to the window after its loop has ended.
ProxyState server_state;

bool ServeMessage(std::uint32_t message, WParam wParam, LParam lParam, LResult* result)
{
    return HandleProxyMessage(server_state, message, wParam, lParam, result);
}

// The proxy window, its filter for the two requests, and the loop that serves them. A window
// that cannot be made ends the program at once, without a word: there is no one to tell.
void RunServer()
{
    if (!plat::CreateProxyWindow(ServeMessage))
        return;
    // Without these a sender of lower integrity, the usual client, gets 0 from every request.
    plat::AdmitFromLowerIntegrity(msg_set_time);
    plat::AdmitFromLowerIntegrity(msg_open_file_query);
    plat::RunMessageLoop();
}

}  // namespace

int ProxyMain(const Unit* command_line)
{
    // First of all: a library loaded later, by any mode, must not come from the current folder.
    plat::KeepLibrariesOutOfCurrentFolder();
    ProxyMode mode = ChooseMode(command_line);
    if (mode == ProxyMode::server)
        RunServer();
    else
        RunTestClient(mode);
    // The proxy has no one to report to but its clients.
    return 0;
}

bool HandleProxyMessage(ProxyState& state, std::uint32_t message, WParam wParam, LParam lParam,
                        LResult* result)
{
    switch (message) {
    case msg_destroy:
        plat::EndMessageLoop();
        *result = 0;
        return true;
    case msg_timer:
        // Only the busy timer ends the busy period; the message still goes on to the default
        // procedure afterwards, as every timer message does.
        if (wParam == busy_timer_id) {
            plat::StopBusyTimer();
            state.set_time_busy = false;
            state.busy_timer_missing = false;
        }
        return false;
    case msg_set_time:
        *result = SetTimeRequest(state, wParam, lParam);
        return true;
    case msg_open_file_query:
        *result = OpenFileQuery(wParam, lParam);
        return true;
    default:
        return false;
    }
}

std::int64_t RequestedTime(WParam wParam, LParam lParam)
{
    std::uint64_t high = static_cast<std::uint64_t>(lParam) & low32;
    std::uint64_t bits = (high << 32) | (static_cast<std::uint64_t>(wParam) & low32);
    // Taken as a signed number, so that a time with the top bit set lies before 1601 and
    // fails the lower bound (spelled out: converting an out-of-range unsigned is not portable).
    if (bits <= static_cast<std::uint64_t>(INT64_MAX))
        return static_cast<std::int64_t>(bits);
    return -static_cast<std::int64_t>(~bits) - 1;
}

bool WithinAcceptanceWindow(std::int64_t requested, std::int64_t now)
{
    // The distances are taken as unsigned differences, which are exact whatever the two
    // values are, so that no bound can overflow near the ends of the 64-bit range.
    if (requested >= now)
        return static_cast<std::uint64_t>(requested) - static_cast<std::uint64_t>(now) <
               static_cast<std::uint64_t>(accept_ahead);
    return static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(requested) <
           static_cast<std::uint64_t>(accept_back);
}

}  // namespace proxy
