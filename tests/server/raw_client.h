// A client of kdrcached that speaks the wire format directly, for tests: it can send what
// the client library sends, and also what it never would.
#ifndef KDR_TESTS_SERVER_RAW_CLIENT_H_
#define KDR_TESTS_SERVER_RAW_CLIENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/pipes.h"
#include "protocol/message_format.h"

namespace kdr::servertest {

using Bytes = std::vector<unsigned char>;

struct Reply {
  uint8_t direction = 0;
  int8_t typeId = -1;
  uint16_t seq = 0;
  uint32_t msgType = 0;
  Bytes payload;
  // Error replies.
  int32_t ErrorCode() const;
  std::string ErrorText() const;
  // Normal replies of the transfer and localize kind: a 16-bit length and that many bytes.
  std::string LengthText() const;
};

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Master pipe, secondary pipe name, secondary pipe. Returns a pipe result.
  int Connect(const std::string& masterPath);
  bool connected() const { return pipe_ != platform::kNoPipe; }
  void Close();  // the server sees the end of the stream
  // Bounds every later read: one that waits longer fails as a broken pipe.
  void SetReadTimeout(int ms) { platform::PipeSetReadTimeout(pipe_, ms); }

  // Sends one pipe message / raw stream bytes.
  bool SendMessage(const Bytes& bytes);
  bool SendRaw(const Bytes& bytes);
  // A request header followed by `body`, as one message; the SeqNum is the client's and
  // advances.
  bool Send(uint32_t msgType, const Bytes& body, uint32_t payloadLength);
  bool Send(uint32_t msgType, const Bytes& body) {
    return Send(msgType, body, static_cast<uint32_t>(body.size()));
  }
  // Header message, then the second write.
  bool Send2(uint32_t msgType, const Bytes& fixed, const Bytes& second);
  bool SendStatus(int32_t status);  // with the SeqNum of the last request + 1

  // Reads one reply. False when the pipe broke (or the reply was not a whole message).
  bool Receive(Reply* reply);

  // Whole exchanges, as the library makes them. Each returns the reply.
  Reply VersionCheck(const unsigned char version[4]);
  Reply Open(const std::string& ticket);
  Reply Data(uint16_t handle, int64_t offset, int32_t length);  // first reply only
  Reply Simple(uint32_t msgType, const Bytes& body);

  uint16_t seq() const { return seq_; }

 private:
  platform::PipeHandle pipe_ = platform::kNoPipe;
  uint16_t seq_ = 0;      // SeqNum of the next request
  uint16_t lastSeq_ = 0;  // SeqNum of the last request
};

Bytes BE16(uint16_t v);
Bytes BE32(uint32_t v);
Bytes BE64(int64_t v);
Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Text(const std::string& s, bool nul);

}  // namespace kdr::servertest

#endif  // KDR_TESTS_SERVER_RAW_CLIENT_H_
