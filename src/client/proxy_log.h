// The proxy log (KDR_VXNPROXYLOG): trace lines of the proxy and the protocol, written only
// while the log is open, each flushed at once.
//
// Concurrency: any thread may write; each KdrLogPrintf is one stdio call, so lines of
// different threads do not interleave. The log is opened by the real initialisation under
// lock B and stays open until the process ends.
#ifndef KDR_PROXY_PROXY_LOG_H_
#define KDR_PROXY_PROXY_LOG_H_

namespace kdr {

// Opens `path` for appending as the proxy log unless a log is open already. Returns whether a
// log is open afterwards.
bool KdrLogOpen(const char* path);

// Whether the log is open (the `logEnabled` flag).
bool KdrLogEnabled();

// The path the open log was opened with, or nullptr.
const char* KdrLogPath();

// Writes one formatted piece to the log and flushes it; nothing when the log is closed.
void KdrLogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Closes the log (for tests; the proxy keeps its log open until the process ends).
// REQUIRES: no other thread writes to the log meanwhile (the idle monitor is stopped).
void KdrLogClose();

}  // namespace kdr

#endif  // KDR_PROXY_PROXY_LOG_H_
