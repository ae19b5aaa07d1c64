// Support for the proxy's end-to-end tests under wine: a desktop of the test program's own (so
// that no other program's proxy window is found, and tests in parallel do not meet), child
// processes started on it with an exact command-line text and their own environment, the
// proxy window's lookup, and messages sent to it with a deadline.
#pragma once

#include "child_process.h"
#include "selftest/win_process.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace proxy_wine {

// Creates the desktop and moves the calling thread onto it. Call first, on the main thread,
// before anything creates a window. The desktop's shell process is started here with no
// standard streams: started later by a child, it would inherit that child's (or the test's)
// stderr and hold the pipe open for ever.
void EnterPrivateDesktop();

// Enters the private desktop before a test program's first test.
class PrivateDesktopEnvironment : public ::testing::Environment {
public:
    void SetUp() override { EnterPrivateDesktop(); }
};

using test_support::HostPath;
inline std::wstring Widen(const std::string& s)
{
    return selftest::Wide(s);
}

struct ChildOptions {
    std::wstring program;     // Windows path of the .exe
    std::wstring arguments;   // the text behind the program name, exactly (empty: none)
    // Variables to set for the child (an empty value removes one); the rest is inherited.
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    bool capture_stderr = false;
};

// A child process on the private desktop; ended at destruction if it still runs.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    bool Start(const ChildOptions& options);
    // Exit code, or -1 if it still runs after timeout_ms. Collects stderr meanwhile.
    int Wait(int timeout_ms);
    bool Running() const { return process_.Running(); }
    DWORD Id() const { return process_.Id(); }
    // What the child wrote to stderr so far (captured children only).
    const std::string& Stderr();

private:
    void Collect();

    selftest::Child process_;
    HANDLE err_read_ = nullptr;
    std::string err_;
};

// The window of class "VelmoraAdminProxy" under HWND_MESSAGE that belongs to child, once it
// appears; null after timeout_ms or when the child ends first.
HWND WaitForProxyWindow(Child& child, int timeout_ms);

// The first window of the class under HWND_MESSAGE, as a client finds it; null if none.
HWND FindProxy();

// Sends a message and waits up to 10 s for its result; false if no answer came.
bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

// Sends WM_CLOSE and waits for the child to end; its exit code, or -1.
int CloseProxy(HWND window, Child& child);

// A proxy started by the test on the private desktop, closed by the test that started it.
class ProxyServer {
public:
    // Starts program with the exact argument text and waits for its window. standin_dir, when
    // given, is where the stand-in netapi32 finds its list and writes its log.
    bool Start(const std::wstring& program, const std::wstring& arguments = L"",
               const std::wstring& standin_dir = L"");
    // Sends a request; a missing answer is a test failure (and answers 0).
    LRESULT Request(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Query(WPARAM wParam, LPARAM lParam) { return Request(WM_APP + 1, wParam, lParam); }
    // WM_CLOSE, then the exit code (-1 if it did not end).
    int Close() { return CloseProxy(window, child); }

    Child child;
    HWND window = nullptr;
};

// The present as the proxy reads it, split over the two words, plus offset (100-ns units).
void Present(WPARAM* wParam, LPARAM* lParam, std::int64_t offset = 0);

// The set-time request for the present, with junk_w and junk_l above the low 32 bits of the
// words. wine sets the clock only to within half a second of its own reading, so a request
// held up that long on a loaded machine is refused; a refusal begins no busy period, so one
// that must succeed is given tries attempts (must_succeed).
LRESULT SetTimeToPresent(ProxyServer& proxy, int tries = 1, WPARAM junk_w = 0,
                         LPARAM junk_l = 0);
constexpr int must_succeed = 3;

// wine's per-program load order of netapi32 for the programs of that file name ("native,builtin",
// "builtin", or "" for none at all). It stays in the prefix, where tests running beside this one
// may rely on it too, so each name serves one purpose.
bool SetNetapiLoadOrder(const std::wstring& program_name, const std::wstring& order);

// Puts the stand-in netapi32.dll into the system directory of this process's bitness (under
// wine's file-system redirection a 32-bit process's system32 is the prefix's syswow64), where
// the proxy loads it from when its load order asks for a native netapi32 first; with wine's
// default order it keeps loading wine's own. Refuses (false) anywhere but under wine.
bool InstallSystemStandIn(const std::wstring& standin_dll);

// A copy of the proxy, under a name of its own, that loads the stand-in netapi32.dll from the
// system directory (a native-first load order for that name, in wine's per-program settings),
// and a scratch directory with the stand-in's list of open paths and its call log.
class StandInCopy {
public:
    StandInCopy(const std::wstring& proxy_exe, const std::wstring& standin_dll);
    bool Ready() const { return ready_; }
    const std::wstring& Program() const { return program_; }
    std::wstring Directory() const { return Widen(dir_.path()); }
    // open_files.txt: the status, "buffer" or "nobuffer", then one path a line.
    bool List(const std::string& text);
    // The calls logged since the last look.
    std::string Calls();

private:
    test_support::ScratchDir dir_{"admin_proxy"};
    std::wstring program_;
    bool ready_ = false;
    std::size_t seen_ = 0;
};

// The stand-in's log lines for the one enumeration the proxy makes (this computer, every open
// resource of every user, level 3, all in one buffer, no resume handle) and for the release of
// the buffer it handed out.
const char standin_enumeration[] =
    "NetFileEnum server=null base=null user=null level=3 prefmax=4294967295 resume=null\n";
const char standin_release[] = "NetApiBufferFree ok\n";

// True when the test's environment asks wine for a native netapi32 first, for every program
// it starts, before any per-program setting.
bool NativeNetapiFirst();

}  // namespace proxy_wine
