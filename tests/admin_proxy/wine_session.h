// Support for the proxy's end-to-end tests under wine: a desktop of the test program's own (so
// that no other program's proxy window is found, and tests in parallel do not meet), child
// processes started on it with an exact command-line text and their own environment, the
// proxy window's lookup, and messages sent to it with a deadline.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace proxy_wine {

// Creates the desktop and moves the calling thread onto it. Call first, on the main thread,
// before anything creates a window. The desktop's shell process is started here with no
// standard streams: started later by a child, it would inherit that child's (or the test's)
// stderr and hold the pipe open for ever.
void EnterPrivateDesktop();

// Unix path (as CMake gives it) to the path a Windows program opens: wine maps / to Z:.
std::wstring HostPath(const std::string& unix_path);
std::wstring Widen(const std::string& s);

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
    bool Running();
    DWORD Id() const { return pi_.dwProcessId; }
    // What the child wrote to stderr so far (captured children only).
    const std::string& Stderr();

private:
    void Collect();

    PROCESS_INFORMATION pi_{};
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

// Runs a Unix program (given as a Windows command line, Z:-path first) to its end, with no
// standard streams.
void RunUnixCommand(const std::wstring& command_line);

}  // namespace proxy_wine
