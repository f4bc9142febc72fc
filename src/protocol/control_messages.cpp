#include "protocol/control_messages.h"

#include "protocol/message_framing.h"
#include "proxy/proxy_log.h"

namespace kdr {

int EchoMsg() {
  ThreadRecord* record = KdrThreadRecord();
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;
  BusyScope busy(record);
  if (record->pipe == kInvalidPipe) {
    ConnectProxyLocked(record);
    if (record->pipe == kInvalidPipe) return ERR_KDRCP_NO_SERVER;
  }

  BeginRequest(record, KDR_ECHO_MSG, 0);
  int n = SendRequest(record, record->requestBuffer, kHeaderSize);
  KdrLogPrintf("%ld byte ECHO request sent to VXN\n", static_cast<long>(n));
  if (n < 0) return n;

  int total = ReceiveReply(record, record->replyBuffer);
  if (total < 0) return total;
  int c = CheckReply(record, record->replyBuffer, kEchoRules);
  if (c != 0) return c;
  switch (static_cast<int8_t>(record->replyBuffer[kOffTypeId])) {
    case kReplyNormal:
      return 0;
    case kReplyError:
      return ErrorReplyResult(record->replyBuffer, total, true, true);
    default:
      return InvalidTypeId(record->replyBuffer);
  }
}

}  // namespace kdr
