// HTTP exchanges with the object store, and the one retry policy of the vault.
//
// A Transport performs one exchange and hands every header line and body byte to a
// ResponseSink; libcurl's is the real one, tests put scripted answers in its place. Above it,
// Http checks that an answer is what was asked for before a byte of it counts as data:
//   - a ranged GET takes data only from a 206 whose Content-Range is the range asked (its end
//     may be cut at the object's end) and whose total is the object's size when known, or from
//     a 200 (a store or proxy that ignores Range) whose length is the object's: its bytes
//     before the range are skipped and the exchange stops after it;
//   - the answer's version id and ETag, when the request names them, must be theirs;
//   - no more bytes than asked are taken, and fewer are reported (Response::shortBody);
//   - an error document is kept as text up to kMaxBodyText; a longer one fails the exchange.
// Data reaches Request::consume with its offset in the object, always inside the range, so
// a consumer never has to guess where a piece belongs.
//
// Retry policy (Http::Perform), the same for every request:
//   - a store that answers "busy" (500, 502, 503, 504, 429) is retried up to
//     S3Settings::attempts times, after a full-jitter back-off (a random wait between 0 and a
//     ceiling that doubles, capped) or the answer's Retry-After when longer: never an outage;
//   - a connection refused or reset is retried once, quickly; a time-out (the store does not
//     answer) is not: the caller learns of the outage after one stall limit at most;
//   - a request that is not idempotent (Request::Retry::kIfNotDone, a PUT or a POST that would
//     make a second version) is retried only where the store cannot have done it: the
//     connection never opened, or a 503/429 answer;
//   - a certificate or credential failure is not retried: it is configuration, not weather;
//   - nothing is retried once data has reached the consumer (it resumes on its own terms).
//
// Thread-safe.
#ifndef KDR_SERVER_S3_HTTP_H_
#define KDR_SERVER_S3_HTTP_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/s3/settings.h"

namespace kdr::server::s3 {

inline constexpr size_t kMaxBodyText = 1u << 20;  // largest answer kept as text
inline constexpr uint64_t kUnknownSize = ~uint64_t{0};

// How an exchange ended on the wire.
enum class Net {
  kOk,         // an answer came, whole (its status says the rest)
  kConnect,    // no connection: refused, or the connect time-out
  kResolve,    // the host name is unknown
  kTimeout,    // connected, but the answer stalled or took too long
  kReset,      // the connection broke in the middle
  kTls,        // the TLS handshake failed, or the store's certificate is not trusted
  kCancelled,  // Request::cancel, or the sink stopped the exchange
  kOther,
};

struct Request {
  enum class Retry { kIdempotent, kIfNotDone, kNever };
  const char* method = "GET";
  std::string key;    // object key; empty: the bucket itself
  std::string query;  // from Query()
  std::vector<std::string> headers;
  const unsigned char* body = nullptr;  // PUT / POST body
  size_t bodyLen = 0;
  // A ranged GET of bytes [first, last] of the object; `objectSize` checks the answer.
  bool ranged = false;
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t objectSize = kUnknownSize;
  std::string expectVersion;  // when set, an answer of another version is refused
  std::string expectEtag;
  // The data of a GET with its offset in the object; false stops the exchange.
  std::function<bool(uint64_t, const unsigned char*, size_t)> consume;
  Retry retry = Retry::kIdempotent;
  bool sign = true;        // false: a plain request (the credential services)
  bool streaming = false;  // a large body: bounded by the stall time-out, not the request one
  int timeoutMs = 0;       // 0: S3Settings::requestTimeoutMs (without `streaming`)
  const std::atomic<bool>* cancel = nullptr;  // when set: stops the transfer soon
};

struct Response {
  long status = 0;
  Net net = Net::kOk;
  std::string netText;                         // the transport's words for a failure
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;                            // an answer without a consumer, bounded
  uint64_t delivered = 0;                      // data bytes handed to Request::consume
  bool complete = false;      // a GET with a consumer: every byte of the range arrived
  bool shortBody = false;     // ... fewer than the answer announced
  bool consumerStopped = false;
  std::string mismatch;  // the answer was not what was asked for: why
  bool aborted = false;  // stopped through Request::cancel: says nothing about the store

  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
  // The store could not be reached, or did not answer: an outage.
  bool Unreachable() const {
    return net == Net::kConnect || net == Net::kResolve || net == Net::kTimeout ||
           net == Net::kReset;
  }
  // The store answered that it is busy or failed for a moment: try again later.
  bool Busy() const {
    return net == Net::kOk &&
           (status == 500 || status == 502 || status == 503 || status == 504 || status == 429);
  }
  // The store's certificate or our credentials are refused: configuration, not an outage.
  bool Refused() const { return net == Net::kTls || (net == Net::kOk && status == 403); }
  // Whether the answer's ETag may be a digest of the data: not under KMS or a customer's key,
  // whose ETags are not MD5s of the bytes.
  bool EtagMayBeDigest() const {
    return Header("x-amz-server-side-encryption").rfind("aws:kms", 0) != 0 &&
           Header("x-amz-server-side-encryption-customer-algorithm").empty();
  }
};

// 0, or the errno value a response stands for (see vault.h).
int ErrnoOf(const Response& r);
// One line about a failed response.
std::string Describe(const Response& r);

// Receives an answer, as a Transport reads it.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // One header line without its line end: a status line ("HTTP/1.1 200 OK") starts each
  // answer (an interim 100 Continue comes with its own), the others follow it.
  virtual void Line(std::string_view line) = 0;
  // Body bytes of the last answer. False stops the exchange (it then ends with kCancelled).
  virtual bool Data(const unsigned char* data, size_t len) = 0;
};

struct Keys {
  std::string accessKey;
  std::string secretKey;
  std::string sessionToken;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends `req` once to `url` (the request's path and query included), signed with `keys`,
  // and hands the answer to `sink`. Returns how it ended, *detail saying why it failed.
  virtual Net Exchange(const Request& req, const std::string& url, const Keys& keys,
                       ResponseSink* sink, std::string* detail) = 0;
};

// The libcurl transport: SigV4-signed, path-style, keep-alive connections shared by threads.
std::shared_ptr<Transport> NewCurlTransport(const S3Settings& settings);

class Http {
 public:
  // `keys` supplies the credentials of each exchange.
  Http(const S3Settings& settings, std::function<int(Keys*, std::string*)> keys);

  // `req` with the retry policy above.
  Response Perform(const Request& req);
  // `req` once.
  Response Once(const Request& req);

  // The request line of `req`, for the log.
  std::string What(const Request& req) const;

 private:
  std::string Path(const std::string& key) const;
  // How long to wait before try `attempt` (1, 2, ...) after `r`; false: do not retry.
  bool RetryDelay(const Request& req, const Response& r, int attempt, uint32_t* ms);

  const S3Settings s_;
  std::shared_ptr<Transport> transport_;
  std::function<int(Keys*, std::string*)> keys_;
  std::atomic<uint64_t> seed_;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_HTTP_H_
