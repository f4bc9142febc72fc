#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/fault.h"

namespace kdr::platform {
namespace {

// Exit statuses noted by watchers, for QueryProcess() calls that come after the reap.
// Plain storage with a static initializer: usable while static destructors run.
struct ExitNote {
  long pid;  // 0: empty
  long status;
};
constexpr int kExitNotes = 32;
pthread_mutex_t g_notes_lock = PTHREAD_MUTEX_INITIALIZER;
ExitNote g_notes[kExitNotes];
int g_next_note = 0;

void ForgetExit(long pid) {
  pthread_mutex_lock(&g_notes_lock);
  for (ExitNote& n : g_notes) {
    if (n.pid == pid) n.pid = 0;
  }
  pthread_mutex_unlock(&g_notes_lock);
}

void NoteExit(long pid, long status) {
  pthread_mutex_lock(&g_notes_lock);
  for (ExitNote& n : g_notes) {
    if (n.pid == pid) n.pid = 0;
  }
  g_notes[g_next_note] = ExitNote{pid, status};
  g_next_note = (g_next_note + 1) % kExitNotes;
  pthread_mutex_unlock(&g_notes_lock);
}

bool FindExit(long pid, long* status) {
  bool found = false;
  pthread_mutex_lock(&g_notes_lock);
  for (const ExitNote& n : g_notes) {
    if (n.pid == pid) {
      *status = n.status;
      found = true;
    }
  }
  pthread_mutex_unlock(&g_notes_lock);
  return found;
}

long DecodeStatus(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return 0;
}

// Body of a watcher: waits for the child to end without reaping it (so a concurrent
// QueryProcess() still sees it as a child), notes its status, then reaps it.
void* WatchChild(void* arg) {
  pid_t pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
  siginfo_t info{};
  int rc;
  do {
    rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return nullptr;  // reaped already by QueryProcess()
  long status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  NoteExit(pid, status);
  pid_t w;
  do {
    w = ::waitpid(pid, nullptr, 0);
  } while (w < 0 && errno == EINTR);
  return nullptr;
}

void StartWatcher(pid_t pid) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  // The watcher inherits this mask: it never runs a handler of the host's signals.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  if (FaultHit(Sys::kThreadCreate) ||
      pthread_create(&thread, &attr, WatchChild,
                     reinterpret_cast<void*>(static_cast<intptr_t>(pid))) != 0) {
    // Without a watcher the child is still reaped by the QueryProcess() that sees it end.
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attr);
}

}  // namespace

int SpawnShell(const char* command, long* pid) {
  *pid = 0;
  if (FaultHit(Sys::kSpawn)) return errno;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int err = posix_spawn_file_actions_init(&actions);
  if (err != 0) return err;
  err = posix_spawnattr_init(&attr);
  if (err != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return err;
  }
  if (err == 0) err = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (err == 0) err = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (err == 0) err = posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  if (err == 0) {
    err = posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (err == 0) err = posix_spawnattr_setsigmask(&attr, &none);
  if (err == 0) err = posix_spawnattr_setsigdefault(&attr, &defaults);
  pid_t child = 0;
  if (err == 0) {
    char sh[] = "sh";
    char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
    err = posix_spawn(&child, "/bin/sh", &actions, &attr, argv, environ);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return err;
  ForgetExit(child);  // a note about an earlier process with the same id is stale now
  StartWatcher(child);
  *pid = child;
  return 0;
}

ProcessState QueryProcess(long pid, long* status, int* err) {
  *status = 0;
  *err = 0;
  if (pid <= 0) return ProcessState::kGone;  // never a single process: 0 and -1 name groups
  int st = 0;
  pid_t w;
  if (FaultHit(Sys::kWaitpid)) {
    w = -1;
  } else {
    do {
      w = ::waitpid(static_cast<pid_t>(pid), &st, WNOHANG);
    } while (w < 0 && errno == EINTR);
  }
  if (w == 0) return ProcessState::kRunning;
  if (w == static_cast<pid_t>(pid)) {
    *status = DecodeStatus(st);
    NoteExit(pid, *status);  // reaped here, ahead of its watcher: later queries still see it
    return ProcessState::kExited;
  }
  if (errno != ECHILD) {
    *err = errno;
    return ProcessState::kUnknown;
  }
  if (FindExit(pid, status)) return ProcessState::kExited;
  if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) return ProcessState::kRunning;
  if (errno == ESRCH) return ProcessState::kGone;
  *err = errno;
  return ProcessState::kUnknown;
}

int KillProcessGroup(long pid) {
  if (pid <= 0) return EINVAL;
  pid_t group = ::getpgid(static_cast<pid_t>(pid));
  if (group < 0) return errno;
  if (group <= 1 || group == ::getpgrp()) return EPERM;
  if (::kill(-group, SIGKILL) != 0) return errno;
  return 0;
}

long CurrentProcessId() { return static_cast<long>(::getpid()); }

}  // namespace kdr::platform
