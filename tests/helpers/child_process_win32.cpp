// Windows half of ChildProcess: anonymous pipes, and the self-test's child processes (started
// with inherited standard handles, waited for with a deadline).
#include "child_process.h"

#include "selftest/win_process.h"

namespace test_support {

std::wstring HostPath(const std::string& path)
{
    std::wstring w = selftest::Wide(path);
    if (!w.empty() && w[0] == L'/') {
        for (auto& c : w)
            if (c == L'/')
                c = L'\\';
        w = L"Z:" + w;
    }
    return w;
}

namespace os {

struct Process {
    selftest::Child child;
};

namespace {

HANDLE H(Handle h)
{
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

bool MakePipe(Handle* read_end, Handle* write_end)
{
    HANDLE r, w;
    if (!CreatePipe(&r, &w, nullptr, 0))
        return false;
    *read_end = reinterpret_cast<Handle>(r);
    *write_end = reinterpret_cast<Handle>(w);
    return true;
}

Process* Spawn(const std::string& program, const std::vector<std::string>& args, Handle in_r,
               Handle out_w, Handle err_w)
{
    std::vector<std::wstring> wide;
    for (const auto& a : args)
        wide.push_back(selftest::Wide(a));
    // Without standard input the child gets a null handle, as the child of a GUI program does.
    selftest::StartOptions options;
    options.in = in_r == no_handle ? nullptr : H(in_r);
    options.out = H(out_w);
    options.err = H(err_w);
    auto* p = new Process;
    std::wstring cause;
    if (!p->child.Start(HostPath(program), wide, options, &cause)) {
        delete p;
        return nullptr;
    }
    return p;
}

int WaitReadable(Handle h, int timeout_ms)
{
    for (int waited = 0;; waited += 2) {
        DWORD avail = 0;
        if (!PeekNamedPipe(H(h), nullptr, 0, nullptr, &avail, nullptr) || avail > 0)
            return 1;  // data, or the writer has gone and a read will say so
        if (waited >= timeout_ms)
            return 0;
        Sleep(2);
    }
}

long ReadSome(Handle h, void* buf, std::size_t n)
{
    DWORD got = 0;
    if (!ReadFile(H(h), buf, static_cast<DWORD>(n), &got, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<long>(got);
}

long WriteSome(Handle h, const void* buf, std::size_t n)
{
    DWORD put = 0;
    if (!WriteFile(H(h), buf, static_cast<DWORD>(n), &put, nullptr))
        return -1;
    return static_cast<long>(put);
}

void Close(Handle h)
{
    CloseHandle(H(h));
}

int WaitExit(Process* p, int timeout_ms)
{
    if (!p->child.Wait(static_cast<DWORD>(timeout_ms)))
        return -1;
    return static_cast<int>(p->child.ExitCode());
}

void Kill(Process* p)
{
    p->child.End();
}

void Release(Process* p)
{
    delete p;
}

void SleepMs(int ms)
{
    Sleep(static_cast<DWORD>(ms));
}

}  // namespace os
}  // namespace test_support
