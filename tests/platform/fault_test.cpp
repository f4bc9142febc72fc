#include "platform/fault.h"

#include <cerrno>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kdr::platform {
namespace {

class FaultSeam : public ::testing::Test {
 protected:
  void TearDown() override { ClearFaults(); }
};

TEST_F(FaultSeam, SkipsThenFailsTheArmedNumberOfCalls) {
  InjectFault(Sys::kWrite, ENOSPC, /*skip=*/2, /*times=*/2);
  EXPECT_FALSE(FaultHit(Sys::kWrite));
  EXPECT_FALSE(FaultHit(Sys::kWrite));
  errno = 0;
  EXPECT_TRUE(FaultHit(Sys::kWrite));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_TRUE(FaultHit(Sys::kWrite));
  EXPECT_FALSE(FaultHit(Sys::kWrite));
  EXPECT_EQ(FaultsFired(Sys::kWrite), 2);
  // Other kinds of call are untouched.
  EXPECT_FALSE(FaultHit(Sys::kRead));
}

TEST_F(FaultSeam, ClearDisarmsEverything) {
  InjectFault(Sys::kMmap, ENOMEM, 0, -1);
  EXPECT_TRUE(FaultHit(Sys::kMmap));
  EXPECT_TRUE(FaultHit(Sys::kMmap));
  ClearFaults();
  EXPECT_FALSE(FaultHit(Sys::kMmap));
  EXPECT_EQ(FaultsFired(Sys::kMmap), 0);
}

TEST_F(FaultSeam, ConcurrentCallersFailExactlyTheArmedCount) {
  InjectFault(Sys::kSend, EPIPE, 100, 50);
  std::atomic<int> hits{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        if (FaultHit(Sys::kSend)) hits.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(hits.load(), 50);
}

}  // namespace
}  // namespace kdr::platform
