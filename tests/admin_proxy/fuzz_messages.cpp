// Fuzzes the proxy window's procedure and the choice of mode. The bytes decode into a sequence
// of steps: the clock moves, the system's answers change (clock setter, busy timer,
// search of open files), the list of open files is replaced (empty, very long, non-ASCII paths),
// a message arrives with any wParam and lParam, or the program starts with a command line and
// runs as a test client. After every step a small model, written from the proxy's documented
// behaviour and sharing no code with it, says what the answer, the busy state and every call
// to the system must be; on a difference the target prints a line starting with "ORACLE" and
// aborts.
//
// Step encoding: one byte chooses the step by its value modulo 8, and the step reads what it
// needs from the bytes behind it (a read past the end gives zeros):
//   0 clock      1 system answers   2 open files   3 set-time request   4 open-file query
//   5 timer      6 destroy          7 a message of any number, or with the step byte's top bit
//                                     set, a command line and the test client it starts
#include "fake_platform.h"
#include "proxy_core.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using proxy::LParam;
using proxy::LResult;
using proxy::ProxyState;
using proxy::Unit;
using proxy::WParam;
using proxy_test::FakeSystem;
using proxy_test::FreshFake;
using proxy_test::UString;

namespace {

// What the model knows, spelled out here rather than taken from the code under test.
constexpr std::uint32_t wm_destroy = 0x0002;
constexpr std::uint32_t wm_timer = 0x0113;
constexpr std::uint32_t wm_app = 0x8000;
constexpr std::int64_t back_limit = 86400000000LL;     // 2 h 24 min in 100-ns units
constexpr std::int64_t ahead_limit = 864000000000LL;   // 24 h
constexpr std::int64_t present = 133500000000000000LL;

// The very long paths of one input stay below this many units in all, so that a run stays
// quick however many lists it builds.
constexpr std::size_t long_path_budget = 1u << 17;

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    std::uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t Uint(int bytes)
    {
        std::uint64_t v = 0;
        for (int k = 0; k < bytes; ++k)
            v |= std::uint64_t(U8()) << (8 * k);
        return v;
    }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Uint(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Uint(4)); }
    std::uint64_t U64() { return Uint(8); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The system calls the model predicts, as counts.
enum Call {
    now_reads, clock_sets, timer_starts, timer_stops, loop_ends, searches, window_lookups,
    requests_sent, boxes_shown, call_kinds
};
const char* const call_names[call_kinds] = {
    "clock reads", "clock sets", "timer starts", "timer stops", "loop ends", "searches",
    "window lookups", "requests sent", "boxes shown"};
using Calls = std::array<long, call_kinds>;

Calls Count(const FakeSystem& sys)
{
    return {sys.now_reads, long(sys.clock_sets.size()), sys.timer_start_calls,
            sys.timer_stop_calls, sys.loop_ends, sys.searches, sys.window_lookups,
            long(sys.sent.size()), long(sys.shown.size())};
}

// The step under check, for the report.
char step_text[160];

[[noreturn]] void Mismatch(const char* what, long long got, long long expected)
{
    std::printf("ORACLE %s: %s is %lld, expected %lld\n", step_text, what, got, expected);
    std::fflush(stdout);
    std::abort();
}

void Expect(const char* what, long long got, long long expected)
{
    if (got != expected)
        Mismatch(what, got, expected);
}

void ExpectCalls(const FakeSystem& sys, const Calls& expected)
{
    const Calls got = Count(sys);
    for (int k = 0; k < call_kinds; ++k)
        Expect(call_names[k], got[k], expected[k]);
}

Unit FoldAZ(Unit c)
{
    return c >= u'A' && c <= u'Z' ? Unit(c + 32) : c;
}

// Equal ignoring the case of A to Z.
bool SameText(const UString& a, const UString& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldAZ(a[i]) != FoldAZ(b[i]))
            return false;
    return true;
}

// A zero-terminated path as the system hands it over: up to its first 0.
UString Terminated(const UString& s)
{
    return s.substr(0, s.find(Unit(0)));
}

