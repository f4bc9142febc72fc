// Mutexes the thread-safety analysis understands (platform/thread_annotations.h): a field
// declared GUARDED_BY(mu_) of a kdr::Mutex is checked by clang at every use.
//
//   kdr::Mutex mu_;
//   int count_ GUARDED_BY(mu_) = 0;
//   void Add() EXCLUDES(mu_) { kdr::MutexLock hold(&mu_); ++count_; }
//
// Not re-entrant, not process-shared (platform/shared_objects.h has those). A thread that
// waits for a change under a Mutex uses a kdr::CondVar with it.
#ifndef KDR_PLATFORM_MUTEX_H_
#define KDR_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/thread_annotations.h"

namespace kdr {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// A condition variable for a kdr::Mutex. Each wait is called with the mutex held, releases it
// while it sleeps and holds it again when it returns, as the analysis assumes. Waits may wake
// without a signal: callers test their condition in a loop (a predicate lambda would read
// guarded fields where the analysis cannot see the mutex held).
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu->mu_, std::adopt_lock);
    cv_.wait(held);
    held.release();
  }
  // False when the time ran out.
  template <class Rep, class Period>
  bool WaitFor(Mutex* mu, std::chrono::duration<Rep, Period> wait) REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu->mu_, std::adopt_lock);
    const bool signalled = cv_.wait_for(held, wait) == std::cv_status::no_timeout;
    held.release();
    return signalled;
  }
  template <class Clock, class Duration>
  bool WaitUntil(Mutex* mu, std::chrono::time_point<Clock, Duration> until) REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu->mu_, std::adopt_lock);
    const bool signalled = cv_.wait_until(held, until) == std::cv_status::no_timeout;
    held.release();
    return signalled;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

// Holds a Mutex for the life of a scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// A readers-writer mutex: many holders in shared mode, or one exclusive.
class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds a SharedMutex exclusively for the life of a scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~WriterLock() RELEASE() { mu_->Unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex* const mu_;
};

// Holds a SharedMutex shared for the life of a scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex* mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_->LockShared(); }
  ~ReaderLock() RELEASE() { mu_->UnlockShared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex* const mu_;
};

}  // namespace kdr

#endif  // KDR_PLATFORM_MUTEX_H_
