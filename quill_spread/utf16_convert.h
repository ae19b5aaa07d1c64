// UTF-16 <-> UTF-8 where the POSIX build's char16_t strings meet byte-string file names: the
// POSIX layer, where a path is opened, and the POSIX builds of the trial host and plug-in. Header
// only, so that each user compiles its own copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace utf16 {

// Units up to the terminator to UTF-8; an unpaired surrogate becomes U+FFFD.
inline std::string Narrow(const char16_t* s)
{
    std::string out;
    for (; s != nullptr && *s != 0; ++s) {
        std::uint32_t c = *s;
        std::uint32_t next = s[1];
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++s;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        // The lead byte marks the length and carries the highest bits; each continuation byte
        // carries six, the last byte the lowest.
        static const unsigned lead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
        std::size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        char bytes[4] = {static_cast<char>(lead[n] | (c >> (6 * (n - 1))))};
        for (std::size_t k = n - 1; k > 0; --k, c >>= 6)
            bytes[k] = static_cast<char>(0x80 | (c & 0x3F));
        // The only edge here is an allocation failure's exception; gcov labels it so only in the
        // copies that ran, and in one that never runs (a trial plug-in's) it looks like a branch
        // never taken.
        out.append(bytes, n);  // GCOVR_EXCL_BR_LINE
    }
    return out;
}

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD, and so does a sequence
// that is cut short, encodes a surrogate or a value beyond U+10FFFF, or takes more bytes than
// its value needs (an overlong form, which would let "\xC0\x80" smuggle in a terminator or
// "\xC0\xAF" a slash).
inline std::u16string Widen(const std::string& s)
{
    // The smallest value that needs a sequence of 1 + extra bytes.
    static const std::uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        // The lead byte tells how many continuation bytes follow, and carries the highest bits;
        // a continuation byte or one that UTF-8 never uses leads nothing.
        static const unsigned char lead_bits[4] = {0x7F, 0x1F, 0x0F, 0x07};
        unsigned char b = static_cast<unsigned char>(s[i]);
        bool valid = b < 0x80 || (b & 0xE0) == 0xC0 || (b & 0xF0) == 0xE0 || (b & 0xF8) == 0xF0;
        std::size_t extra = !valid || b < 0xC0 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        std::uint32_t c = b & lead_bits[extra];
        std::size_t k = 1;
        for (; k <= extra && i + k < s.size() && (s[i + k] & 0xC0) == 0x80; ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
        i += k;
        if (!valid || k <= extra || c < least[extra] || c > 0x10FFFF ||
            (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        char16_t units[2] = {static_cast<char16_t>(c), 0};
        std::size_t n = 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            units[0] = static_cast<char16_t>(0xD800 + (c >> 10));
            units[1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
            n = 2;
        }
        // As in Narrow: only an allocation failure's edge, unlabelled where the copy never runs.
        out.append(units, n);  // GCOVR_EXCL_BR_LINE
    }
    return out;
}

}  // namespace utf16