// The proxy as the model sees it: the busy state and whether its timer runs.
struct Model {
    bool busy = false;
    bool timer_running = false;
};

// The extension bytes of a query, character 1 first.
std::array<std::uint8_t, 8> ExtensionBytes(WParam w, LParam l)
{
    std::array<std::uint8_t, 8> b;
    for (int k = 0; k < 4; ++k) {
        b[k] = static_cast<std::uint8_t>(std::uint64_t(w) >> (8 * k));
        b[k + 4] = static_cast<std::uint8_t>(std::uint64_t(l) >> (8 * k));
    }
    return b;
}

LResult ModelSetTime(Model& m, const FakeSystem& sys, WParam w, LParam l, Calls& calls,
                     std::int64_t* set_to)
{
    if (m.busy) {
        // A busy period whose timer could not be started tries it again on each refusal.
        if (!m.timer_running) {
            ++calls[timer_starts];
            m.timer_running = sys.timer_starts;
        }
        return -1;
    }
    const std::uint64_t bits = (std::uint64_t(l) & 0xFFFFFFFFu) << 32 |
                               (std::uint64_t(w) & 0xFFFFFFFFu);
    // Two's complement by hand, and the window in exact 128-bit arithmetic.
    const __int128 t = bits >> 63 ? __int128(bits) - (__int128(1) << 64) : __int128(bits);
    const __int128 now = sys.now;
    ++calls[now_reads];
    if (!(t > now - back_limit && t < now + ahead_limit))
        return -1;
    if (!sys.clock_accepts)
        return -1;
    ++calls[clock_sets];
    *set_to = static_cast<std::int64_t>(t);
    m.busy = true;
    ++calls[timer_starts];
    m.timer_running = sys.timer_starts;
    return 1;
}

LResult ModelOpenFileQuery(const FakeSystem& sys, WParam w, LParam l, Calls& calls)
{
    const std::array<std::uint8_t, 8> b = ExtensionBytes(w, l);
    for (std::uint8_t c : b) {
        const bool ok = c == 0 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                        (c >= 'a' && c <= 'z');
        if (!ok)
            return -1;
    }
    if (b[0] == 0)
        return -1;
    UString suffix(1, u'.');
    for (std::size_t k = 0; k < 8 && b[k] != 0; ++k)
        suffix += Unit(b[k]);

    ++calls[searches];
    if (sys.search_fails)
        return -1;
    for (const UString& open : sys.open_files) {
        const UString path = Terminated(open);
        if (path.size() >= suffix.size() &&
            SameText(path.substr(path.size() - suffix.size()), suffix))
            return 1;
    }
    return -1;
}

// Delivers one message to the procedure and checks it against the model.
void Deliver(Model& m, ProxyState& state, FakeSystem& sys, std::uint32_t message,
             WParam w, LParam l)
{
    std::snprintf(step_text, sizeof step_text, "message 0x%x wParam 0x%llx lParam 0x%llx",
                  message, static_cast<unsigned long long>(w), static_cast<unsigned long long>(l));
    Calls calls = Count(sys);
    bool handled = true;
    LResult answer = 0;
    std::int64_t set_to = 0;
    switch (message) {
    case wm_destroy:
        ++calls[loop_ends];
        break;
    case wm_timer:
        // Only the busy timer's expiry ends a busy period; the message still goes on to the
        // default procedure, as every timer message does.
        handled = false;
        if (w == 1) {
            ++calls[timer_stops];
            m = Model{};
        }
        break;
    case wm_app:
        answer = ModelSetTime(m, sys, w, l, calls, &set_to);
        break;
    case wm_app + 1:
        answer = ModelOpenFileQuery(sys, w, l, calls);
        break;
    default:
        handled = false;
    }

    const LResult untouched = 0x5EED;
    LResult result = untouched;
    Expect("handled here", proxy::HandleProxyMessage(state, message, w, l, &result), handled);
    Expect("result", result, handled ? answer : untouched);
    ExpectCalls(sys, calls);
    Expect("busy", state.set_time_busy, m.busy);
    Expect("busy timer running", sys.timer_running, m.timer_running);
    if (message == wm_app && answer == 1)
        Expect("clock set to", sys.clock_sets.back(), set_to);
}

