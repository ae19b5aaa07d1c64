// POSIX half of ChildProcess: pipes, fork and exec, waitpid with a deadline.
#include "child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace test_support {
namespace os {

struct Process {
    pid_t pid;
    int status;
    bool reaped;
};

bool MakePipe(Handle* read_end, Handle* write_end)
{
    // A test writes into a pipe whose reader may be gone; that must be an error, not a signal.
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    *read_end = fds[0];
    *write_end = fds[1];
    return true;
}

Process* Spawn(const std::string& program, const std::vector<std::string>& args, Handle in_r,
               Handle out_w, Handle err_w)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return nullptr;
    if (pid == 0) {
        if (in_r == no_handle)
            close(0);
        else
            dup2(static_cast<int>(in_r), 0);
        dup2(static_cast<int>(out_w), 1);
        dup2(static_cast<int>(err_w), 2);
        signal(SIGPIPE, SIG_DFL);  // the tool decides for itself
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return new Process{pid, 0, false};
}

int WaitReadable(Handle h, int timeout_ms)
{
    pollfd p{static_cast<int>(h), POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0 ? 1 : 0;
}

long ReadSome(Handle h, void* buf, std::size_t n)
{
    ssize_t r;
    do
        r = read(static_cast<int>(h), buf, n);
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long WriteSome(Handle h, const void* buf, std::size_t n)
{
    ssize_t r;
    do
        r = write(static_cast<int>(h), buf, n);
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

void Close(Handle h)
{
    close(static_cast<int>(h));
}

int WaitExit(Process* p, int timeout_ms)
{
    for (int waited = 0;; waited += 2) {
        if (!p->reaped && waitpid(p->pid, &p->status, WNOHANG) == p->pid)
            p->reaped = true;
        if (p->reaped)
            return WIFEXITED(p->status) ? WEXITSTATUS(p->status) : 128 + WTERMSIG(p->status);
        if (waited >= timeout_ms)
            return -1;
        SleepMs(2);
    }
}

void Kill(Process* p)
{
    if (!p->reaped)
        kill(p->pid, SIGKILL);
}

void Release(Process* p)
{
    if (!p->reaped) {
        kill(p->pid, SIGKILL);
        waitpid(p->pid, &p->status, 0);
    }
    delete p;
}

void SleepMs(int ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

}  // namespace os
}  // namespace test_support
