// The operating-system seam of brimtank: binary standard streams, the writer thread, the one
// lock around the ring's indices and the two auto-reset events that wake the threads.
// platform_win32.cpp and platform_posix.cpp implement it side by side.
#pragma once

#include <cstdint>

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

// A thread's work: called on the new thread with the context given to StartThread.
using ThreadProc = unsigned (*)(void* context);

// One started thread. The caller owns the record and keeps it in place from StartThread until
// JoinThread has returned: the new thread finds its procedure and context in it.
struct Thread {
    ThreadProc proc;
    void* context;
    std::uintptr_t handle;
};

// Starts proc(context) on a new thread; false if it could not start.
bool StartThread(Thread* thread, ThreadProc proc, void* context);
// Waits for the thread's end without time limit and releases it.
void JoinThread(Thread* thread);

}  // namespace plat
