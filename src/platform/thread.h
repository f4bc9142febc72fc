// Threads, recursive locks and the calling thread's id.
//
// Shaped so that a Windows backend (critical sections, CreateThread) could sit beside the
// POSIX one without touching its callers.
#ifndef KDR_PLATFORM_THREAD_H_
#define KDR_PLATFORM_THREAD_H_

#include <cstdint>

namespace kdr::platform {

// A re-entrant mutual-exclusion lock in plain storage: trivially constructible and
// destructible, so it may live in static storage and still be used while exit() runs
// static destructors. A thread that holds it may take it again and must release it as many
// times. The storage is opaque; the POSIX backend checks at compile time that it fits.
struct RecursiveLock {
  alignas(16) unsigned char storage[64];
};

// Makes `lock` ready for use. REQUIRES: `lock` is not in use (not yet initialised, or
// initialised and never to be used again). On failure (no resources) returns false and
// sets errno; the lock must not be used.
bool RecursiveLockInit(RecursiveLock* lock);

// Takes `lock`, waiting as long as needed. REQUIRES: RecursiveLockInit() succeeded.
void RecursiveLockEnter(RecursiveLock* lock);

// Releases one hold of `lock`. REQUIRES: the calling thread holds it.
void RecursiveLockLeave(RecursiveLock* lock);

// The start routine of a thread: one pointer argument, an unsigned 32-bit exit code.
typedef uint32_t (*ThreadRoutine)(void* arg);

// An opaque thread handle.
struct Thread;

// Starts a thread running routine(arg) at once, with the default stack size.
// On success returns the handle and, before returning, stores the new thread's operating
// system id (the one CurrentThreadId() gives on that thread) in *id when `id` is not null.
// On failure returns nullptr, sets errno and stores nothing.
Thread* ThreadStart(ThreadRoutine routine, void* arg, uint32_t* id);

// Asks the thread to end at its next cancellation point (a sleep, a blocking read) with
// `exit_code` as its exit code. A thread that already ended is not affected.
// REQUIRES: `thread` came from ThreadStart() and was not released.
void ThreadCancel(Thread* thread, uint32_t exit_code);

// Waits until the thread has ended, stores its exit code in *exit_code (when not null) and
// releases the handle. Returns 0, or an errno value when the wait failed (the handle is then
// released all the same). REQUIRES: not called on the thread itself.
int ThreadJoin(Thread* thread, uint32_t* exit_code);

// Releases the handle without waiting; the thread runs on and its resources go when it ends.
void ThreadRelease(Thread* thread);

// The operating system's id of the calling thread (gettid on Linux). Never 0xFFFFFFFF.
uint32_t CurrentThreadId();

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_THREAD_H_