// A wParam or lParam whose low 32 bits are low and whose upper half, where there is one, holds
// junk that the proxy must ignore.
WParam WWord(std::uint32_t low, std::uint32_t junk)
{
    return static_cast<WParam>(std::uint64_t(junk) << 32 | low);
}
LParam LWord(std::uint32_t low, std::uint32_t junk)
{
    return static_cast<LParam>(std::uint64_t(junk) << 32 | low);
}

void SetTimeStep(Bytes& in, Model& m, ProxyState& state, FakeSystem& sys)
{
    // Mostly times near the present and near the window's edges, which random words would
    // almost never hit.
    std::uint64_t t = 0;
    switch (in.U8() % 4) {
    case 0: {
        const WParam w = static_cast<WParam>(in.U64());
        Deliver(m, state, sys, wm_app, w, static_cast<LParam>(in.U64()));
        return;
    }
    case 1: {
        const std::int64_t edges[3] = {0, -back_limit, ahead_limit};
        const std::int64_t edge = edges[in.U8() % 3];
        t = std::uint64_t(sys.now) + std::uint64_t(edge) +
            std::uint64_t(std::int64_t(std::int16_t(in.U16())));
        break;
    }
    case 2: {
        const std::uint64_t offset = std::uint64_t(std::int64_t(std::int32_t(in.U32())));
        t = std::uint64_t(sys.now) + (offset << (in.U8() % 24));
        break;
    }
    default:
        t = std::uint64_t(sys.now);
    }
    const std::uint32_t junk_w = in.U32();
    const std::uint32_t junk_l = in.U32();
    Deliver(m, state, sys, wm_app, WWord(std::uint32_t(t), junk_w),
            LWord(std::uint32_t(t >> 32), junk_l));
}

const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

void OpenFileQueryStep(Bytes& in, Model& m, ProxyState& state, FakeSystem& sys,
                       std::array<std::uint8_t, 8>& extension)
{
    WParam w;
    LParam l;
    if (in.U8() % 2 == 0) {
        w = static_cast<WParam>(in.U64());
        l = static_cast<LParam>(in.U64());
    } else {
        // An extension of 0 to 8 valid characters, perhaps with one byte set to any value.
        std::array<std::uint8_t, 8> b = {};
        const int n = in.U8() % 9;
        for (int k = 0; k < n; ++k)
            b[k] = static_cast<std::uint8_t>(alphabet[in.U8() % (sizeof alphabet - 1)]);
        const std::uint8_t poke = in.U8();
        if (poke < 16)
            b[poke % 8] = in.U8();
        std::uint32_t low[2] = {};
        for (int k = 0; k < 8; ++k)
            low[k / 4] |= std::uint32_t(b[k]) << (8 * (k % 4));
        w = WWord(low[0], in.U32());
        l = LWord(low[1], in.U32());
    }
    extension = ExtensionBytes(w, l);
    Deliver(m, state, sys, wm_app + 1, w, l);
}

