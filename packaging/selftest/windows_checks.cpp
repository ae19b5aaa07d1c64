// The checks only Windows can answer (windows_checks.h); the order of their steps and their
// arithmetic are in windows_plan.h.
#include "windows_checks.h"

#include "release_checks.h"
#include "windows_plan.h"

#include <windows.h>
// needs the declarations of windows.h
#include <lm.h>
#include <sddl.h>

#include <algorithm>

namespace selftest {
namespace {

constexpr DWORD send_wait = 10000;
constexpr DWORD record_wait = 120000;
constexpr unsigned long server_not_started = 2114;  // NERR_ServerNotStarted

// Under wine, one line that says what was not run and why; true on Windows.
bool OnWindows(const std::wstring& what, const wchar_t* why)
{
    if (!RunsUnderWine())
        return true;
    Print(L"not run under wine: " + what + L" (" + why + L")");
    return false;
}

// A network error (2100 and up) in the words of netmsg.dll, any other in the system's.
std::wstring NetMessage(unsigned long status)
{
    HMODULE texts = status >= 2100 && status < 3000
                        ? LoadLibraryExW(L"netmsg.dll", nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_SEARCH_SYSTEM32)
                        : nullptr;
    wchar_t* text = nullptr;
    DWORD n = texts == nullptr ? 0
                               : FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                                    FORMAT_MESSAGE_FROM_HMODULE |
                                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                                texts, status, 0,
                                                reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n != 0 ? std::wstring(text, n) : SystemMessage(status);
    LocalFree(text);
    if (texts != nullptr)
        FreeLibrary(texts);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return n != 0 ? message + L" (" + Number(status) + L")" : message;
}

// The proxy's answer to one request by proxy_send; cause says what came.
std::wstring Send(const std::wstring& sender, const std::vector<std::wstring>& request,
                  HANDLE token, std::wstring* cause)
{
    return Answer(RunCaptured(sender, request, send_wait, token), cause);
}

bool SameBytes(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
               std::size_t from)
{
    return b.size() + from == a.size() && std::equal(b.begin(), b.end(), a.begin() + from);
}

void LongPaths(Report& report, const WindowsCheckFiles& files)
{
    if (!OnWindows(L"a recording to a path of 511 characters",
                   L"wine does not keep to the 260-character limit"))
        return;
    DWORD enabled = 0, size = sizeof enabled;
    LONG status = RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                               L"LongPathsEnabled", RRF_RT_REG_DWORD, nullptr, &enabled, &size);
    if (status != ERROR_SUCCESS || enabled != 1) {
        Print(L"not checked: paths past 260 characters, since long paths are not enabled here "
              L"(LongPathsEnabled is " +
              (status == ERROR_SUCCESS ? Number(enabled) : std::wstring(L"not set")) +
              L" under HKLM\\SYSTEM\\CurrentControlSet\\Control\\FileSystem)");
        return;
    }
    const std::wstring what = L"with long paths enabled, a recording to a path of 511 characters";
    if (!files.blocked.empty()) {
        report.NotRun(what, files.blocked);
        return;
    }
    LongPath rec = PlanLongPath(Join(files.work, L"long"), 511, L"rec.ts");
    std::wstring dup = rec.file.empty() ? rec.file : Join(Parent(rec.file), L"dup.ts");
    bool made = !rec.file.empty() && CreateDirectoryW(Join(files.work, L"long").c_str(), nullptr);
    for (const std::wstring& folder : rec.folders)
        made = made && CreateDirectoryW(folder.c_str(), nullptr);
    if (!made) {
        report.Fail(what, rec.file.empty() ? L"the work folder " + files.work + L" is too long"
                                           : L"its folders: " + SystemMessage(GetLastError()));
        return;
    }
    // The duplicate joins 100 bytes in, so it begins at the next packet, byte 188.
    Ran ran = RunCaptured(files.host,
                          {files.plugin, rec.file, L"--input", Join(files.work, L"stream.ts"),
                           L"--buffer", L"10000", L"--dup", L"100:" + dup},
                          record_wait);
    std::vector<unsigned char> stream, got;
    std::wstring cause;
    bool read = ReadWholeFile(Join(files.work, L"stream.ts"), &stream, &cause) &&
                ReadWholeFile(rec.file, &got, &cause);
    std::wstring printed = ran.started ? L"quill_record_host.exe ended with exit code " +
                                             Number(ran.code) + L" and printed:\n  " +
                                             Wide(ran.output)
                                       : ran.cause;
    bool recorded = ran.started && ran.code == 0;
    if (!recorded) {
        // The Windows error for the file, as this program gets it.
        HANDLE h = CreateFileW(rec.file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        printed += L"\nCreating rec.ts here: " +
                   (h == INVALID_HANDLE_VALUE ? SystemMessage(GetLastError()) : L"it can be made");
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    if (!report.Check(recorded && read && SameBytes(stream, got, 0), what + L" equals the stream",
                      !recorded ? printed : read ? L"rec.ts differs from stream.ts" : cause)) {
        report.NotRun(L"a duplicate to a path of 511 characters", L"the recording failed");
        return;
    }
    read = ReadWholeFile(dup, &got, &cause);
    report.Check(read && SameBytes(stream, got, 188),
                 L"a duplicate to a path of 511 characters joined at the next packet, byte 188",
                 read ? L"dup.ts is not the stream from byte 188 on: " + printed : cause);
}

void Ntfs(Report& report, const std::wstring& work)
{
    if (!OnWindows(L"share modes on NTFS", L"its files are on the Linux file system"))
        return;
    if (work.empty()) {
        report.NotRun(L"the file system of the share-mode check", L"there is no work folder");
        return;
    }
    wchar_t volume[MAX_PATH + 1], system[MAX_PATH + 1];
    if (!GetVolumePathNameW(work.c_str(), volume, MAX_PATH + 1) ||
        !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, system,
                               MAX_PATH + 1)) {
        report.Fail(L"the file system of the work folder is known", SystemMessage(GetLastError()));
        return;
    }
    std::wstring where = std::wstring(system) + L" (" + volume + L")";
    if (std::wstring(system) == L"NTFS")
        report.Ok(L"the share modes above were checked on NTFS, " + std::wstring(volume));
    else
        Print(L"not on NTFS: the share modes above were checked on " + where +
              L", where the work folder is");
}

// The text of this process's user SID, for the share's permissions.
std::wstring UserSid(std::wstring* cause)
{
    HANDLE token = nullptr;
    union {
        TOKEN_USER user;
        unsigned char bytes[256];
    } info;
    DWORD size = 0;
    wchar_t* text = nullptr;
    bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
              GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
              ConvertSidToStringSidW(info.user.User.Sid, &text);
    *cause = ok ? L"" : L"this process's user: " + SystemMessage(GetLastError());
    std::wstring sid = ok ? text : L"";
    LocalFree(text);
    if (token != nullptr)
        CloseHandle(token);
    return sid;
}

using ShareAdd = NET_API_STATUS(WINAPI*)(LMSTR, DWORD, LPBYTE, LPDWORD);
using ShareDel = NET_API_STATUS(WINAPI*)(LMSTR, LMSTR, DWORD);

// Shares a folder of the work folder for this user, opens a .txt file in it through
// \\localhost, and asks the proxy about txt and about an extension no file has.
void FileServer(Report& report, const WindowsCheckFiles& files)
{
    if (!OnWindows(L"the open-file query against this computer's file server",
                   L"wine's file server lists no open files"))
        return;
    const std::wstring what = L"a folder of the work folder was shared on this computer";
    if (!files.blocked.empty() || files.work.empty()) {
        report.NotRun(L"the open-file query for a file opened through a share",
                      files.work.empty() ? L"there is no work folder to share" : files.blocked);
        return;
    }
    std::wstring folder = Join(files.work, L"shared"), cause;
    // From the system folder only, as the proxy does: this program runs elevated.
    HMODULE netapi = LoadLibraryExW(L"netapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto add = reinterpret_cast<ShareAdd>(
        reinterpret_cast<void*>(GetProcAddress(netapi, "NetShareAdd")));
    auto del = reinterpret_cast<ShareDel>(
        reinterpret_cast<void*>(GetProcAddress(netapi, "NetShareDel")));
    PSECURITY_DESCRIPTOR security = nullptr;
    std::wstring sid = UserSid(&cause);
    if (add == nullptr || del == nullptr) {
        cause = L"netapi32.dll: " + SystemMessage(GetLastError());
    } else if (!sid.empty() && (!CreateDirectoryW(folder.c_str(), nullptr) ||
                                !CopyFileW(Join(files.work, L"probe.txt").c_str(),
                                           Join(folder, L"open.txt").c_str(), FALSE) ||
                                !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                    ShareSecurity(sid).c_str(), SDDL_REVISION_1, &security,
                                    nullptr))) {
        cause = folder + L": " + SystemMessage(GetLastError());
    }
    if (security == nullptr) {
        report.Fail(what, cause);
        if (netapi != nullptr)
            FreeLibrary(netapi);
        return;
    }
    ShareOutcome shared = WithShare(
        GetCurrentProcessId(),
        [&](std::wstring name) -> unsigned long {
            SHARE_INFO_502 info = {};
            info.shi502_netname = &name[0];
            info.shi502_type = STYPE_DISKTREE;
            info.shi502_remark = const_cast<wchar_t*>(L"self-test of the release, removed again");
            info.shi502_max_uses = static_cast<DWORD>(-1);
            info.shi502_path = &folder[0];
            info.shi502_security_descriptor = security;
            DWORD wrong = 0;
            return add(nullptr, 502, reinterpret_cast<LPBYTE>(&info), &wrong);
        },
        [&](const std::wstring& name) {
            report.Ok(what + L" as " + name);
            std::wstring path = ThroughShare(name, L"open.txt"), answer;
            HANDLE open = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD error = GetLastError();
            if (!report.Check(open != INVALID_HANDLE_VALUE, L"opened " + path,
                              SystemMessage(error))) {
                report.NotRun(L"the open-file queries with it open", L"it could not be opened");
                return;
            }
            answer = Send(files.sender, {L"query", L"txt"}, nullptr, &cause);
            report.Check(answer == L"1",
                         L"with it open, the open-file query for txt: found (1)", cause);
            std::wstring absent = AbsentExtension(GetCurrentProcessId());
            answer = Send(files.sender, {L"query", absent}, nullptr, &cause);
            report.Check(answer == L"-1",
                         L"the open-file query for " + absent + L", which no open file has: "
                                                                L"not found (-1)",
                         cause);
            CloseHandle(open);
        },
        [&](std::wstring name) -> unsigned long { return del(nullptr, &name[0], 0); });
    LocalFree(security);
    FreeLibrary(netapi);
    if (shared.added == server_not_started)
        report.NotRun(L"the open-file query for a file opened through a share",
                      L"the Server service (LanmanServer) is not running, so nothing can be "
                      L"shared. Start it (services.msc, or \"sc start LanmanServer\" from an "
                      L"elevated prompt) and run the self-test again");
    else if (shared.added != 0)
        report.Fail(what + L" (NetShareAdd as " + shared.name + L")", NetMessage(shared.added));
    else
        report.Check(shared.removed == 0, L"the share " + shared.name + L" was removed again",
                     L"NetShareDel: " + NetMessage(shared.removed) +
                         L". Remove it with \"net share " + shared.name + L" /delete\"");
}

// This process's token at low integrity, for a child started with it.
HANDLE LowIntegrityToken(std::wstring* cause)
{
    HANDLE own = nullptr, token = nullptr;
    PSID low = nullptr;
    bool ok = OpenProcessToken(GetCurrentProcess(),
                               TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT |
                                   TOKEN_ASSIGN_PRIMARY,
                               &own) &&
              DuplicateTokenEx(own, 0, nullptr, SecurityImpersonation, TokenPrimary, &token) &&
              ConvertStringSidToSidW(L"S-1-16-4096", &low);
    if (ok) {
        TOKEN_MANDATORY_LABEL label = {};
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        label.Label.Sid = low;
        ok = SetTokenInformation(token, TokenIntegrityLevel, &label,
                                 sizeof label + GetLengthSid(low));
    }
    if (!ok)
        *cause = L"a token at low integrity: " + SystemMessage(GetLastError());
    LocalFree(low);
    if (own != nullptr)
        CloseHandle(own);
    if (!ok && token != nullptr)
        CloseHandle(token);
    return ok ? token : nullptr;
}

// Whether Windows lets a low-integrity sender through the proxy's message filter is what this
// finds out: either answer passes, and the line says which came.
void LowIntegrity(Report& report, const WindowsCheckFiles& files)
{
    if (!OnWindows(L"a request from a process at low integrity", L"wine has no integrity levels"))
        return;
    const std::wstring what = L"from a process at low integrity, the open-file query for t.t ";
    if (!files.blocked.empty()) {
        report.NotRun(what + L"is answered", files.blocked);
        return;
    }
    std::wstring cause;
    HANDLE token = LowIntegrityToken(&cause);
    std::wstring answer =
        token == nullptr ? L"" : Send(files.sender, {L"query", L"t.t"}, token, &cause);
    if (token != nullptr)
        CloseHandle(token);
    if (answer == L"0")
        report.Ok(what + L"answered 0: Windows kept it from the proxy, whose message filter "
                         L"admits lower integrity levels but not low");
    else
        report.Check(answer == L"-1",
                     what + L"answered -1: it got through the message filter and was refused "
                            L"for its invalid extension",
                     cause);
}

}  // namespace

void CheckFilesOnWindows(Report& report, const WindowsCheckFiles& files)
{
    LongPaths(report, files);
    Ntfs(report, files.work);
}

void CheckProxyOnWindows(Report& report, const WindowsCheckFiles& files)
{
    FileServer(report, files);
    LowIntegrity(report, files);
}

ClockWatch::ClockWatch()
{
    FILETIME now;
    LARGE_INTEGER counter;
    GetSystemTimeAsFileTime(&now);
    QueryPerformanceCounter(&counter);
    system_ = static_cast<long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    counter_ = counter.QuadPart;
}

void ClockWatch::Check(Report& report, bool set) const
{
    if (!OnWindows(L"whether setting the clock moved it", L"wine never moves the clock") || !set)
        return;
    ClockWatch now;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    long long moved = ClockMoved(now.system_ - system_, now.counter_ - counter_,
                                 frequency.QuadPart);
    long long ms = (moved < 0 ? -moved : moved) / 10000;
    report.Check(ms < 1000,
                 L"setting the clock to the present moved it by " + Number(ms) +
                     L" ms, less than a second",
                 L"the proxy set it to a time a second or more away from the present");
}

}  // namespace selftest
