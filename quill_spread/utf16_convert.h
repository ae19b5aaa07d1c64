// UTF-16 <-> UTF-8 for the places where UTF-16 strings meet byte-string file names: the POSIX
// layer, where a path is opened, and the test hosts and test plug-ins of both builds. Header
// only and templated on the 16-bit unit (char16_t on POSIX, wchar_t on Windows), so each user
// compiles its own copy; the Windows library itself never includes it (no C runtime there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace utf16 {

// Units up to the terminator to UTF-8; an unpaired surrogate becomes U+FFFD.
template <typename Unit>
std::string Narrow(const Unit* s)
{
    std::string out;
    for (; s != nullptr && *s != 0; ++s) {
        std::uint32_t c = static_cast<std::uint16_t>(*s);
        std::uint32_t next = static_cast<std::uint16_t>(s[1]);
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++s;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD.
template <typename Unit>
std::basic_string<Unit> Widen(const std::string& s)
{
    std::basic_string<Unit> out;
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t c;
        if (b < 0x80) {
            extra = 0;
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            c = b & 0x1Fu;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            c = b & 0x0Fu;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            c = b & 0x07u;
        } else {
            out.push_back(static_cast<Unit>(0xFFFD));
            ++i;
            continue;
        }
        std::size_t k = 1;
        for (; k <= extra && i + k < s.size() && (s[i + k] & 0xC0) == 0x80; ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
        i += k;
        if (k <= extra || c > 0x10FFFF) {
            out.push_back(static_cast<Unit>(0xFFFD));
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<Unit>(0xD800 + (c >> 10)));
            out.push_back(static_cast<Unit>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<Unit>(c));
        }
    }
    return out;
}

}  // namespace utf16
