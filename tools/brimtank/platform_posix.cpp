// POSIX side of brimtank's seam: standard streams are already binary; the lock is a pthread
// mutex, an auto-reset event a mutex, a condition variable and a flag, the writer a pthread.
#include "platform.h"

#include <pthread.h>

#include <cstring>
#include <new>

namespace plat {

bool SetBinaryStdio()
{
    return true;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage), "Lock too small for a mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(Lock), "Lock under-aligned for a mutex");

static pthread_mutex_t* as_mutex(Lock* lock)
{
    return reinterpret_cast<pthread_mutex_t*>(lock->storage);
}

void InitLock(Lock* lock)
{
    pthread_mutex_init(new (lock->storage) pthread_mutex_t, nullptr);
}

void EnterLock(Lock* lock)
{
    pthread_mutex_lock(as_mutex(lock));
}

void LeaveLock(Lock* lock)
{
    pthread_mutex_unlock(as_mutex(lock));
}

void DeleteLock(Lock* lock)
{
    pthread_mutex_destroy(as_mutex(lock));
}

namespace {

struct Event {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled;
};

}  // namespace

AutoEvent CreateAutoEvent()
{
    // The raw allocation and its release, not new and delete: the record is plain data that
    // pthread_*_init sets up, and a delete expression would test for null where none comes.
    Event* e = static_cast<Event*>(::operator new(sizeof(Event), std::nothrow));
    if (e == nullptr)
        return nullptr;
    // GCOVR_EXCL_START: only failing system calls lead here: glibc's mutex and condition
    // variable with default attributes allocate nothing and never fail; other systems' may.
    if (pthread_mutex_init(&e->mutex, nullptr) != 0) {
        ::operator delete(e);
        return nullptr;
    }
    if (pthread_cond_init(&e->cond, nullptr) != 0) {
        pthread_mutex_destroy(&e->mutex);
        ::operator delete(e);
        return nullptr;
    }
    // GCOVR_EXCL_STOP
    e->signalled = false;
    return e;
}

void SetAutoEvent(AutoEvent event)
{
    Event* e = static_cast<Event*>(event);
    pthread_mutex_lock(&e->mutex);
    e->signalled = true;
    pthread_cond_signal(&e->cond);
    pthread_mutex_unlock(&e->mutex);
}

// The flag, not the wake-up, carries the signal: a wake-up without it is spurious, and a signal
// given before the wait began is found at once.
void WaitAutoEvent(AutoEvent event)
{
    Event* e = static_cast<Event*>(event);
    pthread_mutex_lock(&e->mutex);
    while (!e->signalled)
        pthread_cond_wait(&e->cond, &e->mutex);
    e->signalled = false;
    pthread_mutex_unlock(&e->mutex);
}

void CloseAutoEvent(AutoEvent event)
{
    Event* e = static_cast<Event*>(event);
    pthread_cond_destroy(&e->cond);
    pthread_mutex_destroy(&e->mutex);
    ::operator delete(e);
}

namespace {

// pthread_create passes one pointer: the caller's record, which holds the procedure and its
// context.
void* thread_entry(void* record)
{
    Thread* thread = static_cast<Thread*>(record);
    thread->proc(thread->context);
    return nullptr;
}

}  // namespace

static_assert(sizeof(pthread_t) <= sizeof(Thread::handle), "handle too small for pthread_t");

bool StartThread(Thread* thread, ThreadProc proc, void* context)
{
    thread->proc = proc;
    thread->context = context;
    pthread_t id;
    if (pthread_create(&id, nullptr, thread_entry, thread) != 0)
        return false;
    std::memcpy(&thread->handle, &id, sizeof id);
    return true;
}

void JoinThread(Thread* thread)
{
    pthread_t id;
    std::memcpy(&id, &thread->handle, sizeof id);
    pthread_join(id, nullptr);
}

}  // namespace plat
