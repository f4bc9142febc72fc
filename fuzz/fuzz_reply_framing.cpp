// What every exchange does with a reply before its own parser sees it: the SeqNum and
// msgType checks of each message's rules, then an error reply's code and text (logged and
// stored as the thread's error text) or the refusal of a reply kind it does not allow.
//
// Input: one knob byte, then the reply exactly as ReceiveReply would leave it. The reply is
// copied to the start of a reply buffer as big as the thread's own; everything past the one
// byte ErrorReplyResult may write (the NUL at `total`) is poisoned, so reading a text past
// the reply is reported.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstring>
#include <iterator>

#include "client/result_codes.h"
#include "client/thread_state.h"
#include "fuzz/fuzz_check.h"
#include "protocol/message_format.h"
#include "protocol/message_framing.h"

namespace {

constexpr const kdr::ReplyRules* kAllRules[] = {
    &kdr::kVersionCheckRules, &kdr::kOpenRules,        &kdr::kGetSizeRules,
    &kdr::kGetDataRules,      &kdr::kReadAheadRules,   &kdr::kCloseRules,
    &kdr::kGetFileRules,      &kdr::kGetLocationRules, &kdr::kUploadRules,
    &kdr::kRollbackRules,     &kdr::kCacheInitInfoRules, &kdr::kEchoRules,
    &kdr::kClearCacheRules,   &kdr::kLocaleRules,      &kdr::kLocalizeRules,
};

// Allocated once and never freed: nothing runs at exit.
unsigned char* ReplyBuffer() {
  static unsigned char* buffer = new unsigned char[kdr::kReplyBufferSize];
  return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kdr;
  if (size < 1 + kHeaderSize || size - 1 > kReplyBufferSize) return 0;
  const uint8_t knob = data[0];
  const size_t total = size - 1;

  unsigned char* reply = ReplyBuffer();
  ASAN_UNPOISON_MEMORY_REGION(reply, kReplyBufferSize);
  std::memcpy(reply, data + 1, total);
  if (total + 1 < kReplyBufferSize) {
    ASAN_POISON_MEMORY_REGION(reply + total + 1, kReplyBufferSize - total - 1);
  }

  // A record as the exchange holds it: the request it sent stepped `seqNum` past its SeqNum.
  ThreadRecord record{};
  record.seqNum = static_cast<uint16_t>(GetBE16(reply, kOffSeqNum) + ((knob & 0x10) ? 1 : 0));
  const ReplyRules& rules = *kAllRules[(knob & 0x0F) % std::size(kAllRules)];
  int r = CheckReply(&record, reply, rules);
  bool typeOk = GetBEU32(reply, kOffMsgType) == rules.msgType;
  bool seqOk = (knob & 0x10) != 0;
  if (typeOk && seqOk) {
    KDR_FUZZ_CHECK(r == 0);
  } else {
    KDR_FUZZ_CHECK(r == rules.seqMismatch || r == rules.msgTypeMismatch);
    KDR_FUZZ_CHECK(r < 0);
  }

  if (static_cast<int8_t>(reply[kOffTypeId]) == kReplyError) {
    r = ErrorReplyResult(reply, static_cast<int>(total), (knob & 0x20) != 0, (knob & 0x40) != 0);
    if (total < kOffErrorCode + 4) {
      KDR_FUZZ_CHECK(r == ERR_KDRCP_BAD_ARG);
    } else {
      int32_t c = GetBE32(reply, kOffErrorCode);
      KDR_FUZZ_CHECK(r < 0);
      if (c == 0) KDR_FUZZ_CHECK(r == ERR_KDRCP_BAD_FILE);
      // The text, when there is one, now ends inside the reply or on the byte after it.
      if (total > kOffErrorText) {
        const char* text = reinterpret_cast<const char*>(reply + kOffErrorText);
        KDR_FUZZ_CHECK(std::strlen(text) + kOffErrorText <= total);
      }
    }
  } else {
    KDR_FUZZ_CHECK(InvalidTypeId(reply) == ERR_KDRCP_TYPE_ID);
  }
  return 0;
}
