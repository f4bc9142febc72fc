#include "server/s3/http.h"

#include <algorithm>
#include <cerrno>
#include <random>

#include "platform/clock.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr uint32_t kBackoffBaseMs = 100;  // the first ceiling of the full-jitter wait
constexpr uint32_t kBackoffCapMs = 8000;  // the ceiling never grows past this
constexpr uint32_t kRetryAfterCapMs = 20000;
constexpr uint32_t kReconnectMs = 100;  // ceiling of the wait before the one reconnect

// Receives one answer and decides, from its status and headers, what its body is.
class Reception : public ResponseSink {
 public:
  Reception(const Request& req, Response* r) : req_(req), r_(r) {}

  void Line(std::string_view line) override {
    long status = 0;
    if (ParseStatusLine(line, &status)) {
      // A new answer (after 100 Continue): only the last one counts.
      r_->status = status;
      r_->headers.clear();
      decided_ = false;
      return;
    }
    std::string name, value;
    if (ParseHeaderLine(line, &name, &value)) r_->headers[name] = value;
  }

  bool Data(const unsigned char* data, size_t len) override {
    if (!decided_) Decide();
    if (mode_ == Mode::kRefuse) return false;
    if (mode_ == Mode::kText) {
      if (r_->body.size() + len > kMaxBodyText) {
        r_->mismatch = "an answer of more than " + std::to_string(kMaxBodyText) + " bytes";
        return false;
      }
      r_->body.append(reinterpret_cast<const char*>(data), len);
      return true;
    }
    // Data: the bytes at pos_ of the object; only [wantFirst_, wantEnd_) is taken.
    uint64_t at = pos_;
    pos_ += len;
    if (pos_ <= wantFirst_) return true;
    if (at < wantFirst_) {
      size_t skip = static_cast<size_t>(wantFirst_ - at);
      data += skip;
      len -= skip;
      at = wantFirst_;
    }
    if (at >= wantEnd_) return Beyond();
    size_t take = static_cast<size_t>(std::min<uint64_t>(len, wantEnd_ - at));
    if (!req_.consume(at, data, take)) {
      r_->consumerStopped = true;
      return false;
    }
    r_->delivered += take;
    if (take < len) return Beyond();
    if (window_ && at + take == wantEnd_) {
      r_->complete = true;  // the rest of the whole object is not wanted
      return false;
    }
    return true;
  }

  // After the exchange: whether every byte arrived.
  void Finish(Net net) {
    r_->net = net;
    if (r_->status >= 200 && r_->status < 300 && req_.consume && !decided_) Decide();
    if (mode_ == Mode::kData) {
      if (wantEnd_ != kUnknownSize && r_->delivered == wantEnd_ - wantFirst_) r_->complete = true;
      if (wantEnd_ == kUnknownSize && net == Net::kOk) r_->complete = true;
      if (net == Net::kOk && !r_->complete) r_->shortBody = true;
    }
    // Stopped by this side for a reason of its own: the store did answer.
    if (net == Net::kCancelled && !r_->consumerStopped && (r_->complete || !r_->mismatch.empty())) {
      r_->net = Net::kOk;
    }
  }

 private:
  enum class Mode { kText, kData, kRefuse };

  bool Beyond() {
    if (window_) {
      r_->complete = true;
    } else {
      r_->mismatch = "more bytes than asked for";
    }
    return false;
  }

  void Refuse(std::string why) {
    mode_ = Mode::kRefuse;
    r_->mismatch = std::move(why);
  }

  void Decide() {
    decided_ = true;
    mode_ = Mode::kText;
    if (!req_.consume || r_->status < 200 || r_->status >= 300) return;
    std::string version = r_->Header("x-amz-version-id");
    if (!req_.expectVersion.empty() && !version.empty() && version != req_.expectVersion) {
      return Refuse("version " + version + " answered a request of " + req_.expectVersion);
    }
    std::string etag = r_->Header("etag");
    if (!req_.expectEtag.empty() && !etag.empty() && etag != req_.expectEtag) {
      return Refuse("ETag " + etag + " answered a request of " + req_.expectEtag);
    }
    uint64_t length = kUnknownSize;
    std::string lengthText = r_->Header("content-length");
    if (!lengthText.empty() && !ParseUnsigned(lengthText, &length)) {
      return Refuse("a bad Content-Length: " + lengthText);
    }
    const uint64_t size = req_.objectSize;
    if (r_->status == 206) {
      ContentRange cr;
      if (!req_.ranged) return Refuse("a partial answer to a whole GET");
      if (!ParseContentRange(r_->Header("content-range"), &cr)) {
        return Refuse("a partial answer without a valid Content-Range");
      }
      uint64_t last = size == kUnknownSize ? req_.last : std::min(req_.last, size - 1);
      bool ok =
          cr.first == req_.first && (size == kUnknownSize ? cr.last <= last : cr.last == last);
      if (ok && size != kUnknownSize) ok = cr.totalKnown && cr.total == size;
      if (ok && length != kUnknownSize) ok = length == cr.last - cr.first + 1;
      if (!ok) {
        return Refuse("range " + r_->Header("content-range") + " answered bytes " +
                      std::to_string(req_.first) + "-" + std::to_string(req_.last) +
                      (size == kUnknownSize ? "" : " of " + std::to_string(size)));
      }
      mode_ = Mode::kData;
      pos_ = wantFirst_ = cr.first;
      wantEnd_ = cr.last + 1;
      return;
    }
    if (r_->status != 200) return Refuse("HTTP " + std::to_string(r_->status) + " to a GET");
    if (size != kUnknownSize && length != kUnknownSize && length != size) {
      return Refuse("a whole answer of " + std::to_string(length) + " bytes for an object of " +
                    std::to_string(size));
    }
    uint64_t whole = size != kUnknownSize ? size : length;
    mode_ = Mode::kData;
    pos_ = 0;
    if (req_.ranged) {
      // The range was ignored: the whole object comes; its range is cut out of it.
      window_ = true;
      wantFirst_ = req_.first;
      wantEnd_ = whole == kUnknownSize ? req_.last + 1 : std::min(req_.last + 1, whole);
      if (wantFirst_ > wantEnd_) wantFirst_ = wantEnd_;
    } else {
      wantFirst_ = 0;
      wantEnd_ = whole;
    }
  }

