// The baton seam of baton_platform.h. Two real threads, of which only the baton's holder runs;
// the other sleeps on a condition variable until the baton comes back. The lock needs no
// mutual exclusion of its own (only one thread runs), so it only records its holder; an event
// is a flag, consumed by the wait that finds it set.
#include "baton_platform.h"

#include "platform.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

constexpr int main_thread = 0;
constexpr int writer_thread = 1;
constexpr int nobody = -1;

struct Event {
    bool signalled = false;
};

std::mutex baton_mu;
std::condition_variable baton_cv;
int holder = main_thread;
thread_local int self = main_thread;
bool writer_live = false;          // started and not yet ended
bool main_joining = false;         // the main thread waits for the writer's end
const Event* waiting_for[2] = {};  // the event each thread waits on; null while it runs
int lock_holder = nobody;
baton_platform::Chooser chooser = nullptr;
void* chooser_context = nullptr;

[[noreturn]] void Fault(const char* what)
{
    std::printf("ORACLE %s thread: %s\n", self == main_thread ? "main" : "writer", what);
    std::fflush(stdout);
    std::abort();
}

// Under baton_mu.
bool CanRun(int thread)
{
    if (thread == writer_thread && !writer_live)
        return false;
    if (thread == main_thread && main_joining)
        return writer_live == false;
    return waiting_for[thread] == nullptr || waiting_for[thread]->signalled;
}

// Under baton_mu: gives the baton to the other thread and sleeps until it comes back.
void HandOver(std::unique_lock<std::mutex>& hold)
{
    holder = 1 - self;
    baton_cv.notify_all();
    baton_cv.wait(hold, [] { return holder == self; });
}

void NotInLock(const char* doing)
{
    if (lock_holder == self)
        Fault(doing);
}

}  // namespace

namespace baton_platform {

void SetChooser(Chooser c, void* context)
{
    std::lock_guard<std::mutex> hold(baton_mu);
    chooser = c;
    chooser_context = context;
}

void MaySwitch()
{
    std::unique_lock<std::mutex> hold(baton_mu);
    if (lock_holder == self || !CanRun(1 - self))
        return;
    if (chooser != nullptr && chooser(chooser_context))
        HandOver(hold);
}

}  // namespace baton_platform

namespace plat {

bool SetBinaryStdio()
{
    return true;
}

void InitLock(Lock*)
{
    lock_holder = nobody;
}

void EnterLock(Lock*)
{
    baton_platform::MaySwitch();
    std::lock_guard<std::mutex> hold(baton_mu);
    if (lock_holder != nobody)
        Fault("entered the lock while it was held");
    lock_holder = self;
}

void LeaveLock(Lock*)
{
    std::lock_guard<std::mutex> hold(baton_mu);
    if (lock_holder != self)
        Fault("left a lock it did not hold");
    lock_holder = nobody;
}

void DeleteLock(Lock*)
{
    std::lock_guard<std::mutex> hold(baton_mu);
    NotInLock("deleted the lock while holding it");
}

AutoEvent CreateAutoEvent()
{
    return new Event;
}

void SetAutoEvent(AutoEvent event)
{
    {
        std::lock_guard<std::mutex> hold(baton_mu);
        static_cast<Event*>(event)->signalled = true;
    }
    baton_platform::MaySwitch();
}

void WaitAutoEvent(AutoEvent event)
{
    Event* e = static_cast<Event*>(event);
    std::unique_lock<std::mutex> hold(baton_mu);
    NotInLock("waits inside the lock");
    waiting_for[self] = e;
    while (!e->signalled) {
        if (!CanRun(1 - self))
            Fault("waits for an event that nothing will set: a wake-up was lost");
        HandOver(hold);
    }
    waiting_for[self] = nullptr;
    e->signalled = false;
}

void CloseAutoEvent(AutoEvent event)
{
    delete static_cast<Event*>(event);
}

bool StartThread(Thread* thread, ThreadProc proc, void* context)
{
    thread->proc = proc;
    thread->context = context;
    {
        std::lock_guard<std::mutex> hold(baton_mu);
        writer_live = true;
        waiting_for[writer_thread] = nullptr;
    }
    auto* t = new std::thread([thread] {
        self = writer_thread;
        std::unique_lock<std::mutex> hold(baton_mu);
        baton_cv.wait(hold, [] { return holder == writer_thread; });
        hold.unlock();
        thread->proc(thread->context);
        hold.lock();
        NotInLock("ended inside the lock");
        writer_live = false;
        holder = main_thread;
        baton_cv.notify_all();
    });
    thread->handle = reinterpret_cast<std::uintptr_t>(t);
    return true;
}

void JoinThread(Thread* thread)
{
    {
        std::unique_lock<std::mutex> hold(baton_mu);
        NotInLock("waits for the writer inside the lock");
        main_joining = true;
        while (writer_live) {
            if (!CanRun(writer_thread))
                Fault("waits for a writer that waits for an event nothing will set");
            HandOver(hold);
        }
        main_joining = false;
    }
    auto* t = reinterpret_cast<std::thread*>(thread->handle);
    t->join();
    delete t;
}

}  // namespace plat
