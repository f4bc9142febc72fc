#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "platform/fault.h"

#if defined(KDR_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace kdr::platform {

static_assert(sizeof(pthread_mutex_t) <= sizeof(RecursiveLock::storage),
              "RecursiveLock storage too small for pthread_mutex_t");
static_assert(alignof(pthread_mutex_t) <= 16, "RecursiveLock storage misaligned");

namespace {

pthread_mutex_t* AsMutex(RecursiveLock* lock) {
  return reinterpret_cast<pthread_mutex_t*>(lock->storage);
}

}  // namespace

bool RecursiveLockInit(RecursiveLock* lock) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  rc = pthread_mutex_init(new (lock->storage) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  return true;
}

void RecursiveLockEnter(RecursiveLock* lock) { pthread_mutex_lock(AsMutex(lock)); }

void RecursiveLockLeave(RecursiveLock* lock) { pthread_mutex_unlock(AsMutex(lock)); }

// Asked of the kernel once per thread: every library entry and every lock of the store asks
// for it. The process never forks, so a thread's id never changes under it.
uint32_t CurrentThreadId() {
  static thread_local uint32_t id = 0;
  if (id == 0) id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

// A thread handle: the joinable pthread and the exit code asked for by ThreadCancel.
struct Thread {
  pthread_t tid;
  uint32_t cancel_code;
};

namespace {

// Handed from ThreadStart to the new thread; lives on the starter's stack until the new
// thread has reported its id.
struct StartBlock {
  ThreadRoutine routine;
  void* arg;
  uint32_t id;
  bool ready;
  pthread_mutex_t mu;
  pthread_cond_t cv;
};

#if defined(KDR_ASAN)
// A cancelled thread unwinds without running the instrumented epilogues, so its dead frames
// keep their redzones and AddressSanitizer's own thread teardown then writes into them.
// Clear the shadow of everything below the frame that is unwinding.
void UnpoisonDeadFrames(void*) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0) {
    char here = 0;
    char* top = &here;
    if (top > static_cast<char*>(low))
      __asan_unpoison_memory_region(low, static_cast<size_t>(top - static_cast<char*>(low)));
  }
  pthread_attr_destroy(&attr);
}
#endif

void* Trampoline(void* p) {
  StartBlock* start = static_cast<StartBlock*>(p);
  ThreadRoutine routine = start->routine;
  void* arg = start->arg;
  pthread_mutex_lock(&start->mu);
  start->id = CurrentThreadId();
  start->ready = true;
  pthread_cond_signal(&start->cv);
  pthread_mutex_unlock(&start->mu);
  // `start` may be gone from here on.
  uint32_t code = 0;
#if defined(KDR_ASAN)
  pthread_cleanup_push(UnpoisonDeadFrames, nullptr);
#endif
  code = routine(arg);
#if defined(KDR_ASAN)
  pthread_cleanup_pop(0);
#endif
  return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

}  // namespace

Thread* ThreadStart(ThreadRoutine routine, void* arg, uint32_t* id) {
  if (routine == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (FaultHit(Sys::kThreadCreate)) return nullptr;
  Thread* t = new (std::nothrow) Thread{};
  if (t == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  StartBlock start{routine, arg, 0, false, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER};
  int rc = pthread_create(&t->tid, nullptr, Trampoline, &start);
  if (rc != 0) {
    delete t;
    errno = rc;
    return nullptr;
  }
  pthread_mutex_lock(&start.mu);
  while (!start.ready) pthread_cond_wait(&start.cv, &start.mu);
  pthread_mutex_unlock(&start.mu);
  pthread_cond_destroy(&start.cv);
  pthread_mutex_destroy(&start.mu);
  if (id != nullptr) *id = start.id;
  return t;
}

void ThreadCancel(Thread* thread, uint32_t exit_code) {
  if (thread == nullptr) return;
  thread->cancel_code = exit_code;
  // The thread is joinable until ThreadJoin/ThreadRelease, so its pthread_t stays valid even
  // after it ended; cancelling an ended thread has no effect.
  pthread_cancel(thread->tid);
}

int ThreadJoin(Thread* thread, uint32_t* exit_code) {
  if (thread == nullptr) return EINVAL;
  void* ret = nullptr;
  int rc = pthread_join(thread->tid, &ret);
  if (rc == 0 && exit_code != nullptr) {
    *exit_code = ret == PTHREAD_CANCELED ? thread->cancel_code
                                         : static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ret));
  }
  delete thread;
  return rc;
}

void ThreadRelease(Thread* thread) {
  if (thread == nullptr) return;
  pthread_detach(thread->tid);
  delete thread;
}

}  // namespace kdr::platform
