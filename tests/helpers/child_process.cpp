// The platform-neutral half of ChildProcess: threads that feed and drain the pipes.
#include "child_process.h"

#include <chrono>

namespace test_support {

ChildProcess::~ChildProcess()
{
    // The feeder may still be writing into standard input: end the child first, so that its
    // write fails, and join it before the handle is closed under it.
    if (process_ != nullptr && Wait(0) == -1) {
        Kill();
        Wait(5000);
    }
    if (feeder_.joinable())
        feeder_.join();
    CloseStdin();
    if (out_reader_.joinable())
        out_reader_.join();
    if (err_reader_.joinable())
        err_reader_.join();
    if (stdout_r_ != os::no_handle)
        os::Close(stdout_r_);
    if (stderr_r_ != os::no_handle)
        os::Close(stderr_r_);
    if (process_ != nullptr)
        os::Release(process_);
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         bool with_stdin)
{
    os::Handle in_r = os::no_handle, in_w = os::no_handle, out_r, out_w, err_r, err_w;
    if (with_stdin && !os::MakePipe(&in_r, &in_w))
        return false;
    if (!os::MakePipe(&out_r, &out_w) || !os::MakePipe(&err_r, &err_w))
        return false;
    process_ = os::Spawn(program, args, in_r, out_w, err_w);
    if (in_r != os::no_handle)
        os::Close(in_r);
    os::Close(out_w);
    os::Close(err_w);
    stdin_w_ = in_w;
    stdout_r_ = out_r;
    stderr_r_ = err_r;
    if (process_ == nullptr)
        return false;
    out_reader_ = std::thread([this] { Drain(&stdout_r_, &out_, true); });
    err_reader_ = std::thread([this] { Drain(&stderr_r_, &err_, false); });
    return true;
}

// Reads with a short wait, never blocking for long, so that a pause or a close asked for by
// the test takes effect at once: a close must really drop the last reader of the pipe.
void ChildProcess::Drain(os::Handle* h, std::string* into, bool is_stdout)
{
    char buf[65536];
    for (;;) {
        if (is_stdout && stdout_closing_.load()) {
            os::Close(*h);
            *h = os::no_handle;
            break;
        }
        if (is_stdout && stdout_paused_.load()) {
            os::SleepMs(5);
            continue;
        }
        if (os::WaitReadable(*h, 20) == 0)
            continue;
        long n = os::ReadSome(*h, buf, sizeof buf);
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(mu_);
        into->append(buf, static_cast<std::size_t>(n));
        if (is_stdout)
            out_seen_.emplace_back(offered_bytes_.load(), into->size());
        grew_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mu_);
    grew_.notify_all();
}

void ChildProcess::FeedStdin(std::string data, std::size_t piece, int pause_ms, bool close_after)
{
    os::Handle to_child = stdin_w_;
    feeder_ = std::thread([this, to_child, data = std::move(data), piece, pause_ms, close_after] {
        std::size_t pos = 0;
        while (pos < data.size()) {
            std::size_t n = data.size() - pos;
            if (piece != 0 && n > piece)
                n = piece;
            offered_bytes_.store(pos + n);
            long w = os::WriteSome(to_child, data.data() + pos, n);
            if (w <= 0)
                break;
            pos += static_cast<std::size_t>(w);
            fed_bytes_.store(pos);
            if (pause_ms > 0)
                os::SleepMs(pause_ms);
        }
        if (close_after)
            CloseStdin();
        feed_done_.store(true);
    });
}

void ChildProcess::CloseStdin()
{
    std::lock_guard<std::mutex> lock(mu_);
    if (stdin_w_ != os::no_handle) {
        os::Close(stdin_w_);
        stdin_w_ = os::no_handle;
    }
}

void ChildProcess::CloseStdout()
{
    stdout_closing_.store(true);
    if (out_reader_.joinable())
        out_reader_.join();
    if (stdout_r_ != os::no_handle) {  // the drain had already ended at the pipe's end
        os::Close(stdout_r_);
        stdout_r_ = os::no_handle;
    }
}

std::string ChildProcess::Stdout()
{
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

std::string ChildProcess::Stderr()
{
    std::lock_guard<std::mutex> lock(mu_);
    return err_;
}

std::size_t ChildProcess::StdoutSize()
{
    std::lock_guard<std::mutex> lock(mu_);
    return out_.size();
}

bool ChildProcess::WaitForStdout(std::size_t n, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mu_);
    return grew_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return out_.size() >= n; });
}

std::size_t ChildProcess::StdoutWhileOffered(std::size_t offered)
{
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t most = 0;
    for (const auto& seen : out_seen_) {
        if (seen.first <= offered && seen.second > most)
            most = seen.second;
    }
    return most;
}

int ChildProcess::Wait(int timeout_ms)
{
    if (process_ == nullptr)
        return -1;
    if (exit_code_ == -1)
        exit_code_ = os::WaitExit(process_, timeout_ms);
    if (exit_code_ != -1) {
        // The child is gone; what it wrote is in the pipes until the drains reach the end.
        if (out_reader_.joinable())
            out_reader_.join();
        if (err_reader_.joinable())
            err_reader_.join();
    }
    return exit_code_;
}

void ChildProcess::Kill()
{
    if (process_ != nullptr)
        os::Kill(process_);
}

RunResult RunTool(const std::string& program, const std::vector<std::string>& args,
              const std::string& input, int timeout_ms)
{
    RunResult r;
    ChildProcess child;
    if (!child.Start(program, args))
        return r;
    child.FeedStdin(input);
    r.exit_code = child.Wait(timeout_ms);
    if (r.exit_code == -1)
        child.Kill();
    child.Wait(5000);
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
}

}  // namespace test_support