  const Request& req_;
  Response* r_;
  bool decided_ = false;
  Mode mode_ = Mode::kText;
  bool window_ = false;
  uint64_t pos_ = 0;
  uint64_t wantFirst_ = 0;
  uint64_t wantEnd_ = kUnknownSize;
};

uint32_t Jitter(uint32_t ceiling) {
  thread_local std::mt19937 rng{std::random_device{}()};
  return ceiling == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, ceiling)(rng);
}

}  // namespace

int ErrnoOf(const Response& r) {
  switch (r.net) {
    case Net::kOk:
      break;
    case Net::kConnect:
      return ECONNREFUSED;
    case Net::kResolve:
      return EHOSTUNREACH;
    case Net::kTimeout:
      return ETIMEDOUT;
    case Net::kReset:
      return ECONNRESET;
    case Net::kTls:
      return EPROTO;
    case Net::kCancelled:
      return ECANCELED;
    case Net::kOther:
      return EIO;
  }
  if (!r.mismatch.empty()) return EIO;
  if (r.consumerStopped) return ECANCELED;
  if (r.shortBody) return ECONNRESET;
  if (r.status >= 200 && r.status < 300) return 0;
  if (r.status == 404) return ENOENT;
  if (r.status == 401 || r.status == 403) return EACCES;
  if (r.status == 409) return EBUSY;
  if (r.Busy()) return EAGAIN;
  return EIO;
}

std::string Describe(const Response& r) {
  if (r.net != Net::kOk) {
    static const char* const kWords[] = {
        "ok",          "cannot connect", "unknown host", "timed out", "connection reset",
        "TLS failure", "cancelled",      "failed"};
    std::string text = kWords[static_cast<int>(r.net)];
    return r.netText.empty() ? text : text + ": " + r.netText;
  }
  if (!r.mismatch.empty()) return "unexpected answer: " + r.mismatch;
  if (r.shortBody) return "the answer ended early";
  std::string code = XmlField(r.body, "Code");
  return "HTTP " + std::to_string(r.status) + (code.empty() ? "" : " " + code);
}

Http::Http(const S3Settings& settings, std::function<int(Keys*, std::string*)> keys)
    : s_(settings),
      transport_(settings.transport ? settings.transport : NewCurlTransport(settings)),
      keys_(std::move(keys)) {}

std::string Http::Path(const std::string& key) const {
  std::string p = "/" + Encode(s_.bucket, false);
  if (!key.empty()) p += "/" + Encode(key, true);
  return p;
}

std::string Http::What(const Request& req) const {
  return std::string(req.method) + " " + Path(req.key) + (req.query.empty() ? "" : "?") + req.query;
}

Response Http::Once(const Request& req) {
  Response r;
  Keys keys;
  std::string why;
  if (keys_ && keys_(&keys, &why) != 0) {
    r.net = Net::kOther;
    r.netText = "no credentials: " + why;
    r.status = 403;  // as the store would answer: a configuration error
    return r;
  }
  std::string url = s_.endpoint + Path(req.key) + (req.query.empty() ? "" : "?" + req.query);
  Reception rec(req, &r);
  Net net = transport_->Exchange(req, url, keys, &rec, &r.netText);
  if (req.cancel != nullptr && req.cancel->load() && !r.complete) {
    r.net = Net::kCancelled;
    r.aborted = true;
    return r;
  }
  rec.Finish(net);
  return r;
}

bool Http::RetryDelay(const Request& req, const Response& r, int attempt, uint32_t* ms) {
  if (r.aborted || r.delivered > 0 || req.retry == Request::Retry::kNever) return false;
  if (r.Busy()) {
    if (req.retry == Request::Retry::kIfNotDone && r.status != 503 && r.status != 429) {
      return false;  // a 500 may come after the store did it
    }
    if (attempt >= std::max(1, s_.attempts)) return false;
    uint32_t ceiling =
        std::min<uint32_t>(kBackoffCapMs, kBackoffBaseMs << std::min(attempt - 1, 16));
    *ms = Jitter(ceiling);
    uint32_t after = 0;
    if (ParseRetryAfter(r.Header("retry-after"), &after)) {
      *ms = std::max(*ms, std::min(after, kRetryAfterCapMs));
    }
    return true;
  }
  bool reconnect =
      r.net == Net::kConnect || (r.net == Net::kReset && req.retry == Request::Retry::kIdempotent);
  if (reconnect && attempt < 2) {
    *ms = Jitter(kReconnectMs);
    return true;
  }
  return false;
}

Response Http::Perform(const Request& req) {
  for (int attempt = 1;; ++attempt) {
    Response r = Once(req);
    uint32_t ms = 0;
    if (!RetryDelay(req, r, attempt, &ms)) return r;
    for (uint32_t slept = 0; slept < ms; slept += 20) {
      if (req.cancel != nullptr && req.cancel->load()) {
        r.aborted = true;
        r.net = Net::kCancelled;
        return r;
      }
      pf::SleepMs(std::min<uint32_t>(20, ms - slept));
    }
  }
}

}  // namespace kdr::server::s3
