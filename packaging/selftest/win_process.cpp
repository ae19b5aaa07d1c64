// Child processes and UTF-8/UTF-16 text on Windows; see win_process.h.
#include "win_process.h"

namespace selftest {

std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                        nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                                0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::wstring SystemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n != 0 ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    return (message.empty() ? L"error" : message) + L" (" + std::to_wstring(error) + L")";
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which itself gets one more.
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    // ... and before the closing quote.
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

std::wstring CommandLine(const std::wstring& program, const std::vector<std::wstring>& args)
{
    std::wstring line = QuoteArgument(program);
    for (const std::wstring& arg : args)
        line += L" " + QuoteArgument(arg);
    return line;
}

Child::~Child()
{
    if (process_ != nullptr) {
        Finish(0);
        CloseHandle(process_);
    }
}

bool Child::StartLine(const std::wstring& program, const std::wstring& commandLine,
                      const StartOptions& options, std::wstring* cause)
{
    std::wstring line = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    HANDLE streams[3] = {options.in, options.out, options.err};
    bool redirect = options.in != nullptr || options.out != nullptr || options.err != nullptr;
    if (redirect) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = options.in;
        si.hStdOutput = options.out;
        si.hStdError = options.err;
    }
    std::wstring desktop = options.desktop != nullptr ? options.desktop : L"";
    if (options.desktop != nullptr)
        si.lpDesktop = &desktop[0];
    std::wstring environment = options.environment != nullptr ? *options.environment : L"";
    void* block = options.environment != nullptr ? &environment[0] : nullptr;
    DWORD flags = options.environment != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0;
    // Only this child may inherit these handles: they are inheritable just while it starts, so
    // that no other child holds a pipe's end open. (Children are started one at a time.)
    for (HANDLE h : streams)
        if (h != nullptr)
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION pi = {};
    BOOL started =
        options.token != nullptr
            ? CreateProcessAsUserW(options.token, program.c_str(), &line[0], nullptr, nullptr,
                                   redirect, flags, block, nullptr, &si, &pi)
            : CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, redirect, flags, block,
                             nullptr, &si, &pi);
    DWORD error = GetLastError();
    for (HANDLE h : streams)
        if (h != nullptr)
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    if (!started) {
        *cause = L"cannot start " + program + L": " + SystemMessage(error);
        return false;
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    id_ = pi.dwProcessId;
    return true;
}

bool Child::Running() const
{
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool Child::Wait(DWORD milliseconds) const
{
    return WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0;
}

bool Child::Finish(DWORD milliseconds)
{
    if (Wait(milliseconds))
        return true;
    End();
    // An ended process is gone at once; the wait is only for its last handles.
    Wait(10000);
    return false;
}

void Child::End() const
{
    TerminateProcess(process_, exit_code_ended);
}

DWORD Child::ExitCode() const
{
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

bool RunsUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace selftest
