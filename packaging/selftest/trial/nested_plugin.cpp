// A nested write plug-in for the tests: the six functions of the nested contract, each call
// logged with its arguments and result to "<own file>.log", each able to fail on demand
// through "<own file>.fail". A save writes the bytes it is given to the requested path with
// ".nested" appended, and reports that path, so a test can tell whose path it got back.
//
// The fail file holds lines "Name" (every call of Name fails) or "Name N" (its N-th call since
// the library was loaded fails); it is read at every call. A failing call changes nothing.
// Built with NESTED_LACKS_ADDTSBUFF it exports only five of the six functions.
#ifdef _WIN32
#include <windows.h>
#define NESTED_EXPORT extern "C" __declspec(dllexport)
typedef wchar_t Unit;
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#define NESTED_EXPORT extern "C" __attribute__((visibility("default")))
#define WINAPI
typedef int BOOL;
typedef unsigned int DWORD;
typedef unsigned char BYTE;
typedef unsigned long long ULONGLONG;
typedef char16_t Unit;
#endif

#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include "selftest/win_process.h"
#else
#include "utf16_convert.h"
#endif

namespace {

struct Ctrl {
    bool inUse;
    bool saving;
    std::FILE* file;
    std::basic_string<Unit> path;
};
Ctrl ctrls[64];
constexpr DWORD first_id = 101;  // apart from the host's ids, and never 0
int call_counts[6];

std::string OwnPath()
{
#ifdef _WIN32
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnPath), &self);
    char buf[1024];
    DWORD n = GetModuleFileNameA(self, buf, sizeof buf);
    return std::string(buf, n);
#else
    Dl_info info;
    dladdr(reinterpret_cast<void*>(&OwnPath), &info);
    return info.dli_fname;
#endif
}

std::string Utf8(const Unit* s)
{
#ifdef _WIN32
    return s != nullptr ? selftest::Utf8(s) : std::string();
#else
    return utf16::Narrow(s);
#endif
}

// Appends one line with the platform's own calls: this also runs while the library unloads.
void Log(const std::string& line)
{
    std::string path = OwnPath() + ".log";
    std::string text = line + "\n";
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
#endif
}

// Counts this call of function (index 0 to 5) and tells whether the fail file wants it to fail.
bool ShouldFail(int index, const char* name)
{
    int count = ++call_counts[index];
    std::FILE* f = std::fopen((OwnPath() + ".fail").c_str(), "r");
    if (f == nullptr)
        return false;
    char line[128];
    bool fail = false;
    while (!fail && std::fgets(line, sizeof line, f) != nullptr) {
        char word[64];
        int nth = 0;
        int fields = std::sscanf(line, "%63s %d", word, &nth);
        if (fields >= 1 && std::strcmp(word, name) == 0)
            fail = fields == 1 || nth == count;
    }
    std::fclose(f);
    return fail;
}

std::string Text(const char* name, DWORD id, BOOL result)
{
    return std::string(name) + " id=" + std::to_string(id) + " ret=" + std::to_string(result);
}

Ctrl* Find(DWORD id)
{
    if (id < first_id || id - first_id >= 64 || !ctrls[id - first_id].inUse)
        return nullptr;
    return &ctrls[id - first_id];
}

std::FILE* OpenFile(const std::basic_string<Unit>& path)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wb");
#else
    return std::fopen(Utf8(path.c_str()).c_str(), "wb");
#endif
}

void CloseSave(Ctrl* c)
{
    if (c->file != nullptr)
        std::fclose(c->file);
    c->file = nullptr;
    c->saving = false;
}

struct LoadLog {
    LoadLog() { Log("load"); }
    ~LoadLog() { Log("unload"); }
} load_log;

}  // namespace

NESTED_EXPORT BOOL WINAPI CreateCtrl(DWORD* id)
{
    if (ShouldFail(0, "CreateCtrl")) {
        Log("CreateCtrl ret=0");
        return 0;
    }
    for (DWORD i = 0; i < 64; ++i) {
        if (!ctrls[i].inUse) {
            ctrls[i].inUse = true;
            *id = first_id + i;
            Log(Text("CreateCtrl", *id, 1));
            return 1;
        }
    }
    Log("CreateCtrl ret=0");
    return 0;
}

NESTED_EXPORT BOOL WINAPI DeleteCtrl(DWORD id)
{
    Ctrl* c = Find(id);
    BOOL ok = !ShouldFail(1, "DeleteCtrl") && c != nullptr;
    if (ok) {
        CloseSave(c);
        c->inUse = false;
    }
    Log(Text("DeleteCtrl", id, ok));
    return ok;
}

NESTED_EXPORT BOOL WINAPI StartSave(DWORD id, const Unit* fileName, BOOL overwrite,
                                    ULONGLONG startParam)
{
    Ctrl* c = Find(id);
    BOOL ok = !ShouldFail(2, "StartSave") && c != nullptr && fileName != nullptr;
    if (ok) {
        CloseSave(c);
        c->path = fileName;
        for (const char* s = ".nested"; *s != 0; ++s)
            c->path.push_back(static_cast<Unit>(*s));
        c->file = OpenFile(c->path);
        ok = c->file != nullptr;
        c->saving = ok;
    }
    Log(Text("StartSave", id, ok) + " path=" + Utf8(fileName) +
        " overwrite=" + std::to_string(overwrite) + " param=" + std::to_string(startParam));
    return ok;
}

NESTED_EXPORT BOOL WINAPI StopSave(DWORD id)
{
    Ctrl* c = Find(id);
    BOOL ok = !ShouldFail(3, "StopSave") && c != nullptr;
    if (ok)
        CloseSave(c);
    Log(Text("StopSave", id, ok));
    return ok;
}

NESTED_EXPORT BOOL WINAPI GetSaveFilePath(DWORD id, Unit* filePath, DWORD* filePathSize)
{
    Ctrl* c = Find(id);
    DWORD capacity = filePathSize != nullptr ? *filePathSize : 0;
    BOOL ok = !ShouldFail(4, "GetSaveFilePath") && c != nullptr && filePathSize != nullptr;
    if (ok) {
        DWORD required = static_cast<DWORD>(c->path.size() + 1);
        if (filePath != nullptr && capacity >= required) {
            std::memcpy(filePath, c->path.c_str(), required * sizeof(Unit));
        } else {
            *filePathSize = required;
            ok = filePath == nullptr;
        }
    }
    Log(Text("GetSaveFilePath", id, ok) + " cap=" + std::to_string(capacity));
    return ok;
}

#ifndef NESTED_LACKS_ADDTSBUFF
NESTED_EXPORT BOOL WINAPI AddTSBuff(DWORD id, const BYTE* data, DWORD size, DWORD* writeSize)
{
    Ctrl* c = Find(id);
    // The pointers as received, so a test can tell its own buffer and counter were handed on.
    char where[64];
    std::snprintf(where, sizeof where, " data=%p ws=%p", static_cast<const void*>(data),
                  static_cast<void*>(writeSize));
    BOOL ok = !ShouldFail(5, "AddTSBuff") && c != nullptr && c->saving && data != nullptr &&
              writeSize != nullptr;
    if (ok) {
        ok = std::fwrite(data, 1, size, c->file) == size && std::fflush(c->file) == 0;
        *writeSize = ok ? size : 0;
    }
    Log(Text("AddTSBuff", id, ok) + " size=" + std::to_string(size) + where);
    return ok;
}
#endif
