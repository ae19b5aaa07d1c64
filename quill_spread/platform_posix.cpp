// POSIX side of Quill_Spread's seam: a recursive pthread mutex, open/write/close for output
// files, dladdr and dlopen for the library's own path and the nested plug-in, a profile-file
// reader and writer with the behaviour of the Windows profile functions that the library uses,
// the desktop's editor, and UTF-16 string helpers. Paths are converted to UTF-8 only where a
// file is opened. Also the load and unload hooks, and the test hooks of platform_test_posix.h.
#include "platform.h"
#include "platform_test_posix.h"
#include "state.h"
#include "utf16_convert.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<int> fail_after{-1};
std::atomic<bool> fail_persist{false};
std::atomic<int> failed_writes{0};
std::atomic<std::size_t> short_writes{0};
std::string module_path_override;  // set by tests before the library is used
// The library's own file as an absolute path, taken when it is loaded: dladdr reports the path
// the host gave to dlopen, which may be relative to a working directory that changes later.
// A plain array, filled by the load hook, which may run before any constructor of this file.
char own_path[PATH_MAX];

// Fills own_path from the name dladdr gave; it stays empty when the path cannot be told.
void NoteOwnPath(const char* name)
{
    std::string path = name != nullptr ? name : "";
    if (!path.empty() && path[0] != '/') {
        char cwd[PATH_MAX];
        path = getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : std::string();
    }
    if (path.size() < sizeof own_path)
        std::memcpy(own_path, path.c_str(), path.size() + 1);
}

std::string Narrow(const WCHAR* s)
{
    return utf16::Narrow(s);
}

std::u16string Widen(const std::string& s)
{
    return utf16::Widen<char16_t>(s);
}

// Copies text into a buffer of size units the way the Windows profile and module-path calls
// do: cut to size - 1 units, always terminated. Returns the units copied.
DWORD CopyOut(const std::u16string& text, WCHAR* out, DWORD size)
{
    if (size == 0)
        return 0;
    DWORD n = text.size() < size ? static_cast<DWORD>(text.size()) : size - 1;
    for (DWORD i = 0; i < n; ++i)
        out[i] = text[i];
    out[n] = 0;
    return n;
}

pthread_mutex_t* AsMutex(plat::LockStorage* lock)
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(plat::LockStorage::bytes),
                  "lock storage too small");
    return reinterpret_cast<pthread_mutex_t*>(lock->bytes);
}

HANDLE FromFd(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

int ToFd(HANDLE file)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(file));
}

// ---- profile files -------------------------------------------------------------------------

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
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text->append(buf, static_cast<std::size_t>(n));
    }
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

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Whether program can be found on PATH (or is a path itself) and run.
bool OnPath(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return access(program.c_str(), X_OK) == 0;
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

namespace plat_test {

void FailWrites(int afterCalls, bool persist)
{
    fail_persist.store(persist);
    fail_after.store(afterCalls);
    failed_writes.store(0);
}

int FailedWrites()
{
    return failed_writes.load();
}

void ShortWrites(std::size_t maxBytes)
{
    short_writes.store(maxBytes);
}

void SetModulePath(const char* path)
{
    module_path_override = path != nullptr ? path : "";
}

}  // namespace plat_test

namespace plat {

void InitLock(LockStorage* lock)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(AsMutex(lock), &attr);
    pthread_mutexattr_destroy(&attr);
}

void EnterLock(LockStorage* lock)
{
    pthread_mutex_lock(AsMutex(lock));
}

void LeaveLock(LockStorage* lock)
{
    pthread_mutex_unlock(AsMutex(lock));
}

void DeleteLock(LockStorage* lock)
{
    pthread_mutex_destroy(AsMutex(lock));
}

// O_EXCL refuses an existing file as CREATE_NEW does; O_TRUNC replaces it as CREATE_ALWAYS.
// POSIX has no share modes: other processes may open the file however they like.
HANDLE CreateOutputFile(const WCHAR* path, bool overwrite)
{
    int fd = open(Narrow(path).c_str(),
                  O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL), 0666);
    return fd < 0 ? INVALID_HANDLE_VALUE : FromFd(fd);
}

