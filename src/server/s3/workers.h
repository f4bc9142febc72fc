// A few threads for work done ahead of a reader (chunk fetches) or beside the caller (upload
// parts). Jobs still queued when the pool is destroyed are dropped: they were only worth
// doing ahead.
#ifndef KDR_SERVER_S3_WORKERS_H_
#define KDR_SERVER_S3_WORKERS_H_

#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "platform/mutex.h"

namespace kdr::server::s3 {

class Workers {
 public:
  explicit Workers(int n) {
    for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Loop(); });
  }
  ~Workers() {
    {
      kdr::MutexLock hold(&mu_);
      stop_ = true;
    }
    cv_.SignalAll();
    for (auto& t : threads_) t.join();
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  void Post(std::function<void()> job) EXCLUDES(mu_) {
    {
      kdr::MutexLock hold(&mu_);
      jobs_.push_back(std::move(job));
    }
    cv_.Signal();
  }

 private:
  void Loop() EXCLUDES(mu_) {
    for (;;) {
      std::function<void()> job;
      {
        kdr::MutexLock hold(&mu_);
        while (!stop_ && jobs_.empty()) cv_.Wait(&mu_);
        if (stop_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  kdr::Mutex mu_;
  kdr::CondVar cv_;
  std::deque<std::function<void()>> jobs_ GUARDED_BY(mu_);
  bool stop_ GUARDED_BY(mu_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_WORKERS_H_
