// Monotonic time and sleeping.
#ifndef KDR_PLATFORM_CLOCK_H_
#define KDR_PLATFORM_CLOCK_H_

#include <cstdint>

namespace kdr::platform {

// Milliseconds of the monotonic clock since this library was loaded, as a signed 32-bit
// value: it counts up from about 0 and wraps from INT32_MAX to INT32_MIN after about 24.8
// days. Not affected by changes of the wall clock. Callers take differences (see
// KdrDeltaMs), never absolute values.
int32_t MonotonicMs();

// The milliseconds from MonotonicMs() value `from` to value `to`, right across the wrap (for
// values less than about 24.8 days apart).
inline int32_t ElapsedMs(int32_t from, int32_t to) {
  return static_cast<int32_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
}

// Suspends the calling thread for at least `ms` milliseconds. Interrupting signals do not
// shorten the sleep. A cancellation point (see ThreadCancel).
void SleepMs(uint32_t ms);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_CLOCK_H_
