// POSIX side of Quill_Spread's seam, the calls of platform.h in its order: a recursive pthread
// mutex, open/write/close with flock for the share mode, the library's own path as the load
// hook noted it, dlopen, the two keys of [SET] in the settings file read and written as the
// Windows profile functions do, xdg-open, ASCII case folding and the numbered suffix. Paths are
// converted to UTF-8 only where a file is opened.
#include "platform_posix.h"
#include "utf16_convert.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// The library defines the seam itself; a test's platform file compiles this file in with
// QUILL_POSIX_SEAM defined as plat_posix.
#ifndef QUILL_POSIX_SEAM
#define QUILL_POSIX_SEAM plat
#endif

namespace {

// The library's own file as an absolute path, taken when it is loaded: dladdr reports the path
// the host gave to dlopen, which may be relative to a working directory that changes later.
// A plain array, filled by the load hook, which may run before any constructor of this file.
char own_path[PATH_MAX];

pthread_mutex_t* AsMutex(plat::LockStorage* lock)
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(plat::LockStorage::bytes),
                  "lock storage too small");
    return reinterpret_cast<pthread_mutex_t*>(lock->bytes);
}

// ASCII case folding, for paths, the names in the settings file and the digits of a number.
template <typename Char>
unsigned Folded(Char c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}
template <typename Char>
bool SameFolded(std::basic_string_view<Char> a, std::basic_string_view<Char> b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](Char x, Char y) { return Folded(x) == Folded(y); });
}

std::string Trim(const std::string& s)
{
    std::size_t b = s.find_first_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The settings file's lines; none when it is missing or cannot be read.
std::vector<std::string> ReadLines(const std::string& path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    close(fd);
    if (n < 0)
        return {};
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The line of key in the first [SET] section ("[ set ]" too), or lines.size() when it has
// none; comments (";") and lines without "=" hold no key. *end receives the index after the
// section's last line that is not blank, npos when there is no [SET].
std::size_t FindKey(const std::vector<std::string>& lines, const char* key, std::size_t* end)
{
    bool inside = false;
    *end = std::string::npos;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string t = Trim(lines[i]);
        std::size_t close_at = t.find(']');
        if (t.size() >= 2 && t[0] == '[' && close_at != std::string::npos) {
            if (inside)
                break;
            inside = SameFolded<char>(Trim(t.substr(1, close_at - 1)), "SET");
            if (inside)
                *end = i + 1;
            continue;
        }
        if (!inside || t.empty())
            continue;
        *end = i + 1;
        std::size_t eq = t.find('=');
        if (t[0] != ';' && eq != std::string::npos && SameFolded<char>(Trim(t.substr(0, eq)), key))
            return i;
    }
    return lines.size();
}

// The value of key in [SET] as the profile functions hand it out, a pair of matching quotes
// around it removed; false when the key is missing.
bool ReadKey(const WCHAR* file, const char* key, std::u16string* value)
{
    std::vector<std::string> lines = ReadLines(utf16::Narrow(file));
    std::size_t end;
    std::size_t i = FindKey(lines, key, &end);
    if (i == lines.size())
        return false;
    std::string v = Trim(lines[i].substr(lines[i].find('=') + 1));
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        v = v.substr(1, v.size() - 2);
    *value = utf16::Widen(v);
    return true;
}

// As WritePrivateProfileStringW: replaces the key's line, or adds it after the last line of
// [SET] that is not blank, or adds [SET] at the end, after a blank line; creates the file when
// it is missing. Failures are not told.
void WriteKey(const WCHAR* file, const char* key, const WCHAR* value)
{
    std::string path = utf16::Narrow(file);
    std::vector<std::string> lines = ReadLines(path);
    std::string entry = std::string(key) + "=" + utf16::Narrow(value);
    std::size_t end;
    std::size_t i = FindKey(lines, key, &end);
    if (i < lines.size()) {
        lines[i] = entry;
    } else if (end != std::string::npos) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), entry);
    } else {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.push_back("");
        lines.insert(lines.end(), {"[SET]", entry});
    }
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    std::size_t written;
    plat_posix::WriteAll(fd, text.data(), text.size(), &written);
    close(fd);
}

}  // namespace

