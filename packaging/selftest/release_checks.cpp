// The self-test of an unpacked release: finds the release folder, then drives its programs
// with the trial programs of the self-test, on copies in a work folder of its own under the
// temporary folder. Nothing in the release folder is changed.
#include "checks.h"
#include "pe_image.h"
#include "system.h"
#include "windows_checks.h"

#include <winsafer.h>

#include <cwchar>

namespace selftest {
namespace {

const wchar_t* const release_files[] = {L"Quill_Spread.dll", L"VelmoraAdminProxy.exe",
                                        L"brimtank.exe",     L"tailgrip.exe",
                                        L"hopover.exe",      L"README.txt"};
const wchar_t* const trial_files[] = {L"quill_record_host.exe", L"TestNested.dll",
                                      L"quill_ts_generate.exe", L"quill_share_probe.exe",
                                      L"proxy_send.exe"};
const wchar_t* const tools[] = {L"brimtank", L"tailgrip", L"hopover"};

// The checks that need the work folder, counted as not run when it cannot be made.
constexpr int work_folder_checks = 13;
// What the files of the checks take, with room to spare.
constexpr unsigned long long work_space = 64ull << 20;

// The stream in three parts, so that each can be compared on its own: the duplicate joins 100
// bytes before the end of part 1 (so it begins at the next packet, the start of part 2) and
// leaves at the end of part 2.
constexpr unsigned long long stream_bytes = 14000ull * 188;
const wchar_t* const join_at = L"751900";   // 4000 * 188 - 100
const wchar_t* const leave_at = L"1880000"; // 10000 * 188

// Waiting times that only a hang reaches.
constexpr DWORD short_wait = 10000;
constexpr DWORD long_wait = 120000;

// The folders where the release may be, seen from the self-test's own folder: the one above
// (the self-test zip unpacked into the release folder), or, after Explorer's "Extract All" put
// each zip into a folder named after it, the same top folder in the release zip's folder.
std::vector<std::wstring> ReleaseCandidates(const std::wstring& here)
{
    std::wstring top = Parent(here);
    std::vector<std::wstring> found = {top};
    std::wstring zipFolder = Parent(top);
    std::wstring name = BaseName(zipFolder);
    const std::wstring suffix = L"-selftest";
    if (name.size() > suffix.size() &&
        _wcsicmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) == 0) {
        std::wstring sibling =
            Join(Parent(zipFolder), name.substr(0, name.size() - suffix.size()));
        found.push_back(Join(sibling, BaseName(top)));
        found.push_back(sibling);
    }
    return found;
}

std::wstring FindRelease(const std::wstring& here, std::wstring* lookedIn)
{
    for (const std::wstring& candidate : ReleaseCandidates(here)) {
        if (IsFile(Join(candidate, L"Quill_Spread.dll")))
            return candidate;
        *lookedIn += L"\n  " + candidate;
    }
    return std::wstring();
}

bool HasLine(const std::string& text, const std::string& begin)
{
    for (std::size_t at = 0; at < text.size();) {
        if (text.compare(at, begin.size(), begin) == 0)
            return true;
        std::size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return false;
}

// Waits until a line of the file begins with the text, the child has ended (its last lines
// are still looked at), or the time is up.
bool WaitForLine(const std::wstring& path, const std::string& begin, const Child& child,
                 DWORD milliseconds)
{
    DWORD start = GetTickCount();
    for (;;) {
        bool ended = !child.Running();
        if (HasLine(ReadText(path), begin))
            return true;
        if (ended || GetTickCount() - start >= milliseconds)
            return false;
        WaitForSingleObject(child.Handle(), 50);
    }
}

// A program's exit code and what it means, for the cause of a failed check.
std::wstring ExitText(const std::wstring& program, DWORD code)
{
    struct Meaning {
        const wchar_t* program;
        DWORD code;
        const wchar_t* text;
    };
    static const Meaning meanings[] = {
        {L"brimtank", 0, L"its input ended and it wrote what it had, or a write failed"},
        {L"brimtank", 1, L"a stream could not be switched to binary mode, or its ring, an event "
                         L"or its writer thread could not be made"},
        {L"tailgrip", 0, L"the idle time ran out, or a write to its output failed"},
        {L"tailgrip", 1, L"its output could not be switched to binary mode, the p value is out of "
                         L"range, the file does not open, or the start position cannot be set"},
        {L"hopover", 0, L"the file was copied to its end"},
        {L"hopover", 1, L"a stream could not be switched to binary mode, a write fell short, or "
                        L"the file could not be opened or positioned"},
        {L"quill_record_host", 0, L"the save started and every buffer was taken"},
        {L"quill_record_host", 1, L"the save did not start, or a buffer was refused"},
        {L"quill_ts_generate", 0, L"the stream was written"},
    };
    std::wstring text = program + L".exe ended with exit code ";
    if (code >= 0xC0000000u) {
        wchar_t hex[16];
        std::swprintf(hex, 16, L"0x%08lX", static_cast<unsigned long>(code));
        return text + hex + L": it crashed";
    }
    text += Number(code);
    if (code == 2)
        return text + L": it took its arguments for wrong ones";
    for (const Meaning& m : meanings)
        if (program == m.program && code == m.code)
            return text + L": " + m.text;
    return text;
}

// The lines a program printed, for a cause.
std::wstring Printed(const std::string& text)
{
    std::wstring lines = Wide(text);
    while (!lines.empty() && (lines.back() == L'\n' || lines.back() == L'\r'))
        lines.pop_back();
    return lines.empty() ? L"It printed nothing." : L"It printed:\n  " + lines;
}

// Whether two files are equal; else the cause names the first differing byte.
bool SameFiles(const std::wstring& expected, const std::wstring& got, std::wstring* cause)
{
    std::vector<unsigned char> a, b;
    if (!ReadWholeFile(expected, &a, cause) || !ReadWholeFile(got, &b, cause))
        return false;
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at])
        ++at;
    if (at == a.size() && at == b.size())
        return true;
    wchar_t text[200];
    if (at < a.size() && at < b.size())
        std::swprintf(text, 200, L"first difference at byte %zu: expected 0x%02X, got 0x%02X", at,
                      a[at], b[at]);
    else if (at < a.size())
        std::swprintf(text, 200, L"it ends at byte %zu, where %zu bytes are expected", at,
                      a.size());
    else
        std::swprintf(text, 200, L"it goes on beyond byte %zu, where %zu bytes are expected", at,
                      a.size());
    *cause = BaseName(got) + L" differs from " + BaseName(expected) + L": " + text;
    return false;
}

