// Wire format of the messages between the proxy and the cache server.
//
// Every request and every reply starts with a 12-byte header; every integer in a message is
// big-endian. A request is one pipe message, or two when it has a variable part ("second
// write"); `payloadLength` always counts every byte after the header, across both writes. A
// reply is always one pipe message.
//
//   offset 0   1 byte   direction      1 in a request, 2 in a reply
//   offset 1   1 byte   typeID         0 in a request; the reply kind in a reply (signed)
//   offset 2   2 bytes  SeqNum         sequence number, unsigned 16 bits
//   offset 4   4 bytes  msgType        code << 16 | (0xFFFF - code)
//   offset 8   4 bytes  payloadLength  bytes after the header
//
// Error reply (typeID 1): error code (signed 32 bits) at 12, 4 unread bytes at 16, the
// NUL-terminated error text from 20.
#ifndef KDR_PROTOCOL_MESSAGE_FORMAT_H_
#define KDR_PROTOCOL_MESSAGE_FORMAT_H_

#include <cstdint>

namespace kdr {

// Header layout.
inline constexpr uint32_t kHeaderSize = 12;
inline constexpr uint32_t kOffDirection = 0;
inline constexpr uint32_t kOffTypeId = 1;
inline constexpr uint32_t kOffSeqNum = 2;
inline constexpr uint32_t kOffMsgType = 4;
inline constexpr uint32_t kOffPayloadLength = 8;

// `direction`.
inline constexpr uint8_t kDirectionRequest = 1;
inline constexpr uint8_t kDirectionReply = 2;

// Reply kinds (`typeID` of a reply).
inline constexpr int8_t kReplyNormal = 0;
inline constexpr int8_t kReplyError = 1;
inline constexpr int8_t kReplyEnd = 2;       // KDR_GET_DATA_MSG only
inline constexpr int8_t kReplyProgress = 3;  // the three transfer requests only

// Error reply layout.
inline constexpr uint32_t kOffErrorCode = 12;
inline constexpr uint32_t kOffErrorText = 20;

// Message type from its 16-bit code: the code in the upper half, its complement in the lower.
constexpr uint32_t MsgTypeOf(uint16_t code) {
  return (static_cast<uint32_t>(code) << 16) | (0xFFFFu - code);
}

// Message codes.
inline constexpr uint16_t KDR_OPEN_CODE = 1;
inline constexpr uint16_t KDR_GET_SIZE_CODE = 2;
inline constexpr uint16_t KDR_GET_DATA_CODE = 3;
inline constexpr uint16_t KDR_GET_FILE_CODE = 4;
inline constexpr uint16_t KDR_CLOSE_CODE = 5;
inline constexpr uint16_t KDR_ECHO_CODE = 6;
inline constexpr uint16_t KDR_UPLOAD_CODE = 7;
inline constexpr uint16_t KDR_ROLLBACK_CODE = 8;
inline constexpr uint16_t KDR_READ_AHEAD_CODE = 9;
inline constexpr uint16_t KDR_STATUS_CODE = 10;
inline constexpr uint16_t KDR_LOCALE_CODE = 11;
inline constexpr uint16_t KDR_LOCALIZE_CODE = 12;
inline constexpr uint16_t KDR_GET_LOCATION_CODE = 13;
inline constexpr uint16_t KDR_GET_CACHE_INIT_INFO_CODE = 14;
inline constexpr uint16_t KDR_VERSION_CHECK_CODE = 15;
inline constexpr uint16_t KDR_CLEAR_CACHE_CODE = 256;

// Message types (`msgType`), the same in a request and in its replies.
inline constexpr uint32_t KDR_OPEN_MSG = MsgTypeOf(KDR_OPEN_CODE);                    // 0x0001FFFE
inline constexpr uint32_t KDR_GET_SIZE_MSG = MsgTypeOf(KDR_GET_SIZE_CODE);            // 0x0002FFFD
inline constexpr uint32_t KDR_GET_DATA_MSG = MsgTypeOf(KDR_GET_DATA_CODE);            // 0x0003FFFC
inline constexpr uint32_t KDR_GET_FILE_MSG = MsgTypeOf(KDR_GET_FILE_CODE);            // 0x0004FFFB
inline constexpr uint32_t KDR_CLOSE_MSG = MsgTypeOf(KDR_CLOSE_CODE);                  // 0x0005FFFA
inline constexpr uint32_t KDR_ECHO_MSG = MsgTypeOf(KDR_ECHO_CODE);                    // 0x0006FFF9
inline constexpr uint32_t KDR_UPLOAD_MSG = MsgTypeOf(KDR_UPLOAD_CODE);                // 0x0007FFF8
inline constexpr uint32_t KDR_ROLLBACK_MSG = MsgTypeOf(KDR_ROLLBACK_CODE);            // 0x0008FFF7
inline constexpr uint32_t KDR_READ_AHEAD_MSG = MsgTypeOf(KDR_READ_AHEAD_CODE);        // 0x0009FFF6
inline constexpr uint32_t KDR_STATUS_MSG = MsgTypeOf(KDR_STATUS_CODE);                // 0x000AFFF5
inline constexpr uint32_t KDR_LOCALE_MSG = MsgTypeOf(KDR_LOCALE_CODE);                // 0x000BFFF4
inline constexpr uint32_t KDR_LOCALIZE_MSG = MsgTypeOf(KDR_LOCALIZE_CODE);            // 0x000CFFF3
inline constexpr uint32_t KDR_GET_LOCATION_MSG = MsgTypeOf(KDR_GET_LOCATION_CODE);    // 0x000DFFF2
inline constexpr uint32_t KDR_GET_CACHE_INIT_INFO =
    MsgTypeOf(KDR_GET_CACHE_INIT_INFO_CODE);                                          // 0x000EFFF1
inline constexpr uint32_t KDR_VERSION_CHECK = MsgTypeOf(KDR_VERSION_CHECK_CODE);      // 0x000FFFF0
inline constexpr uint32_t KDR_CLEAR_CACHE_MSG = MsgTypeOf(KDR_CLEAR_CACHE_CODE);      // 0x0100FEFF

static_assert(KDR_OPEN_MSG == 0x0001FFFEu && KDR_VERSION_CHECK == 0x000FFFF0u &&
              KDR_CLEAR_CACHE_MSG == 0x0100FEFFu);

// KDR_VERSION_CHECK request body: the protocol version this client speaks.
inline constexpr uint32_t kVersionCheckPayload = 4;
inline constexpr uint8_t kProtocolVersion[4] = {0x0A, 0x00, 0x00, 0x0A};
// KDR_VERSION_CHECK normal reply: an optional payload whose first 8 bytes are the server
// instance id (big-endian; random per server start, never 0). A reply without it (an older
// server) reads as instance 0, "unknown".
inline constexpr uint32_t kVersionReplyInstance = 12;
inline constexpr uint32_t kVersionReplyInstanceBytes = 8;
// Error-reply code (either sign) by which the server refuses the client's version.
inline constexpr int32_t kVersionRefusedCode = 100;

// Big-endian accessors on a byte buffer.
inline void PutBE16(unsigned char* b, uint32_t off, uint16_t v) {
  b[off] = static_cast<unsigned char>(v >> 8);
  b[off + 1] = static_cast<unsigned char>(v);
}
inline void PutBE32(unsigned char* b, uint32_t off, uint32_t v) {
  b[off] = static_cast<unsigned char>(v >> 24);
  b[off + 1] = static_cast<unsigned char>(v >> 16);
  b[off + 2] = static_cast<unsigned char>(v >> 8);
  b[off + 3] = static_cast<unsigned char>(v);
}
inline void PutBE64(unsigned char* b, uint32_t off, int64_t v) {
  uint64_t u = static_cast<uint64_t>(v);
  PutBE32(b, off, static_cast<uint32_t>(u >> 32));
  PutBE32(b, off + 4, static_cast<uint32_t>(u));
}
inline uint16_t GetBE16(const unsigned char* b, uint32_t off) {
  return static_cast<uint16_t>((b[off] << 8) | b[off + 1]);
}
inline uint32_t GetBEU32(const unsigned char* b, uint32_t off) {
  return (uint32_t{b[off]} << 24) | (uint32_t{b[off + 1]} << 16) | (uint32_t{b[off + 2]} << 8) |
         uint32_t{b[off + 3]};
}
inline int32_t GetBE32(const unsigned char* b, uint32_t off) {
  return static_cast<int32_t>(GetBEU32(b, off));
}
inline int64_t GetBE64(const unsigned char* b, uint32_t off) {
  return static_cast<int64_t>((uint64_t{GetBEU32(b, off)} << 32) | GetBEU32(b, off + 4));
}

// Writes a request header: direction 1, typeID 0.
inline void PutRequestHeader(unsigned char* b, uint16_t seq, uint32_t msgType,
                             uint32_t payloadLength) {
  b[kOffDirection] = kDirectionRequest;
  b[kOffTypeId] = 0;
  PutBE16(b, kOffSeqNum, seq);
  PutBE32(b, kOffMsgType, msgType);
  PutBE32(b, kOffPayloadLength, payloadLength);
}

}  // namespace kdr

#endif  // KDR_PROTOCOL_MESSAGE_FORMAT_H_
