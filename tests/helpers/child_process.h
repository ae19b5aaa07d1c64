// Test support: a program started with its three standard streams on pipes that the test owns.
// Background threads feed standard input and drain standard output and error, so a test can
// watch a running tool (how much it took, what it wrote so far) without blocking on either.
// The same code runs natively and, built for Windows, under wine with real pipes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

#ifdef _WIN32
// A path as CMake gives it (a Unix path) as a Windows program opens it: wine maps / to drive Z:.
std::wstring HostPath(const std::string& path);
#endif

namespace os {
using Handle = std::intptr_t;  // a descriptor or a HANDLE; -1 is none
constexpr Handle no_handle = -1;
struct Process;
bool MakePipe(Handle* read_end, Handle* write_end);
// Starts program; the child gets in_r, out_w and err_w as its standard streams (no_handle for
// in_r: none at all). The parent's copies of those ends are closed by the caller.
Process* Spawn(const std::string& program, const std::vector<std::string>& args, Handle in_r,
               Handle out_w, Handle err_w);
// 1 when h has data or its writer has gone, 0 after timeout_ms without either.
int WaitReadable(Handle h, int timeout_ms);
long ReadSome(Handle h, void* buf, std::size_t n);           // 0 at end, -1 on error
long WriteSome(Handle h, const void* buf, std::size_t n);    // -1 on error (reader gone)
void Close(Handle h);
// Exit code, or -1 if the process has not ended within timeout_ms.
int WaitExit(Process* p, int timeout_ms);
void Kill(Process* p);
void Release(Process* p);
void SleepMs(int ms);
}  // namespace os

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();  // kills a child that still runs and joins every thread

    // with_stdin false: the child starts without any standard input, as a program started by
    // one that has none (a service, a GUI program) does.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               bool with_stdin = true);

    // Hands data to standard input from a background thread, in pieces of at most piece bytes
    // (0: all at once), with pause_ms between pieces; closes standard input afterwards when
    // close_after. FedBytes counts what the child has taken so far.
    void FeedStdin(std::string data, std::size_t piece = 0, int pause_ms = 0,
                   bool close_after = true);
    std::size_t FedBytes() const { return fed_bytes_.load(); }
    // What the feeder has begun to hand over: FedBytes and the piece in flight. The child can
    // have taken no more than this.
    std::size_t OfferedBytes() const { return offered_bytes_.load(); }
    bool FeedFinished() const { return feed_done_.load(); }
    void CloseStdin();

    // Stops taking standard output (a consumer that does not read), or takes it again.
    void PauseStdout(bool paused) { stdout_paused_.store(paused); }
    // Closes the read end of standard output: the reader has gone away.
    void CloseStdout();

    std::string Stdout();
    std::string Stderr();
    std::size_t StdoutSize();
    // Waits until at least n bytes came out, or timeout; true if they did.
    bool WaitForStdout(std::size_t n, int timeout_ms);
    // The most output seen while no more than offered bytes of input had been offered: what the
    // child wrote on that much input at most, whatever the timing.
    std::size_t StdoutWhileOffered(std::size_t offered);

    // Exit code once the child ended; -1 if it is still running after timeout_ms.
    int Wait(int timeout_ms);
    void Kill();

private:
    void Drain(os::Handle* h, std::string* into, bool is_stdout);

    os::Process* process_ = nullptr;
    os::Handle stdin_w_ = os::no_handle;
    os::Handle stdout_r_ = os::no_handle;
    os::Handle stderr_r_ = os::no_handle;
    std::thread feeder_, out_reader_, err_reader_;
    std::atomic<std::size_t> fed_bytes_{0};
    std::atomic<std::size_t> offered_bytes_{0};
    std::vector<std::pair<std::size_t, std::size_t>> out_seen_;  // (offered, output size)
    std::atomic<bool> feed_done_{false};
    std::atomic<bool> stdout_paused_{false};
    std::atomic<bool> stdout_closing_{false};
    std::mutex mu_;
    std::condition_variable grew_;
    std::string out_, err_;
    int exit_code_ = -1;
};

struct RunResult {
    int exit_code = -1;  // -1: timed out and killed
    std::string out;
    std::string err;
};

// Runs program to its end with input on standard input; kills it after timeout_ms.
RunResult RunTool(const std::string& program, const std::vector<std::string>& args,
              const std::string& input = std::string(), int timeout_ms = 20000);

}  // namespace test_support
