#include "protocol/message_framing.h"

#include <cstring>

#include "client/proxy_log.h"
#include "iface/runtime.h"
#include "protocol/pipe_transport.h"

namespace kdr {

uint16_t BeginRequest(ThreadRecord* record, uint32_t msgType, uint32_t payloadLength) {
  uint16_t seq = record->seqNum;
  PutRequestHeader(record->requestBuffer, seq, msgType, payloadLength);
  record->seqNum = static_cast<uint16_t>(seq + 1);
  return seq;
}

int SendRequest(ThreadRecord* record, const void* buffer, uint32_t count, bool* unsent) {
  if (unsent != nullptr) *unsent = false;
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;
  if (record->pipe == kInvalidPipe) {
    // The code of a failed connect is not passed on: the caller only learns "no server".
    ConnectProxyLocked(record);
    if (record->pipe == kInvalidPipe) return ERR_KDRCP_NO_SERVER;
  }
  uint32_t written = 0;
  if (WritePipe(record->pipe, buffer, count, &written, unsent) == 0 || written < count) {
    CloseRecordPipe(record);
    return ERR_KDRCP_NO_SERVER;
  }
  return static_cast<int>(written);
}

int ConnectIfNeeded(ThreadRecord* record, bool lookFirst) {
  if (lookFirst && record->pipe != kInvalidPipe && PipePeerGone(record->pipe)) {
    // The server went away while the pipe was idle (it stopped, or died and may have been
    // restarted): a new connection now, rather than a failed exchange first.
    KdrLogPrintf("The cache server closed the pipe; connecting again\n");
    CloseRecordPipe(record);
  }
  if (record->pipe == kInvalidPipe) {
    ConnectProxyLocked(record);
    if (record->pipe == kInvalidPipe) return ERR_KDRCP_NO_SERVER;
  }
  return 0;
}

int SendLogged(ThreadRecord* record, const void* buffer, uint32_t count, const char* what,
               long logBias, bool* unsent) {
  int n = SendRequest(record, buffer, count, unsent);
  KdrLogPrintf("%ld byte %s sent to VXN\n", static_cast<long>(n) + logBias, what);
  return n;
}

namespace {

// A failed read leaves the stream's position unknown (or the server gone): the pipe is closed,
// so the very next exchange connects afresh (and launches the server when needed).
int ReadFailed(ThreadRecord* record, int code) {
  if (record->pipe != kInvalidPipe) CloseRecordPipe(record);
  return code;
}

}  // namespace

namespace {

// Reads a reply's header and then as much of it as makes `head` bytes in all (at least the
// header) into `buffer`: sets *got to the bytes read and *continues to whether the pipe message
// goes on past them. Returns the reply's size (12 + payloadLength), or the code of ReceiveReply.
int ReadReplyHead(ThreadRecord* record, unsigned char* buffer, uint32_t head, uint32_t* got,
                  bool* continues) {
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;
  if (record->pipe == kInvalidPipe) return ERR_KDRCP_NO_SERVER;

  // The header may arrive in pieces (pipe messages shorter than 12 bytes): assemble it.
  *got = 0;
  *continues = false;
  while (*got < kHeaderSize) {
    int n = ReadPipePart(record->pipe, kHeaderSize - *got, buffer + *got, continues);
    if (n < 1) return ReadFailed(record, n);
    *got += static_cast<uint32_t>(n);
  }
  if (buffer[kOffDirection] != kDirectionReply) {
    CloseRecordPipe(record);
    return ERR_KDRCP_BAD_ARG;
  }
  uint64_t total = uint64_t{kHeaderSize} + GetBEU32(buffer, kOffPayloadLength);
  if (total > kReplyBufferSize) {
    // It cannot be read into the buffer, and skipping it would leave the stream's position
    // to guesswork: give the connection up. The next exchange connects afresh.
    KdrLogPrintf("MESSAGE ERROR: Reply of %lu bytes exceeds the %lu byte reply buffer\n",
                 static_cast<unsigned long>(total), static_cast<unsigned long>(kReplyBufferSize));
    CloseRecordPipe(record);
    return ERR_KDRCP_BAD_ARG;
  }
  const uint32_t want = static_cast<uint32_t>(total < head ? total : head);
  while (*got < want) {
    int n = ReadPipePart(record->pipe, want - *got, buffer + *got, continues);
    if (n < 1) return ReadFailed(record, n);
    *got += static_cast<uint32_t>(n);
  }
  return static_cast<int>(total);
}

// Reads the rest of the reply `head` describes into `to`, and checks that the pipe message
// ends with it. Returns the reply's size or the code of ReceiveReply.
int ReadReplyTail(ThreadRecord* record, const ReplyHead& head, unsigned char* to) {
  bool continues = head.continues;
  const uint32_t count = head.total - head.got;
  uint32_t got = 0;
  while (got < count) {
    int n = ReadPipePart(record->pipe, count - got, to + got, &continues);
    if (n < 1) return ReadFailed(record, n);
    got += static_cast<uint32_t>(n);
  }
  if (continues) {
    // The pipe message holds more than the reply announced. Reading on would take the rest
    // for the next reply's header, and every later exchange would be out of step.
    KdrLogPrintf("MESSAGE ERROR: Reply message longer than its %lu bytes\n",
                 static_cast<unsigned long>(head.total));
    CloseRecordPipe(record);
    return ERR_KDRCP_BAD_ARG;
  }
  KdrLogPrintf("%ld byte reply received from VXN\n", static_cast<long>(head.total));
  return static_cast<int>(head.total);
}

}  // namespace

int ReceiveReply(ThreadRecord* record, unsigned char* buffer) {
  ReplyHead head{};
  int total = ReadReplyHead(record, buffer, kReplyBufferSize, &head.got, &head.continues);
  if (total < 0) return total;
  head.total = static_cast<uint32_t>(total);
  return ReadReplyTail(record, head, buffer + head.got);
}

int ReceiveCheckedHead(ThreadRecord* record, const ReplyRules& rules, uint32_t head,
                       ReplyHead* out) {
  *out = ReplyHead{};
  int total = ReadReplyHead(record, record->replyBuffer, head, &out->got, &out->continues);
  if (total < 0) return total;
  out->total = static_cast<uint32_t>(total);
  int c = CheckReply(record, record->replyBuffer, rules);
  if (c == 0) return total;
  // Not this exchange's: the whole of it is read, as ReceiveChecked() would.
  int rest = ReadReplyTail(record, *out, record->replyBuffer + out->got);
  out->got = out->total;
  if (rest >= 0 &&
      GetBE16(record->replyBuffer, kOffSeqNum) != static_cast<uint16_t>(record->seqNum - 1)) {
    CloseRecordPipe(record);
  }
  return rest < 0 ? rest : c;
}

int ReceiveTail(ThreadRecord* record, ReplyHead* head, unsigned char* to) {
  int total = ReadReplyTail(record, *head, to);
  head->got = head->total;
  return total;
}

int CheckReply(const ThreadRecord* record, const unsigned char* reply, const ReplyRules& rules) {
  uint16_t seq = GetBE16(reply, kOffSeqNum);
  uint16_t expected = static_cast<uint16_t>(record->seqNum - 1);
  uint32_t msgType = GetBEU32(reply, kOffMsgType);
  for (int step = 0; step < 2; ++step) {
    bool typeStep = (step == 0) == rules.msgTypeFirst;
    if (typeStep && msgType != rules.msgType) {
      KdrLogPrintf("MESSAGE ERROR: Invalid msgType %lX, expecting %X (%s)\n",
                   static_cast<unsigned long>(msgType), rules.msgType, rules.name);
      return rules.msgTypeMismatch;
    }
    if (!typeStep && seq != expected) {
      KdrLogPrintf("MESSAGE ERROR: Invalid SeqNum 0x%X, expecting 0x%X (%s)\n",
                   static_cast<unsigned>(seq), static_cast<unsigned>(expected), rules.name);
      return rules.seqMismatch;
    }
  }
  return 0;
}

int ErrorReplyResult(unsigned char* reply, int total, bool log, bool store) {
  if (total < static_cast<int>(kOffErrorCode + 4)) {
    KdrLogPrintf("MESSAGE ERROR: Invalid error reply of %d bytes\n", total);
    return ERR_KDRCP_BAD_ARG;
  }
  int32_t c = GetBE32(reply, kOffErrorCode);
  int r = c > 0 ? -c : (c < 0 ? c : ERR_KDRCP_BAD_FILE);
  // The text runs from offset 20 to its NUL; one that has none ends with the reply.
  const char* text = "";
  if (total > static_cast<int>(kOffErrorText)) {
    size_t room = static_cast<size_t>(total) - kOffErrorText;
    char* start = reinterpret_cast<char*>(reply + kOffErrorText);
    if (std::memchr(start, '\0', room) == nullptr) {
      size_t end = static_cast<size_t>(total) < kReplyBufferSize ? static_cast<size_t>(total)
                                                                 : kReplyBufferSize - 1;
      reply[end] = '\0';
    }
    text = start;
  }
  if (log) KdrLogPrintf("ERROR REPLY: %ld %s\n", static_cast<long>(r), text);
  if (store) KdrSetErrorText(text);
  return r;
}

int InvalidTypeId(const unsigned char* reply) {
  KdrLogPrintf("MESSAGE ERROR: Invalid typeID %d\n",
               static_cast<int>(static_cast<int8_t>(reply[kOffTypeId])));
  return ERR_KDRCP_TYPE_ID;
}

int ReceiveChecked(ThreadRecord* record, const ReplyRules& rules) {
  int total = ReceiveReply(record, record->replyBuffer);
  if (total < 0) return total;
  int c = CheckReply(record, record->replyBuffer, rules);
  if (c != 0 && GetBE16(record->replyBuffer, kOffSeqNum) !=
                    static_cast<uint16_t>(record->seqNum - 1)) {
    // A reply of another exchange: every later read would be one reply behind.
    CloseRecordPipe(record);
  }
  return c != 0 ? c : total;
}

int ReceiveFinalReply(ThreadRecord* record, const ReplyRules& rules, bool logError,
                      bool storeError) {
  int total = ReceiveChecked(record, rules);
  if (total < 0) return total;
  unsigned char* reply = record->replyBuffer;
  switch (static_cast<int8_t>(reply[kOffTypeId])) {
    case kReplyNormal:
      return total;
    case kReplyError:
      return ErrorReplyResult(reply, total, logError, storeError);
    default:
      return InvalidTypeId(reply);
  }
}

int ReceiveEmptyReply(ThreadRecord* record, const ReplyRules& rules) {
  int total = ReceiveFinalReply(record, rules, true, true);
  return total < 0 ? total : 0;
}

int ConnectProxyLocked(ThreadRecord* record) {
  ProxyLockGuard lock(ProxyLock::kA);
  return ConnectProxy(record);
}

int EnsureConnected() {
  PinnedRecord pin;
  ThreadRecord* record = pin.get();
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;
  if (record->pipe != kInvalidPipe) return 0;
  return ConnectProxyLocked(record);
}

}  // namespace kdr
