// The transport of the real vault: libcurl, which signs each request (SigV4, payload
// unsigned), keeps connections alive per easy handle, and shares the handles among threads
// through a free list.
#include <curl/curl.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/mutex.h"
#include "server/s3/http.h"

namespace kdr::server::s3 {

namespace {

struct Call {
  ResponseSink* sink;
  const Request* req;
  size_t sent = 0;  // of req->body
};

size_t OnHeader(char* data, size_t size, size_t n, void* user) {
  auto* call = static_cast<Call*>(user);
  std::string_view line(data, size * n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (!line.empty()) call->sink->Line(line);
  return size * n;
}

size_t OnBody(char* data, size_t size, size_t n, void* user) {
  auto* call = static_cast<Call*>(user);
  size_t len = size * n;
  return call->sink->Data(reinterpret_cast<const unsigned char*>(data), len) ? len : 0;
}

size_t OnRead(char* buf, size_t size, size_t n, void* user) {
  auto* call = static_cast<Call*>(user);
  size_t take = std::min(size * n, call->req->bodyLen - call->sent);
  if (take > 0) std::memcpy(buf, call->req->body + call->sent, take);
  call->sent += take;
  return take;
}

int OnTransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

Net NetOf(CURLcode rc) {
  switch (rc) {
    case CURLE_OK:
      return Net::kOk;
    case CURLE_COULDNT_CONNECT:
      return Net::kConnect;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return Net::kResolve;
    case CURLE_OPERATION_TIMEDOUT:
      return Net::kTimeout;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return Net::kReset;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
      return Net::kTls;
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_WRITE_ERROR:
      return Net::kCancelled;
    default:
      return Net::kOther;
  }
}

class CurlTransport : public Transport {
 public:
  explicit CurlTransport(const S3Settings& s) : s_(s) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    sigv4_ = "aws:amz:" + s_.region + ":" + s_.service;
  }
  ~CurlTransport() override {
    for (CURL* c : free_) curl_easy_cleanup(c);
  }

  Net Exchange(const Request& req, const std::string& url, const Keys& keys, ResponseSink* sink,
               std::string* detail) override {
    CURL* c = Take();
    if (c == nullptr) {
      *detail = "out of memory";
      return Net::kOther;
    }
    curl_easy_reset(c);  // keeps the connections
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);  // a key's "." and ".." are names, not steps
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    if (req.sign) {
      curl_easy_setopt(c, CURLOPT_AWS_SIGV4, sigv4_.c_str());
      curl_easy_setopt(c, CURLOPT_USERNAME, keys.accessKey.c_str());
      curl_easy_setopt(c, CURLOPT_PASSWORD, keys.secretKey.c_str());
    }
    if (!s_.caBundle.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, s_.caBundle.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s_.connectTimeoutMs));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(s_.stallSeconds));
    // A streaming body keeps libcurl's own receive buffer (16 KiB): a 512 KiB one made the
    // same GET about a tenth to a third slower on loopback, for no fewer callbacks (each
    // receive brings what the socket holds, about 16 KiB).
    if (!req.streaming) {
      long ms = req.timeoutMs > 0 ? req.timeoutMs : s_.requestTimeoutMs;
      curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
    }
    curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
    Call call{sink, &req};
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &call);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &call);
    if (req.cancel != nullptr) {
      // Also while no byte moves: the write callback alone would wait for the stall time-out.
      curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnTransferInfo);
      curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(req.cancel));
      curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    }

    struct curl_slist* hl = nullptr;
    if (req.sign) hl = curl_slist_append(hl, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    if (req.sign && !keys.sessionToken.empty()) {
      hl = curl_slist_append(hl, ("x-amz-security-token: " + keys.sessionToken).c_str());
    }
    if (req.ranged) {
      hl = curl_slist_append(
          hl,
          ("Range: bytes=" + std::to_string(req.first) + "-" + std::to_string(req.last)).c_str());
    }
    for (const std::string& h : req.headers) hl = curl_slist_append(hl, h.c_str());

    std::string method = req.method;
    if (method == "HEAD") {
      curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (method == "PUT") {
      curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(c, CURLOPT_READFUNCTION, OnRead);
      curl_easy_setopt(c, CURLOPT_READDATA, &call);
      curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(req.bodyLen));
    } else if (method == "POST") {
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      curl_easy_setopt(c, CURLOPT_POSTFIELDS,
                       req.body != nullptr ? reinterpret_cast<const char*>(req.body) : "");
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.bodyLen));
    } else if (method != "GET") {
      curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, req.method);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, hl);
    CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(hl);
    if (rc != CURLE_OK) {
      *detail = curl_easy_strerror(rc);
      curl_easy_cleanup(c);  // a connection that failed half-way is not reused
    } else {
      Give(c);
    }
    return NetOf(rc);
  }

 private:
  CURL* Take() EXCLUDES(mu_) {
    {
      kdr::MutexLock hold(&mu_);
      if (!free_.empty()) {
        CURL* c = free_.back();
        free_.pop_back();
        return c;
      }
    }
    return curl_easy_init();
  }
  void Give(CURL* c) EXCLUDES(mu_) {
    kdr::MutexLock hold(&mu_);
    free_.push_back(c);
  }

  const S3Settings s_;
  std::string sigv4_;
  kdr::Mutex mu_;
  std::vector<CURL*> free_ GUARDED_BY(mu_);  // connections no exchange uses now
};

}  // namespace

std::shared_ptr<Transport> NewCurlTransport(const S3Settings& settings) {
  return std::make_shared<CurlTransport>(settings);
}

}  // namespace kdr::server::s3
