#include "platform/mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A waiter sees the change made under the mutex before the signal, and a wait nobody
// signals ends when its time runs out, with the mutex held again either way.
TEST(CondVar, WaiterSeesTheChangeAndTimedWaitsEnd) {
  kdr::Mutex mu;
  kdr::CondVar cv;
  bool ready = false;
  int seen = 0;
  std::thread waiter([&] {
    kdr::MutexLock hold(&mu);
    while (!ready) cv.Wait(&mu);
    seen = 1;
  });
  {
    kdr::MutexLock hold(&mu);
    ready = true;
    cv.SignalAll();
  }
  waiter.join();
  EXPECT_EQ(seen, 1);

  // Nobody signals now: each wait ends by its time (a spurious wake may end one early).
  kdr::MutexLock hold(&mu);
  int early = 0;
  while (cv.WaitFor(&mu, 5ms) && ++early < 100) {
  }
  while (cv.WaitUntil(&mu, std::chrono::steady_clock::now() + 5ms) && ++early < 100) {
  }
  EXPECT_LT(early, 100);
}

}  // namespace