bool RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(Join(folder, L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = Join(folder, name);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    return RemoveDirectoryW(folder.c_str()) != 0;
}

// Makes the work folder under the temporary folder; on failure, the one line that says why.
std::wstring MakeWorkFolder(std::wstring* work)
{
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH)
        return L"no temporary folder is set (TEMP): " + SystemMessage(GetLastError());
    ULARGE_INTEGER free = {};
    if (GetDiskFreeSpaceExW(temp, &free, nullptr, nullptr) && free.QuadPart < work_space)
        return L"the temporary folder " + std::wstring(temp) + L" is full: " +
               Number(free.QuadPart >> 10) + L" KiB free, the checks need " +
               Number(work_space >> 20) + L" MiB";
    *work = Join(temp, L"velmora-selftest-" + Number(GetCurrentProcessId()) + L"-" +
                           Number(GetTickCount()));
    std::wstring cause;
    if (!CreateDirectoryW(work->c_str(), nullptr) ||
        !CreateDirectoryW(Join(*work, L"plain").c_str(), nullptr) ||
        !CreateDirectoryW(Join(*work, L"nested").c_str(), nullptr) ||
        !WriteWholeFile(Join(*work, L"probe.txt"), "probe", &cause)) {
        DWORD error = GetLastError();
        RemoveTree(*work);
        work->clear();
        return L"the temporary folder " + std::wstring(temp) + L" is not writable: " +
               (cause.empty() ? SystemMessage(error) : cause);
    }
    return std::wstring();
}

