// The profile files of Quill_Spread's POSIX seam: the settings file ([section] and key=value
// lines) read and written with the behaviour of the Windows profile functions that the library
// uses, so that one settings file means the same on both systems.
#include "platform_posix.h"
#include "utf16_convert.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace plat_posix {
namespace {

std::string Trim(const std::string& s)
{
    std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return std::string();
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n;
    // GCOVR_EXCL_BR_START: signals interrupt no read of a regular file on Linux; the test of
    // EINTR is for other systems.
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text->append(buf, static_cast<std::size_t>(n));
    }
    // GCOVR_EXCL_BR_STOP
    close(fd);
    return n == 0;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The section name of a "[name]" line, or false for any other line.
bool SectionOf(const std::string& line, std::string* name)
{
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[')
        return false;
    std::size_t close_at = t.find(']');
    if (close_at == std::string::npos)
        return false;
    *name = Trim(t.substr(1, close_at - 1));
    return true;
}

// The key and value of a "key=value" line; comments (";") and other lines give false.
bool EntryOf(const std::string& line, std::string* key, std::string* value)
{
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';')
        return false;
    std::size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

// Finds key in section: true with its value and line index when present. section_end gets the
// index after the section's last non-blank line (lines.size() when the section is missing,
// and then section_found is false).
bool FindEntry(const std::vector<std::string>& lines, const std::string& section,
               const std::string& key, std::string* value, std::size_t* line_index,
               bool* section_found, std::size_t* section_end)
{
    bool inside = false;
    *section_found = false;
    *section_end = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string name, k, v;
        if (SectionOf(lines[i], &name)) {
            if (inside)
                break;  // the section ended without the key
            inside = SameIgnoringCase(name, section);
            if (inside) {
                *section_found = true;
                *section_end = i + 1;
            }
            continue;
        }
        if (!inside)
            continue;
        if (!Trim(lines[i]).empty())
            *section_end = i + 1;
        if (EntryOf(lines[i], &k, &v) && SameIgnoringCase(k, key)) {
            *value = v;
            *line_index = i;
            return true;
        }
    }
    return false;
}

// The value as the profile functions hand it out: a pair of matching quotes around it goes.
std::string Unquote(const std::string& v)
{
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        return v.substr(1, v.size() - 2);
    return v;
}

bool LookUp(const WCHAR* section, const WCHAR* key, const WCHAR* file, std::string* value)
{
    std::string text;
    if (!ReadWholeFile(Narrow(file), &text))
        return false;
    std::size_t line_index, section_end;
    bool section_found;
    if (!FindEntry(SplitLines(text), Narrow(section), Narrow(key), value, &line_index,
                   &section_found, &section_end))
        return false;
    *value = Unquote(*value);
    return true;
}

}  // namespace

// As GetPrivateProfileIntW: the default when the key is absent or empty, otherwise the number
// the value begins with, read as Windows reads it: an optional sign, "0x", "0o" or "0b" for a
// hexadecimal, octal or binary number (decimal otherwise), digits up to the first other
// character, and the result taken modulo 2^32, so that "-1" gives 0xFFFFFFFF.
UINT ProfileInt(const WCHAR* section, const WCHAR* key, int fallback, const WCHAR* file)
{
    std::string value;
    if (!LookUp(section, key, file, &value) || value.empty())
        return static_cast<UINT>(fallback);
    std::size_t i = 0;
    bool negative = false;
    if (value[i] == '-' || value[i] == '+')
        negative = value[i++] == '-';
    UINT base = 10;
    if (i + 1 < value.size() && value[i] == '0') {
        char prefix = value[i + 1];
        base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 10;
        if (base != 10)
            i += 2;
    }
    UINT n = 0;
    for (; i < value.size(); ++i) {
        char c = value[i];
        UINT digit = c >= '0' && c <= '9'   ? static_cast<UINT>(c - '0')
                     : c >= 'a' && c <= 'z' ? static_cast<UINT>(c - 'a' + 10)
                     : c >= 'A' && c <= 'Z' ? static_cast<UINT>(c - 'A' + 10)
                                            : base;
        if (digit >= base)
            break;
        n = n * base + digit;
    }
    return negative ? 0u - n : n;
}

// As GetPrivateProfileStringW: the value (or the default) cut to size - 1 units; the units
// copied.
DWORD ProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* fallback, WCHAR* value,
                    DWORD size, const WCHAR* file)
{
    std::string found;
    if (LookUp(section, key, file, &found))
        return CopyOut(utf16::Widen<char16_t>(found), value, size);
    return CopyOut(fallback != nullptr ? std::u16string(fallback) : std::u16string(), value, size);
}

// As WritePrivateProfileStringW: replaces the key's line, or adds it at the end of its section,
// or adds the section at the end; creates the file when it is missing.
BOOL WriteProfileString(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                        const WCHAR* file)
{
    std::string path = Narrow(file), text;
    ReadWholeFile(path, &text);
    std::vector<std::string> lines = SplitLines(text);
    std::string s = Narrow(section), k = Narrow(key), old;
    std::string entry = k + "=" + Narrow(value);
    std::size_t line_index, section_end;
    bool section_found;
    if (FindEntry(lines, s, k, &old, &line_index, &section_found, &section_end)) {
        lines[line_index] = entry;
    } else if (section_found) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(section_end), entry);
    } else {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.push_back("");
        lines.push_back("[" + s + "]");
        lines.push_back(entry);
    }
    std::string out;
    for (const std::string& line : lines)
        out += line + "\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return FALSE;
    std::size_t written;
    bool ok = WriteAll(fd, out.data(), out.size(), &written);
    // A network file system may report a failed write only when the file is closed; a local
    // one never fails a close.
    if (close(fd) != 0)  // GCOVR_EXCL_BR_LINE
        ok = false;      // GCOVR_EXCL_LINE
    return ok ? TRUE : FALSE;
}

}  // namespace plat_posix

// The settings as the seam names them: [SET] DataUnit and WritePlugin, read and written by the
// profile functions above. No test takes these over, so the seam is defined here directly.
namespace {
using plat_posix::ProfileInt;
using plat_posix::ProfileString;
using plat_posix::WriteProfileString;
const WCHAR section_set[] = u"SET";
const WCHAR key_write_plugin[] = u"WritePlugin";
}  // namespace

UINT plat::ReadDataUnit(const WCHAR* file, UINT absent)
{
    return ProfileInt(section_set, u"DataUnit", static_cast<int>(absent), file);
}

void plat::ReadWritePlugin(const WCHAR* file, WCHAR* value, DWORD size)
{
    ProfileString(section_set, key_write_plugin, u"", value, size, file);
}

bool plat::HasWritePlugin(const WCHAR* file)
{
    // Read as on Windows, where only the default "*" tells a missing key apart, so that one
    // settings file means the same on both systems.
    WCHAR value[2];
    ProfileString(section_set, key_write_plugin, u"*", value, 2, file);
    return value[0] != '*';
}

void plat::WriteSettings(const WCHAR* file, const WCHAR* writePlugin, const WCHAR* dataUnit)
{
    WriteProfileString(section_set, key_write_plugin, writePlugin, file);
    WriteProfileString(section_set, u"DataUnit", dataUnit, file);
}
