#include "platform/clock.h"

#include <time.h>

#include <cerrno>
#include <cstdint>

namespace kdr::platform {
namespace {

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Taken when the library is loaded (static initialisation); a plain integer, so it stays
// valid while exit() runs.
const int64_t g_load_ms = NowMs();

}  // namespace

int32_t MonotonicMs() {
  // Modulo 2^32, then read as signed: the value wraps like a 32-bit tick counter.
  return static_cast<int32_t>(static_cast<uint32_t>(NowMs() - g_load_ms));
}

void SleepMs(uint32_t ms) {
  struct timespec req;
  req.tv_sec = static_cast<time_t>(ms / 1000);
  req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  struct timespec rem;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace kdr::platform