class SelfTest {
public:
    SelfTest(const std::wstring& release, const std::wstring& here)
        : release_(release), here_(here)
    {
    }
    int Run();

private:
    std::wstring Release(const wchar_t* name) const { return Join(release_, name); }
    std::wstring Trial(const wchar_t* name) const { return Join(here_, name); }
    std::wstring Work(const wchar_t* name) const { return Join(work_, name); }
    WindowsCheckFiles WindowsFiles() const
    {
        return {Release(L"Quill_Spread.dll"), Trial(L"quill_record_host.exe"),
                Trial(L"proxy_send.exe"), work_};
    }

    bool Complete();
    void Images();
    void Stream();
    void Recording();
    std::wstring StartFollowers(const std::wstring& rec, Child (&chain)[3]);
    void CutPipe();
    void Nested();
    void ToolArguments();
    void Proxy();
    void ProxyElevated(bool restricted);
    bool Ask(const std::wstring& expected, const std::vector<std::wstring>& request,
             const std::wstring& what, HANDLE token = nullptr);
    bool Generate(const wchar_t* packets, const wchar_t* seed, const wchar_t* file,
                  std::wstring* cause);
    std::wstring HostCause(const Child& host, const wchar_t* report) const;

    Report report_{L"FAIL"};
    std::wstring release_, here_, work_;
};

bool SelfTest::Complete()
{
    std::wstring missing;
    for (const wchar_t* name : release_files)
        if (!IsFile(Release(name)))
            missing += std::wstring(L" ") + name;
    for (const wchar_t* name : trial_files)
        if (!IsFile(Trial(name)))
            missing += std::wstring(L" selftest\\") + name;
    return report_.Check(missing.empty(), L"the release folder and the self-test are complete",
                         L"missing:" + missing);
}

// The five programs are whole Windows images of this self-test's architecture.
void SelfTest::Images()
{
    wchar_t own[32768];
    GetModuleFileNameW(nullptr, own, 32768);
    std::vector<unsigned char> bytes;
    std::wstring cause;
    ReadWholeFile(own, &bytes, &cause);
    std::uint16_t machine = ReadPeImage(bytes).machine;
    std::wstring problems;
    for (int i = 0; i < 5; ++i) {
        if (!ReadWholeFile(Release(release_files[i]), &bytes, &cause)) {
            problems += L"\n" + cause;
            continue;
        }
        PeImage image = ReadPeImage(bytes);
        if (!image.problem.empty())
            problems += std::wstring(L"\n") + release_files[i] + L": " + Wide(image.problem);
        else if (image.machine != machine)
            problems += std::wstring(L"\n") + release_files[i] + L" is " +
                        Wide(MachineName(image.machine)) + L", the self-test " +
                        Wide(MachineName(machine)) +
                        L": unpack the release and the self-test of one architecture";
    }
    report_.Check(problems.empty(),
                  L"the five programs are whole Windows images, " + Wide(MachineName(machine)),
                  problems.empty() ? L"" : problems.substr(1));
}

bool SelfTest::Generate(const wchar_t* packets, const wchar_t* seed, const wchar_t* file,
                        std::wstring* cause)
{
    HANDLE out = OpenForChild(Work(file), true);
    if (out == INVALID_HANDLE_VALUE) {
        *cause = L"cannot create " + Work(file) + L": " + SystemMessage(GetLastError());
        return false;
    }
    Child child;
    bool ok = child.Start(Trial(L"quill_ts_generate.exe"), {packets, seed}, nullptr, out,
                          nullptr, nullptr, cause);
    CloseHandle(out);
    if (ok && (!child.Finish(long_wait) || child.ExitCode() != 0)) {
        *cause = ExitText(L"quill_ts_generate", child.ExitCode());
        ok = false;
    }
    return ok;
}

