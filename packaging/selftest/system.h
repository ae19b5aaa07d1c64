// The Windows side of the self-test: printing, paths and files, child processes with their
// pipes, and the report that counts the checks. No path given here ever passes through cmd:
// programs are started with CreateProcessW and command lines quoted by the rules every C
// runtime uses to split them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace selftest {

// Lines go to the console as UTF-16, so that any folder name shows as it is; redirected, as
// UTF-8.
void Print(const std::wstring& line);
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
std::wstring Number(unsigned long long value);
// The system's text for an error code, on one line.
std::wstring SystemMessage(DWORD error);

// Counts the checks and prints one line each: "ok   WHAT", or "FAIL WHAT" (in the installation
// check "PROBLEM WHAT") followed by the cause, each line of it indented.
class Report {
public:
    explicit Report(const wchar_t* failWord) : failWord_(failWord) {}
    bool Check(bool ok, const std::wstring& what, const std::wstring& cause);
    void Ok(const std::wstring& what) { Check(true, what, L""); }
    void Fail(const std::wstring& what, const std::wstring& cause) { Check(false, what, cause); }
    // One line for checks that could not run, with the reason; they count as not passed.
    void NotRun(int count, const std::wstring& why);
    static void Note(const std::wstring& text);
    int Failed() const { return failed_; }
    // "N passed, N failed" (and ", N not run"); the exit code: failed and not-run checks.
    int Summary() const;

private:
    const wchar_t* failWord_;
    int passed_ = 0, failed_ = 0, notRun_ = 0;
};

std::wstring Join(const std::wstring& folder, const std::wstring& name);
std::wstring Parent(const std::wstring& path);
std::wstring BaseName(const std::wstring& path);
std::wstring FullPath(const std::wstring& path);
std::wstring OwnFolder();
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);
bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* bytes,
                   std::wstring* cause);
bool WriteWholeFile(const std::wstring& path, const std::string& text, std::wstring* cause);
// A file of a child's output, read as text; empty when it cannot be read.
std::string ReadText(const std::wstring& path);

// The argument as CommandLineToArgvW and the C runtimes give it back.
std::wstring QuoteArgument(const std::wstring& argument);

// A started program. The handles given as its standard streams are inherited by it alone.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
    // in, out, err: handles for its standard streams, or null for none. token: a primary
    // token to start it with (CreateProcessAsUserW), or null for this process's own.
    bool Start(const std::wstring& program, const std::vector<std::wstring>& args, HANDLE in,
               HANDLE out, HANDLE err, HANDLE token, std::wstring* cause);
    bool Running() const;
    // Waits up to milliseconds for its end; on a time-out it is ended, and the result is false.
    bool Finish(DWORD milliseconds);
    DWORD ExitCode() const;
    HANDLE Handle() const { return process_; }

private:
    HANDLE process_ = nullptr;
};

// A handle a child may get as a standard stream: a file opened for reading, or created for
// writing; "NUL" for nothing. Closed by the owner; INVALID_HANDLE_VALUE on failure.
HANDLE OpenForChild(const std::wstring& path, bool write);

struct Ran {
    bool started = false;
    bool finished = false;       // false: it ran past its time and was ended
    DWORD code = 0;
    std::string output;          // its standard output
    std::wstring cause;          // why it did not start
};
// Runs a program with standard output captured and waits for its end (at most milliseconds).
Ran RunCaptured(const std::wstring& program, const std::vector<std::wstring>& args,
                DWORD milliseconds, HANDLE token = nullptr);

bool RunsElevated();
bool RunsUnderWine();

}  // namespace selftest
