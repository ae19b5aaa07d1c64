// The platform file of the in-process tests, in place of platform_posix.cpp: it compiles the
// POSIX implementation in as plat_posix, and every call of the seam forwards to it, but outputs,
// the library's own path and module loading are taken over on request. See test_platform.h.
#include "test_platform.h"

#include "controls.h"
#define QUILL_POSIX_SEAM plat_posix
#include "platform_posix.cpp"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

namespace {

std::function<test_platform::WriteFault()> write_plan;
int failed_writes = 0;
std::string module_path;  // empty: the real one

// The write(2) under the POSIX write loop when an output write stops short or is interrupted.
test_platform::WriteFault current;
ssize_t FaultedWrite(int fd, const void* data, std::size_t size)
{
    if (current.interrupted) {
        current.interrupted = false;
        errno = EINTR;
        return -1;
    }
    return write(fd, data, current.maxPiece != 0 ? std::min(size, current.maxPiece) : size);
}

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

// Linking this file also stands in for loading the library: the core is attached before main
// and detached at exit, as the load hooks do.
struct Loaded {
    Loaded() { ProcessAttach(nullptr); }
    ~Loaded() { ProcessDetach(true); }
} loaded;

}  // namespace

void plat::InitLock(LockStorage* lock) { plat_posix::InitLock(lock); }
void plat::EnterLock(LockStorage* lock) { plat_posix::EnterLock(lock); }
void plat::LeaveLock(LockStorage* lock) { plat_posix::LeaveLock(lock); }
void plat::DeleteLock(LockStorage* lock) { plat_posix::DeleteLock(lock); }

HANDLE plat::CreateOutputFile(const WCHAR* path, bool overwrite)
{
    return plat_posix::CreateOutputFile(path, overwrite);
}

BOOL plat::WriteOutput(HANDLE file, const void* data, DWORD size, DWORD* written)
{
    test_platform::WriteFault fault = write_plan ? write_plan() : test_platform::WriteFault();
    if (fault.fail) {
        *written = 0;
        ++failed_writes;
        errno = ENOSPC;
        return FALSE;
    }
    if (fault.maxPiece == 0 && !fault.interrupted)
        return plat_posix::WriteOutput(file, data, size, written);
    current = fault;
    std::size_t done;
    bool ok = plat_posix::WriteAll(plat_posix::FdOf(file), data, size, &done, FaultedWrite);
    *written = static_cast<DWORD>(done);
    return ok ? TRUE : FALSE;
}

void plat::CloseOutput(HANDLE file)
{
    plat_posix::CloseOutput(file);
}

DWORD plat::OwnLongPath(HMODULE self, WCHAR* path, DWORD size)
{
    if (module_path.empty())
        return plat_posix::OwnLongPath(self, path, size);
    return plat_posix::ExistingPath(module_path, path, size);
}

HMODULE plat::LoadModule(const WCHAR* path)
{
    std::string file = utf16::Narrow(path);
    auto found = provided.find(file.substr(file.find_last_of('/') + 1));
    if (found == provided.end())
        return plat_posix::LoadModule(path);
    found->second.held = true;
    return &found->second;
}

plat::Proc plat::FindFunction(HMODULE module, const char* name)
{
    ProvidedModule* own = Provided(module);
    if (own == nullptr)
        return plat_posix::FindFunction(module, name);
    auto found = own->functions.find(name);
    return found != own->functions.end() ? found->second : nullptr;
}

void plat::ReleaseModule(HMODULE module)
{
    ProvidedModule* own = Provided(module);
    if (own == nullptr)
        plat_posix::ReleaseModule(module);
    else
        own->held = false;
}

UINT plat::ReadDataUnit(const WCHAR* file, UINT absent)
{
    return plat_posix::ReadDataUnit(file, absent);
}
void plat::ReadWritePlugin(const WCHAR* file, WCHAR* value, DWORD size)
{
    plat_posix::ReadWritePlugin(file, value, size);
}
bool plat::HasWritePlugin(const WCHAR* file) { return plat_posix::HasWritePlugin(file); }
void plat::WriteSettings(const WCHAR* file, const WCHAR* writePlugin, const WCHAR* dataUnit)
{
    plat_posix::WriteSettings(file, writePlugin, dataUnit);
}
INT_PTR plat::OpenForEditing(const WCHAR* file) { return plat_posix::OpenForEditing(file); }
bool plat::SamePath(const WCHAR* a, const WCHAR* b) { return plat_posix::SamePath(a, b); }
int plat::FormatNumbered(WCHAR* out, int n, const WCHAR* suffix)
{
    return plat_posix::FormatNumbered(out, n, suffix);
}

namespace test_platform {

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

void ProvideModule(const std::string& fileName, std::map<std::string, Proc> functions)
{
    provided[fileName].functions = std::move(functions);
}

bool ModuleHeld(const std::string& fileName)
{
    auto found = provided.find(fileName);
    return found != provided.end() && found->second.held;
}

}  // namespace test_platform