void SelfTest::Stream()
{
    std::wstring cause;
    std::vector<unsigned char> stream, part;
    bool ok = Generate(L"4000", L"1", L"part1.ts", &cause) &&
              Generate(L"6000", L"2", L"part2.ts", &cause) &&
              Generate(L"4000", L"3", L"part3.ts", &cause);
    for (const wchar_t* name : {L"part1.ts", L"part2.ts", L"part3.ts"}) {
        if (ok && (ok = ReadWholeFile(Work(name), &part, &cause)))
            stream.insert(stream.end(), part.begin(), part.end());
    }
    if (ok && stream.size() != stream_bytes) {
        cause = L"the three parts hold " + Number(stream.size()) + L" bytes";
        ok = false;
    }
    ok = ok && WriteWholeFile(Work(L"stream.ts"), std::string(stream.begin(), stream.end()),
                              &cause);
    report_.Check(ok, L"quill_ts_generate made a transport stream of 14000 packets (" +
                          Number(stream_bytes) + L" bytes)",
                  cause);
    bool told = !SameFiles(Work(L"part1.ts"), Work(L"part3.ts"), &cause);
    report_.Check(told, L"the comparison tells two different files apart",
                  L"part1.ts and part3.ts were taken for equal");
}

std::wstring SelfTest::HostCause(const Child& host, const wchar_t* report) const
{
    std::string printed = ReadText(Work(report));
    if (host.Handle() == nullptr)
        return L"quill_record_host.exe did not start.";
    if (host.Running())
        return L"quill_record_host.exe still runs. " + Printed(printed);
    return ExitText(L"quill_record_host", host.ExitCode()) + L". " + Printed(printed);
}

// Direct-file mode: a copy of Quill_Spread.dll without a settings file. The host paces its
// buffers so that the recording grows for some seconds while the others look at it.
void SelfTest::Recording()
{
    std::wstring cause;
    std::wstring plugin = Join(Work(L"plain"), L"Quill_Spread.dll");
    std::wstring rec = Work(L"rec.ts");
    CopyFileW(Release(L"Quill_Spread.dll").c_str(), plugin.c_str(), FALSE);
    HANDLE report = OpenForChild(Work(L"host.txt"), true);
    Child host;
    host.Start(Trial(L"quill_record_host.exe"),
               {plugin, rec, L"--input", Work(L"stream.ts"), L"--buffer", L"10000", L"--pace",
                L"15", L"--dup", std::wstring(join_at) + L":" + Work(L"dup.ts"), L"--drop",
                std::wstring(leave_at) + L":1"},
               nullptr, report, report, nullptr, &cause);
    CloseHandle(report);
    bool saving = WaitForLine(Work(L"host.txt"), "save 1 ", host, long_wait);
    report_.Check(saving, L"Quill_Spread.dll: the trial host started a save to a file",
                  cause.empty() ? HostCause(host, L"host.txt") : cause);

    // Share modes: while the recording is written, a second process may read it but neither
    // write nor delete it. The probe deletes the file where it may, so it runs only while the
    // host is still saving.
    std::wstring shareCause = L"the recording ended before the probe could run";
    bool shared = false;
    if (saving && host.Running() && !HasLine(ReadText(Work(L"host.txt")), "stop ")) {
        Ran probe = RunCaptured(Trial(L"quill_share_probe.exe"), {rec}, short_wait);
        shared = probe.output.compare(0, 23, "read=1 write=0 delete=0") == 0;
        shareCause = probe.started ? L"the probe found " + Wide(probe.output) +
                                         L" (1: the other process could do it)"
                                   : probe.cause;
    }
    report_.Check(shared,
                  L"share modes: while it is saved, another process may read the recording, "
                  L"not write or delete it",
                  shareCause);

    Child chain[3];
    std::wstring chainCause = StartFollowers(rec, chain);

    bool stopped = WaitForLine(Work(L"host.txt"), "stop ", host, long_wait);
    std::string printed = ReadText(Work(L"host.txt"));
    report_.Check(stopped && HasLine(printed, "fed " + Utf8(Number(stream_bytes)) + " ") &&
                      HasLine(printed, "stop 1"),
                  L"the host handed over the whole stream, every buffer was taken, the save "
                  L"stopped",
                  HostCause(host, L"host.txt"));
    report_.Check(SameFiles(Work(L"stream.ts"), rec, &cause), L"the recording equals the stream",
                  cause);
    bool joined = HasLine(printed, "dup 1 at " + Utf8(join_at) + " ret 1 ") &&
                  HasLine(printed, "drop 1 at " + Utf8(leave_at) + " ret 1");
    report_.Check(joined && SameFiles(Work(L"part2.ts"), Work(L"dup.ts"), &cause),
                  std::wstring(L"a duplicate added at byte ") + join_at +
                      L" began on the next packet boundary and ran until its removal at byte " +
                      leave_at,
                  joined ? cause : HostCause(host, L"host.txt"));
    for (Child& c : chain)
        if (c.Handle() != nullptr)
            c.Finish(long_wait);
    bool same = chainCause.empty() && SameFiles(rec, Work(L"followed.ts"), &cause);
    const wchar_t* const chainNames[3] = {L"tailgrip", L"brimtank", L"hopover"};
    if (chainCause.empty())
        for (int i = 0; i < 3; ++i)
            cause += L"\n" + ExitText(chainNames[i], chain[i].ExitCode());
    report_.Check(same,
                  L"tailgrip (packet check) followed the growing recording into brimtank and "
                  L"hopover: the copy equals it",
                  chainCause.empty() ? cause : chainCause);

}

