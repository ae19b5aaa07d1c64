// The counting seam of counting_platform.h, built on std::mutex, std::condition_variable and
// std::thread; each call keeps its promise of platform.h as the real layers do.
#include "counting_platform.h"

#include "platform.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

namespace {

std::mutex state_mu;
counting_platform::Counts counts;
int events_until_failure = 0;  // 0: none fails
bool thread_start_fails = false;
bool binary_stdio_fails = false;

struct Event {
    std::mutex mu;
    std::condition_variable cv;
    bool signalled = false;
};

std::mutex* as_mutex(plat::Lock* lock)
{
    return reinterpret_cast<std::mutex*>(lock->storage);
}

}  // namespace

namespace counting_platform {

Counts Now()
{
    std::lock_guard<std::mutex> hold(state_mu);
    return counts;
}

void Reset()
{
    std::lock_guard<std::mutex> hold(state_mu);
    counts = Counts{};
    events_until_failure = 0;
    thread_start_fails = false;
    binary_stdio_fails = false;
}

void FailEventCreation(int nth)
{
    std::lock_guard<std::mutex> hold(state_mu);
    events_until_failure = nth;
}

void FailThreadStart(bool fail)
{
    std::lock_guard<std::mutex> hold(state_mu);
    thread_start_fails = fail;
}

void FailBinaryStdio(bool fail)
{
    std::lock_guard<std::mutex> hold(state_mu);
    binary_stdio_fails = fail;
}

}  // namespace counting_platform

namespace plat {

bool SetBinaryStdio()
{
    std::lock_guard<std::mutex> hold(state_mu);
    return !binary_stdio_fails;
}

static_assert(sizeof(std::mutex) <= sizeof(Lock::storage), "Lock too small for std::mutex");
static_assert(alignof(std::mutex) <= alignof(Lock), "Lock under-aligned for std::mutex");

void InitLock(Lock* lock)
{
    new (lock->storage) std::mutex;
    std::lock_guard<std::mutex> hold(state_mu);
    ++counts.locks_made;
    ++counts.locks_open;
}

void EnterLock(Lock* lock)
{
    as_mutex(lock)->lock();
}

void LeaveLock(Lock* lock)
{
    as_mutex(lock)->unlock();
}

void DeleteLock(Lock* lock)
{
    as_mutex(lock)->~mutex();
    std::lock_guard<std::mutex> hold(state_mu);
    --counts.locks_open;
}

AutoEvent CreateAutoEvent()
{
    std::lock_guard<std::mutex> hold(state_mu);
    if (events_until_failure > 0 && --events_until_failure == 0)
        return nullptr;
    ++counts.events_made;
    ++counts.events_open;
    return new Event;
}

void SetAutoEvent(AutoEvent event)
{
    Event* e = static_cast<Event*>(event);
    std::lock_guard<std::mutex> hold(e->mu);
    e->signalled = true;
    e->cv.notify_one();
}

void WaitAutoEvent(AutoEvent event)
{
    Event* e = static_cast<Event*>(event);
    std::unique_lock<std::mutex> hold(e->mu);
    {
        std::lock_guard<std::mutex> count(state_mu);
        ++counts.waiting;
    }
    e->cv.wait(hold, [e] { return e->signalled; });
    e->signalled = false;
    std::lock_guard<std::mutex> count(state_mu);
    --counts.waiting;
}

void CloseAutoEvent(AutoEvent event)
{
    delete static_cast<Event*>(event);
    std::lock_guard<std::mutex> hold(state_mu);
    --counts.events_open;
}

bool StartThread(Thread* thread, ThreadProc proc, void* context)
{
    {
        std::lock_guard<std::mutex> hold(state_mu);
        if (thread_start_fails)
            return false;
        ++counts.threads_started;
        ++counts.threads_running;
    }
    thread->proc = proc;
    thread->context = context;
    auto* t = new std::thread([thread] { thread->proc(thread->context); });
    thread->handle = reinterpret_cast<std::uintptr_t>(t);
    return true;
}

void JoinThread(Thread* thread)
{
    auto* t = reinterpret_cast<std::thread*>(thread->handle);
    t->join();
    delete t;
    std::lock_guard<std::mutex> hold(state_mu);
    --counts.threads_running;
}

}  // namespace plat