bool plat_posix::WriteAll(int fd, const void* data, std::size_t size, std::size_t* written,
                          ssize_t (*writeSome)(int, const void*, std::size_t))
{
    const char* p = static_cast<const char*>(data);
    *written = 0;
    while (*written < size) {
        ssize_t n = writeSome(fd, p + *written, size - *written);
        if (n < 0 && errno == EINTR)
            continue;
        // A write that moves no bytes would spin here for ever; count it as a failure.
        if (n <= 0)
            return false;
        *written += static_cast<std::size_t>(n);
    }
    return true;
}

HMODULE plat_posix::NoteLoadedModule(const void* address)
{
    Dl_info info;
    struct link_map* self = nullptr;
    // GCOVR_EXCL_START: the address is the load hook's own, inside this library, which the
    // loader always names.
    if (dladdr1(address, &info, reinterpret_cast<void**>(&self), RTLD_DL_LINKMAP) == 0 ||
        info.dli_fname == nullptr)
        return nullptr;
    // GCOVR_EXCL_STOP
    // A relative name is joined to the working directory; the path stays empty when it cannot
    // be told (a working directory too deep for getcwd) or is too long.
    std::string path = info.dli_fname;
    char cwd[PATH_MAX];
    if (path[0] != '/')
        path = getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : std::string();
    if (path.size() < sizeof own_path)
        std::memcpy(own_path, path.c_str(), path.size() + 1);
    return self;
}

DWORD plat_posix::ExistingPath(const std::string& file, WCHAR* path, DWORD size)
{
    struct stat st;
    std::u16string wide = utf16::Widen(file);
    if (stat(file.c_str(), &st) != 0 || wide.size() >= size)
        return 0;
    path[wide.copy(path, wide.size())] = 0;
    return static_cast<DWORD>(wide.size());
}

namespace QUILL_POSIX_SEAM {

void InitLock(plat::LockStorage* lock)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(AsMutex(lock), &attr);
    pthread_mutexattr_destroy(&attr);
}

void EnterLock(plat::LockStorage* lock)
{
    pthread_mutex_lock(AsMutex(lock));
}

void LeaveLock(plat::LockStorage* lock)
{
    pthread_mutex_unlock(AsMutex(lock));
}

void DeleteLock(plat::LockStorage* lock)
{
    pthread_mutex_destroy(AsMutex(lock));
}

// O_EXCL refuses an existing file as CREATE_NEW does; without it the file is replaced as by
// CREATE_ALWAYS. Windows' share mode also refuses a second writer while an output holds the
// file (CreateUniqueFile then takes a numbered name); here an exclusive flock stands in among
// our outputs (and programs that honour it), and the file is emptied only once it is held, so
// a recording is never cut under its output. A device or a pipe, which cannot be emptied, is
// left as it is; a file system without flock goes on without the lock.
HANDLE CreateOutputFile(const WCHAR* path, bool overwrite)
{
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? 0 : O_EXCL);
    int fd = open(utf16::Narrow(path).c_str(), flags, 0666);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    // Apart from another holder, flock fails only on a file system without locks or when the
    // kernel has no lock left (ENOLCK), neither of which a test can arrange.
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;  // GCOVR_EXCL_BR_LINE
    if (held || (overwrite && ftruncate(fd, 0) != 0 && errno != EINVAL)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return plat_posix::HandleOf(fd);
}

// The loop goes on after a write(2) that stopped short, so the output behaves as a synchronous
// WriteFile does: all bytes or failure.
BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    std::size_t done;
    bool ok = plat_posix::WriteAll(plat_posix::FdOf(file), data, size, &done);
    *written = static_cast<DWORD>(done);
    return ok ? TRUE : FALSE;
}

void CloseOutput(HANDLE file)
{
    close(plat_posix::FdOf(file));
}

// POSIX has no short names, and the load hook made the path absolute.
DWORD OwnLongPath(HMODULE, WCHAR* path, DWORD size)
{
    return plat_posix::ExistingPath(own_path, path, size);
}

