// A recording host for trials: loads a write plug-in by path, starts a save, hands a stream over
// in buffers of a chosen size, adds and removes duplicate outputs at chosen byte positions, stops,
// and prints the paths actually used and every result. With --raw it writes the same buffers to
// the same files itself, one plain write per file and buffer: the physical limit to compare with.
//
//   quill_record_host PLUGIN OUTPUT [--input FILE] [--buffer BYTES] [--overwrite] [--pace MS]
//                     [--dup AT:PATH[:MODE]]... [--drop AT:N]... [--raw]
//
// --dup adds an output once AT stream bytes have been handed over (MODE is the overwriteMode,
// default -1); --drop AT:N removes the N-th added duplicate at AT. Buffers are cut at every such
// position, so events happen exactly there. Output, one line each:
//   save RESULT PATH | dup N at AT ret RESULT id ID path PATH | drop N at AT ret RESULT
//   fed BYTES buffers COUNT refused COUNT | stop RESULT
// Exit code 0 when the save started and every buffer was taken, 1 otherwise, 2 for bad arguments.
#include "plugin_host.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace trial;

namespace {

struct Event {
    unsigned long long at = 0;
    bool add = true;
    std::string path;   // add
    int mode = -1;      // add
    std::size_t index = 0;  // drop: 1-based number of the --dup
    DWORD id = 0;       // add: the output id it got
};

int Usage()
{
    std::fprintf(stderr,
                 "Usage: quill_record_host PLUGIN OUTPUT [--input FILE] [--buffer BYTES] "
                 "[--overwrite] [--pace MS] [--dup AT:PATH[:MODE]]... [--drop AT:N]... [--raw]\n");
    return 2;
}

// A raw output file for --raw: created or truncated, written with the platform's own call.
struct RawFile {
#ifdef _WIN32
    HANDLE h = INVALID_HANDLE_VALUE;
    bool Open(const std::string& path)
    {
        h = CreateFileW(W(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        return h != INVALID_HANDLE_VALUE;
    }
    bool Write(const char* data, std::size_t size)
    {
        DWORD written = 0;
        return WriteFile(h, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    }
    void Close() { CloseHandle(h); }
#else
    int fd = -1;
    bool Open(const std::string& path)
    {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        return fd >= 0;
    }
    bool Write(const char* data, std::size_t size)
    {
        while (size > 0) {
            ssize_t n = write(fd, data, size);
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
    void Close() { close(fd); }
#endif
};

// Reads until size bytes came or the input ended, so buffers have the sizes asked for even
// from a pipe.
std::size_t ReadFull(std::FILE* in, char* buf, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        std::size_t n = std::fread(buf + got, 1, size - got, in);
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

int Run(const std::vector<std::string>& args)
{
    if (args.size() < 2)
        return Usage();
    const std::string plugin = args[0], output = args[1];
    std::string input;
    unsigned long long buffer_arg = 65536;
    bool overwrite = false, raw = false;
    int pace_ms = 0;
    std::vector<Event> events;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool has_value = i + 1 < args.size();
        if (a == "--overwrite") {
            overwrite = true;
        } else if (a == "--raw") {
            raw = true;
        } else if (a == "--input" && has_value) {
            input = args[++i];
        } else if (a == "--buffer" && has_value) {
            buffer_arg = std::strtoull(args[++i].c_str(), nullptr, 10);
        } else if (a == "--pace" && has_value) {
            pace_ms = std::atoi(args[++i].c_str());
        } else if ((a == "--dup" || a == "--drop") && has_value) {
            const std::string& v = args[++i];
            std::size_t colon = v.find(':');
            if (colon == std::string::npos)
                return Usage();
            Event e;
            e.at = std::strtoull(v.substr(0, colon).c_str(), nullptr, 10);
            e.add = a == "--dup";
            std::string rest = v.substr(colon + 1);
            if (e.add) {
                // A mode suffix is ":-1", ":0" or ":1"; Windows paths have colons of their own.
                std::size_t last = rest.rfind(':');
                std::string tail = last != std::string::npos ? rest.substr(last + 1) : "";
                if (tail == "-1" || tail == "0" || tail == "1") {
                    e.mode = std::atoi(tail.c_str());
                    rest = rest.substr(0, last);
                }
                e.path = rest;
            } else {
                e.index = std::strtoul(rest.c_str(), nullptr, 10);
            }
            events.push_back(e);
        } else {
            return Usage();
        }
    }
    // AddTSBuff takes a 32-bit size; checked before it becomes a size_t, which may be as narrow.
    if (buffer_arg == 0 || buffer_arg > 0xFFFFFFFFull)
        return Usage();
    const std::size_t buffer = static_cast<std::size_t>(buffer_arg);
    std::vector<std::size_t> dups;  // indices into events of the --dup entries, in order
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].add)
            dups.push_back(i);
    }
    // Events run in the order of their positions; ties keep the command-line order.
    std::vector<std::size_t> order(events.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return events[a].at < events[b].at; });

    std::FILE* in = stdin;
    if (!input.empty()) {
#ifdef _WIN32
        in = _wfopen(W(input).c_str(), L"rb");
#else
        in = std::fopen(input.c_str(), "rb");
#endif
        if (in == nullptr) {
            std::fprintf(stderr, "cannot open %s\n", input.c_str());
            return 1;
        }
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    }
    std::vector<char> buf(buffer);
    unsigned long long fed = 0, buffers = 0, refused = 0;

    if (raw) {
        std::vector<RawFile> files(1 + dups.size());
        if (!files[0].Open(output))
            return 1;
        for (std::size_t d = 0; d < dups.size(); ++d) {
            if (!files[d + 1].Open(events[dups[d]].path))
                return 1;
        }
        for (;;) {
            std::size_t n = ReadFull(in, buf.data(), buffer);
            if (n == 0)
                break;
            for (RawFile& f : files)
                refused += f.Write(buf.data(), n) ? 0 : 1;
            fed += n;
            ++buffers;
        }
        for (RawFile& f : files)
            f.Close();
        std::printf("raw %zu files fed %llu buffers %llu refused %llu\n", files.size(), fed,
                    buffers, refused);
        return refused == 0 ? 0 : 1;
    }

    PlugInLibrary lib;
    if (!lib.Load(plugin) || lib.api().CreateCtrl == nullptr || lib.api().AddTSBuff == nullptr) {
        std::fprintf(stderr, "cannot load the write plug-in %s\n", plugin.c_str());
        return 1;
    }
    const PlugInApi& q = lib.api();
    DWORD id = 0;
    if (!q.CreateCtrl(&id)) {
        std::fprintf(stderr, "CreateCtrl failed\n");
        return 1;
    }
    BOOL started = q.StartSave(id, W(output).c_str(), overwrite ? 1 : 0, 0);
    WStr save_path = lib.SavePath(id);
    std::printf("save %d %s\n", started, N(save_path).c_str());
    std::fflush(stdout);

    std::size_t next = 0;
    auto run_events = [&] {
        while (next < order.size() && events[order[next]].at <= fed) {
            Event& e = events[order[next++]];
            if (e.add) {
                std::size_t number = static_cast<std::size_t>(
                    std::find(dups.begin(), dups.end(), order[next - 1]) - dups.begin() + 1);
                WStr path = W(e.path);
                path.resize(1024, 0);
                BOOL ok = q.DuplicateSave(save_path.c_str(), &e.id, &path[0], 1024, e.mode, 0);
                std::printf("dup %zu at %llu ret %d id %u path %s\n", number, fed, ok,
                            static_cast<unsigned>(ok ? e.id : 0), N(WStr(path.c_str())).c_str());
                if (!ok)
                    e.id = 0;
            } else {
                DWORD out = e.index >= 1 && e.index <= dups.size() ? events[dups[e.index - 1]].id : 0;
                BOOL ok = q.DuplicateSave(save_path.c_str(), &out, nullptr, 0, -1, 0);
                std::printf("drop %zu at %llu ret %d\n", e.index, fed, ok);
            }
            std::fflush(stdout);
        }
    };
    for (;;) {
        run_events();
        std::size_t want = buffer;
        if (next < order.size())
            want = static_cast<std::size_t>(
                std::min<unsigned long long>(want, events[order[next]].at - fed));
        std::size_t n = ReadFull(in, buf.data(), want);
        if (n == 0)
            break;
        DWORD written = 0;
        if (!q.AddTSBuff(id, reinterpret_cast<const BYTE*>(buf.data()), static_cast<DWORD>(n),
                         &written))
            ++refused;
        fed += n;
        ++buffers;
        if (pace_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pace_ms));
    }
    run_events();
    std::printf("fed %llu buffers %llu refused %llu\n", fed, buffers, refused);
    BOOL stopped = q.StopSave(id);
    std::printf("stop %d\n", stopped);
    q.DeleteCtrl(id);
    if (in != stdin)
        std::fclose(in);
    return started && refused == 0 && stopped ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    // The same report bytes on both systems: no CR before each newline.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(N(WStr(argv[i])));
    return Run(args);
}
#else
int main(int argc, char** argv)
{
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
