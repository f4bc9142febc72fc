#include "server/raw_client.h"

#include <cstring>

namespace kdr::servertest {

namespace pf = kdr::platform;

int32_t Reply::ErrorCode() const { return payload.size() >= 4 ? GetBE32(payload.data(), 0) : 0; }

std::string Reply::ErrorText() const {
  if (payload.size() <= 8) return "";
  const char* p = reinterpret_cast<const char*>(payload.data() + 8);
  return std::string(p, strnlen(p, payload.size() - 8));
}

std::string Reply::LengthText() const {
  if (payload.size() < 2) return "";
  size_t n = GetBE16(payload.data(), 0);
  if (n > payload.size() - 2) return "";
  return std::string(reinterpret_cast<const char*>(payload.data() + 2), n);
}

RawClient::~RawClient() {
  if (pipe_ != pf::kNoPipe) pf::PipeAbort(pipe_);
}

int RawClient::Connect(const std::string& masterPath) {
  pf::PipeHandle master = pf::kNoPipe;
  int rc = pf::PipeConnect(masterPath.c_str(), &master);
  if (rc != pf::kPipeOk) return rc;
  char name[pf::kMaxPipeNameMessage + 1] = {0};
  uint32_t n = 0;
  rc = pf::PipeRead(master, name, pf::kMaxPipeNameMessage, &n);
  pf::PipeClose(master);
  if (rc != pf::kPipeOk || n == 0) return rc == pf::kPipeOk ? pf::kPipeBroken : rc;
  name[n] = '\0';
  rc = pf::PipeConnect(name, &pipe_);
  seq_ = 0;
  return rc;
}

void RawClient::Close() {
  if (pipe_ != pf::kNoPipe) pf::PipeClose(pipe_);
  pipe_ = pf::kNoPipe;
}

bool RawClient::SendMessage(const Bytes& bytes) {
  return pf::PipeWrite(pipe_, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr) ==
         pf::kPipeOk;
}

bool RawClient::SendRaw(const Bytes& bytes) {
  return pf::PipeWriteRaw(pipe_, bytes.data(), static_cast<uint32_t>(bytes.size())) == pf::kPipeOk;
}

bool RawClient::Send(uint32_t msgType, const Bytes& body, uint32_t payloadLength) {
  Bytes m(kHeaderSize);
  PutRequestHeader(m.data(), seq_, msgType, payloadLength);
  lastSeq_ = seq_++;
  m.insert(m.end(), body.begin(), body.end());
  return SendMessage(m);
}

bool RawClient::Send2(uint32_t msgType, const Bytes& fixed, const Bytes& second) {
  if (!Send(msgType, fixed, static_cast<uint32_t>(fixed.size() + second.size()))) return false;
  return SendMessage(second);
}

bool RawClient::SendStatus(int32_t status) {
  Bytes m(kHeaderSize);
  PutRequestHeader(m.data(), static_cast<uint16_t>(lastSeq_ + 1), KDR_STATUS_MSG, 4);
  Bytes s = BE32(static_cast<uint32_t>(status));
  m.insert(m.end(), s.begin(), s.end());
  return SendMessage(m);
}

bool RawClient::Receive(Reply* reply) {
  *reply = Reply{};
  Bytes buf(pf::kMaxPipeMessage);
  uint32_t n = 0;
  int rc = pf::PipeRead(pipe_, buf.data(), static_cast<uint32_t>(buf.size()), &n);
  if (rc != pf::kPipeOk || n < kHeaderSize) return false;
  reply->direction = buf[kOffDirection];
  reply->typeId = static_cast<int8_t>(buf[kOffTypeId]);
  reply->seq = GetBE16(buf.data(), kOffSeqNum);
  reply->msgType = GetBEU32(buf.data(), kOffMsgType);
  uint32_t len = GetBEU32(buf.data(), kOffPayloadLength);
  if (len != n - kHeaderSize) return false;
  reply->payload.assign(buf.begin() + kHeaderSize, buf.begin() + n);
  return true;
}

Reply RawClient::VersionCheck(const unsigned char version[4]) {
  return Simple(KDR_VERSION_CHECK, Bytes(version, version + 4));
}

Reply RawClient::Open(const std::string& ticket) {
  Reply r;
  if (Send2(KDR_OPEN_MSG, {}, Text(ticket, true))) Receive(&r);
  return r;
}

Reply RawClient::Data(uint16_t handle, int64_t offset, int32_t length) {
  return Simple(KDR_GET_DATA_MSG, Cat({BE16(handle), BE64(offset),
                                       BE32(static_cast<uint32_t>(length)), Text("tst", false)}));
}

Reply RawClient::Simple(uint32_t msgType, const Bytes& body) {
  Reply r;
  if (Send(msgType, body)) Receive(&r);
  return r;
}

Bytes BE16(uint16_t v) {
  Bytes b(2);
  PutBE16(b.data(), 0, v);
  return b;
}
Bytes BE32(uint32_t v) {
  Bytes b(4);
  PutBE32(b.data(), 0, v);
  return b;
}
Bytes BE64(int64_t v) {
  Bytes b(8);
  PutBE64(b.data(), 0, v);
  return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Text(const std::string& s, bool nul) {
  Bytes b(s.begin(), s.end());
  if (nul) b.push_back(0);
  return b;
}

}  // namespace kdr::servertest
