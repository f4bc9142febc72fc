// Numbers the cache server lives by: reply sizes, request limits, transfer pacing, and the
// result codes it puts in its error replies. The wire layout itself is protocol/message_format.h.
#ifndef KDR_SERVER_SERVER_LIMITS_H_
#define KDR_SERVER_SERVER_LIMITS_H_

#include <cstdint>

#include "protocol/message_format.h"
#include "store/segment_format.h"

namespace kdr::server {

// A reply is one pipe message the client reads into a 16408-byte buffer.
inline constexpr uint32_t kMaxReply = 16408;
inline constexpr uint32_t kMaxReplyPayload = kMaxReply - kHeaderSize;  // 16396

// Data replies: offset (8), length (4), then at most one block of bytes.
inline constexpr uint32_t kDataReplyFixed = 12;
// A block of a cached file is one segment of the store.
inline constexpr uint32_t kBlockSize = static_cast<uint32_t>(kdrc::seg::kSegmentSize);
inline constexpr int kBlockShift = kdrc::seg::kBlockShift;
static_assert(kHeaderSize + kDataReplyFixed + kBlockSize == kMaxReply);

// Request limits. The first message of a request holds the header and the fixed fields (and
// the target path of a download to a location); the second write holds a ticket, a path, a
// volume id, a locale name or a text to translate. Anything longer is refused unread.
inline constexpr uint32_t kMaxPath = 4096;
inline constexpr uint32_t kMaxFirstMessage = kHeaderSize + 6 + kMaxPath;
inline constexpr uint32_t kMaxSecondMessage = kMaxReplyPayload - 2;  // a translation must fit back
inline constexpr uint32_t kMaxLocaleName = 64;
inline constexpr uint32_t kMaxVolumeId = 64;

// Fixed payload sizes of the requests.
inline constexpr uint32_t kHandleBody = 2;            // size, close
inline constexpr uint32_t kRangeBody = 17;            // data, read-ahead
inline constexpr uint32_t kTransferBody = 5;          // get file; get location before the path
inline constexpr uint32_t kHandleLengthBody = 4;      // upload, rollback before the second write
inline constexpr uint32_t kStatusBody = 4;

// Transfers: a progress reply at the start; then one when a MiB has been copied since the last
// one and 50 ms have passed, and in any case after 4 MiB or 250 ms with bytes moved; and a
// last one with done == total before the final reply. The copy never waits for the pacing.
inline constexpr uint64_t kProgressBytes = 1u << 20;
inline constexpr int32_t kProgressMinIntervalMs = 50;
inline constexpr uint64_t kProgressMaxBytes = 4u << 20;
inline constexpr int32_t kProgressMaxIntervalMs = 250;
inline constexpr uint32_t kCopyChunk = 256 * 1024;

// Connections: a request must arrive whole within this time of its first byte (the client
// library writes each message at once); one client process may hold at most half of the
// connections (at least one).
inline constexpr int32_t kRequestTimeoutMs = 5000;
inline constexpr int ConnectionsPerProcess(int maxConnections) {
  return maxConnections > 1 ? (maxConnections + 1) / 2 : 1;
}
// Descriptors the server needs: about two per connection (its socket, and a file of a
// transfer or a read), and some for the store, the log and the vault watcher.
inline constexpr uint64_t kDescriptorsPerConnection = 2;
inline constexpr uint64_t kDescriptorsReserved = 64;

// Handles: 16-bit values the client reads as signed, so 0 to 0x7FFE (0xFFFF means "not
// open" to the client).
inline constexpr uint32_t kMaxHandles = 0x7FFF;
inline constexpr uint32_t kMaxHandlesPerProcess = 4096;

// Codes of the server's error replies (the client negates positive codes; these are
// negative already and reach the caller unchanged).
inline constexpr int32_t kErrVersion = 100;            // version refused (either sign works)
inline constexpr int32_t kErrNoServer = -3001;
inline constexpr int32_t kErrBadRequest = -3002;
inline constexpr int32_t kErrBadFile = -3003;          // unknown handle, file not in the vault
inline constexpr int32_t kErrTooMany = -3004;
inline constexpr int32_t kErrBadTicket = -3005;
inline constexpr int32_t kErrSequence = -3011;
inline constexpr int32_t kErrCancelled = -3016;
inline constexpr int32_t kErrNotSupported = -3099;

}  // namespace kdr::server

#endif  // KDR_SERVER_SERVER_LIMITS_H_
