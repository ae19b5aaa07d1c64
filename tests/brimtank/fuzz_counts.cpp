// Fuzzes brimtank's two counts. The bytes are the two arguments, split at the first zero byte
// and widened one byte to one character as the POSIX entry point widens its arguments; the
// conversion and the clamping into ring size and initial fill must give what a reference
// written from the runtime's documented rules gives.
#include "brimtank_core.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// wcstoul in base 10 with the 32-bit unsigned long of Windows: blanks (space, \t to \r), an
// optional sign, then decimal digits up to the first other character; no digits give 0. A
// magnitude above 4294967295 gives 4294967295, whatever the sign; a minus sign negates the
// value modulo 2^32. Done on the digit text, not by arithmetic, so it shares no step with the
// code under test.
std::uint32_t ReferenceCount(const std::wstring& text)
{
    const std::size_t begin = text.find_first_not_of(L" \t\n\v\f\r");
    if (begin == std::wstring::npos)
        return 0;
    std::size_t at = begin;
    const bool minus = text[at] == L'-';
    if (minus || text[at] == L'+')
        ++at;
    const std::size_t end = std::min(text.find_first_not_of(L"0123456789", at), text.size());
    if (end == at)
        return 0;
    std::wstring digits = text.substr(at, end - at);
    digits.erase(0, std::min(digits.find_first_not_of(L'0'), digits.size() - 1));
    if (digits.size() > 10 || (digits.size() == 10 && digits > L"4294967295"))
        return 0xFFFFFFFFu;
    const std::uint32_t magnitude = static_cast<std::uint32_t>(std::stoull(digits));
    return minus ? static_cast<std::uint32_t>(0x100000000ull - magnitude) : magnitude;
}

// The argument as the bytes it came from, for the report.
std::string Bytes(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

[[noreturn]] void Mismatch(const char* what, const std::wstring& a, const std::wstring& b,
                           std::uint64_t got, std::uint64_t expected)
{
    std::printf("ORACLE %s of \"%s\" \"%s\": %llu, expected %llu\n", what, Bytes(a).c_str(),
                Bytes(b).c_str(), static_cast<unsigned long long>(got),
                static_cast<unsigned long long>(expected));
    std::fflush(stdout);
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::wstring args[2];
    int arg = 0;
    for (std::size_t i = 0; i < size && arg < 2; ++i) {
        if (data[i] == 0)
            ++arg;
        else
            args[arg].push_back(static_cast<wchar_t>(data[i]));
    }
    const std::wstring& size_arg = args[0];
    const std::wstring& fill_arg = args[1];

    const std::uint32_t count = brimtank::ConvertCount(size_arg.c_str());
    if (count != ReferenceCount(size_arg))
        Mismatch("count", size_arg, L"", count, ReferenceCount(size_arg));

    std::uint64_t ring = ReferenceCount(size_arg);
    ring = ring < 131072 ? 131072 : ring > 1073741824 ? 1073741824 : ring;
    std::uint64_t fill = ReferenceCount(fill_arg);
    fill = fill > ring - 131072 ? ring - 131072 : fill;
    const brimtank::RingSettings s = brimtank::SettingsFromArgs(size_arg.c_str(), fill_arg.c_str());
    if (s.ring_size != ring)
        Mismatch("ring size", size_arg, fill_arg, s.ring_size, ring);
    if (s.initial_fill != fill)
        Mismatch("initial fill", size_arg, fill_arg, s.initial_fill, fill);
    return 0;
}
