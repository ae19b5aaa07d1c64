// The self-test's lines; see report.h.
#include "report.h"

#include "win_process.h"

#include <cstdio>

namespace selftest {

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

std::wstring Number(unsigned long long value)
{
    return std::to_wstring(value);
}

bool Report::Check(bool ok, const std::wstring& what, const std::wstring& cause)
{
    Print((ok ? std::wstring(L"ok   ") : std::wstring(failWord_) + L" ") + what);
    (ok ? passed_ : failed_) += 1;
    if (!ok)
        Explain(cause);
    return ok;
}

void Report::NotRun(const std::wstring& what, const std::wstring& why)
{
    Print(L"NOT RUN " + what);
    notRun_ += 1;
    Explain(why);
}

void Report::Explain(const std::wstring& cause)
{
    std::size_t begin = 0;
    while (begin < cause.size()) {
        std::size_t end = cause.find(L'\n', begin);
        if (end == std::wstring::npos)
            end = cause.size();
        Note(cause.substr(begin, end - begin));
        begin = end + 1;
    }
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

}  // namespace selftest
