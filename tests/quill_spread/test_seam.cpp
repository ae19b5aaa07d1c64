// The seam of the in-process tests: plat::seam bound to a copy of the POSIX seam with the
// output writes, the library's own path and module loading wrapped. See test_seam.h.
#include "test_seam.h"

#include "platform_posix.h"
#include "state.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

namespace {

std::function<test_seam::WriteFault()> write_plan;
int failed_writes = 0;
std::string module_path;  // empty: the real one

struct ProvidedModule {
    std::map<std::string, plat::Proc> functions;
    bool held = false;
};
// By file name; a module's handle is the address of its entry, which a map keeps in place.
std::map<std::string, ProvidedModule> provided;

ProvidedModule* Provided(HMODULE module)
{
    for (auto& entry : provided) {
        if (&entry.second == module)
            return &entry.second;
    }
    return nullptr;
}

BOOL WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    test_seam::WriteFault fault = write_plan ? write_plan() : test_seam::WriteFault();
    if (fault.fail) {
        *written = 0;
        ++failed_writes;
        errno = ENOSPC;
        return FALSE;
    }
    if (fault.maxPiece == 0 && !fault.interrupted)
        return plat::osSeam.WriteOutput(file, data, size, written);
    // The library's own loop, over a write(2) that stops short or is interrupted.
    int fd = plat_posix::FdOf(file);
    std::size_t limit = fault.maxPiece != 0 ? fault.maxPiece : size;
    bool interrupt = fault.interrupted;
    std::size_t done;
    bool ok = plat_posix::WriteAllWith(
        [fd, limit, &interrupt](const char* p, std::size_t n) -> ssize_t {
            if (interrupt) {
                interrupt = false;
                errno = EINTR;
                return -1;
            }
            return write(fd, p, std::min(n, limit));
        },
        data, size, &done);
    *written = static_cast<DWORD>(done);
    return ok ? TRUE : FALSE;
}

DWORD ModuleFileName(HMODULE module, WCHAR* path, DWORD size)
{
    if (module_path.empty())
        return plat::osSeam.ModuleFileName(module, path, size);
    return plat_posix::ReportModuleFile(module_path, path, size);
}

HMODULE LoadModule(const WCHAR* path)
{
    std::string file = plat_posix::Narrow(path);
    auto found = provided.find(file.substr(file.find_last_of('/') + 1));
    if (found == provided.end())
        return plat::osSeam.LoadModule(path);
    found->second.held = true;
    return &found->second;
}

plat::Proc FindFunction(HMODULE module, const char* name)
{
    ProvidedModule* own = Provided(module);
    if (own == nullptr)
        return plat::osSeam.FindFunction(module, name);
    auto found = own->functions.find(name);
    return found != own->functions.end() ? found->second : nullptr;
}

void ReleaseModule(HMODULE module)
{
    ProvidedModule* own = Provided(module);
    if (own == nullptr)
        plat::osSeam.ReleaseModule(module);
    else
        own->held = false;
}

plat::Seam Wrapped()
{
    plat::Seam seam = plat::osSeam;
    seam.WriteOutput = WriteOutput;
    seam.ModuleFileName = ModuleFileName;
    seam.LoadModule = LoadModule;
    seam.FindFunction = FindFunction;
    seam.ReleaseModule = ReleaseModule;
    return seam;
}

const plat::Seam wrapped = Wrapped();

// After the table above, which it needs: the members of one file start in order.
struct Loaded {
    Loaded() { ProcessAttach(nullptr); }
    ~Loaded() { ProcessDetach(true); }
} loaded;

}  // namespace

const plat::Seam& plat::seam = wrapped;

namespace test_seam {

void PlanWrites(std::function<WriteFault()> plan)
{
    write_plan = std::move(plan);
    failed_writes = 0;
}

void FailWrites(int afterCalls, bool persist)
{
    if (afterCalls < 0) {
        PlanWrites(nullptr);
        return;
    }
    PlanWrites([left = afterCalls, persist]() mutable {
        WriteFault fault;
        if (left > 0) {
            --left;
        } else if (left == 0) {
            fault.fail = true;
            if (!persist)
                left = -1;
        }
        return fault;
    });
}

int FailedWrites()
{
    return failed_writes;
}

void SetModulePath(const char* path)
{
    module_path = path != nullptr ? path : "";
}

void ProvideModule(const std::string& fileName, std::map<std::string, plat::Proc> functions)
{
    provided[fileName].functions = std::move(functions);
}

bool ModuleHeld(const std::string& fileName)
{
    auto found = provided.find(fileName);
    return found != provided.end() && found->second.held;
}

}  // namespace test_seam
