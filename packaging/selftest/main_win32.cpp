// The self-test of a release, and the installation check; selftest.cmd only starts it, so that
// no path passes through cmd's parser.
//
//   selftest_util [RELEASE_FOLDER]             checks the unpacked release (found beside the
//                                              self-test when not named) by running its programs
//   selftest_util /check FOLDER [/host HOST]   examines Quill_Spread.dll installed in FOLDER
//
// One line per check ("ok ...", or "FAIL ..." / "PROBLEM ..." followed by the cause or what to
// do), then "N passed, N failed". The exit code is 0 when everything passed, else the number of
// checks that did not pass; 2 also for a wrong command line, with the usage text.
#include "checks.h"
#include "report.h"

#include <conio.h>
#include <windows.h>
// needs the declarations of windows.h
#include <tlhelp32.h>
#include <winternl.h>

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

int Usage()
{
    selftest::Print(L"usage: selftest.cmd [RELEASE_FOLDER]\n"
                    L"       selftest.cmd /check FOLDER [/host HOST.exe]");
    return 2;
}

// The command line of the process that started this one, or empty when it cannot be read.
std::wstring ParentCommandLine()
{
    DWORD own = GetCurrentProcessId(), parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == own)
            parent = entry.th32ParentProcessID;
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
    // ProcessCommandLineInformation (60): a UNICODE_STRING followed by its text; Windows 8.1
    // and later.
    using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
    static ULONG_PTR buffer[4096];
    ULONG size = 0;
    std::wstring line;
    if (query != nullptr && process != nullptr &&
        query(process, 60, buffer, sizeof buffer, &size) >= 0) {
        auto text = reinterpret_cast<const UNICODE_STRING*>(buffer);
        line.assign(text->Buffer, text->Length / sizeof(wchar_t));
    }
    if (process != nullptr)
        CloseHandle(process);
    return line;
}

// Started by a double-click, this program and the cmd that runs the script ("cmd /c ...") are
// alone on a console that closes with them: the lines would vanish before anyone read them.
// Started from a prompt (whose cmd has no /c) or a script, or with redirected input, it is not.
bool OwnConsoleWindow()
{
    DWORD processes[3];
    DWORD mode;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) ||
        GetConsoleProcessList(processes, 3) > 2)
        return false;
    std::wstring parent = ParentCommandLine();
    for (wchar_t& c : parent)
        c = static_cast<wchar_t>(towlower(c));
    return parent.empty() || parent.find(L" /c ") != std::wstring::npos;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int code;
    if (argc >= 2 && _wcsicmp(argv[1], L"/check") == 0) {
        if (argc == 3)
            code = selftest::RunInstallCheck(argv[2], L"");
        else if (argc == 5 && _wcsicmp(argv[3], L"/host") == 0)
            code = selftest::RunInstallCheck(argv[2], argv[4]);
        else
            code = Usage();
    } else if (argc <= 2 && (argc == 1 || argv[1][0] != L'/')) {
        code = selftest::RunReleaseChecks(argc == 2 ? argv[1] : L"");
    } else {
        code = Usage();
    }
    if (OwnConsoleWindow()) {
        selftest::Print(L"Press a key to close this window.");
        _getwch();
    }
    return code;
}