// glibc's dlopen hands out the object's link_map, as the load hook noted for the library
// itself: loading its own file gives the same handle.
HMODULE LoadModule(const WCHAR* path)
{
    return dlopen(utf16::Narrow(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

plat::Proc FindFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<plat::Proc>(dlsym(module, name));
}

void ReleaseModule(HMODULE module)
{
    dlclose(module);
}

// As GetPrivateProfileIntW reads a number: the default when the key is missing or empty, else
// an optional sign, "0x", "0o" or "0b" for a hexadecimal, octal or binary number (decimal
// otherwise), digits up to the first other character, taken modulo 2^32 ("-1" is 0xFFFFFFFF).
UINT ReadDataUnit(const WCHAR* file, UINT absent)
{
    std::u16string v;
    if (!ReadKey(file, "DataUnit", &v) || v.empty())
        return absent;
    std::size_t i = v[0] == '-' || v[0] == '+' ? 1 : 0;
    UINT base = 10;
    if (i + 1 < v.size() && v[i] == '0') {
        char16_t prefix = v[i + 1];
        base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 10;
        i += base != 10 ? 2 : 0;
    }
    UINT n = 0;
    for (; i < v.size(); ++i) {
        UINT c = Folded(v[i]);
        UINT digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : base;
        if (digit >= base)
            break;
        n = n * base + digit;
    }
    return v[0] == '-' ? 0u - n : n;
}

void ReadWritePlugin(const WCHAR* file, WCHAR* value, DWORD size)
{
    std::u16string v;
    ReadKey(file, "WritePlugin", &v);
    if (size != 0)
        value[v.copy(value, size - 1)] = 0;
}

// On Windows only the default "*" tells a missing key apart, so a value that begins with one
// counts as missing here too: one settings file means the same on both systems.
bool HasWritePlugin(const WCHAR* file)
{
    std::u16string v;
    return ReadKey(file, "WritePlugin", &v) && (v.empty() || v[0] != '*');
}

void WriteSettings(const WCHAR* file, const WCHAR* writePlugin, const WCHAR* dataUnit)
{
    WriteKey(file, "WritePlugin", writePlugin);
    WriteKey(file, "DataUnit", dataUnit);
}

// xdg-open, or else $VISUAL or $EDITOR through the shell (which splits their arguments), as a
// grandchild in a session of its own with its streams on /dev/null: nothing waits for the
// editor and no zombie is left. Only a failed exec writes to the pipe: 42 when one started
// (above 32, as for ShellExecuteW), 31 when none could, as for a type without an association.
INT_PTR OpenForEditing(const WCHAR* path)
{
    std::string file = utf16::Narrow(path);
    const char* editor = getenv("VISUAL");
    if (editor == nullptr || *editor == 0)
        editor = getenv("EDITOR");
    std::string script = editor != nullptr && *editor != 0 ? editor + std::string(" \"$1\"") : "";
    int report[2];
    // GCOVR_EXCL_START: pipe and fork fail only when the system has no descriptor, process or
    // memory left, and the children end in exec or _exit, which write no coverage data.
    if (pipe2(report, O_CLOEXEC) != 0)
        return 0;
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return 0;
    }
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            // Only the pipe stays open here: a copy of an output would keep the file's lock.
            int keep = fcntl(report[1], F_DUPFD_CLOEXEC, 3);
            int null_fd = open("/dev/null", O_RDWR);
            for (int fd = 0; fd < 3; ++fd)
                dup2(null_fd, fd);
            close_range(3, keep - 1, 0);
            close_range(keep + 1, ~0u, 0);
            execlp("xdg-open", "xdg-open", file.c_str(), static_cast<char*>(nullptr));
            if (!script.empty())
                execl("/bin/sh", "sh", "-c", script.c_str(), "sh", file.c_str(),
                      static_cast<char*>(nullptr));
            _exit(write(keep, "!", 1) == 1 ? 1 : 2);
        }
        _exit(0);
    }
    // GCOVR_EXCL_STOP
    close(report[1]);
    // Once the child has gone, only the grandchild holds copies of outputs, and the pipe ends
    // when it has started the opener or given up. Waiting fails at once (ECHILD) in a host that
    // ignores SIGCHLD, which has its children reaped for it. Either call fails with EINTR only
    // when a signal the host catches arrives meanwhile, which no test can time.
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {  // GCOVR_EXCL_BR_LINE
    }
    char byte;
    ssize_t n;
    while ((n = read(report[0], &byte, 1)) < 0 && errno == EINTR) {  // GCOVR_EXCL_BR_LINE
    }
    close(report[0]);
    return n > 0 ? 31 : 42;
}

bool SamePath(const WCHAR* a, const WCHAR* b)
{
    return SameFolded<WCHAR>(a, b);
}

int FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
{
    char number[16];
    std::snprintf(number, sizeof number, "-(%d)", n);
    std::u16string text = utf16::Widen(number) + suffix;
    out[text.copy(out, text.size())] = 0;
    return static_cast<int>(text.size());
}

}  // namespace QUILL_POSIX_SEAM
