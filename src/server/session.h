// One client connection: reads requests off a secondary pipe and answers each as the client
// library expects (header, sequence number and message type echoed, reply kinds, error
// replies). Runs on its own thread; touches shared state only through ServerState.
//
// Anything a client sends is untrusted. A request that cannot be parsed gets an error reply
// when its header could be read, else the connection is closed; no input makes the session
// read or write outside its fixed buffers, which bound its memory.
#ifndef KDR_SERVER_SESSION_H_
#define KDR_SERVER_SESSION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pipe_server.h"
#include "platform/pipes.h"
#include "server/server.h"
#include "server/server_limits.h"
#include "server/session_entry.h"

namespace kdr::server {

class Session {
 public:
  // `requestSince` (may be null) is kept at the time the session began to read the request
  // in hand, 0 while it waits for one: the server closes a request that stalls half-way.
  Session(ServerState* state, platform::PipeHandle pipe, const platform::PeerProcess& peer,
          std::atomic<int32_t>* requestSince = nullptr);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Serves requests until the client closes its end, the pipe breaks, or the server stops.
  void Serve();

 private:
  struct Request {
    uint16_t seq = 0;
    uint32_t msgType = 0;
    uint16_t code = 0;
    uint32_t payloadLength = 0;
    const unsigned char* body = nullptr;  // fixed fields (after the header)
    uint32_t bodyLen = 0;
    const unsigned char* tail = nullptr;  // the second write, or the variable part
    uint32_t tailLen = 0;
  };
  enum class Read { kRequest, kMalformed, kGone };
  enum class Copy { kDone, kStopped, kFailed };

  // Framing.
  int ReadMessage(unsigned char* buf, uint32_t cap, uint32_t* len);
  Read ReadRequest(Request* r, std::string* why);
  bool SendReply(const Request& r, int8_t typeId, uint32_t payloadLen);  // payload at out_+12
  // The header of a reply to `r` at `h` (kHeaderSize bytes).
  static void PutReplyHeader(unsigned char* h, const Request& r, int8_t typeId,
                             uint32_t payloadLen);
  bool SendError(const Request& r, int32_t code, const std::string& text);
  unsigned char* Payload() { return out_ + kHeaderSize; }

  void Dispatch(const Request& r);
  std::shared_ptr<OpenFile> HandleOf(const Request& r, uint16_t handle);
  bool TailText(const Request& r, std::string* text);  // a NUL-terminated second write

  // Control (session.cpp).
  void OnVersionCheck(const Request& r);
  void OnEcho(const Request& r);
  void OnLocale(const Request& r);
  void OnLocalize(const Request& r);
  void OnCacheInfo(const Request& r);
  void OnClearCache(const Request& r);
  // Data (session_data.cpp).
  void OnOpen(const Request& r);
  void OnSize(const Request& r);
  void OnData(const Request& r);
  void OnReadAhead(const Request& r);
  // The open file, offset and length of a data or read-ahead request; null once the error
  // reply for a malformed request, an unknown handle or a negative range has been sent.
  std::shared_ptr<OpenFile> RangeOf(const Request& r, int64_t* offset, int32_t* length);
  void OnClose(const Request& r);
  // Puts block `block` of `f` into `into` (kBlockSize bytes), or lends it; see session_data.cpp.
  bool FetchBlock(OpenFile& f, VaultReader* reader, int32_t block, uint32_t* len, bool put,
                  unsigned char* into, const unsigned char** lent = nullptr,
                  std::shared_ptr<const void>* hold = nullptr);
  // The data piece of bytes [pos, pos + n) of a reply to `r`, its header in pieceHeads_[i].
  platform::PipeMessageParts PieceOf(const Request& r, int i, uint64_t pos,
                                     const unsigned char* bytes, uint32_t n);
  // Sends, straight from the store, the pieces of the blocks it holds from *pos on (up to
  // `end`, at most kDataBatch blocks), and moves *pos past them. Returns the number of blocks
  // sent; alive_ is false when the pipe failed.
  int SendStoredRun(const Request& r, OpenFile& f, uint64_t* pos, uint64_t end);
  // Sends the `count` data pieces gathered in pieceHeads_ and `parts` with one batch write.
  bool SendPieces(const platform::PipeMessageParts* parts, int count);
  // Opens a reader of `f`'s content; false once the error reply for a file that cannot be
  // read has been sent.
  bool OpenReaderOf(const Request& r, OpenFile& f, std::unique_ptr<VaultReader>* reader);
  // The error reply of a handle whose volume the vault no longer holds.
  void SendVolumeGone(const Request& r, const OpenFile& f);
  // Transfers (session_transfer.cpp).
  void OnGetFile(const Request& r);
  void OnGetLocation(const Request& r);
  void OnUpload(const Request& r);
  void OnRollback(const Request& r);
  Copy CopyWithProgress(const Request& r, uint64_t total,
                        const std::function<int(uint64_t, unsigned char*, size_t, size_t*)>& read,
                        const std::function<int(uint64_t, const unsigned char*, size_t)>& write,
                        int* err);
  // Copies the vault file `f` into the new, empty file `out`, with progress replies, and
  // closes `out`; a failed close fails the copy. `sync`: flushed to the disk before it is
  // closed. *copy and *err say how it ended, as CopyWithProgress does.
  void DownloadToTemp(const Request& r, OpenFile& f, int out, bool sync, Copy* copy, int* err);
  bool Progress(const Request& r, uint64_t done, uint64_t total);
  // The error reply of a transfer that did not finish (`c` is not kDone): the client's stop,
  // or, while the client is there, kErrBadFile with `failText` and the text of `err`.
  void SendUnfinished(const Request& r, Copy c, const std::string& failText, int err);

  ServerState* const state_;
  const platform::PipeHandle pipe_;
  std::atomic<int32_t>* const requestSince_;
  const platform::PeerProcess peer_;
  bool alive_ = true;
  std::string locale_;
  const Catalog* catalog_ = nullptr;
  int32_t stopCode_ = 0;    // why the client stopped the current transfer
  std::string stopText_;

  unsigned char in_[kMaxFirstMessage];
  unsigned char in2_[kMaxSecondMessage];
  unsigned char out_[kMaxReply];
  unsigned char block_[kBlockSize];
  // A data reply goes out in batches of up to kDataBatch pieces, each straight from its block's
  // slot of batch_ (allocated at the first data request) behind its header in pieceHeads_.
  static constexpr int kDataBatch = 16;
  std::unique_ptr<unsigned char[]> batch_;
  unsigned char pieceHeads_[kDataBatch][kHeaderSize + kDataReplyFixed];
};

// The system's text for errno value `err`.
std::string ErrnoText(int err);

}  // namespace kdr::server

#endif  // KDR_SERVER_SESSION_H_