// Replaces the list of open files. Most entries are built around the extension of the last
// query, so that matches and near misses are common.
void OpenFilesStep(Bytes& in, FakeSystem& sys, const std::array<std::uint8_t, 8>& extension,
                   std::size_t& long_units)
{
    UString dotted(1, u'.');
    for (std::size_t k = 0; k < 8 && extension[k] != 0; ++k)
        dotted += Unit(extension[k]);
    auto flipped = [&](UString s) {
        const std::uint16_t mask = in.U16();
        for (std::size_t i = 0; i < s.size(); ++i)
            if ((mask >> (i % 16) & 1) && ((s[i] >= u'a' && s[i] <= u'z') ||
                                            (s[i] >= u'A' && s[i] <= u'Z')))
                s[i] = Unit(s[i] ^ 0x20);
        return s;
    };
    auto raw = [&](std::size_t n) {
        UString s;
        for (std::size_t i = 0; i < n; ++i)
            s += Unit(in.U16());
        return s;
    };

    sys.open_files.clear();
    const int count = in.U8() % 9;
    for (int i = 0; i < count; ++i) {
        UString path;
        switch (in.U8() % 8) {
        case 0:
        case 1:
            break;   // empty
        case 2:
            path = raw(in.U8() % 48);   // any units: 0, surrogates, non-ASCII
            break;
        case 3:
            path = raw(in.U8() % 8);
            path += flipped(dotted);
            break;
        case 4: {
            std::size_t n = in.U16();
            if (long_units + n > long_path_budget)
                n = 0;
            long_units += n;
            path.assign(n, Unit(in.U16()));
            path += flipped(dotted);
            break;
        }
        case 5: {
            // A lookalike: one unit keeps its low byte but gains a high one.
            path = u"C:\\x" + dotted;
            const std::size_t at = in.U8() % path.size();
            path[at] = Unit(path[at] | (in.U8() | 1) << 8);
            break;
        }
        case 6: {
            // The suffix exactly, or one unit short at either end.
            path = dotted;
            const std::uint8_t cut = in.U8() % 3;
            if (cut == 1)
                path.erase(0, 1);
            else if (cut == 2)
                path.pop_back();
            break;
        }
        default:
            path = u"\\\\srv\\share\\f" + flipped(dotted);
            path += raw(in.U8() % 6);
        }
        sys.open_files.push_back(path);
    }
}

const Unit* const switch_texts[2] = {u"/TestSetTime", u"/TestNetFind"};

// Starts the program with a command line; a test mode then runs its client against a proxy
// that may be missing and answers anything.
void CommandLineStep(Bytes& in)
{
    const std::uint8_t kind = in.U8() % 3;
    UString line;
    if (kind == 1) {
        line = switch_texts[in.U8() & 1];
        const std::uint16_t mask = in.U16();
        for (std::size_t i = 0; i < line.size(); ++i)
            if (mask >> (i % 16) & 1 && line[i] != u'/')
                line[i] = Unit(line[i] ^ 0x20);
        switch (in.U8() % 4) {
        case 1:
            line += Unit(in.U16());
            break;
        case 2:
            line.insert(line.begin(), Unit(in.U16()));
            break;
        case 3: {
            const std::size_t at = in.U8() % line.size();
            line[at] = Unit(in.U16());
            break;
        }
        }
    } else if (kind == 2) {
        for (std::size_t n = in.U8() % 32; n > 0; --n)
            line += Unit(in.U16());
    }
    const UString text = Terminated(line);
    std::snprintf(step_text, sizeof step_text, "command line of %zu units%s", text.size(),
                  kind == 0 ? " (none)" : "");

    enum class Mode { server, test_set_time, test_net_find };
    Mode mode = Mode::server;
    if (kind != 0 && SameText(text, switch_texts[0]))
        mode = Mode::test_set_time;
    else if (kind != 0 && SameText(text, switch_texts[1]))
        mode = Mode::test_net_find;

    // The program runs on a system of its own; the proxy's is put back afterwards.
    const FakeSystem proxy_system = proxy_test::fake;
    FakeSystem& client = FreshFake();
    client.window_exists = in.U8() & 1;
    // The three answers a proxy gives or the system makes up, the extremes, or anything.
    const LResult answers[5] = {-1, 0, 1, INTPTR_MIN, INTPTR_MAX};
    const std::uint8_t pick = in.U8() % 6;
    client.answer = pick < 5 ? answers[pick] : static_cast<LResult>(in.U64());
    client.now = static_cast<std::int64_t>(in.U64());
    const std::int64_t now = client.now;

    Expect("exit code", proxy::ProxyMain(kind == 0 ? nullptr : line.c_str()), 0);
    // Libraries are kept out of the current folder first; a server then makes its window.
    Expect("first call keeps libraries out",
           !client.calls.empty() && client.calls[0] == "KeepLibrariesOutOfCurrentFolder", 1);
    Expect("served", client.calls.size() == 5 && client.calls[1] == "CreateProxyWindow",
           mode == Mode::server);

    Calls calls = {};
    UString box;
    if (mode != Mode::server) {
        calls[window_lookups] = 1;
        calls[boxes_shown] = 1;
        if (!client.window_exists) {
            box = u"Proxy not found.";
        } else {
            calls[requests_sent] = 1;
            calls[now_reads] = mode == Mode::test_set_time;
            if (client.answer > 0)
                box = u"Succeeded.";
            else if (client.answer == 0)
                box = u"Denied.";
            else
                box = mode == Mode::test_set_time ? u"Failed." : u"Failed or no access.";
        }
    }
    ExpectCalls(client, calls);
    if (calls[boxes_shown] != 0)
        Expect("box text matches", client.shown[0] == box, 1);
    if (calls[requests_sent] != 0) {
        const FakeSystem::Sent& s = client.sent[0];
        const bool set_time = mode == Mode::test_set_time;
        const std::uint64_t bits = static_cast<std::uint64_t>(now);
        Expect("request message", s.message, set_time ? wm_app : wm_app + 1);
        Expect("request wParam", static_cast<long long>(s.wParam),
               set_time ? static_cast<long long>(bits & 0xFFFFFFFFu) : 0x747874);
        Expect("request lParam", s.lParam, set_time ? static_cast<long long>(bits >> 32) : 0);
    }
    proxy_test::fake = proxy_system;
}

