// Sending requests and receiving replies on a thread's pipe, and the checks every exchange
// makes on a reply.
//
// The skeleton of an exchange (each message function follows it):
//   1. record = KdrThreadRecord(); none gives ERR_KDRCP_THREAD_COUNT.
//   2. The record is pinned (`busy` 1, see thread_state.h) for the exchange and gets back its
//      earlier value on every way out, so an exchange nested in another leaves the outer
//      one's pin in place. Steps 1 and 2 are one: PinnedRecord.
//   3. No pipe: ConnectProxyLocked(record); still none gives ERR_KDRCP_NO_SERVER.
//   4. BeginRequest() writes the header into `requestBuffer` and steps `seqNum`.
//   5. SendRequest() (and the second write, for two-write requests), logging each write.
//   6. ReceiveReply(); a negative result ends the exchange with it.
//   7. CheckReply() with the exchange's ReplyRules, then dispatch on `typeID`:
//      ErrorReplyResult() for an error reply, InvalidTypeId() for a kind it does not allow.
// ExchangeScope does steps 1 to 3, SendLogged() one write of step 5, ReceiveChecked() steps 6
// and 7 up to the dispatch, and ReceiveFinalReply() / ReceiveEmptyReply() all of 6 and 7 for
// an exchange answered by one reply.
//
// Concurrency: each thread uses only its own record, pipe and buffers, so exchanges of
// different threads run in parallel without a lock; only connecting takes lock A. A pinned
// record is never freed by the idle monitor or by termination.
#ifndef KDR_PROTOCOL_MESSAGE_FRAMING_H_
#define KDR_PROTOCOL_MESSAGE_FRAMING_H_

#include <cstdint>

#include "client/result_codes.h"
#include "client/thread_state.h"
#include "protocol/message_format.h"

