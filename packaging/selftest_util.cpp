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
#include "selftest/checks.h"
#include "selftest/system.h"

#include <conio.h>
#include <windows.h>

#include <cwchar>

namespace {

int Usage()
{
    selftest::Print(L"usage: selftest.cmd [RELEASE_FOLDER]\n"
                    L"       selftest.cmd /check FOLDER [/host HOST.exe]");
    return 2;
}

// Started by a double-click, this program and the cmd that runs the script are alone on a
// console that closes with them: the lines would vanish before anyone read them. Started from
// a prompt, a script or with redirected input, others share the console, or there is none.
bool OwnConsoleWindow()
{
    DWORD processes[3];
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           GetConsoleProcessList(processes, 3) <= 2;
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
