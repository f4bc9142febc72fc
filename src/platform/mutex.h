// Mutexes the thread-safety analysis understands (platform/thread_annotations.h): a field
// declared GUARDED_BY(mu_) of a kdr::Mutex is checked by clang at every use.
//
//   kdr::Mutex mu_;
//   int count_ GUARDED_BY(mu_) = 0;
//   void Add() EXCLUDES(mu_) { kdr::MutexLock hold(&mu_); ++count_; }
//
// Not re-entrant, not process-shared (platform/shared_objects.h has those). A condition
// variable needs std::mutex today, so a mutex that one waits on stays a std::mutex.
#ifndef KDR_PLATFORM_MUTEX_H_
#define KDR_PLATFORM_MUTEX_H_

#include <mutex>

#include "platform/thread_annotations.h"

namespace kdr {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // For code that cannot say which lock it holds: tells the analysis it is held.
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mu_;
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

}  // namespace kdr

#endif  // KDR_PLATFORM_MUTEX_H_
