// Peer identity from /proc, and the stop signals of a serving program.
#include "platform/pipe_server.h"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "platform/fault.h"

namespace kdr::platform {

namespace {

// Reads the state letter and the start time (field 22) of /proc/<pid>/stat. The second field
// (the command name) is in parentheses and may hold blanks and parentheses itself, so the
// fields are counted from the last ')'.
bool ReadProcStat(long pid, char* state, uint64_t* start) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  if (FaultHit(Sys::kOpen)) return false;
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  char buf[1024];
  size_t got = 0;
  for (;;) {
    if (FaultHit(Sys::kRead)) break;
    ssize_t n = ::read(fd, buf + got, sizeof buf - 1 - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      if (got == sizeof buf - 1) break;
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  buf[got] = '\0';
  char* p = std::strrchr(buf, ')');
  if (p == nullptr) return false;
  ++p;
  // After ')': " S ppid pgrp ..." -> field 3 is the state, field 22 the start time.
  int field = 2;
  char* save = nullptr;
  for (char* tok = strtok_r(p, " ", &save); tok != nullptr; tok = strtok_r(nullptr, " ", &save)) {
    ++field;
    if (field == 3) *state = tok[0];
    if (field == 22) {
      char* end = nullptr;
      errno = 0;
      unsigned long long v = std::strtoull(tok, &end, 10);
      if (errno != 0 || end == tok) return false;
      *start = v;
      return true;
    }
  }
  return false;
}

}  // namespace

int PipePeer(PipeHandle pipe, PeerProcess* peer) {
  *peer = PeerProcess{};
  long pid = 0;
  int rc = PipePeerProcessId(pipe, &pid);
  if (rc != kPipeOk) return rc;
  if (pid <= 0) return kPipeFailed;  // a peer in another pid namespace has no id here
  char state = '?';
  uint64_t start = 0;
  // Without /proc the start time is unknown (0): the id alone names the process then.
  if (!ReadProcStat(pid, &state, &start)) start = 0;
  peer->pid = pid;
  peer->start = start;
  return kPipeOk;
}

bool PeerAlive(const PeerProcess& peer) {
  if (peer.pid <= 0) return false;
  char state = '?';
  uint64_t start = 0;
  if (!ReadProcStat(peer.pid, &state, &start)) {
    if (peer.start != 0) return false;  // it had a /proc entry, and it is gone
    if (FaultHit(Sys::kKill)) return false;
    return ::kill(static_cast<pid_t>(peer.pid), 0) == 0 || errno == EPERM;
  }
  return (peer.start == 0 || start == peer.start) && state != 'Z' && state != 'X' &&
         state != 'x';
}

void BlockServerSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ServerSignal WaitServerSignal(int* number) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  for (;;) {
    int sig = 0;
    int rc = sigwait(&set, &sig);
    if (rc == EINTR) continue;
    if (rc != 0) sig = SIGTERM;  // cannot wait: behave as if asked to stop
    if (number != nullptr) *number = sig;
    return sig == SIGHUP ? ServerSignal::kReopenLog : ServerSignal::kStop;
  }
}

int RaiseDescriptorLimit(uint64_t want, uint64_t* limit) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) {
    *limit = 0;
    return errno;
  }
  *limit = rl.rlim_cur;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= want) return 0;
  rlim_t target = rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want ? rl.rlim_max
                                                                      : static_cast<rlim_t>(want);
  if (target <= rl.rlim_cur) return 0;
  rlimit raised = rl;
  raised.rlim_cur = target;
  if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return errno;
  *limit = target;
  return 0;
}

int DescriptorUse(uint64_t* used, uint64_t* limit) {
  *used = 0;
  *limit = 0;
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return errno;
  *limit = rl.rlim_cur;
  // The entries of /proc/self/fd, less the one the listing itself holds. With no descriptor
  // left to list them, the count is the limit.
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) {
    int err = errno;
    if (err == EMFILE || err == ENFILE) {
      *used = *limit;
      return 0;
    }
    return err;
  }
  uint64_t n = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  *used = n > 0 ? n - 1 : 0;
  return 0;
}

int RequestProcessStop(long pid) {
  if (pid <= 0) return EINVAL;
  if (FaultHit(Sys::kKill)) return errno;
  if (::kill(static_cast<pid_t>(pid), SIGTERM) != 0) return errno;
  return 0;
}

}  // namespace kdr::platform
