// Child processes: starting the cache server's launch script and watching whether it lives.
//
// A process started here is a child of the host process (a JVM). The host must never be left
// with zombies: each started child is watched by a small detached thread of its own, which
// notes the exit status when the child ends and reaps it. QueryProcess() still reports that
// status afterwards. The watcher threads run with every signal blocked and stay out of the
// host's signal handling.
//
// Thread-safe.
#ifndef KDR_PLATFORM_PROCESS_H_
#define KDR_PLATFORM_PROCESS_H_

namespace kdr::platform {

// Starts "/bin/sh -c `command`" (the shell performs the command's redirections) in a new
// session, with standard input, output and error on /dev/null, no other descriptor of this
// process, default signal dispositions, and this process's environment and working directory.
// On success returns 0 and the process id in *pid. On failure returns an errno value and
// *pid is 0. REQUIRES: command != nullptr, pid != nullptr.
int SpawnShell(const char* command, long* pid);

enum class ProcessState {
  kRunning,  // still running
  kExited,   // ended; *status is its exit code, or 128 + the number of the killing signal
  kGone,     // no such process (never ours, or ended and its status no longer known)
  kUnknown,  // the query failed; *err is the errno value
};

// Asks whether process `pid` is still running: waitpid(WNOHANG) for a child of ours (which
// reaps it when it has ended), the status noted by its watcher when it was reaped already,
// kill(pid, 0) for any other process. REQUIRES: status != nullptr, err != nullptr.
ProcessState QueryProcess(long pid, long* status, int* err);

// Sends SIGKILL to the process group of process `pid`: for a process that SpawnShell() started,
// or any process the shell started in turn, that is the shell and everything it started that
// stayed in the group. Refuses (EPERM) the caller's own group. Returns 0 or an errno value.
int KillProcessGroup(long pid);

// The process id of the calling process.
long CurrentProcessId();

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_PROCESS_H_
