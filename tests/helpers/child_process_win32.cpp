// Windows half of ChildProcess: anonymous pipes, CreateProcessW with inherited standard
// handles, WaitForSingleObject with a deadline.
#include "child_process.h"

#include <windows.h>

namespace test_support {
namespace os {

struct Process {
    PROCESS_INFORMATION pi;
};

namespace {

HANDLE H(Handle h)
{
    return reinterpret_cast<HANDLE>(h);
}

std::wstring Widen(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

// Build paths come from CMake as Unix paths; wine maps the Unix root to drive Z:.
std::wstring HostPath(const std::string& path)
{
    std::wstring w = Widen(path);
    if (!w.empty() && w[0] == L'/') {
        for (auto& c : w)
            if (c == L'/')
                c = L'\\';
        w = L"Z:" + w;
    }
    return w;
}

// Quotes one argument the way the C runtime's command-line parser splits it again.
void AppendQuoted(std::wstring* cmd, const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        *cmd += arg;
        return;
    }
    *cmd += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            backslashes = backslashes * 2 + 1;
        cmd->append(backslashes, L'\\');
        backslashes = 0;
        *cmd += c;
    }
    cmd->append(backslashes * 2, L'\\');
    *cmd += L'"';
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
    std::wstring exe = HostPath(program);
    std::wstring cmd;
    AppendQuoted(&cmd, exe);
    for (const auto& a : args) {
        cmd += L' ';
        AppendQuoted(&cmd, Widen(a));
    }
    // Only the child's three ends are inheritable, and only for this one start. Without
    // standard input the child gets a null handle, as the child of a GUI program does.
    HANDLE ends[3] = {in_r == no_handle ? nullptr : H(in_r), H(out_w), H(err_w)};
    for (HANDLE h : ends)
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ends[0];
    si.hStdOutput = ends[1];
    si.hStdError = ends[2];
    auto* p = new Process{};
    BOOL ok = CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &si, &p->pi);
    for (HANDLE h : ends)
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    if (!ok) {
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
    if (WaitForSingleObject(p->pi.hProcess, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(p->pi.hProcess, &code);
    return static_cast<int>(code);
}

void Kill(Process* p)
{
    TerminateProcess(p->pi.hProcess, 137);
}

void Release(Process* p)
{
    if (WaitForSingleObject(p->pi.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(p->pi.hProcess, 137);
        WaitForSingleObject(p->pi.hProcess, 5000);
    }
    CloseHandle(p->pi.hThread);
    CloseHandle(p->pi.hProcess);
    delete p;
}

void SleepMs(int ms)
{
    Sleep(static_cast<DWORD>(ms));
}

}  // namespace os
}  // namespace test_support
