// What a program that serves pipes needs beyond the pipe itself: a stable identity of the
// process at the other end of a connection, and an orderly stop on SIGTERM / SIGINT.
//
// This is for the cache server program only. The client library never calls it: a library
// must not touch the signal dispositions of its host.
#ifndef KDR_PLATFORM_PIPE_SERVER_H_
#define KDR_PLATFORM_PIPE_SERVER_H_

#include <cstdint>

#include "platform/pipes.h"

namespace kdr::platform {

// A process, named so that a later process that happens to get the same id is a different
// one: the id together with the process's start time (clock ticks since boot; 0 when the
// system does not tell, and then the id alone names it).
struct PeerProcess {
  long pid = 0;
  uint64_t start = 0;
  bool operator==(const PeerProcess& o) const { return pid == o.pid && start == o.start; }
};

// Identifies the process at the other end of a connected pipe. Returns kPipeOk with *peer
// set; kPipeInvalidHandle; kPipeFailed when the peer's id cannot be had (a peer in another
// pid namespace).
int PipePeer(PipeHandle pipe, PeerProcess* peer);

// Whether `peer` still runs: its id exists, has the same start time, and is not a zombie.
bool PeerAlive(const PeerProcess& peer);

// Blocks SIGTERM, SIGINT and SIGPIPE in the calling thread, and so in every thread it starts
// afterwards. Call first thing in main(), before any thread exists. SIGPIPE stays blocked
// for good: a write to a closed pipe or socket then fails with EPIPE instead of killing.
void BlockStopSignals();

// Waits until SIGTERM or SIGINT arrives (they must be blocked in every thread) and returns
// its number.
int WaitStopSignal();

// Sends SIGTERM to process `pid`. Returns 0 or an errno value.
int RequestProcessStop(long pid);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_PIPE_SERVER_H_
