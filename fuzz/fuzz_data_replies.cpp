// The normal replies of the data exchanges (open, size, data pieces) as the client reads them.
// Input: one knob byte, then the reply exactly as ReceiveReply would leave it (at most one
// reply buffer). The knob picks the offset the series expects and the room left in the
// caller's range, so that consistent pieces reach every check.
#include <cstdint>

#include "client/result_codes.h"
#include "client/thread_state.h"
#include "fuzz/fuzz_check.h"
#include "protocol/data_messages.h"
#include "protocol/message_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kdr;
  if (size < 1 || size - 1 > kReplyBufferSize) return 0;
  const uint8_t knob = data[0];
  const unsigned char* reply = data + 1;  // the input's own heap block: ASan bounds it
  const int total = static_cast<int>(size - 1);

  int16_t handle = 0;
  int64_t fileSize = 0;
  int r = ParseOpenReply(reply, total, &handle, &fileSize);
  KDR_FUZZ_CHECK((r == 0) == (total >= static_cast<int>(kOpenReplyMin)));
  KDR_FUZZ_CHECK(r == 0 || r == ERR_KDRCP_BAD_ARG);
  KDR_FUZZ_CHECK(ParseOpenReplyStamp(reply, total) == 0 ||
                 total >= static_cast<int>(kOpenReplyStampEnd));

  r = ParseSizeReply(reply, total, &fileSize);
  KDR_FUZZ_CHECK((r == 0) == (total >= static_cast<int>(kSizeReplyMin)));
  KDR_FUZZ_CHECK(r == 0 || r == ERR_KDRCP_BAD_ARG);

  int64_t expected = 0;
  if ((knob & 1) != 0 && total >= static_cast<int>(kDataPieceBytes)) {
    expected = GetBE64(reply, kDataPieceOffset);
  }
  int32_t room = (knob & 0x80) != 0 ? static_cast<int32_t>(kDataPieceMax)
                                    : static_cast<int32_t>((knob >> 1) & 0x3F) * 64;
  DataPiece piece;
  PieceFault fault = PieceFault::kNone;
  r = ParseDataPiece(reply, total, expected, room, &piece, &fault);
  if (r == 0) {
    KDR_FUZZ_CHECK(fault == PieceFault::kNone);
    KDR_FUZZ_CHECK(piece.offset == expected);
    KDR_FUZZ_CHECK(piece.length >= 0 && piece.length <= room);
    KDR_FUZZ_CHECK(piece.bytes == reply + kDataPieceBytes);
    KDR_FUZZ_CHECK(piece.length == total - static_cast<int>(kDataPieceBytes));
    fuzz::Touch(piece.bytes, static_cast<size_t>(piece.length));
  } else {
    KDR_FUZZ_CHECK(fault != PieceFault::kNone);
    KDR_FUZZ_CHECK(piece.bytes == nullptr);
    KDR_FUZZ_CHECK((r == ERR_KDRCP_SEQUENCE) == (fault == PieceFault::kOffset));
    KDR_FUZZ_CHECK(r == ERR_KDRCP_SEQUENCE || r == ERR_KDRCP_MSG_DATA);
  }
  return 0;
}