namespace kdr {

// How an exchange checks its replies and what it calls a mismatch.
struct ReplyRules {
  const char* name;      // the message's name in the MESSAGE ERROR lines
  uint32_t msgType;      // the message type its replies must carry
  bool msgTypeFirst;     // check msgType before SeqNum
  int seqMismatch;       // result of a SeqNum mismatch
  int msgTypeMismatch;   // result of a msgType mismatch
};

inline constexpr ReplyRules kVersionCheckRules{"KDR_VERSION_CHECK", KDR_VERSION_CHECK, true,
                                               ERR_KDRCP_BAD_ARG, ERR_KDRCP_BAD_ARG};
inline constexpr ReplyRules kOpenRules{"KDR_OPEN_MSG", KDR_OPEN_MSG, false, ERR_KDRCP_SEQUENCE,
                                       ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kGetSizeRules{"KDR_GET_SIZE_MSG", KDR_GET_SIZE_MSG, false,
                                          ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kGetDataRules{"KDR_GET_DATA_MSG", KDR_GET_DATA_MSG, false,
                                          ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kReadAheadRules{"KDR_READ_AHEAD_MSG", KDR_READ_AHEAD_MSG, false,
                                            ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kCloseRules{"KDR_CLOSE_MSG", KDR_CLOSE_MSG, true, ERR_KDRCP_SEQUENCE,
                                        ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kGetFileRules{"KDR_GET_FILE_MSG", KDR_GET_FILE_MSG, false,
                                          ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kGetLocationRules{"KDR_GET_LOCATION_MSG", KDR_GET_LOCATION_MSG,
                                              false, ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kUploadRules{"KDR_UPLOAD_MSG", KDR_UPLOAD_MSG, false,
                                         ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kRollbackRules{"KDR_ROLLBACK_MSG", KDR_ROLLBACK_MSG, false,
                                           ERR_KDRCP_SEQUENCE, ERR_KDRCP_MSG_TYPE};
inline constexpr ReplyRules kCacheInitInfoRules{"KDR_GET_CACHE_INIT_INFO",
                                                KDR_GET_CACHE_INIT_INFO, true, ERR_KDRCP_BAD_ARG,
                                                ERR_KDRCP_BAD_ARG};
inline constexpr ReplyRules kEchoRules{"KDR_ECHO_MSG", KDR_ECHO_MSG, true, ERR_KDRCP_BAD_ARG,
                                       ERR_KDRCP_BAD_ARG};
inline constexpr ReplyRules kClearCacheRules{"KDR_CLEAR_CACHE_MSG", KDR_CLEAR_CACHE_MSG, true,
                                             ERR_KDRCP_BAD_ARG, ERR_KDRCP_BAD_ARG};
inline constexpr ReplyRules kLocaleRules{"KDR_LOCALE_MSG", KDR_LOCALE_MSG, true,
                                         ERR_KDRCP_BAD_ARG, ERR_KDRCP_BAD_ARG};
inline constexpr ReplyRules kLocalizeRules{"KDR_LOCALIZE_MSG", KDR_LOCALIZE_MSG, true,
                                           ERR_KDRCP_BAD_ARG, ERR_KDRCP_BAD_ARG};

// Pins a record (`busy` 1, KdrPinRecord) for the life of the scope and gives the earlier value
// back when it ends (or at Restore(), whichever comes first). A null record, or one that a
// reclaimer has claimed, is not pinned: pinned() says which.
class BusyScope {
 public:
  explicit BusyScope(ThreadRecord* record)
      : record_(record != nullptr && KdrPinRecord(record, &saved_) ? record : nullptr) {}
  ~BusyScope() { Restore(); }
  void Restore() {
    if (record_ != nullptr) KdrUnpinRecord(record_, saved_);
    record_ = nullptr;
  }
  bool pinned() const { return record_ != nullptr; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int32_t saved_ = 0;
  ThreadRecord* record_;
};

// Writes the request header (direction 1, typeID 0, SeqNum = the record's `seqNum`) into the
// record's `requestBuffer` and steps `seqNum` (modulo 65536). Returns the SeqNum used.
// REQUIRES: record != nullptr and its buffers allocated.
uint16_t BeginRequest(ThreadRecord* record, uint32_t msgType, uint32_t payloadLength);

// Writes `count` bytes as one pipe message on the record's pipe, connecting first (under lock
// A) when the record has none. Returns `count`, ERR_KDRCP_THREAD_COUNT for no record, or
// ERR_KDRCP_NO_SERVER (no connection; or the write failed or was short, and the pipe is then
// closed). *unsent (when not null) is then true when the server had closed the pipe before any
// byte of the message went: it got nothing of it.
int SendRequest(ThreadRecord* record, const void* buffer, uint32_t count, bool* unsent = nullptr);

// Skeleton step 3 for a record the caller holds: connects it (under lock A) when it has no
// pipe, or when the server has gone from its idle pipe (looked at only with `lookFirst`).
// Returns 0, or ERR_KDRCP_NO_SERVER when it still has none (the code of the failed connect is
// not passed on).
int ConnectIfNeeded(ThreadRecord* record, bool lookFirst = true);

// Skeleton step 5 for one write: SendRequest() and then the line "<n> byte <what> sent to
// VXN", n being its result plus `logBias`. Returns the result of SendRequest.
int SendLogged(ThreadRecord* record, const void* buffer, uint32_t count, const char* what,
               long logBias = 0, bool* unsent = nullptr);

// Reads one whole reply into `buffer` (kReplyBufferSize bytes: the record's `replyBuffer`),
// assembling it from as many pipe reads as it arrives in. Returns its size (12 +
// payloadLength), or ERR_KDRCP_THREAD_COUNT (no record), ERR_KDRCP_NO_SERVER,
// ERR_KDRCP_NOT_SUPPORTED (the codes of ReadPipe; the pipe is then closed), or
// ERR_KDRCP_BAD_ARG after closing the pipe when the reply is malformed: `direction` is not 2,
// it is longer than the buffer, or its pipe message goes on past the announced length.
int ReceiveReply(ThreadRecord* record, unsigned char* buffer);

// Checks a received reply's SeqNum (it must be the record's `seqNum` - 1, modulo 65536) and
// msgType, in the order of `rules`. Logs the first mismatch and returns its code; 0 when both
// match. Neither mismatch closes the pipe here (ReceiveChecked closes it on a SeqNum
// mismatch).
int CheckReply(const ThreadRecord* record, const unsigned char* reply, const ReplyRules& rules);

// The result of an error reply of `total` bytes: -c for an error code c > 0, c for c < 0,
// ERR_KDRCP_BAD_FILE for 0. Logs "ERROR REPLY: ..." when `log` and stores its text as the
// thread's error text when `store`. An error reply too short to hold its code gives
// ERR_KDRCP_BAD_ARG. A text without a NUL is cut at the end of the reply (the last byte of the
// reply buffer is then overwritten by the NUL).
int ErrorReplyResult(unsigned char* reply, int total, bool log, bool store);

// Logs "MESSAGE ERROR: Invalid typeID %d" for the reply and returns ERR_KDRCP_TYPE_ID.
int InvalidTypeId(const unsigned char* reply);

// Skeleton steps 6 and 7 up to the dispatch: ReceiveReply() into the record's `replyBuffer`,
// then CheckReply() with `rules`. Returns the reply's size, or the first negative code. A
// reply whose SeqNum is not the exchange's closes the pipe: the connection is out of step,
// and the next exchange connects afresh.
int ReceiveChecked(ThreadRecord* record, const ReplyRules& rules);

// What ReceiveCheckedHead() read of a reply.
struct ReplyHead {
  uint32_t total;  // the reply's size, 12 + payloadLength
  uint32_t got;    // its first bytes, in the record's `replyBuffer`
  bool continues;  // the pipe message goes on past them
};

// ReceiveChecked() for a reply whose tail the caller places itself: reads the reply's header
// and at most `head` bytes of it in all into the record's `replyBuffer` and checks them as
// ReceiveChecked() does (a reply that fails the check is read whole). Returns the reply's size
// or the first negative code. Unless the result is negative or head->got is the whole reply,
// the rest must be read with ReceiveTail() before anything else is read from the pipe.
int ReceiveCheckedHead(ThreadRecord* record, const ReplyRules& rules, uint32_t head,
                       ReplyHead* out);

// Reads the rest of the reply whose head ReceiveCheckedHead() read (head->total - head->got
// bytes) into `to`, with the checks ReceiveReply() makes on a reply's end. Returns the reply's
// size, or a negative code after which the pipe is closed.
int ReceiveTail(ThreadRecord* record, ReplyHead* head, unsigned char* to);

// Skeleton steps 6 and 7 for an exchange answered by one reply: returns the size of a normal
// reply (in the record's `replyBuffer`); an error reply gives ErrorReplyResult(`logError`,
// `storeError`), any other kind InvalidTypeId(), a failed read or check its code.
int ReceiveFinalReply(ThreadRecord* record, const ReplyRules& rules, bool logError,
                      bool storeError);

// ReceiveFinalReply() for a normal reply that carries nothing, error replies logged and
// stored: 0 or a negative code.
int ReceiveEmptyReply(ThreadRecord* record, const ReplyRules& rules);

// Takes lock A, runs ConnectProxy(record), releases lock A and returns its result.
int ConnectProxyLocked(ThreadRecord* record);

// Makes a connection for `record`: the master pipe; when a server is there but busy, up to
// connectTimeout seconds of attempts 100 ms apart; when none listens (no socket, or one that
// refuses: nothing to wait for) or the wait ran out, a launch of the server and up to
// startupTimeout seconds of attempts while the launched process lives; then the version
// check. A failed start sets the text of ERR_KDRCP_START_FAILED to name the start-up log. Returns 0
// when the record is (or already was) connected, and also when the launched server still
// runs but has not opened its pipe in time (the record then has no pipe: callers test
// `pipe`). Otherwise ERR_KDRCP_THREAD_COUNT (no record), ERR_KDRCP_START_FAILED (the server
// did not start, or its process ended), ERR_KDRCP_VERSION (the server refused our version),
// or another code of the version check (the new pipe then stays open).
// REQUIRES: lock A held. Defined by the connect unit (server_connect.cpp), which stands on
// this one (its version check is an exchange); declared here so that an exchange can connect
// on demand without this unit including the one above it.
int ConnectProxy(ThreadRecord* record);

// Skeleton steps 1 to 3 for the life of the scope: the calling thread's record, pinned (as
// PinnedRecord), and its pipe connected (ConnectIfNeeded). result() is 0 when the exchange
// can go on, otherwise ERR_KDRCP_THREAD_COUNT (no record) or ERR_KDRCP_NO_SERVER.
// kBySend leaves out the look at the idle pipe (a system call): for an exchange that finds a
// server gone by its request's send (SendRequest's `unsent`) and then starts again.
class ExchangeScope {
 public:
  enum IdleCheck { kLookFirst, kBySend };
  explicit ExchangeScope(IdleCheck check = kLookFirst)
      : result_(pin_.get() == nullptr ? ERR_KDRCP_THREAD_COUNT
                                      : ConnectIfNeeded(pin_.get(), check == kLookFirst)) {}
  ExchangeScope(const ExchangeScope&) = delete;
  ExchangeScope& operator=(const ExchangeScope&) = delete;

  ThreadRecord* record() const { return pin_.get(); }
  int result() const { return result_; }

 private:
  PinnedRecord pin_;
  const int result_;
};

// Connects the calling thread when it has no pipe: ERR_KDRCP_THREAD_COUNT without a record, 0
// when it is connected already, otherwise the result of ConnectProxyLocked.
int EnsureConnected();

}  // namespace kdr

#endif  // KDR_PROTOCOL_MESSAGE_FRAMING_H_
