// Data messages: the exchanges that open, size, read, read ahead and close one file at the
// cache server (KDR_OPEN_MSG, KDR_GET_SIZE_MSG, KDR_GET_DATA_MSG, KDR_READ_AHEAD_MSG,
// KDR_CLOSE_MSG). They work in the calling thread's ThreadRecord and on an OpenFileRecord
// owned by the caller for the span of the call (see proxy/open_files.h).
//
// Every exchange follows the skeleton of protocol/message_framing.h and gives `busy` back the
// value it had on entry on every way out. None allocates.
//
// The reply parsers below are pure functions of the reply bytes: they never read outside
// reply[0, total) and turn every malformed reply into a result code, so a fuzzer can drive
// them directly.
#ifndef KDR_PROTOCOL_DATA_MESSAGES_H_
#define KDR_PROTOCOL_DATA_MESSAGES_H_

#include <cstdint>

#include "iface/interface.h"

namespace kdr {

struct ThreadRecord;

// Body layouts (offsets from the start of the message).
inline constexpr uint32_t kOpenReplyHandle = 12;      // signed 16 bits
inline constexpr uint32_t kOpenReplySize = 14;        // signed 64 bits
inline constexpr uint32_t kOpenReplyMin = 22;         // bytes a normal open reply must hold
inline constexpr uint32_t kOpenReplyStamp = 22;       // unsigned 64 bits, when the reply has it
inline constexpr uint32_t kOpenReplyStampEnd = 30;
inline constexpr uint32_t kSizeReplySize = 12;        // signed 64 bits
inline constexpr uint32_t kSizeReplyMin = 20;
inline constexpr uint32_t kHandleRequestSize = 14;    // KDR_GET_SIZE_MSG, KDR_CLOSE_MSG
inline constexpr uint32_t kHandleRequestPayload = 2;
inline constexpr uint32_t kOffRequestHandle = 12;     // unsigned 16 bits
inline constexpr uint32_t kRangeRequestSize = 29;     // KDR_GET_DATA_MSG, KDR_READ_AHEAD_MSG
inline constexpr uint32_t kRangeRequestPayload = 17;
inline constexpr uint32_t kOffRangeOffset = 14;       // signed 64 bits
inline constexpr uint32_t kOffRangeLength = 22;       // signed 32 bits
inline constexpr uint32_t kOffRangeTag = 26;          // 3 bytes of the request tag
inline constexpr uint32_t kRequestTagBytes = 3;
inline constexpr uint32_t kDataPieceOffset = 12;      // signed 64 bits
inline constexpr uint32_t kDataPieceLength = 20;      // signed 32 bits
inline constexpr uint32_t kDataPieceBytes = 24;       // the piece's bytes start here
inline constexpr uint32_t kDataPieceMax = 16384;      // most data bytes in one reply

// The server handle of a file not open at the server.
inline constexpr uint16_t kNoServerHandle = 0xFFFF;

// KDR_OPEN_MSG (header, then the ticket with its NUL as a second write). On success stores
// the server's handle in `serverHandle`, the size in `fileSize` and the volume's stamp (0 from
// a server of an earlier make, whose reply ends after the size) in `volumeStamp`, and
// returns the handle as a signed 16-bit value: a handle with its top bit set therefore comes
// back negative and is a failure to every caller. Otherwise a negative code: ERR_KDRCP_BAD_ARG (file or ticket
// missing, ticket too long for a message, or a normal reply too short to hold its fields),
// ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE, ERR_KDRCP_TYPE_ID, the code of an error reply (its
// text becomes the thread's error text), or a code of the exchange.
int OpenMsg(OpenFileRecord* file);

// Makes sure `file` is open at the server that `record`'s pipe leads to: a file not open there,
// or opened at an earlier server instance (a restart since), is opened (again) with OpenMsg.
// Returns 0, OpenMsg's failure, or CheckSameVolume's. REQUIRES: the caller's exchange holds
// `record` pinned and connected.
int RefreshServerHandle(OpenFileRecord* file, ThreadRecord* record);

// After a (re)open of `file` whose size and stamp were `knownSize` (negative: unknown) and
// `knownStamp` (0: none) before it. A handle never reads two volumes: with a known stamp the
// reply must carry the same stamp (a reply without one cannot vouch for the volume); without
// one, a change of size is what can be seen. Otherwise its reads stop for good
// (file->volumeChanged; size and stamp stay the known ones). A first open (nothing known)
// keeps what the reply said. Returns 0, or ERR_KDRCP_BAD_FILE with kFileChangedText as the
// thread's error text.
int CheckSameVolume(OpenFileRecord* file, int64_t knownSize, uint64_t knownStamp);

// The file's size: `fileSize` when it is known (0 or more), else after opening the file at
// the server when needed (OpenMsg), the KDR_GET_SIZE_MSG exchange. Returns the size, or a
// negative code as a 64-bit value. Does not store the size; the caller does.
int64_t GetSizeMsg(OpenFileRecord* file);

// KDR_GET_DATA_MSG: fills destination[start, end) with the file's bytes from `position` +
// start on, copying each data piece straight into place. Returns the number of bytes present
// at the start of destination: end when the range is complete, less when the server ended
// the series early; start at once when start >= end. Otherwise a negative code; the bytes
// received before the failure stay in destination. Pieces are received straight into place,
// so bytes of the range past the count returned may have been written to, never a byte
// outside destination[start, end). A piece at another offset than the next
// expected one gives ERR_KDRCP_SEQUENCE; a piece whose length differs from its reply's size,
// or that runs past `end`, gives ERR_KDRCP_MSG_DATA; both give the connection up (the rest of
// the series would still be in the pipe).
// REQUIRES: file != nullptr, `serverHandle` open, 0 <= start, destination holds `end` bytes.
int GetDataMsg(OpenFileRecord* file, const char* tag, unsigned char* destination, int32_t end,
               int32_t start);

// KDR_READ_AHEAD_MSG: asks the server to fetch `length` bytes from `offset` in advance,
// opening the file at the server first when needed. Returns 0 or a negative code.
int ReadAheadMsg(OpenFileRecord* file, const char* tag, int64_t offset, int32_t length);

// KDR_CLOSE_MSG: releases the server handle. Returns 0 at once for a file not open at the
// server; ERR_KDRCP_BAD_ARG for no file. Does not change `serverHandle`; the caller does.
int CloseMsg(OpenFileRecord* file);

// --- Reply parsers: pure, bounded by `total` (the size ReceiveReply returned) ---

// A normal open reply: stores the handle (signed 16 bits) and size. ERR_KDRCP_BAD_ARG when
// shorter than kOpenReplyMin.
int ParseOpenReply(const unsigned char* reply, int total, int16_t* handle, int64_t* size);
// The volume stamp of a normal open reply; 0 when the reply ends before it.
uint64_t ParseOpenReplyStamp(const unsigned char* reply, int total);

// A normal size reply: stores the size. ERR_KDRCP_BAD_ARG when shorter than kSizeReplyMin.
int ParseSizeReply(const unsigned char* reply, int total, int64_t* size);

// A data piece of a normal KDR_GET_DATA_MSG reply, checked against the offset the series must
// go on at and the room left in the caller's range.
struct DataPiece {
  int64_t offset;               // file offset the piece claims
  int32_t length;               // piece length n
  const unsigned char* bytes;   // n bytes inside the reply
};
enum class PieceFault {
  kNone,
  kShort,      // the reply cannot hold a piece header (ERR_KDRCP_MSG_DATA)
  kOffset,     // offset is not `expectedOffset` (ERR_KDRCP_SEQUENCE)
  kLength,     // n differs from payloadLength - 12 (ERR_KDRCP_MSG_DATA)
  kOverflow,   // n exceeds `room` (ERR_KDRCP_MSG_DATA)
};
// Returns 0 with *piece filled, or the code of the fault (also stored in *fault when given,
// with the fields decoded so far in *piece for the log line).
int ParseDataPiece(const unsigned char* reply, int total, int64_t expectedOffset, int32_t room,
                   DataPiece* piece, PieceFault* fault);

}  // namespace kdr

#endif  // KDR_PROTOCOL_DATA_MESSAGES_H_
