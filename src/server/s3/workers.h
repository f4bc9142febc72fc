// A few threads for work done ahead of a reader (chunk fetches) or beside the caller (upload
// parts). Jobs still queued when the pool is destroyed are dropped: they were only worth
// doing ahead.
#ifndef KDR_SERVER_S3_WORKERS_H_
#define KDR_SERVER_S3_WORKERS_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kdr::server::s3 {

class Workers {
 public:
  explicit Workers(int n) {
    for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Loop(); });
  }
  ~Workers() {
    {
      std::lock_guard<std::mutex> guard(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> guard(mu_);
      jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
  }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;  // guarded by mu_
  bool stop_ = false;                       // guarded by mu_
  std::vector<std::thread> threads_;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_WORKERS_H_