// tailgrip follows the growing recording with the packet check, through brimtank and hopover;
// the pipes between them are this program's. Returns why they did not all start, or nothing.
std::wstring SelfTest::StartFollowers(const std::wstring& rec, Child (&chain)[3])
{
    HANDLE p1r = nullptr, p1w = nullptr, p2r = nullptr, p2w = nullptr;
    std::wstring cause;
    if (!CreatePipe(&p1r, &p1w, nullptr, 0) || !CreatePipe(&p2r, &p2w, nullptr, 0)) {
        cause = L"cannot make a pipe: " + SystemMessage(GetLastError());
        for (HANDLE h : {p1r, p1w})
            if (h != nullptr)
                CloseHandle(h);
        return cause;
    }
    HANDLE none = OpenForChild(L"NUL", false);
    HANDLE followed = OpenForChild(Work(L"followed.ts"), true);
    chain[0].Start(Release(L"tailgrip.exe"), {L"0", L"3p48199", rec}, none, p1w, none, nullptr,
                   &cause);
    CloseHandle(p1w);
    chain[1].Start(Release(L"brimtank.exe"), {L"1048576", L"65536"}, p1r, p2w, none, nullptr,
                   &cause);
    CloseHandle(p1r);
    CloseHandle(p2w);
    chain[2].Start(Release(L"hopover.exe"), {rec}, p2r, followed, none, nullptr, &cause);
    CloseHandle(p2r);
    CloseHandle(followed);
    CloseHandle(none);
    return cause;
}

// hopover: a pipe cut after part 1, continued from the file at the byte count relayed.
void SelfTest::CutPipe()
{
    std::wstring cause;
    HANDLE in = OpenForChild(Work(L"part1.ts"), false);
    HANDLE out = OpenForChild(Work(L"joined.ts"), true);
    Child hop;
    bool ran = hop.Start(Release(L"hopover.exe"), {Work(L"stream.ts")}, in, out, nullptr, nullptr,
                         &cause);
    CloseHandle(in);
    CloseHandle(out);
    ran = ran && hop.Finish(long_wait) && hop.ExitCode() == 0;
    report_.Check(ran && SameFiles(Work(L"stream.ts"), Work(L"joined.ts"), &cause),
                  L"hopover joined a pipe cut after part 1 onto the file: the output equals the "
                  L"stream",
                  ran || !cause.empty() ? cause : ExitText(L"hopover", hop.ExitCode()));
}

