// Fuzz target: the settings file of the POSIX build. The input gives the file's content (any
// bytes, or no file at all) and a few pairs of values for WritePlugin and DataUnit to write;
// every read must survive any content, and each value a settings line can hold must read back
// as written (also cut to a small buffer, and as a number by the rules of the Windows profile
// functions). A write must keep every other line, and must change nothing when repeated.
#include "fuzz_support.h"
#include "platform.h"
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

U16 file;  // the settings file, as the library names it

std::string Show(const U16& s)
{
    return "\"" + utf16::Narrow(s.c_str()) + "\"";
}

std::string FileBytes()
{
    std::ifstream in(utf16::Narrow(file.c_str()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Blank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r';
}

// A value a line of the file keeps as it is: no line break, no blanks at either end (they are
// trimmed), no unpaired surrogate (not representable in UTF-8), no pair of quotes around it.
bool Writable(const U16& s)
{
    if (!s.empty() && (Blank(s.front()) || Blank(s.back())))
        return false;
    if (s.size() >= 2 && (s[0] == u'"' || s[0] == u'\'') && s.back() == s[0])
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

// The file's lines but those that set one of the two keys (in any case, with any blanks).
std::vector<std::string> OtherLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\n') {
            line += static_cast<char>(text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]);
            continue;
        }
        std::string key = line.substr(0, line.find('='));
        key.erase(0, key.find_first_not_of(" \t\r"));
        key.erase(key.find_last_not_of(" \t\r") + 1);
        if (line.find('=') == std::string::npos || (key != "writeplugin" && key != "dataunit"))
            lines.push_back(line);
        line.clear();
    }
    return lines;
}

// The number a value gives, by the rules of the Windows profile functions: the default when it
// is empty; else an optional sign, then "0x", "0o" or "0b" for base 16, 8 or 2 (10 otherwise),
// digits of that base up to the first other character, all taken modulo 2^32.
UINT NumberOf(const U16& value, UINT fallback)
{
    if (value.empty())
        return fallback;
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

U16 Read(std::size_t capacity)
{
    std::vector<WCHAR> buf(capacity + 1, u'#');
    plat::ReadWritePlugin(file.c_str(), buf.data(), static_cast<DWORD>(capacity));
    if (capacity == 0) {
        if (buf[0] != u'#')
            Oracle("a read into no room wrote something");
        return U16();
    }
    std::size_t n = U16(buf.data(), capacity).find(u'\0');
    if (n == U16::npos || buf[capacity] != u'#')
        Oracle("a read into " + std::to_string(capacity) + " units is not terminated within them");
    return U16(buf.data(), n);
}

U16 Text(FuzzedDataProvider& in, std::size_t longest)
{
    U16 s = utf16::Widen(in.ConsumeRandomLengthString(longest));
    return s.substr(0, s.find(u'\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string path = fuzz_support::ScratchFolder() + "/p.ini";
    file = utf16::Widen(path);
    if (in.ConsumeBool()) {
        std::string content = in.ConsumeRandomLengthString(4096);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    } else {
        unlink(path.c_str());
    }

    for (int op = 0; op < 6 && in.remaining_bytes() > 0; ++op) {
        U16 plugin = in.ConsumeBool() ? Text(in, 64) : Text(in, 12);
        U16 unit = Text(in, 12);
        UINT fallback = in.ConsumeIntegral<UINT>();
        // Reading survives any content.
        Read(4096);
        plat::HasWritePlugin(file.c_str());
        plat::ReadDataUnit(file.c_str(), fallback);

        std::vector<std::string> others = OtherLines(FileBytes());
        plat::WriteSettings(file.c_str(), plugin.c_str(), unit.c_str());
        if (!Writable(plugin) || !Writable(unit))
            continue;  // written all the same; only reading it must not fail
        std::string what = "WritePlugin=" + Show(plugin) + " DataUnit=" + Show(unit) + ": ";
        U16 got = Read(plugin.size() + 1);
        if (got != plugin)
            Oracle(what + "WritePlugin reads back as " + Show(got));
        for (std::size_t cut = 1; cut <= plugin.size(); cut += 1 + cut / 2) {
            if (Read(cut) != plugin.substr(0, cut - 1))
                Oracle(what + "read into " + std::to_string(cut) + " units is not its start");
        }
        if (plat::HasWritePlugin(file.c_str()) != (plugin.empty() || plugin[0] != u'*'))
            Oracle(what + "the key's presence is told wrongly");
        UINT number = plat::ReadDataUnit(file.c_str(), fallback);
        if (number != NumberOf(unit, fallback))
            Oracle(what + "DataUnit reads as " + std::to_string(number) + ", expected " +
                   std::to_string(NumberOf(unit, fallback)));
        // Every other line is still there, in its order.
        std::string after = FileBytes();
        std::vector<std::string> now = OtherLines(after);
        std::size_t k = 0;
        for (std::size_t i = 0; i < now.size() && k < others.size(); ++i)
            k += now[i] == others[k] ? 1 : 0;
        if (k < others.size())
            Oracle(what + "lost the line \"" + others[k] + "\"");
        plat::WriteSettings(file.c_str(), plugin.c_str(), unit.c_str());
        if (FileBytes() != after)
            Oracle(what + "writing it again changed the file");
    }
    return 0;
}
