// The small jobs of selftest.cmd that batch commands do not do alike on every Windows and
// under wine (whose fc compares nothing and whose findstr ignores /x): compare two files byte
// for byte, look for a line in a report (one that another process may still be writing),
// pause, and tell whether this process runs elevated.
//
//   selftest_util same FILE1 FILE2              0 identical, 1 different (says where), 2 unreadable
//   selftest_util line FILE TEXT [SECONDS [PROGRAM]]
//                                               0 once a line of FILE begins with TEXT, else 1
//                                               after SECONDS (default 0: look once), or as
//                                               soon as no process of PROGRAM (its file name)
//                                               runs any more
//   selftest_util sleep MILLISECONDS            0
//   selftest_util elevated                      0 elevated, 1 not
// A wrong command line ends with 2 and the usage text.
#include <share.h>
#include <windows.h>
// needs the declarations of windows.h
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

int Usage()
{
    std::fputs("usage: selftest_util same FILE1 FILE2 | line FILE TEXT [SECONDS [PROGRAM]] | "
               "sleep MILLISECONDS | elevated\n",
               stderr);
    return 2;
}

int Same(const wchar_t* a, const wchar_t* b)
{
    std::FILE* fa = _wfopen(a, L"rb");
    std::FILE* fb = _wfopen(b, L"rb");
    int result = 2;
    if (fa == nullptr || fb == nullptr) {
        std::fprintf(stderr, "cannot read %ls\n", fa == nullptr ? a : b);
    } else {
        static char ba[65536], bb[65536];
        unsigned long long at = 0;
        result = -1;
        while (result < 0) {
            std::size_t na = std::fread(ba, 1, sizeof ba, fa);
            std::size_t nb = std::fread(bb, 1, sizeof bb, fb);
            std::size_t n = na < nb ? na : nb;
            std::size_t i = 0;
            while (i < n && ba[i] == bb[i])
                ++i;
            if (i < n || na != nb) {
                std::printf("%ls and %ls differ at byte %llu\n", a, b, at + i);
                result = 1;
            } else if (na == 0) {
                result = 0;
            }
            at += n;
        }
    }
    if (fa != nullptr)
        std::fclose(fa);
    if (fb != nullptr)
        std::fclose(fb);
    return result;
}

// Whether a line of the file begins with the text. The file may still be written by another
// process, so it is opened anew each time and shared for writing.
bool HasLine(const wchar_t* path, const char* text)
{
    std::FILE* f = _wfsopen(path, L"rb", _SH_DENYNO);
    if (f == nullptr)
        return false;
    bool found = false;
    bool at_line_start = true;  // a line longer than the buffer comes in pieces
    char piece[1024];
    while (!found && std::fgets(piece, sizeof piece, f) != nullptr) {
        found = at_line_start && std::strncmp(piece, text, std::strlen(text)) == 0;
        at_line_start = std::strchr(piece, '\n') != nullptr;
    }
    std::fclose(f);
    return found;
}

// Whether a process runs whose program file has this name.
bool Running(const wchar_t* program)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return true;  // cannot tell: wait the whole time
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = _wcsicmp(entry.szExeFile, program) == 0;
    CloseHandle(snapshot);
    return found;
}

// program may be null: then only the time limit ends the wait.
int Line(const wchar_t* path, const wchar_t* text, const wchar_t* seconds, const wchar_t* program)
{
    // The reports of the trial host are UTF-8.
    char narrow[1024];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) == 0)
        return 2;
    DWORD limit = static_cast<DWORD>(std::wcstoul(seconds, nullptr, 10)) * 1000;
    // GetTickCount wraps after 49 days; the unsigned difference does not mind.
    DWORD start = GetTickCount();
    for (;;) {
        // Whether the program still runs is asked first: a line it wrote just before it
        // ended is then still found.
        bool gone = program != nullptr && !Running(program);
        if (HasLine(path, narrow))
            return 0;
        if (gone || GetTickCount() - start >= limit)
            return 1;
        Sleep(100);
    }
}

int Elevated()
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
    return elevated ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"same") == 0)
        return Same(argv[2], argv[3]);
    if (argc >= 4 && argc <= 6 && std::wcscmp(argv[1], L"line") == 0)
        return Line(argv[2], argv[3], argc >= 5 ? argv[4] : L"0", argc == 6 ? argv[5] : nullptr);
    if (argc == 3 && std::wcscmp(argv[1], L"sleep") == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    if (argc == 2 && std::wcscmp(argv[1], L"elevated") == 0)
        return Elevated();
    return Usage();
}
