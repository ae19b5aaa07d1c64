// Fuzz target: the settings files of the POSIX build. The input gives a profile file's content
// (any bytes, or no file at all) and a few keys to write; every read must survive any content,
// and each write of a key whose name and value a profile file can hold must read back as
// written (also cut to a small buffer, and as a number by the rules of the Windows profile
// functions), must leave every other key as it was, and must change nothing when repeated.
#include "fuzz_support.h"
#include "platform_posix.h"
#include "utf16_convert.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using fuzz_support::Oracle;
using U16 = std::u16string;

U16 file;  // the profile file, as the library names it

std::string Show(const U16& s)
{
    return "\"" + utf16::Narrow(s.c_str()) + "\"";
}

std::string FileBytes()
{
    std::ifstream in(utf16::Narrow(file.c_str()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names and keys are matched ignoring ASCII case.
bool SameName(const U16& a, const U16& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y - u'A' + u'a');
        if (x != y)
            return false;
    }
    return true;
}

bool Blank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r';
}

// Text a line of the file keeps as it is: no line break, no blanks at either end (they are
// trimmed), no unpaired surrogate (not representable in UTF-8).
bool Plain(const U16& s)
{
    if (!s.empty() && (Blank(s.front()) || Blank(s.back())))
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c == u'\n')
            return false;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool Writable(const U16& section, const U16& key, const U16& value)
{
    bool quoted = value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') &&
                  value.back() == value[0];
    return Plain(section) && section.find(u']') == U16::npos && Plain(key) && !key.empty() &&
           key.find(u'=') == U16::npos && key[0] != u';' && key[0] != u'[' && Plain(value) &&
           !quoted;
}

// The number a value gives, by the rules of the Windows profile functions: the default when it
// is empty; else an optional sign, then "0x", "0o" or "0b" for base 16, 8 or 2 (10 otherwise),
// digits of that base up to the first other character, all taken modulo 2^32.
UINT NumberOf(const U16& value, int fallback)
{
    if (value.empty())
        return static_cast<UINT>(fallback);
    std::size_t i = 0;
    bool negative = value[0] == u'-';
    if (value[0] == u'-' || value[0] == u'+')
        ++i;
    std::uint64_t base = 10;
    if (value.size() > i + 1 && value[i] == u'0') {
        const U16 prefixes = u"xob";
        const std::uint64_t bases[] = {16, 8, 2};
        std::size_t p = prefixes.find(value[i + 1]);
        if (p != U16::npos) {
            base = bases[p];
            i += 2;
        }
    }
    const U16 digits = u"0123456789abcdef";
    std::uint64_t n = 0;
    for (; i < value.size(); ++i) {
        char16_t c = value[i];
        if (c >= u'A' && c <= u'F')
            c = static_cast<char16_t>(c - u'A' + u'a');
        std::size_t d = digits.find(c);
        if (d == U16::npos || d >= base)
            break;
        n = (n * base + d) % 0x100000000u;
    }
    return static_cast<UINT>(negative ? (0x100000000u - n) % 0x100000000u : n);
}

U16 Read(const U16& section, const U16& key, const U16& fallback, std::size_t capacity)
{
    std::vector<WCHAR> buf(capacity + 1, u'#');
    DWORD n = plat_posix::ProfileString(section.c_str(), key.c_str(), fallback.c_str(), buf.data(),
                                        static_cast<DWORD>(capacity), file.c_str());
    if (capacity == 0) {
        if (n != 0 || buf[0] != u'#')
            Oracle("a read into no room wrote something");
        return U16();
    }
    if (n >= capacity || buf[n] != 0 || buf[capacity] != u'#')
        Oracle("a read of " + Show(key) + " into " + std::to_string(capacity) +
               " units is not terminated within them");
    return U16(buf.data(), n);
}

struct Name {
    U16 section;
    U16 key;
};

U16 Text(FuzzedDataProvider& in, std::size_t longest)
{
    U16 s = utf16::Widen<char16_t>(in.ConsumeRandomLengthString(longest));
    return s.substr(0, s.find(u'\0'));
}

U16 Pick(FuzzedDataProvider& in, const std::vector<U16>& pool)
{
    if (in.ConsumeBool())
        return pool[in.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)];
    return Text(in, 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string path = fuzz_support::ScratchFolder() + "/p.ini";
    file = utf16::Widen<char16_t>(path);
    if (in.ConsumeBool()) {
        std::string content = in.ConsumeRandomLengthString(4096);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    } else {
        unlink(path.c_str());
    }

    // The keys watched: every key of these sections, and each key written before.
    const std::vector<U16> sections = {u"SET", u"set", u"A", u"b"};
    const std::vector<U16> keys = {u"WritePlugin", u"DataUnit", u"k", u"K", u"x"};
    std::vector<Name> names;
    for (const U16& s : sections) {
        for (const U16& k : keys)
            names.push_back({s, k});
    }
    for (int op = 0; op < 6 && in.remaining_bytes() > 0; ++op) {
        U16 section = Pick(in, sections);
        U16 key = Pick(in, keys);
        U16 value = in.ConsumeBool() ? Text(in, 64) : Text(in, 12);
        int fallback = in.ConsumeIntegral<int>();

        // Each of them as it reads now; reading survives any content.
        std::vector<U16> before;
        for (const Name& n : names)
            before.push_back(Read(n.section, n.key, u"<none>", 4096));
        plat_posix::ProfileInt(section.c_str(), key.c_str(), fallback, file.c_str());

        BOOL wrote = plat_posix::WriteProfileString(section.c_str(), key.c_str(), value.c_str(),
                                                    file.c_str());
        if (!Writable(section, key, value))
            continue;  // written all the same; only reading it must not fail
        std::string what = "[" + utf16::Narrow(section.c_str()) + "] " + Show(key) + "=" +
                           Show(value) + ": ";
        if (!wrote)
            Oracle(what + "the write failed");
        U16 got = Read(section, key, u"<none>", value.size() + 1);
        if (got != value)
            Oracle(what + "reads back as " + Show(got));
        for (std::size_t cut = 1; cut <= value.size(); cut += 1 + cut / 2) {
            if (Read(section, key, u"", cut) != value.substr(0, cut - 1))
                Oracle(what + "read into " + std::to_string(cut) + " units is not its start");
        }
        UINT number = plat_posix::ProfileInt(section.c_str(), key.c_str(), fallback, file.c_str());
        if (number != NumberOf(value, fallback))
            Oracle(what + "reads as the number " + std::to_string(number) + ", expected " +
                   std::to_string(NumberOf(value, fallback)));
        for (std::size_t i = 0; i < names.size(); ++i) {
            const Name& n = names[i];
            if (SameName(n.section, section) && SameName(n.key, key))
                continue;
            U16 now = Read(n.section, n.key, u"<none>", 4096);
            if (now != before[i])
                Oracle(what + "changed [" + utf16::Narrow(n.section.c_str()) + "] " + Show(n.key) +
                       " from " + Show(before[i]) + " to " + Show(now));
        }
        std::string after = FileBytes();
        plat_posix::WriteProfileString(section.c_str(), key.c_str(), value.c_str(), file.c_str());
        if (FileBytes() != after)
            Oracle(what + "writing it again changed the file");
        names.push_back({section, key});
    }
    return 0;
}
