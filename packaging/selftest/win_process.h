// Programs started on Windows, and text between UTF-8 and UTF-16: the self-test's, and the
// tests' (which link this library too). No path given here ever passes through cmd: programs
// are started with CreateProcessW and command lines quoted by the rules every C runtime uses to
// split them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace selftest {

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// The system's text for an error code, on one line, with the code.
std::wstring SystemMessage(DWORD error);

// The argument as CommandLineToArgvW and the C runtimes give it back.
std::wstring QuoteArgument(const std::wstring& argument);
// The program and its arguments, each quoted.
std::wstring CommandLine(const std::wstring& program, const std::vector<std::wstring>& args);

// How a child starts. in, out, err: handles for its standard streams, inherited by it alone;
// all null: it gets this process's. token: a primary token to start it with
// (CreateProcessAsUserW), or null for this process's own. desktop and environment (a block of
// "NAME=value" strings, each ended by a zero, and a final zero): null for this process's.
struct StartOptions {
    HANDLE in = nullptr, out = nullptr, err = nullptr;
    HANDLE token = nullptr;
    const wchar_t* desktop = nullptr;
    const std::wstring* environment = nullptr;
};

// A started program; one that still runs when this is destroyed is ended.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
    bool Start(const std::wstring& program, const std::vector<std::wstring>& args,
               const StartOptions& options, std::wstring* cause)
    {
        return StartLine(program, CommandLine(program, args), options, cause);
    }
    // commandLine: the whole text the program gets, its own name first.
    bool StartLine(const std::wstring& program, const std::wstring& commandLine,
                   const StartOptions& options, std::wstring* cause);
    bool Running() const;
    // Whether it ended within milliseconds.
    bool Wait(DWORD milliseconds) const;
    // Waits up to milliseconds for its end; on a time-out it is ended, and the result is false.
    bool Finish(DWORD milliseconds);
    // Ends it with exit_code_ended, without waiting.
    void End() const;
    DWORD ExitCode() const;
    HANDLE Handle() const { return process_; }
    DWORD Id() const { return id_; }

    static constexpr UINT exit_code_ended = 137;

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// Whether this process runs under wine rather than Windows.
bool RunsUnderWine();

}  // namespace selftest
