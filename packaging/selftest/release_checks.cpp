// The self-test of an unpacked release: finds the release folder, then drives its programs
// with the trial programs of the self-test, on copies in a work folder of its own under the
// temporary folder. Nothing in the release folder is changed.
#include "checks.h"
#include "pe_image.h"
#include "release_checks.h"
#include "windows_checks.h"

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
// What checks need beyond the files: what earlier checks made.
const wchar_t* const work_folder = L"the work folder";
const wchar_t* const stream = L"the stream";
const wchar_t* const recording = L"the recording";
const wchar_t* const nested_save = L"the nested save";
// What the files of the checks take, with room to spare.
constexpr unsigned long long work_space = 64ull << 20;

// The stream in three parts, so that each can be compared on its own: the duplicate joins 100
// bytes before the end of part 1 (so it begins at the next packet, the start of part 2) and
// leaves at the end of part 2.
constexpr unsigned long long stream_bytes = 14000ull * 188;
const wchar_t* const join_at = L"751900";   // 4000 * 188 - 100
const wchar_t* const leave_at = L"1880000"; // 10000 * 188

std::wstring OwnFolder()
{
    wchar_t buffer[32768];
    DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    return Parent(std::wstring(buffer, n < 32768 ? n : 0));
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

// A file of a child's output, read as text; empty when it cannot be read.
std::string ReadText(const std::wstring& path)
{
    std::vector<unsigned char> bytes;
    std::wstring ignored;
    ReadWholeFile(path, &bytes, &ignored);
    return std::string(bytes.begin(), bytes.end());
}

// A handle a child may get as a standard stream: a file opened for reading, or created for
// writing; "NUL" for nothing. Closed by the owner; INVALID_HANDLE_VALUE on failure.
HANDLE OpenForChild(const std::wstring& path, bool write)
{
    return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}


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
        child.Wait(50);
    }
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

}  // namespace

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
        StartOptions options;
        options.in = none;
        options.out = write;
        options.err = none;
        options.token = token;
        ran.started = child.Start(program, args, options, &ran.cause);
        CloseHandle(write);
        if (ran.started) {
            // The output is a few lines, well within the pipe's buffer: wait first, then read.
            child.Finish(milliseconds);
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

std::wstring SelfTest::Blocked(const Needs& needs) const
{
    for (const std::wstring& need : needs) {
        auto lacking = missing_.find(need);
        if (lacking != missing_.end())
            return lacking->second;
    }
    return std::wstring();
}

bool SelfTest::Ready(const Needs& needs, const std::wstring& what)
{
    std::wstring why = Blocked(needs);
    if (!why.empty())
        report_.NotRun(what, why);
    return why.empty();
}

bool SelfTest::Check(const Needs& needs, const wchar_t* makes, const std::wstring& what,
                     const std::function<bool(std::wstring* cause)>& check)
{
    std::wstring cause;
    bool ok = Ready(needs, what) && report_.Check(check(&cause), what, cause);
    if (!ok && makes != nullptr)
        Lack(makes, Blocked(needs).empty() ? L"it needs what failed above: " + what
                                           : Blocked(needs));
    return ok;
}

void SelfTest::Complete()
{
    std::wstring missing;
    for (const wchar_t* name : release_files)
        if (!IsFile(Release(name))) {
            missing += std::wstring(L" ") + name;
            Lack(name, std::wstring(name) + L" is missing from the release folder");
        }
    for (const wchar_t* name : trial_files)
        if (!IsFile(Trial(name))) {
            missing += std::wstring(L" selftest\\") + name;
            Lack(name, L"selftest\\" + std::wstring(name) + L" is missing");
        }
    report_.Check(missing.empty(), L"the release folder and the self-test are complete",
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
        std::wstring name = release_files[i], problem;
        if (!Blocked({name}).empty())
            continue;
        PeImage image;
        if (!ReadWholeFile(Release(release_files[i]), &bytes, &problem))
            image.problem = Utf8(problem);
        else
            image = ReadPeImage(bytes);
        if (!image.problem.empty())
            problem = name + L": " + Wide(image.problem);
        else if (image.machine != machine)
            problem = name + L" is " + Wide(MachineName(image.machine)) + L", the self-test " +
                      Wide(MachineName(machine)) +
                      L": unpack the release and the self-test of one architecture";
        if (!problem.empty()) {
            problems += L"\n" + problem;
            Lack(name, name + L" is no whole Windows image of this architecture (see above)");
        }
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
    StartOptions options;
    options.out = out;
    bool ok = child.Start(Trial(L"quill_ts_generate.exe"), {packets, seed}, options, cause);
    CloseHandle(out);
    if (ok && (!child.Finish(long_wait) || child.ExitCode() != 0)) {
        *cause = ExitText(L"quill_ts_generate", child.ExitCode());
        ok = false;
    }
    return ok;
}

void SelfTest::Stream()
{
    Check({work_folder, L"quill_ts_generate.exe"}, stream,
          L"quill_ts_generate made a transport stream of 14000 packets (" +
              Number(stream_bytes) + L" bytes)",
          [&](std::wstring* cause) {
              std::vector<unsigned char> whole, part;
              bool ok = Generate(L"4000", L"1", L"part1.ts", cause) &&
                        Generate(L"6000", L"2", L"part2.ts", cause) &&
                        Generate(L"4000", L"3", L"part3.ts", cause);
              for (const wchar_t* name : {L"part1.ts", L"part2.ts", L"part3.ts"}) {
                  if (ok && (ok = ReadWholeFile(Work(name), &part, cause)))
                      whole.insert(whole.end(), part.begin(), part.end());
              }
              if (ok && whole.size() != stream_bytes) {
                  *cause = L"the three parts hold " + Number(whole.size()) + L" bytes";
                  ok = false;
              }
              return ok && WriteWholeFile(Work(L"stream.ts"),
                                          std::string(whole.begin(), whole.end()), cause);
          });
    Check({stream}, nullptr, L"the comparison tells two different files apart",
          [&](std::wstring* cause) {
              bool told = !SameFiles(Work(L"part1.ts"), Work(L"part3.ts"), cause);
              *cause = L"part1.ts and part3.ts were taken for equal";
              return told;
          });
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
    std::wstring plugin = Join(Work(L"plain"), L"Quill_Spread.dll");
    std::wstring rec = Work(L"rec.ts");
    Child host;
    Check({L"Quill_Spread.dll", L"quill_record_host.exe", stream}, recording,
          L"Quill_Spread.dll: the trial host started a save to a file",
          [&](std::wstring* cause) {
              CopyFileW(Release(L"Quill_Spread.dll").c_str(), plugin.c_str(), FALSE);
              HANDLE report = OpenForChild(Work(L"host.txt"), true);
              StartOptions options;
              options.out = report;
              options.err = report;
              bool started = host.Start(
                  Trial(L"quill_record_host.exe"),
                  {plugin, rec, L"--input", Work(L"stream.ts"), L"--buffer", L"10000",
                   L"--pace", L"15", L"--dup", std::wstring(join_at) + L":" + Work(L"dup.ts"),
                   L"--drop", std::wstring(leave_at) + L":1"},
                  options, cause);
              CloseHandle(report);
              bool saving = started && WaitForLine(Work(L"host.txt"), "save 1 ", host, long_wait);
              if (started && !saving)
                  *cause = HostCause(host, L"host.txt");
              return saving;
          });

    // Share modes: while the recording is written, a second process may read it but neither
    // write nor delete it. The probe deletes the file where it may, so it runs only while the
    // host is still saving.
    Check({recording, L"quill_share_probe.exe"}, nullptr,
          L"share modes: while it is saved, another process may read the recording, not write "
          L"or delete it",
          [&](std::wstring* cause) {
              *cause = L"the recording ended before the probe could run";
              if (!host.Running() || HasLine(ReadText(Work(L"host.txt")), "stop "))
                  return false;
              Ran probe = RunCaptured(Trial(L"quill_share_probe.exe"), {rec}, short_wait);
              *cause = probe.started ? L"the probe found " + Wide(probe.output) +
                                           L" (1: the other process could do it)"
                                     : probe.cause;
              return probe.output.compare(0, 23, "read=1 write=0 delete=0") == 0;
          });

    const Needs chainNeeds = {recording, L"tailgrip.exe", L"brimtank.exe", L"hopover.exe"};
    Child chain[3];
    std::wstring chainCause = Blocked(chainNeeds).empty() ? StartFollowers(rec, chain) : L"";

    Check({recording}, nullptr,
          L"the host handed over the whole stream, every buffer was taken, the save stopped",
          [&](std::wstring* cause) {
              bool stopped = WaitForLine(Work(L"host.txt"), "stop ", host, long_wait);
              std::string printed = ReadText(Work(L"host.txt"));
              *cause = HostCause(host, L"host.txt");
              return stopped && HasLine(printed, "fed " + Utf8(Number(stream_bytes)) + " ") &&
                     HasLine(printed, "stop 1");
          });
    Check({recording}, nullptr, L"the recording equals the stream", [&](std::wstring* cause) {
        return SameFiles(Work(L"stream.ts"), rec, cause);
    });
    Check({recording}, nullptr,
          std::wstring(L"a duplicate added at byte ") + join_at +
              L" began on the next packet boundary and ran until its removal at byte " + leave_at,
          [&](std::wstring* cause) {
              std::string printed = ReadText(Work(L"host.txt"));
              bool joined = HasLine(printed, "dup 1 at " + Utf8(join_at) + " ret 1 ") &&
                            HasLine(printed, "drop 1 at " + Utf8(leave_at) + " ret 1");
              if (!joined)
                  *cause = HostCause(host, L"host.txt");
              return joined && SameFiles(Work(L"part2.ts"), Work(L"dup.ts"), cause);
          });
    Check(chainNeeds, nullptr,
          L"tailgrip (packet check) followed the growing recording into brimtank and hopover: "
          L"the copy equals it",
          [&](std::wstring* cause) {
              for (Child& c : chain)
                  if (c.Handle() != nullptr)
                      c.Finish(long_wait);
              if (!chainCause.empty()) {
                  *cause = chainCause;
                  return false;
              }
              bool same = SameFiles(rec, Work(L"followed.ts"), cause);
              const wchar_t* const chainNames[3] = {L"tailgrip", L"brimtank", L"hopover"};
              for (int i = 0; i < 3; ++i)
                  *cause += L"\n" + ExitText(chainNames[i], chain[i].ExitCode());
              return same;
          });
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
    StartOptions options;
    options.err = none;
    options.in = none;
    options.out = p1w;
    chain[0].Start(Release(L"tailgrip.exe"), {L"0", L"3p48199", rec}, options, &cause);
    CloseHandle(p1w);
    options.in = p1r;
    options.out = p2w;
    chain[1].Start(Release(L"brimtank.exe"), {L"1048576", L"65536"}, options, &cause);
    CloseHandle(p1r);
    CloseHandle(p2w);
    options.in = p2r;
    options.out = followed;
    chain[2].Start(Release(L"hopover.exe"), {rec}, options, &cause);
    CloseHandle(p2r);
    CloseHandle(followed);
    CloseHandle(none);
    return cause;
}

// hopover: a pipe cut after part 1, continued from the file at the byte count relayed.
void SelfTest::CutPipe()
{
    Check({stream, L"hopover.exe"}, nullptr,
          L"hopover joined a pipe cut after part 1 onto the file: the output equals the stream",
          [&](std::wstring* cause) {
              StartOptions options;
              options.in = OpenForChild(Work(L"part1.ts"), false);
              options.out = OpenForChild(Work(L"joined.ts"), true);
              Child hop;
              bool ran = hop.Start(Release(L"hopover.exe"), {Work(L"stream.ts")}, options,
                                   cause);
              CloseHandle(options.in);
              CloseHandle(options.out);
              ran = ran && hop.Finish(long_wait) && hop.ExitCode() == 0;
              if (!ran && cause->empty())
                  *cause = ExitText(L"hopover", hop.ExitCode());
              return ran && SameFiles(Work(L"stream.ts"), Work(L"joined.ts"), cause);
          });
}

// Nested mode: a copy of Quill_Spread.dll whose settings file names the test plug-in beside it.
void SelfTest::Nested()
{
    const Needs needs = {L"Quill_Spread.dll", L"quill_record_host.exe", L"TestNested.dll",
                         stream};
    std::wstring folder = Work(L"nested");
    Check(needs, nested_save,
          L"Quill_Spread.dll with WritePlugin=TestNested.dll in its settings file saved "
          L"through the nested plug-in",
          [&](std::wstring* cause) {
              std::wstring plugin = Join(folder, L"Quill_Spread.dll");
              CopyFileW(Release(L"Quill_Spread.dll").c_str(), plugin.c_str(), FALSE);
              CopyFileW(Trial(L"TestNested.dll").c_str(), Join(folder, L"TestNested.dll").c_str(),
                        FALSE);
              WriteWholeFile(plugin + L".ini",
                             "[SET]\r\nWritePlugin=TestNested.dll\r\nDataUnit=188\r\n", cause);
              StartOptions options;
              options.out = options.err = OpenForChild(Work(L"nested.txt"), true);
              Child host;
              bool ran = host.Start(Trial(L"quill_record_host.exe"),
                                    {plugin, Work(L"nrec.ts"), L"--input", Work(L"stream.ts"),
                                     L"--buffer", L"10000", L"--dup",
                                     std::wstring(join_at) + L":" + Work(L"ndup.ts"), L"--drop",
                                     std::wstring(leave_at) + L":1"},
                                    options, cause);
              CloseHandle(options.out);
              ran = ran && host.Finish(long_wait) && host.ExitCode() == 0;
              std::string printed = ReadText(Work(L"nested.txt"));
              if (cause->empty())
                  *cause = HostCause(host, L"nested.txt");
              return ran && HasLine(printed, "save 1 " + Utf8(Work(L"nrec.ts.nested")));
          });
    Check({nested_save}, nullptr,
          L"the nested plug-in got the stream, and the duplicate from the packet boundary; no "
          L"file was written directly",
          [&](std::wstring* cause) {
              *cause = L"a file was written directly: nrec.ts";
              return !IsFile(Work(L"nrec.ts")) &&
                     SameFiles(Work(L"stream.ts"), Work(L"nrec.ts.nested"), cause) &&
                     SameFiles(Work(L"part2.ts"), Work(L"ndup.ts.nested"), cause);
          });
    Check(needs, nullptr, L"the nested plug-in was loaded and released again",
          [&](std::wstring* cause) {
              std::string log = ReadText(Join(folder, L"TestNested.dll.log"));
              *cause = log.empty() ? L"TestNested.dll wrote no log: it was never loaded"
                                   : L"its log TestNested.dll.log holds:\n  " + Wide(log);
              return HasLine(log, "load") && HasLine(log, "unload");
          });
}

void SelfTest::ToolArguments()
{
    Check({L"brimtank.exe", L"tailgrip.exe", L"hopover.exe"}, nullptr,
          L"brimtank, tailgrip and hopover start and answer a wrong argument count with exit "
          L"code 2",
          [&](std::wstring* cause) {
              std::wstring problems;
              for (const wchar_t* tool : tools) {
                  Ran ran =
                      RunCaptured(Release((std::wstring(tool) + L".exe").c_str()), {}, short_wait);
                  if (!ran.started)
                      problems += L"\n" + ran.cause;
                  else if (ran.code != 2)
                      problems += L"\n" + ExitText(tool, ran.code);
              }
              if (!problems.empty())
                  *cause = problems.substr(1);
              return problems.empty();
          });
}

int SelfTest::Run()
{
    Print(L"Self-test of the release in " + release_);
    Complete();
    Images();
    std::wstring tempProblem = MakeWorkFolder(&work_);
    if (!report_.Check(tempProblem.empty(),
                       tempProblem.empty() ? L"a work folder was made: " + work_
                                           : std::wstring(L"a work folder was made"),
                       tempProblem))
        Lack(work_folder, L"there is no work folder (see above)");
    Stream();
    Recording();
    CutPipe();
    Nested();
    CheckFilesOnWindows(report_, {Release(L"Quill_Spread.dll"), Trial(L"quill_record_host.exe"),
                                  Trial(L"proxy_send.exe"), work_,
                                  Blocked({L"Quill_Spread.dll", L"quill_record_host.exe", stream})});
    ToolArguments();
    Proxy();
    int code = report_.Summary();
    if (code == 0 && !work_.empty())
        RemoveTree(work_);
    else if (!work_.empty())
        Report::Note(L"the files of the checks are in " + work_);
    return code;
}

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