// Nested mode: a copy of Quill_Spread.dll whose settings file names the test plug-in beside it.
void SelfTest::Nested()
{
    std::wstring folder = Work(L"nested"), cause;
    std::wstring plugin = Join(folder, L"Quill_Spread.dll");
    CopyFileW(Release(L"Quill_Spread.dll").c_str(), plugin.c_str(), FALSE);
    CopyFileW(Trial(L"TestNested.dll").c_str(), Join(folder, L"TestNested.dll").c_str(), FALSE);
    WriteWholeFile(plugin + L".ini", "[SET]\r\nWritePlugin=TestNested.dll\r\nDataUnit=188\r\n",
                   &cause);
    HANDLE report = OpenForChild(Work(L"nested.txt"), true);
    Child host;
    bool ran = host.Start(Trial(L"quill_record_host.exe"),
                          {plugin, Work(L"nrec.ts"), L"--input", Work(L"stream.ts"), L"--buffer",
                           L"10000", L"--dup", std::wstring(join_at) + L":" + Work(L"ndup.ts"),
                           L"--drop", std::wstring(leave_at) + L":1"},
                          nullptr, report, report, nullptr, &cause);
    CloseHandle(report);
    ran = ran && host.Finish(long_wait) && host.ExitCode() == 0;
    std::string printed = ReadText(Work(L"nested.txt"));
    report_.Check(ran && HasLine(printed, "save 1 " + Utf8(Work(L"nrec.ts.nested"))),
                  L"Quill_Spread.dll with WritePlugin=TestNested.dll in its settings file saved "
                  L"through the nested plug-in",
                  cause.empty() ? HostCause(host, L"nested.txt") : cause);
    bool direct = IsFile(Work(L"nrec.ts"));
    cause = L"a file was written directly: nrec.ts";
    report_.Check(!direct && SameFiles(Work(L"stream.ts"), Work(L"nrec.ts.nested"), &cause) &&
                      SameFiles(Work(L"part2.ts"), Work(L"ndup.ts.nested"), &cause),
                  L"the nested plug-in got the stream, and the duplicate from the packet "
                  L"boundary; no file was written directly",
                  cause);
    std::string log = ReadText(Join(folder, L"TestNested.dll.log"));
    report_.Check(HasLine(log, "load") && HasLine(log, "unload"),
                  L"the nested plug-in was loaded and released again",
                  log.empty() ? L"TestNested.dll wrote no log: it was never loaded"
                              : L"its log TestNested.dll.log holds:\n  " + Wide(log));
}

void SelfTest::ToolArguments()
{
    std::wstring cause;
    for (const wchar_t* tool : tools) {
        Ran ran = RunCaptured(Release((std::wstring(tool) + L".exe").c_str()), {}, short_wait);
        if (!ran.started)
            cause += L"\n" + ran.cause;
        else if (ran.code != 2)
            cause += L"\n" + ExitText(tool, ran.code);
    }
    report_.Check(cause.empty(),
                  L"brimtank, tailgrip and hopover start and answer a wrong argument count with "
                  L"exit code 2",
                  cause.empty() ? cause : cause.substr(1));
}

// The proxy's answer as proxy_send printed it; cause says what it means.
std::wstring Answer(const Ran& ran, std::wstring* cause)
{
    std::wstring answer = Wide(ran.output);
    while (!answer.empty() && (answer.back() == L'\n' || answer.back() == L'\r'))
        answer.pop_back();
    if (!ran.started)
        *cause = ran.cause;
    else if (ran.code != 0)
        *cause = L"proxy_send.exe found no proxy window (exit code " + Number(ran.code) + L")";
    else if (answer == L"0")
        *cause = L"the proxy answered 0: the request was not delivered (a message filter or a "
                 L"proxy running at a higher integrity level refused it)";
    else
        *cause = L"the proxy answered " + answer +
                 L" (1: done or found, -1: refused, not found or failed)";
    return ran.started && ran.code == 0 ? answer : std::wstring();
}

