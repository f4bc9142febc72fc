#include "platform/env.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace kdr::platform {
namespace {

// Settings made while another thread reads the environment, as in a JVM: each is seen at
// once, by the library's reads and by getenv(3), a changed one replaces the old value, and
// a name that cannot be a variable's is refused.
TEST(Env, SettingsMadeWhileAnotherThreadReadsAreSeen) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) (void)std::getenv("KDR_ENV_TEST_NONE");
  });
  for (int i = 0; i < 200; ++i) {
    std::string name = "KDR_ENV_TEST_" + std::to_string(i);
    ASSERT_EQ(SetEnv(name.c_str(), "v"), 0);
    EXPECT_STREQ(GetEnv(name.c_str()), "v");
  }
  ASSERT_EQ(SetEnv("KDR_ENV_TEST_0", "w"), 0);
  EXPECT_STREQ(std::getenv("KDR_ENV_TEST_0"), "w");
  EXPECT_EQ(SetEnv("A=B", "x"), EINVAL);
  EXPECT_EQ(SetEnv("", "x"), EINVAL);
  stop.store(true);
  reader.join();
}

}  // namespace
}  // namespace kdr::platform
