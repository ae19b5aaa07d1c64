// Windows side of brimtank's seam: binary standard streams, a critical section for the lock,
// kernel auto-reset events and the writer thread from _beginthreadex.
#include "platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>

#include <new>

namespace plat {

bool SetBinaryStdio()
{
    if (_setmode(_fileno(stdin), _O_BINARY) < 0)
        return false;
    return _setmode(_fileno(stdout), _O_BINARY) >= 0;
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::storage), "Lock too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(Lock), "Lock under-aligned");

static CRITICAL_SECTION* as_section(Lock* lock)
{
    return reinterpret_cast<CRITICAL_SECTION*>(lock->storage);
}

void InitLock(Lock* lock)
{
    InitializeCriticalSection(new (lock->storage) CRITICAL_SECTION);
}

void EnterLock(Lock* lock)
{
    EnterCriticalSection(as_section(lock));
}

void LeaveLock(Lock* lock)
{
    LeaveCriticalSection(as_section(lock));
}

void DeleteLock(Lock* lock)
{
    DeleteCriticalSection(as_section(lock));
}

AutoEvent CreateAutoEvent()
{
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);  // NULL on failure
}

void SetAutoEvent(AutoEvent event)
{
    SetEvent(event);
}

void WaitAutoEvent(AutoEvent event)
{
    WaitForSingleObject(event, INFINITE);
}

void CloseAutoEvent(AutoEvent event)
{
    CloseHandle(event);
}

namespace {

// _beginthreadex passes one pointer: the caller's record, which holds the procedure and its
// context.
unsigned __stdcall thread_entry(void* record)
{
    Thread* thread = static_cast<Thread*>(record);
    return thread->proc(thread->context);
}

}  // namespace

bool StartThread(Thread* thread, ThreadProc proc, void* context)
{
    thread->proc = proc;
    thread->context = context;
    std::uintptr_t handle = _beginthreadex(nullptr, 0, thread_entry, thread, 0, nullptr);
    if (handle == 0)
        return false;  // no room for the thread's stack, say, just after the ring took its own
    thread->handle = handle;
    return true;
}

void JoinThread(Thread* thread)
{
    HANDLE h = reinterpret_cast<HANDLE>(thread->handle);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}

}  // namespace plat