// write(2) may stop short (a full disk, a signal); loop until every byte is out, so that an
// output never loses data while reporting success.
BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    *written = 0;
    int after = fail_after.load();
    if (after >= 0) {
        if (after == 0) {
            if (!fail_persist.load())
                fail_after.store(-1);
            failed_writes.fetch_add(1);
            errno = ENOSPC;
            return FALSE;
        }
        fail_after.store(after - 1);
    }
    const char* p = static_cast<const char*>(data);
    DWORD left = size;
    std::size_t limit = short_writes.load();
    while (left > 0) {
        std::size_t piece = limit != 0 && limit < left ? limit : left;
        ssize_t n = write(ToFd(file), p, piece);
        if (n < 0 && errno == EINTR)
            continue;
        // A write that moves no bytes would spin here for ever; count it as this output's failure.
        if (n <= 0)
            return FALSE;
        p += n;
        left -= static_cast<DWORD>(n);
        *written += static_cast<DWORD>(n);
    }
    return TRUE;
}

void CloseOutput(HANDLE file)
{
    close(ToFd(file));
}

// The module handle is not needed: the load hook noted the library's file.
DWORD ModuleFileName(HMODULE, WCHAR* path, DWORD size)
{
    std::string own = module_path_override.empty() ? own_path : module_path_override;
    if (own.empty())
        return 0;
    std::u16string wide = Widen(own);
    if (size == 0)
        return 0;
    DWORD n = CopyOut(wide, path, size);
    return wide.size() >= size ? size : n;  // cut: the full size, as on Windows
}

// POSIX has no short names: the long form of an existing file's path is that path.
DWORD LongPathName(const WCHAR* path, WCHAR* longPath, DWORD size)
{
    struct stat st;
    if (stat(Narrow(path).c_str(), &st) != 0)
        return 0;
    std::u16string wide(path);
    if (wide.size() >= size)
        return static_cast<DWORD>(wide.size() + 1);
    return CopyOut(wide, longPath, size);
}

HMODULE LoadModule(const WCHAR* path)
{
    return dlopen(Narrow(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

Proc FindFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<Proc>(dlsym(module, name));
}

void ReleaseModule(HMODULE module)
{
    dlclose(module);
}

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
        return CopyOut(Widen(found), value, size);
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
    bool ok = WriteAll(fd, out.data(), out.size());
    return close(fd) == 0 && ok ? TRUE : FALSE;
}

// The desktop's opener (xdg-open), else $VISUAL or $EDITOR, started detached: a grandchild with
// its streams on /dev/null, so that nothing waits for the editor and no zombie is left. 42 when
// it was started (any value above 32 means that), 31 when there is nothing to open it with,
// as for a file type without an association.
INT_PTR OpenForEditing(const WCHAR* path)
{
    std::string file = Narrow(path);
    std::vector<std::string> command;
    if (OnPath("xdg-open")) {
        command = {"xdg-open", file};
    } else {
        const char* editor = getenv("VISUAL");
        if (editor == nullptr || *editor == 0)
            editor = getenv("EDITOR");
        if (editor == nullptr || *editor == 0)
            return 31;
        // The variable may carry arguments; the shell splits it.
        command = {"/bin/sh", "-c", std::string(editor) + " \"$1\"", "sh", file};
    }
    std::vector<char*> argv;
    for (std::string& arg : command)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0)
        return 0;
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0) {
                dup2(null_fd, 0);
                dup2(null_fd, 1);
                dup2(null_fd, 2);
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        _exit(0);
    }
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return 42;
}

int StrLen(const WCHAR* s)
{
    int n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

void StrCopy(WCHAR* to, const WCHAR* from)
{
    while ((*to++ = *from++) != 0) {
    }
}

// ASCII case folding, which is what path comparison needs on a case-sensitive system that
// still accepts a host's differently cased spelling.
int StrCmpI(const WCHAR* a, const WCHAR* b)
{
    for (;; ++a, ++b) {
        WCHAR x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<WCHAR>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<WCHAR>(y - 'A' + 'a');
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            return 0;
    }
}

int FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
{
    WCHAR digits[12];
    int count = 0;
    unsigned value = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    do {
        digits[count++] = static_cast<WCHAR>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    int length = 0;
    out[length++] = '-';
    out[length++] = '(';
    if (n < 0)
        out[length++] = '-';
    while (count > 0)
        out[length++] = digits[--count];
    out[length++] = ')';
    for (const WCHAR* s = suffix; *s != 0; ++s)
        out[length++] = *s;
    out[length] = 0;
    return length;
}

}  // namespace plat

// The library's load and unload hooks. The module handle is the base address of this file.
__attribute__((constructor)) static void QuillLoad()
{
    Dl_info info;
    HMODULE self = nullptr;
    if (dladdr(reinterpret_cast<void*>(&QuillLoad), &info) != 0) {
        self = info.dli_fbase;
        NoteOwnPath(info.dli_fname);
    }
    ProcessAttach(self);
}

__attribute__((destructor)) static void QuillUnload()
{
    ProcessDetach(true);
}
