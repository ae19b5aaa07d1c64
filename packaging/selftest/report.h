// The self-test's lines: printing, and the report that counts the checks.
#pragma once

#include <string>

namespace selftest {

// Lines go to the console as UTF-16, so that any folder name shows as it is; redirected, as
// UTF-8.
void Print(const std::wstring& line);
std::wstring Number(unsigned long long value);

// Counts the checks and prints one line each: "ok   WHAT", or "FAIL WHAT" (in the installation
// check "PROBLEM WHAT") followed by the cause, or "NOT RUN WHAT" followed by the reason: what
// it needs is missing, which an earlier line has said. Each line of a cause or reason is
// indented under its check.
class Report {
public:
    explicit Report(const wchar_t* failWord) : failWord_(failWord) {}
    bool Check(bool ok, const std::wstring& what, const std::wstring& cause);
    void Ok(const std::wstring& what) { Check(true, what, L""); }
    void Fail(const std::wstring& what, const std::wstring& cause) { Check(false, what, cause); }
    void NotRun(const std::wstring& what, const std::wstring& why);
    static void Note(const std::wstring& text);
    // "N passed, N failed" (and ", N not run"); the exit code: failed and not-run checks.
    int Summary() const;

private:
    static void Explain(const std::wstring& cause);

    const wchar_t* failWord_;
    int passed_ = 0, failed_ = 0, notRun_ = 0;
};

}  // namespace selftest
