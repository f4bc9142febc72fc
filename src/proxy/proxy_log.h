// The proxy log (KDR_VXNPROXYLOG): trace lines of the proxy and the protocol, written only
// while the log is open, each flushed at once.
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
void KdrLogClose();

}  // namespace kdr

#endif  // KDR_PROXY_PROXY_LOG_H_
