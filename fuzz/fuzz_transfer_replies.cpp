// The replies of the transfer conversations as the client reads them: progress replies and
// the counted text of a final reply (a cache file name, a volume id, a translation).
// Input: the reply exactly as ReceiveReply would leave it, at least a header long.
#include <cstdint>

#include "client/result_codes.h"
#include "client/thread_state.h"
#include "fuzz/fuzz_check.h"
#include "protocol/message_format.h"
#include "protocol/transfer_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kdr;
  // ReceiveReply hands over at least a header and at most one reply buffer.
  if (size < kHeaderSize || size > kReplyBufferSize) return 0;
  const unsigned char* reply = data;
  const int total = static_cast<int>(size);

  int64_t done = -1, fileSize = -1;
  int r = ParseProgressReply(reply, total, &done, &fileSize);
  KDR_FUZZ_CHECK((r == 0) == (total >= static_cast<int>(kProgressReplySize)));
  KDR_FUZZ_CHECK(r == 0 || r == ERR_KDRCP_BAD_ARG);

  const char* text = nullptr;
  int field = -1;
  r = ParseCountedText(reply, total, &text, &field);
  if (r > 0) {
    KDR_FUZZ_CHECK(r == field);
    KDR_FUZZ_CHECK(text == reinterpret_cast<const char*>(reply + kOffCountedText));
    KDR_FUZZ_CHECK(kOffCountedText + static_cast<size_t>(r) <= size);
    fuzz::Touch(text, static_cast<size_t>(r));
  } else {
    KDR_FUZZ_CHECK(r == ERR_KDRCP_BAD_ARG);
    KDR_FUZZ_CHECK(total >= static_cast<int>(kOffCountedText) || field == 0);
  }
  return 0;
}