// Sends a request with proxy_send; passes when the proxy answered expected.
bool SelfTest::Ask(const std::wstring& expected, const std::vector<std::wstring>& request,
                   const std::wstring& what, HANDLE token)
{
    std::wstring cause;
    std::wstring answer =
        Answer(RunCaptured(Trial(L"proxy_send.exe"), request, short_wait, token), &cause);
    return report_.Check(answer == expected, what, cause);
}

// A token for a process at medium integrity, as an ordinary user's program on this desktop has.
HANDLE MediumIntegrityToken(std::wstring* cause)
{
    SAFER_LEVEL_HANDLE level = nullptr;
    HANDLE token = nullptr;
    if (!SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, SAFER_LEVEL_OPEN, &level,
                          nullptr)) {
        *cause = L"SaferCreateLevel: " + SystemMessage(GetLastError());
        return nullptr;
    }
    BOOL made = SaferComputeTokenFromLevel(level, nullptr, &token, 0, nullptr);
    DWORD error = GetLastError();
    SaferCloseLevel(level);
    TOKEN_TYPE type;
    DWORD size;
    if (made && !GetTokenInformation(token, TokenType, &type, sizeof type, &size)) {
        error = GetLastError();
        made = FALSE;
    }
    if (!made) {
        *cause = L"SaferComputeTokenFromLevel gave no token: " + SystemMessage(error);
        return nullptr;
    }
    // The normal-user level drops the administrators' rights but keeps the high integrity
    // level: the label is lowered to medium here.
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID medium = nullptr;
    TOKEN_MANDATORY_LABEL label = {};
    bool labelled = AllocateAndInitializeSid(&authority, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0,
                                             0, 0, 0, 0, 0, &medium);
    if (labelled) {
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        label.Label.Sid = medium;
        labelled = SetTokenInformation(token, TokenIntegrityLevel, &label,
                                       sizeof label + GetLengthSid(medium));
    }
    error = GetLastError();
    if (medium != nullptr)
        FreeSid(medium);
    if (!labelled) {
        *cause = L"setting the medium integrity level: " + SystemMessage(error);
        CloseHandle(token);
        return nullptr;
    }
    return token;
}

// The requests that act on this computer's clock and file server.
void SelfTest::ProxyElevated(bool underWine)
{
    Report::Note(L"elevated: the next checks set this computer's clock to the present and ask "
                 L"its file server");
    // wine sets the clock only within half a second of its own reading, so a request held up
    // that long is refused; a refusal begins no busy period, so it is sent up to three times.
    std::wstring cause, answer;
    ClockWatch clock;
    for (int tries = 0; tries < 3 && answer != L"1"; ++tries)
        answer = Answer(RunCaptured(Trial(L"proxy_send.exe"), {L"settime"}, short_wait), &cause);
    clock.Check(report_, report_.Check(answer == L"1",
                                       L"set-time request for the present: the clock was set (1)",
                                       cause));
    Ask(L"-1", {L"settime"}, L"the same again at once: refused while busy for 30 s (-1)");
    answer = Answer(RunCaptured(Trial(L"proxy_send.exe"), {L"query", L"txt"}, short_wait), &cause);
    if (answer == L"1")
        report_.Ok(L"open-file query for txt: answered 1, a .txt file is open through this "
                   L"computer's file server");
    else
        report_.Check(answer == L"-1",
                      L"open-file query for txt: answered -1, no .txt file is open through the "
                      L"file server, or listing failed",
                      cause);
    CheckProxyOnWindows(report_, WindowsFiles());

    // From an ordinary user's program: the proxy's message filter must let the requests in.
    HANDLE token = MediumIntegrityToken(&cause);
    if (token == nullptr && underWine) {
        Report::Note(L"under wine: " + cause + L". wine has no integrity levels and no message "
                     L"filter either: the requests from medium integrity were not sent");
        return;
    }
    if (token == nullptr) {
        report_.Fail(L"a process at medium integrity was started to send requests", cause);
        return;
    }
    Ask(L"-1", {L"settime", L"172800"},
        L"from a process at medium integrity, set-time request 48 hours ahead: refused (-1), not "
        L"blocked (0)",
        token);
    Ask(L"-1", {L"query", L"t.t"},
        L"from a process at medium integrity, open-file query for t.t: refused (-1), not "
        L"blocked (0)",
        token);
    CloseHandle(token);
    if (underWine)
        Report::Note(L"under wine: wine has no integrity levels and no message filter, so these "
                     L"two show only that the requests arrive, not that the filter lets them in");
}

