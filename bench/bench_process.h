// What the benchmarks that drive other programs (a gateway, curl) share: the environment and
// a shell command run to its end.
#ifndef KDR_BENCH_BENCH_PROCESS_H_
#define KDR_BENCH_BENCH_PROCESS_H_

#include <cstdlib>
#include <string>

#include "platform/process.h"
#include "support/process_wait.h"

namespace kdr::bench {

// The value of variable `n`, or "" when it is not set.
inline std::string Env(const char* n) {
  const char* v = std::getenv(n);
  return v != nullptr ? v : "";
}

// Runs `cmd` through the shell and returns its exit status (-1 when it could not start; waits
// up to ten minutes).
inline long Run(const std::string& cmd) {
  long pid = 0;
  if (kdr::platform::SpawnShell(cmd.c_str(), &pid) != 0) return -1;
  return kdr::WaitForExitStatus(pid, 600000);
}

}  // namespace kdr::bench

#endif  // KDR_BENCH_BENCH_PROCESS_H_
