// Fuzzes tailgrip's argument conversions. The bytes, up to the first zero byte, are one argument,
// widened one byte to one character as the POSIX entry point widens its arguments; read as the
// start position, as the idle time, and as the idle time with its check suffix, it must give
// what a reference written from the Windows runtime's documented rules gives.
#include "tailgrip_core.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

struct Converted {
    std::int64_t value;
    std::size_t stop;  // characters consumed; 0 when there were no digits
};

// The range of a conversion's result type, its limits also as digit text.
struct Range {
    std::int64_t min, max;
    std::wstring min_magnitude, max_digits;
};
const Range int64_range{INT64_MIN, INT64_MAX, L"9223372036854775808", L"9223372036854775807"};
const Range long_range{INT32_MIN, INT32_MAX, L"2147483648", L"2147483647"};  // long on Windows

// _wcstoi64 or wcstol in base 10: blanks (space, \t to \r), an optional sign, then decimal
// digits up to the first other character; no digits give 0 and stop at the start. A value
// beyond the type's range gives the nearest limit. Done on the digit text, not by arithmetic,
// so it shares no step with the code under test.
Converted Reference(const std::wstring& text, const Range& range)
{
    std::size_t at = std::min(text.find_first_not_of(L" \t\n\v\f\r"), text.size());
    const bool minus = at < text.size() && text[at] == L'-';
    if (minus || (at < text.size() && text[at] == L'+'))
        ++at;
    const std::size_t end = std::min(text.find_first_not_of(L"0123456789", at), text.size());
    if (end == at)
        return {0, 0};
    std::wstring digits = text.substr(at, end - at);
    digits.erase(0, std::min(digits.find_first_not_of(L'0'), digits.size() - 1));
    const std::wstring& limit = minus ? range.min_magnitude : range.max_digits;
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit))
        return {minus ? range.min : range.max, end};
    const std::uint64_t magnitude = std::stoull(digits);
    return {minus ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude),
            end};
}

[[noreturn]] void Mismatch(const char* what, const std::wstring& text, std::int64_t got,
                           std::int64_t expected)
{
    std::printf("ORACLE %s of \"%s\": %lld, expected %lld\n", what,
                std::string(text.begin(), text.end()).c_str(), static_cast<long long>(got),
                static_cast<long long>(expected));
    std::fflush(stdout);
    __builtin_trap();
}

void CheckConversion(const char* what, const std::wstring& text, const Range& range,
                     Converted expected)
{
    const wchar_t* end = nullptr;
    const std::int64_t value = tailgrip::DecimalToSigned(text.c_str(), range.min, range.max, &end);
    if (value != expected.value)
        Mismatch(what, text, value, expected.value);
    if (end != text.c_str() + expected.stop)
        Mismatch(what, text, end - text.c_str(), static_cast<std::int64_t>(expected.stop));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::wstring text;
    for (std::size_t i = 0; i < size && data[i] != 0; ++i)
        text.push_back(static_cast<wchar_t>(data[i]));

    CheckConversion("start position", text, int64_range, Reference(text, int64_range));
    const Converted timeout = Reference(text, long_range);
    CheckConversion("idle time", text, long_range, timeout);

    // The suffix: a lower-case "p" right where the idle time stopped, then v = interval * 256 +
    // preamble_byte, which takes an interval of 1 to 65536, so v runs from 256 to 16777471.
    bool valid = true;
    std::int32_t interval = 0;
    int preamble = 0;
    if (timeout.stop < text.size() && text[timeout.stop] == L'p') {
        const std::int64_t v = Reference(text.substr(timeout.stop + 1), long_range).value;
        valid = v >= 256 && v <= 16777471;
        interval = static_cast<std::int32_t>(v / 256);
        preamble = static_cast<int>(v % 256);
    }
    tailgrip::TimeoutArg arg;
    const bool accepted = tailgrip::ParseTimeoutArg(text.c_str(), &arg);
    if (accepted != valid)
        Mismatch("suffix accepted", text, accepted, valid);
    if (!accepted)
        return 0;
    if (arg.close_timeout_sec != timeout.value)
        Mismatch("idle time with suffix", text, arg.close_timeout_sec, timeout.value);
    if (arg.interval != interval)
        Mismatch("interval", text, arg.interval, interval);
    if (arg.preamble_byte != preamble)
        Mismatch("preamble byte", text, arg.preamble_byte, preamble);
    return 0;
}
