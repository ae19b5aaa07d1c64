// The POSIX system calls behind Quill_Spread's seam, apart from the settings file
// (profile_posix.cpp): a recursive pthread mutex, open/write/close for output files, the
// library's own path as the load hook noted it, dlopen for the nested plug-in, the desktop's
// editor, and the UTF-16 helpers. Paths are converted to UTF-8 only where a file is opened.
// The calls a test takes over (outputs, the own path, modules) are plat_posix's, which
// platform_posix.cpp binds in the library and a test's platform file may forward to; the rest
// of the seam is defined at the end, for both.
#include "platform_posix.h"
#include "utf16_convert.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace plat_posix {
namespace {

using plat::LockStorage;

// The library's own file as an absolute path, taken when it is loaded: dladdr reports the path
// the host gave to dlopen, which may be relative to a working directory that changes later.
// A plain array, filled by the load hook, which may run before any constructor of this file.
char own_path[PATH_MAX];

// Fills own_path from the name dladdr gave; it stays empty when the path cannot be told: a
// relative name while the working directory is too deep for getcwd, or joined too long.
void NoteOwnPath(const char* name)
{
    std::string path = name;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        path = getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : std::string();
    }
    if (path.size() < sizeof own_path)
        std::memcpy(own_path, path.c_str(), path.size() + 1);
}

pthread_mutex_t* AsMutex(LockStorage* lock)
{
    static_assert(sizeof(pthread_mutex_t) <= sizeof(LockStorage::bytes), "lock storage too small");
    return reinterpret_cast<pthread_mutex_t*>(lock->bytes);
}

// Whether program can be found on PATH and run; without PATH, in the system's default folders.
bool OnPath(const char* program)
{
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

// O_EXCL refuses an existing file as CREATE_NEW does; without it the file is replaced as by
// CREATE_ALWAYS. On Windows the share mode also refuses a second writer while an output holds
// the file, and CreateUniqueFile falls back to a numbered name. POSIX has no share modes: an
// exclusive flock stands in among our own outputs (and programs that honour it), and the file
// is emptied only once the lock is held, so that a recording is never cut under its output. A
// device or a pipe, which cannot be emptied, is left as O_TRUNC leaves it; a file system
// without flock goes on without the lock.
HANDLE CreateOutputFile(const WCHAR* path, bool overwrite)
{
    int fd = open(Narrow(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? 0 : O_EXCL),
                  0666);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    // Apart from another holder, flock fails only on a file system without locks or when the
    // kernel has no lock left (ENOLCK), neither of which a test can arrange.
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;  // GCOVR_EXCL_BR_LINE
    if (held || (overwrite && ftruncate(fd, 0) != 0 && errno != EINVAL)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return HandleOf(fd);
}

// The loop of WriteAll goes on after a write(2) that stopped short, so the output behaves as a
// synchronous WriteFile does: all bytes or failure.
BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    std::size_t done;
    bool ok = WriteAll(FdOf(file), data, size, &done);
    *written = static_cast<DWORD>(done);
    return ok ? TRUE : FALSE;
}

void CloseOutput(HANDLE file)
{
    close(FdOf(file));
}

DWORD ExistingPath(const std::string& file, WCHAR* path, DWORD size)
{
    struct stat st;
    if (file.empty() || stat(file.c_str(), &st) != 0)
        return 0;
    std::u16string wide = utf16::Widen<char16_t>(file);
    if (wide.size() >= size)
        return 0;
    std::copy(wide.begin(), wide.end(), path);
    path[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

// POSIX has no short names, and the load hook made the path absolute.
DWORD OwnLongPath(HMODULE, WCHAR* path, DWORD size)
{
    return ExistingPath(own_path, path, size);
}

// glibc's dlopen hands out the object's link_map, as the load hook noted for the library
// itself: loading its own file gives the same handle.
HMODULE LoadModule(const WCHAR* path)
{
    return dlopen(Narrow(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

plat::Proc FindFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<plat::Proc>(dlsym(module, name));
}

void ReleaseModule(HMODULE module)
{
    dlclose(module);
}

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

HMODULE NoteLoadedModule(const void* address)
{
    Dl_info info;
    struct link_map* self = nullptr;
    // GCOVR_EXCL_START: the address is the load hook's own, inside this library, which the
    // loader always names.
    if (dladdr1(address, &info, reinterpret_cast<void**>(&self), RTLD_DL_LINKMAP) == 0 ||
        info.dli_fname == nullptr)
        return nullptr;
    // GCOVR_EXCL_STOP
    NoteOwnPath(info.dli_fname);
    return self;
}

}  // namespace plat_posix

// The seam calls no test takes over, defined here directly: the lock, the editor, path
// comparison and numbered names.
namespace {
using plat_posix::AsMutex;
using plat_posix::Narrow;
using plat_posix::OnPath;
}  // namespace

void plat::InitLock(LockStorage* lock)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(AsMutex(lock), &attr);
    pthread_mutexattr_destroy(&attr);
}

void plat::EnterLock(LockStorage* lock)
{
    pthread_mutex_lock(AsMutex(lock));
}

void plat::LeaveLock(LockStorage* lock)
{
    pthread_mutex_unlock(AsMutex(lock));
}

void plat::DeleteLock(LockStorage* lock)
{
    pthread_mutex_destroy(AsMutex(lock));
}

// The desktop's opener (xdg-open), else $VISUAL or $EDITOR, started detached: a grandchild with
// its streams on /dev/null, so that nothing waits for the editor and no zombie is left. 42 when
// it was started (any value above 32 means that), 31 when there is nothing to open it with,
// as for a file type without an association.
INT_PTR plat::OpenForEditing(const WCHAR* path)
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
    // GCOVR_EXCL_START: fork fails only when the system has no process or memory left, and the
    // children end in exec or _exit, which write no coverage data.
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
    // GCOVR_EXCL_STOP
    // The child only starts the editor and ends. Waiting for it fails at once (ECHILD) in a
    // host that ignores SIGCHLD, which has its children reaped for it.
    int status;
    while (waitpid(child, &status, 0) < 0) {
        // It fails with EINTR only when a signal that the host catches arrives in the wait,
        // which no test can time.
        if (errno != EINTR)  // GCOVR_EXCL_BR_LINE
            break;
    }
    return 42;
}

// ASCII case folding, which is what path comparison needs on a case-sensitive system that
// still accepts a host's differently cased spelling.
bool plat::SamePath(const WCHAR* a, const WCHAR* b)
{
    for (;; ++a, ++b) {
        WCHAR x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<WCHAR>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<WCHAR>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

int plat::FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
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
