// Waiting in tests for a child process to end.
#ifndef KDR_TESTS_SUPPORT_PROCESS_WAIT_H_
#define KDR_TESTS_SUPPORT_PROCESS_WAIT_H_

#include "platform/clock.h"
#include "platform/process.h"

namespace kdr {

// Polls process `pid` every 10 ms until it no longer runs or about `timeout_ms` have passed.
// Returns its last state; with kExited, *status (when given) is its exit status.
inline platform::ProcessState WaitForProcessEnd(long pid, int timeout_ms, long* status = nullptr) {
  long got = 0;
  int err = 0;
  platform::ProcessState state = platform::QueryProcess(pid, &got, &err);
  for (int waited = 0; state == platform::ProcessState::kRunning && waited < timeout_ms;
       waited += 10) {
    platform::SleepMs(10);
    state = platform::QueryProcess(pid, &got, &err);
  }
  if (status != nullptr && state == platform::ProcessState::kExited) *status = got;
  return state;
}

// The exit status of process `pid` once it has ended, or -1 when it ended otherwise or still
// runs after about `timeout_ms`.
inline long WaitForExitStatus(long pid, int timeout_ms) {
  long status = 0;
  return WaitForProcessEnd(pid, timeout_ms, &status) == platform::ProcessState::kExited ? status
                                                                                         : -1;
}

}  // namespace kdr

#endif  // KDR_TESTS_SUPPORT_PROCESS_WAIT_H_
