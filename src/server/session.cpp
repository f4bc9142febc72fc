// Framing, dispatch and the control requests of a connection.
#include "server/session.h"

#include <cstring>
#include <system_error>

#include "platform/clock.h"
#include "platform/fs.h"
#include "server/log.h"
#include "server/session_entry.h"
#include "server/stats.h"

namespace kdr::server {

namespace pf = kdr::platform;

std::string ErrnoText(int err) {
  char buf[256];
  if (!pf::SystemErrorText(err, buf, sizeof buf)) std::snprintf(buf, sizeof buf, "error %d", err);
  return buf;
}

void ServeSession(ServerState* state, pf::PipeHandle pipe, const pf::PeerProcess& peer,
                  std::atomic<int32_t>* requestSince) {
  // On the heap: a session's fixed buffers are too large for a thread's stack.
  auto session = std::make_unique<Session>(state, pipe, peer, requestSince);
  session->Serve();
}

Session::Session(ServerState* state, pf::PipeHandle pipe, const pf::PeerProcess& peer,
                 std::atomic<int32_t>* requestSince)
    : state_(state), pipe_(pipe), requestSince_(requestSince), peer_(peer) {}

void Session::Serve() {
  while (alive_ && !state_->stopping.load()) {
    Request r;
    std::string why;
    switch (ReadRequest(&r, &why)) {
      case Read::kRequest:
        Dispatch(r);
        break;
      case Read::kMalformed:
        Log(LogLevel::kWarn, "process %ld: malformed request: %s", peer_.pid, why.c_str());
        SendError(r, kErrBadRequest, "Malformed request: " + why);
        break;
      case Read::kGone:
        if (!why.empty()) Log(LogLevel::kWarn, "process %ld: %s", peer_.pid, why.c_str());
        return;
    }
  }
}

// Reads one pipe message into buf. Returns 0 with *len set; 1 when the message was longer
// than cap (the first cap bytes are in buf, the rest was read and dropped); -1 when the pipe
// is broken.
int Session::ReadMessage(unsigned char* buf, uint32_t cap, uint32_t* len) {
  *len = 0;
  uint32_t done = 0;
  int rc = pf::PipeRead(pipe_, buf, cap, &done);
  if (rc == pf::kPipeOk) {
    *len = done;
    return 0;
  }
  if (rc != pf::kPipeMoreData) return -1;
  *len = done;
  unsigned char scratch[4096];
  do {
    rc = pf::PipeRead(pipe_, scratch, sizeof scratch, &done);
  } while (rc == pf::kPipeMoreData);
  return rc == pf::kPipeOk ? 1 : -1;
}

Session::Read Session::ReadRequest(Request* r, std::string* why) {
  // Waiting for a request is free for as long as the client likes; once its first byte is
  // in, the rest must follow within the server's bound (its housekeeping watches the mark).
  pf::PipeWaitReadable(pipe_, -1);
  struct Mark {
    std::atomic<int32_t>* since;
    explicit Mark(std::atomic<int32_t>* s) : since(s) {
      if (since != nullptr) since->store(pf::MonotonicMs() | 1);
    }
    ~Mark() {
      if (since != nullptr) since->store(0);
    }
  } mark(requestSince_);
  uint32_t len = 0;
  int rc = ReadMessage(in_, sizeof in_, &len);
  if (rc < 0) return Read::kGone;  // the client closed its end (or the pipe broke)
  if (len < kHeaderSize) {
    // Without a header there is nothing to answer to: the stream is not ours.
    *why = "a message too short for a request header; connection closed";
    return Read::kGone;
  }
  r->seq = GetBE16(in_, kOffSeqNum);
  r->msgType = GetBEU32(in_, kOffMsgType);
  r->payloadLength = GetBEU32(in_, kOffPayloadLength);
  r->code = static_cast<uint16_t>(r->msgType >> 16);
  if (rc > 0) {
    *why = "request longer than " + std::to_string(sizeof in_) + " bytes";
    return Read::kMalformed;
  }
  if (in_[kOffDirection] != kDirectionRequest || in_[kOffTypeId] != 0) {
    *why = "not a request header";
    return Read::kMalformed;
  }
  if (MsgTypeOf(r->code) != r->msgType) {
    *why = "message type is not a code and its complement";
    return Read::kMalformed;
  }
  r->body = in_ + kHeaderSize;
  r->bodyLen = len - kHeaderSize;

  // Requests with a second write: the first message holds the header and `fixed` bytes.
  uint32_t fixed = 0;
  bool twoWrites = true;
  switch (r->msgType) {
    case KDR_OPEN_MSG:
    case KDR_LOCALE_MSG:
    case KDR_LOCALIZE_MSG:
      fixed = 0;
      break;
    case KDR_UPLOAD_MSG:
    case KDR_ROLLBACK_MSG:
      fixed = kHandleLengthBody;
      break;
    default:
      twoWrites = false;
  }
  if (!twoWrites) {
    if (r->bodyLen != r->payloadLength) {
      *why = "payload length " + std::to_string(r->payloadLength) + " but " +
             std::to_string(r->bodyLen) + " bytes sent";
      return Read::kMalformed;
    }
    return Read::kRequest;
  }
  if (r->payloadLength < fixed) {
    *why = "payload length too small";
    return Read::kMalformed;
  }
  if (r->bodyLen == fixed) {
    // The second write always follows, even when empty (an absent volume id).
    uint32_t len2 = 0;
    int rc2 = ReadMessage(in2_, sizeof in2_, &len2);
    if (rc2 < 0) return Read::kGone;
    if (rc2 > 0) {
      *why = "second part longer than " + std::to_string(sizeof in2_) + " bytes";
      return Read::kMalformed;
    }
    if (len2 != r->payloadLength - fixed) {
      *why = "payload length " + std::to_string(r->payloadLength) + " but " +
             std::to_string(fixed + len2) + " bytes sent";
      return Read::kMalformed;
    }
    r->tail = in2_;
    r->tailLen = len2;
    return Read::kRequest;
  }
  if (r->bodyLen == r->payloadLength) {
    // Everything in one message: accepted as well.
    r->tail = r->body + fixed;
    r->tailLen = r->bodyLen - fixed;
    r->bodyLen = fixed;
    return Read::kRequest;
  }
  *why = "payload length does not match the bytes sent";
  return Read::kMalformed;
}

void Session::PutReplyHeader(unsigned char* h, const Request& r, int8_t typeId,
                             uint32_t payloadLen) {
  h[kOffDirection] = kDirectionReply;
  h[kOffTypeId] = static_cast<unsigned char>(typeId);
  PutBE16(h, kOffSeqNum, r.seq);
  PutBE32(h, kOffMsgType, r.msgType);
  PutBE32(h, kOffPayloadLength, payloadLen);
}

bool Session::SendReply(const Request& r, int8_t typeId, uint32_t payloadLen) {
  PutReplyHeader(out_, r, typeId, payloadLen);
  if (pf::PipeWrite(pipe_, out_, kHeaderSize + payloadLen, nullptr) != pf::kPipeOk) {
    alive_ = false;
    return false;
  }
  return true;
}

bool Session::SendError(const Request& r, int32_t code, const std::string& text) {
  unsigned char* p = Payload();
  PutBE32(p, 0, static_cast<uint32_t>(code));
  PutBE32(p, 4, 0);
  size_t room = kMaxReply - kOffErrorText - 1;
  size_t n = text.size() < room ? text.size() : room;
  std::memcpy(out_ + kOffErrorText, text.data(), n);
  out_[kOffErrorText + n] = '\0';
  Log(LogLevel::kDebug, "process %ld: error reply %d: %s", peer_.pid, code, text.c_str());
  return SendReply(r, kReplyError, static_cast<uint32_t>(kOffErrorText - kHeaderSize + n + 1));
}

void Session::Dispatch(const Request& r) {
  switch (r.msgType) {
    case KDR_VERSION_CHECK: return OnVersionCheck(r);
    case KDR_OPEN_MSG: return OnOpen(r);
    case KDR_GET_SIZE_MSG: return OnSize(r);
    case KDR_GET_DATA_MSG: return OnData(r);
    case KDR_GET_FILE_MSG: return OnGetFile(r);
    case KDR_CLOSE_MSG: return OnClose(r);
    case KDR_ECHO_MSG: return OnEcho(r);
    case KDR_UPLOAD_MSG: return OnUpload(r);
    case KDR_ROLLBACK_MSG: return OnRollback(r);
    case KDR_READ_AHEAD_MSG: return OnReadAhead(r);
    case KDR_LOCALE_MSG: return OnLocale(r);
    case KDR_LOCALIZE_MSG: return OnLocalize(r);
    case KDR_GET_LOCATION_MSG: return OnGetLocation(r);
    case KDR_GET_CACHE_INIT_INFO: return OnCacheInfo(r);
    case KDR_CLEAR_CACHE_MSG: return OnClearCache(r);
    case KDR_STATUS_MSG:
      // A status belongs to a transfer; outside one it has no reply of its own (answering
      // would put a reply in the pipe that no exchange of the client waits for).
      Log(LogLevel::kDebug, "process %ld: status outside a transfer ignored", peer_.pid);
      return;
    default:
      SendError(r, kErrNotSupported, "Unknown request type " + std::to_string(r.code));
  }
}

std::shared_ptr<OpenFile> Session::HandleOf(const Request& r, uint16_t handle) {
  std::shared_ptr<OpenFile> f = state_->handles.Find(peer_, handle);
  if (f == nullptr) {
    SendError(r, kErrBadFile, "Invalid file handle " + std::to_string(handle));
  }
  return f;
}

bool Session::TailText(const Request& r, std::string* text) {
  if (r.tailLen == 0 || r.tail[r.tailLen - 1] != '\0' ||
      std::memchr(r.tail, '\0', r.tailLen - 1) != nullptr) {
    SendError(r, kErrBadRequest, "Malformed request: the text must end with its only NUL");
    return false;
  }
  text->assign(reinterpret_cast<const char*>(r.tail), r.tailLen - 1);
  return true;
}

void Session::OnVersionCheck(const Request& r) {
  if (r.bodyLen == kVersionCheckPayload &&
      std::memcmp(r.body, kProtocolVersion, kVersionCheckPayload) == 0) {
    // The payload is the instance id; a client that does not know it reads no payload.
    PutBE64(Payload(), 0, static_cast<int64_t>(state_->instanceId));
    SendReply(r, kReplyNormal, kVersionReplyInstanceBytes);
    return;
  }
  char text[128];
  if (r.bodyLen == kVersionCheckPayload) {
    std::snprintf(text, sizeof text,
                  "Protocol version %02X%02X%02X%02X is not supported (this server speaks "
                  "0A00000A)",
                  r.body[0], r.body[1], r.body[2], r.body[3]);
  } else {
    std::snprintf(text, sizeof text, "Malformed version check");
  }
  Log(LogLevel::kWarn, "process %ld: %s", peer_.pid, text);
  SendError(r, kErrVersion, text);
}

void Session::OnEcho(const Request& r) { SendReply(r, kReplyNormal, 0); }

void Session::OnLocale(const Request& r) {
  std::string name;
  if (!TailText(r, &name)) return;
  if (!Catalogs::IsLocaleName(name)) {
    SendError(r, kErrBadRequest, "Invalid locale name");
    return;
  }
  locale_ = name;
  catalog_ = state_->catalogs.ForLocale(name);
  Log(LogLevel::kDebug, "process %ld: locale %s (%s)", peer_.pid, name.c_str(),
      catalog_ != nullptr ? "translated" : "no catalog");
  SendReply(r, kReplyNormal, 0);
}

void Session::OnLocalize(const Request& r) {
  std::string text;
  if (!TailText(r, &text)) return;
  const std::string* t = catalog_ != nullptr ? catalog_->Find(text) : nullptr;
  const std::string& out = t != nullptr ? *t : text;
  if (out.empty()) {
    SendError(r, kErrBadRequest, "Nothing to translate");
    return;
  }
  if (out.size() > kMaxReplyPayload - 2) {
    SendError(r, kErrBadRequest, "Text too long to translate");
    return;
  }
  PutBE16(Payload(), 0, static_cast<uint16_t>(out.size()));
  std::memcpy(Payload() + 2, out.data(), out.size());
  SendReply(r, kReplyNormal, static_cast<uint32_t>(2 + out.size()));
}

void Session::OnCacheInfo(const Request& r) {
  StoreInfo info;
  if (!state_->cache->Info(&info)) {
    SendError(r, kErrNotSupported, "No cache store is open");
    return;
  }
  size_t d = info.directory.size(), m = info.mapName.size();
  if (d == 0 || m == 0 || d > 0x7FFF || m > 0x7FFF || 24 + d + m > kMaxReplyPayload) {
    SendError(r, kErrNotSupported, "Cache store names do not fit a reply");
    return;
  }
  unsigned char* p = Payload();
  PutBE32(p, 0, static_cast<uint32_t>(info.filePages));
  PutBE32(p, 4, static_cast<uint32_t>(info.segments));
  PutBE32(p, 8, static_cast<uint32_t>(info.hashBlocks));
  PutBE32(p, 12, static_cast<uint32_t>(info.extentMB));
  PutBE32(p, 16, static_cast<uint32_t>(info.extents));
  PutBE16(p, 20, static_cast<uint16_t>(d));
  PutBE16(p, 22, static_cast<uint16_t>(m));
  std::memcpy(p + 24, info.directory.data(), d);
  std::memcpy(p + 24 + d, info.mapName.data(), m);
  SendReply(r, kReplyNormal, static_cast<uint32_t>(24 + d + m));
}

void Session::OnClearCache(const Request& r) {
  int rc = state_->cache->Clear();
  if (rc != 0) {
    SendError(r, kErrBadFile, "The cache store could not be cleared (store error " +
                                   std::to_string(rc) + ")");
    return;
  }
  if (int frc = state_->files.Clear(); frc != 0) {
    SendError(r, kErrBadFile, "The cached files could not be removed: " + ErrnoText(frc));
    return;
  }
  Stats().filesBytes.store(0);
  Log(LogLevel::kInfo, "process %ld cleared the cache", peer_.pid);
  SendReply(r, kReplyNormal, 0);
}

}  // namespace kdr::server
