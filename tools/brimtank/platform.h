// The operating-system seam of brimtank: binary standard streams, the writer thread, the one
// lock around the ring's indices and the two auto-reset events that wake the threads.
// platform_win32.cpp and platform_posix.cpp implement it, each with the program's entry point.
#pragma once

#include <cstdint>

// The portable program: arguments as the platform's wide strings, result the exit code.
int tool_main(int argc, wchar_t** argv);

namespace plat {

// Switches standard input, then standard output, to binary mode; false if either fails.
bool SetBinaryStdio();

// Room for one lock of either platform, constructed in place by InitLock, which cannot fail:
// the lock needs no allocation and no failure path of its own.
struct Lock {
    alignas(16) unsigned char storage[64];
};
void InitLock(Lock* lock);
void EnterLock(Lock* lock);
void LeaveLock(Lock* lock);
void DeleteLock(Lock* lock);

// An unnamed auto-reset event, created non-signalled. A signal stays until one wait consumes
// it; signalling an event that is already signalled changes nothing. Null means none.
using AutoEvent = void*;
AutoEvent CreateAutoEvent();  // null on failure
void SetAutoEvent(AutoEvent event);
void WaitAutoEvent(AutoEvent event);  // without time limit; consumes the signal
void CloseAutoEvent(AutoEvent event);

// A started thread; JoinThread waits for its end without time limit and releases it.
using ThreadHandle = std::uintptr_t;
using ThreadProc = unsigned (*)();
bool StartThread(ThreadProc proc, ThreadHandle* thread);  // false if it could not start
void JoinThread(ThreadHandle thread);

}  // namespace plat
