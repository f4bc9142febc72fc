#include "platform/fault.h"

#include <atomic>
#include <cerrno>

namespace kdr::platform {
namespace {

struct Plan {
  std::atomic<int> skip{0};
  std::atomic<int> times{0};  // calls still to fail; < 0 means all
  std::atomic<int> err{0};
  std::atomic<int> fired{0};
};

constexpr int kKinds = static_cast<int>(Sys::kCount);
// Trivially destructible storage: the seam may be hit while static destructors run.
Plan g_plans[kKinds];
std::atomic<int> g_armed{0};  // number of kinds with a plan

}  // namespace

void InjectFault(Sys call, int err, int skip, int times) {
  Plan& p = g_plans[static_cast<int>(call)];
  bool was_armed = p.times.load() != 0;
  p.err.store(err);
  p.skip.store(skip < 0 ? 0 : skip);
  p.times.store(times);
  if (!was_armed && times != 0) g_armed.fetch_add(1);
  if (was_armed && times == 0) g_armed.fetch_sub(1);
}

void ClearFaults() {
  for (Plan& p : g_plans) {
    p.times.store(0);
    p.skip.store(0);
    p.fired.store(0);
  }
  g_armed.store(0);
}

int FaultsFired(Sys call) { return g_plans[static_cast<int>(call)].fired.load(); }

bool FaultHit(Sys call) {
  if (g_armed.load(std::memory_order_relaxed) == 0) return false;
  Plan& p = g_plans[static_cast<int>(call)];
  if (p.times.load() == 0) return false;
  // Let the skipped calls through first.
  int skip = p.skip.load();
  while (skip > 0) {
    if (p.skip.compare_exchange_weak(skip, skip - 1)) return false;
  }
  int times = p.times.load();
  for (;;) {
    if (times == 0) return false;
    if (times < 0 || p.times.compare_exchange_weak(times, times - 1)) break;
  }
  p.fired.fetch_add(1);
  errno = p.err.load();
  return true;
}

}  // namespace kdr::platform