void SystemAnswersStep(Bytes& in, FakeSystem& sys)
{
    const std::uint8_t f = in.U8();
    sys.clock_accepts = !(f & 1);
    sys.timer_starts = !(f & 2);
    sys.search_fails = f & 4;
}

void ClockStep(Bytes& in, FakeSystem& sys)
{
    switch (in.U8() % 4) {
    case 0:
        sys.now = static_cast<std::int64_t>(in.U64());
        break;
    case 1:
        sys.now = static_cast<std::int64_t>(std::uint64_t(sys.now) +
                                            std::uint64_t(std::int64_t(std::int32_t(in.U32()))));
        break;
    case 2:
        sys.now = present + std::int64_t(std::int32_t(in.U32())) * 10000000LL;
        break;
    default:
        sys.now = in.U8() & 1 ? INT64_MAX - in.U16() : INT64_MIN + in.U16();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes in(data, size);
    Model model;
    ProxyState state;
    FakeSystem& sys = FreshFake();
    sys.now = present;
    std::array<std::uint8_t, 8> extension = {'t', 'x', 't'};
    std::size_t long_units = 0;
    sys.open_files = {u"C:\\rec\\a.txt"};

    while (!in.Done()) {
        const std::uint8_t step = in.U8();
        switch (step % 8) {
        case 0:
            ClockStep(in, sys);
            break;
        case 1:
            SystemAnswersStep(in, sys);
            break;
        case 2:
            OpenFilesStep(in, sys, extension, long_units);
            break;
        case 3:
            SetTimeStep(in, model, state, sys);
            break;
        case 4:
            OpenFileQueryStep(in, model, state, sys, extension);
            break;
        case 5: {
            // The busy timer, another small identifier, or 1 with junk above the low 32 bits.
            const std::uint8_t pick = in.U8() % 3;
            const WParam id = pick == 0   ? 1
                              : pick == 1 ? in.U8()
                                          : static_cast<WParam>(in.U64());
            Deliver(model, state, sys, wm_timer, id, static_cast<LParam>(in.U64()));
            break;
        }
        case 6: {
            const WParam w = static_cast<WParam>(in.U64());
            Deliver(model, state, sys, wm_destroy, w, static_cast<LParam>(in.U64()));
            break;
        }
        default:
            if (step & 0x80) {
                CommandLineStep(in);
            } else {
                const std::uint32_t message = in.U32();
                const WParam w = static_cast<WParam>(in.U64());
                Deliver(model, state, sys, message, w, static_cast<LParam>(in.U64()));
            }
        }
    }
    return 0;
}
