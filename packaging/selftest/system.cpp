// Printing, paths, files and child processes of the self-test on Windows.
#include "system.h"

#include <cstdio>

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

std::wstring Number(unsigned long long value)
{
    return std::to_wstring(value);
}

void Print(const std::wstring& line)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode, written;
    std::wstring text = line + L"\r\n";
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        std::string bytes = Utf8(text);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    }
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
    return (message.empty() ? L"error" : message) + L" (" + Number(error) + L")";
}

bool Report::Check(bool ok, const std::wstring& what, const std::wstring& cause)
{
    Print((ok ? std::wstring(L"ok   ") : std::wstring(failWord_) + L" ") + what);
    (ok ? passed_ : failed_) += 1;
    if (!ok) {
        // Each line of the cause on a line of its own, under the check it explains.
        std::size_t begin = 0;
        while (begin < cause.size()) {
            std::size_t end = cause.find(L'\n', begin);
            if (end == std::wstring::npos)
                end = cause.size();
            Note(cause.substr(begin, end - begin));
            begin = end + 1;
        }
    }
    return ok;
}

void Report::NotRun(int count, const std::wstring& why)
{
    notRun_ += count;
    Print(L"NOT RUN " + Number(static_cast<unsigned>(count)) + L" checks " + why);
}

void Report::Note(const std::wstring& text)
{
    Print(L"     " + text);
}

int Report::Summary() const
{
    std::wstring line = Number(static_cast<unsigned>(passed_)) + L" passed, " +
                        Number(static_cast<unsigned>(failed_)) + L" failed";
    if (notRun_ > 0)
        line += L", " + Number(static_cast<unsigned>(notRun_)) + L" not run";
    Print(line);
    return failed_ + notRun_;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/')
        return folder + name;
    return folder + L"\\" + name;
}

std::wstring Parent(const std::wstring& path)
{
    std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos)
        return std::wstring();
    // A drive's root keeps its backslash.
    return cut == 2 && path[1] == L':' ? path.substr(0, 3) : path.substr(0, cut);
}

std::wstring BaseName(const std::wstring& path)
{
    std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t buffer[32768];
    DWORD n = GetFullPathNameW(path.c_str(), 32768, buffer, nullptr);
    std::wstring full = n > 0 && n < 32768 ? std::wstring(buffer, n) : path;
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    return full;
}

std::wstring OwnFolder()
{
    wchar_t buffer[32768];
    DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    return Parent(std::wstring(buffer, n < 32768 ? n : 0));
}

bool IsFile(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolder(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* bytes,
                   std::wstring* cause)
{
    // Shared for writing and deleting: a child may still hold it.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *cause = L"cannot open " + path + L": " + SystemMessage(GetLastError());
        return false;
    }
    bytes->clear();
    unsigned char piece[65536];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(h, piece, sizeof piece, &got, nullptr) != 0) && got > 0)
        bytes->insert(bytes->end(), piece, piece + got);
    if (!ok)
        *cause = L"cannot read " + path + L": " + SystemMessage(GetLastError());
    CloseHandle(h);
    return ok;
}

bool WriteWholeFile(const std::wstring& path, const std::string& text, std::wstring* cause)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = h != INVALID_HANDLE_VALUE &&
              WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    if (!ok)
        *cause = L"cannot write " + path + L": " + SystemMessage(GetLastError());
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

std::string ReadText(const std::wstring& path)
{
    std::vector<unsigned char> bytes;
    std::wstring ignored;
    ReadWholeFile(path, &bytes, &ignored);
    return std::string(bytes.begin(), bytes.end());
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

Child::~Child()
{
    if (process_ != nullptr) {
        Finish(0);
        CloseHandle(process_);
    }
}

bool Child::Start(const std::wstring& program, const std::vector<std::wstring>& args, HANDLE in,
                  HANDLE out, HANDLE err, HANDLE token, std::wstring* cause)
{
    std::wstring line = QuoteArgument(program);
    for (const std::wstring& arg : args)
        line += L" " + QuoteArgument(arg);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    HANDLE streams[3] = {in, out, err};
    bool redirect = in != nullptr || out != nullptr || err != nullptr;
    if (redirect) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = out;
        si.hStdError = err;
    }
    // Only this child may inherit these handles: they are inheritable just while it starts (the
    // self-test starts one child at a time), so that no other child holds a pipe's end open.
    for (HANDLE h : streams)
        if (h != nullptr)
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION pi = {};
    BOOL started =
        token != nullptr
            ? CreateProcessAsUserW(token, program.c_str(), &line[0], nullptr, nullptr, redirect,
                                   0, nullptr, nullptr, &si, &pi)
            : CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, redirect, 0, nullptr,
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
    return true;
}

bool Child::Running() const
{
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool Child::Finish(DWORD milliseconds)
{
    if (WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0)
        return true;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, INFINITE);
    return false;
}

DWORD Child::ExitCode() const
{
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

HANDLE OpenForChild(const std::wstring& path, bool write)
{
    return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

Ran RunCaptured(const std::wstring& program, const std::vector<std::wstring>& args,
                DWORD milliseconds, HANDLE token)
{
    Ran ran;
    HANDLE read = nullptr, write = nullptr;
    HANDLE none = OpenForChild(L"NUL", false);
    if (!CreatePipe(&read, &write, nullptr, 0)) {
        ran.cause = L"cannot make a pipe: " + SystemMessage(GetLastError());
    } else {
        Child child;
        ran.started = child.Start(program, args, none, write, none, token, &ran.cause);
        CloseHandle(write);
        if (ran.started) {
            // The output is a few lines, well within the pipe's buffer: wait first, then read.
            ran.finished = child.Finish(milliseconds);
            ran.code = child.ExitCode();
            char piece[4096];
            DWORD got;
            while (ReadFile(read, piece, sizeof piece, &got, nullptr) && got > 0)
                ran.output.append(piece, got);
        }
        CloseHandle(read);
    }
    CloseHandle(none);
    return ran;
}

bool RunsElevated()
{
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation,
                                        &size) &&
                    elevation.TokenIsElevated != 0;
    if (token != nullptr)
        CloseHandle(token);
    return elevated;
}

bool RunsUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace selftest