void SelfTest::Proxy()
{
    if (RunCaptured(Trial(L"proxy_send.exe"), {L"find"}, short_wait).code == 0) {
        Report::Note(L"skip the proxy: one is running already (end it to check the one of this "
                     L"release)");
        return;
    }
    Child proxy;
    std::wstring cause;
    if (proxy.Start(Release(L"VelmoraAdminProxy.exe"), {}, nullptr, nullptr, nullptr, nullptr,
                    &cause)) {
        DWORD start = GetTickCount();
        while (FindWindowExW(HWND_MESSAGE, nullptr, L"VelmoraAdminProxy", nullptr) == nullptr &&
               proxy.Running() && GetTickCount() - start < short_wait)
            WaitForSingleObject(proxy.Handle(), 50);
        cause = proxy.Running() ? L"no proxy window appeared within 10 s"
                                : ExitText(L"VelmoraAdminProxy", proxy.ExitCode()) +
                                      L" before its window appeared";
    }
    if (!Ask(L"1", {L"find"}, L"VelmoraAdminProxy.exe started, its window is found")) {
        Report::Note(cause);
        return;
    }
    Ask(L"-1", {L"settime", L"172800"}, L"set-time request 48 hours ahead: refused (-1)");
    Ask(L"-1", {L"query", L"t.t"}, L"open-file query for the invalid extension t.t: refused (-1)");
    if (RunsElevated())
        ProxyElevated(RunsUnderWine());
    else
        Report::Note(L"skip the set-time request for the present, the open-file query, the file "
                     L"server's share and the requests from medium and low integrity: not "
                     L"elevated (run it from a prompt opened with \"Run as administrator\" to "
                     L"check them)");
    RunCaptured(Trial(L"proxy_send.exe"), {L"close"}, short_wait);
    bool closed = proxy.Finish(short_wait);
    report_.Check(closed, L"WM_CLOSE ended the proxy", L"it still ran after 10 s and was ended");
}

int SelfTest::Run()
{
    Print(L"Self-test of the release in " + release_);
    if (!Complete())
        return report_.Summary();
    Images();
    std::wstring tempProblem = MakeWorkFolder(&work_);
    if (tempProblem.empty()) {
        report_.Ok(L"a work folder was made: " + work_);
        Stream();
        Recording();
        CutPipe();
        Nested();
        CheckFilesOnWindows(report_, WindowsFiles());
    } else {
        report_.NotRun(work_folder_checks,
                       L"that need a work folder (the recordings, tailgrip, hopover): " +
                           tempProblem);
    }
    ToolArguments();
    Proxy();
    int code = report_.Summary();
    if (code == 0 && !work_.empty())
        RemoveTree(work_);
    else if (!work_.empty())
        Report::Note(L"the files of the checks are in " + work_);
    return code;
}

}  // namespace

int RunReleaseChecks(const std::wstring& given)
{
    std::wstring here = OwnFolder();
    std::wstring release = given.empty() ? std::wstring() : FullPath(given);
    if (given.empty()) {
        std::wstring lookedIn;
        release = FindRelease(here, &lookedIn);
        if (release.empty()) {
            Report report(L"FAIL");
            report.Fail(L"the release folder is found beside the self-test",
                        L"Quill_Spread.dll is in none of these folders:" + lookedIn +
                            L"\nName the release folder: selftest.cmd \"C:\\path\\to\\release\"");
            return report.Summary();
        }
    }
    return SelfTest(release, here).Run();
}

}  // namespace selftest
