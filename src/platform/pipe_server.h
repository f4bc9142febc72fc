// What a program that serves pipes needs beyond the pipe itself: a stable identity of the
// process at the other end of a connection, the signals a daemon answers (SIGTERM / SIGINT
// stop it, SIGHUP asks it to reopen its log), and enough descriptors for its connections.
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

// Blocks SIGTERM, SIGINT, SIGHUP and SIGPIPE in the calling thread, and so in every thread
// it starts afterwards. Call first thing in main(), before any thread exists: from then on
// none of them can end the process, and WaitServerSignal() takes them one by one. SIGPIPE
// stays blocked for good: a write to a closed pipe or socket then fails with EPIPE instead.
void BlockServerSignals();

enum class ServerSignal {
  kStop,       // SIGTERM or SIGINT: stop cleanly
  kReopenLog,  // SIGHUP: the log was rotated (or the terminal closed); reopen it, go on
};

// Waits until SIGTERM, SIGINT or SIGHUP arrives (they must be blocked in every thread) and
// says which; *number (when not null) is the signal's number.
ServerSignal WaitServerSignal(int* number);

// Raises this process's soft limit of open descriptors to `want`, or to the hard limit when
// that is lower. Returns 0 with *limit the soft limit now in force, or an errno value with
// *limit the limit as it was.
int RaiseDescriptorLimit(uint64_t want, uint64_t* limit);

// How many descriptors this process has open (*used) and may have (*limit, the soft limit).
// Returns 0 or an errno value.
int DescriptorUse(uint64_t* used, uint64_t* limit);

// Sends SIGTERM to process `pid`. Returns 0 or an errno value.
int RequestProcessStop(long pid);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_PIPE_SERVER_H_
