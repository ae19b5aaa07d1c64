// The platform file of the in-process tests, linked in place of the library's platform and
// entry files. It passes every call on to the real POSIX implementation except where a test
// asks otherwise: an output write that fails as on a full disk, or whose write(2) calls stop
// short or are interrupted, so the POSIX write loop has to put the output together; the path
// the library takes for its own file (so its settings and the nested plug-in come from a
// scratch directory); and nested plug-ins that live in the test program.
//
// Linking it also stands in for loading the library: the core is attached before main and
// detached at exit, as the load hooks do. Set what it does only while no export runs.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

namespace test_platform {

// A function of a nested plug-in, as the seam hands it out (plat::Proc); spelled here so that
// the reference model, which includes this header, includes no header of the library's.
typedef void (*Proc)();

// How one output write goes.
struct WriteFault {
    bool fail = false;          // nothing is written and the write fails (ENOSPC)
    std::size_t maxPiece = 0;   // else each write(2) moves at most this many bytes; 0: no limit
    bool interrupted = false;   // and the first write(2) is cut off by a signal (EINTR)
};

// Chooses how each output write goes, in the order the library writes; empty: they all go
// through. Also sets the count of FailedWrites back to 0.
void PlanWrites(std::function<WriteFault()> plan);
// The next afterCalls output writes go through; the one after fails without writing anything,
// and so does every later one when persist. A negative afterCalls switches faults off.
void FailWrites(int afterCalls, bool persist);
// Output writes failed by the plan since it was set.
int FailedWrites();

// The path reported as the library's own file; null: the real one (none in a test program).
void SetModulePath(const char* path);

// A nested plug-in inside the test program: loading a path whose file name is fileName gives
// it, and its functions are looked up by name in functions. It stays until the program ends.
void ProvideModule(const std::string& fileName, std::map<std::string, Proc> functions);
// Whether the library holds the module provided under fileName (loaded and not released).
bool ModuleHeld(const std::string& fileName);

}  // namespace test_platform
