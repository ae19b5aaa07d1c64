// The self-test of an unpacked release, shared by the files of its checks: release_checks.cpp
// (finding the release, its files, the recordings and the tools) and proxy_checks.cpp (the
// proxy it starts and the requests sent to it).
#pragma once

#include "files.h"
#include "report.h"
#include "win_process.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace selftest {

// Waiting times that only a hang reaches.
constexpr DWORD short_wait = 10000;
constexpr DWORD long_wait = 120000;

struct Ran {
    bool started = false;
    DWORD code = 0;
    std::string output;          // its standard output
    std::wstring cause;          // why it did not start
};

// Runs a program with standard output captured and waits for its end (at most milliseconds;
// then it is ended).
Ran RunCaptured(const std::wstring& program, const std::vector<std::wstring>& args,
                DWORD milliseconds, HANDLE token = nullptr);

// The proxy's answer as proxy_send printed it, or empty when it found no proxy; cause says
// what it means.
std::wstring Answer(const Ran& ran, std::wstring* cause);

// A program's exit code and what it means, for the cause of a failed check.
std::wstring ExitText(const std::wstring& program, DWORD code);

class SelfTest {
public:
    SelfTest(const std::wstring& release, const std::wstring& here)
        : release_(release), here_(here)
    {
    }
    int Run();

private:
    using Needs = std::vector<std::wstring>;

    std::wstring Release(const wchar_t* name) const { return Join(release_, name); }
    std::wstring Trial(const wchar_t* name) const { return Join(here_, name); }
    std::wstring Work(const wchar_t* name) const { return Join(work_, name); }

    // What the checks after it cannot have, and why: a check that needs it is not run, so
    // that one broken file or failed step gives one FAIL.
    void Lack(const std::wstring& thing, const std::wstring& why) { missing_.emplace(thing, why); }
    // Why a check that needs these cannot run; empty when it can.
    std::wstring Blocked(const Needs& needs) const;
    // True when a check that needs these can run; else it is reported as not run, with the
    // reason.
    bool Ready(const Needs& needs, const std::wstring& what);
    // One check, run when what it needs is there (check returns whether it passed and sets
    // the cause when not). When it is not run or fails, makes (unless null) is lacking after it.
    bool Check(const Needs& needs, const wchar_t* makes, const std::wstring& what,
               const std::function<bool(std::wstring* cause)>& check);

    // release_checks.cpp
    void Complete();
    void Images();
    void Stream();
    bool Generate(const wchar_t* packets, const wchar_t* seed, const wchar_t* file,
                  std::wstring* cause);
    void Recording();
    std::wstring StartFollowers(const std::wstring& rec, Child (&chain)[3]);
    std::wstring HostCause(const Child& host, const wchar_t* report) const;
    void CutPipe();
    void Nested();
    void ToolArguments();
    // proxy_checks.cpp
    void Proxy();
    void ProxyElevated(bool underWine);
    bool Ask(const std::wstring& expected, const std::vector<std::wstring>& request,
             const std::wstring& what, HANDLE token = nullptr);

    Report report_{L"FAIL"};
    std::wstring release_, here_, work_;
    std::map<std::wstring, std::wstring> missing_;
};

}  // namespace selftest
