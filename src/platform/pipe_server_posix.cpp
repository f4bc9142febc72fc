// Peer identity from /proc, and the stop signals of a serving program.
#include "platform/pipe_server.h"

#include <cerrno>
#include <csignal>
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

void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitStopSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  for (;;) {
    int sig = 0;
    int rc = sigwait(&set, &sig);
    if (rc == 0) return sig;
    if (rc != EINTR) return SIGTERM;  // cannot wait: behave as if asked to stop
  }
}

int RequestProcessStop(long pid) {
  if (pid <= 0) return EINVAL;
  if (FaultHit(Sys::kKill)) return errno;
  if (::kill(static_cast<pid_t>(pid), SIGTERM) != 0) return errno;
  return 0;
}

}  // namespace kdr::platform
