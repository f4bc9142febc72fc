// The S3 vault: see vault_s3.h for the mapping of files and volumes onto objects and versions.
#include "server/vault_s3.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "server/file_cache.h"
#include "server/log.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {

constexpr uint64_t kPartBytes = 8u << 20;   // multipart part size (S3's least is 5 MiB)
constexpr int kPartsInFlight = 4;           // parts of one upload on their way at once
// A sequential reader has the next kAheadChunks chunks fetched for it, kSpanChunks to a GET:
// a store pays for each request (tens of milliseconds on RGW), so large ranges, several on
// their way at once, keep up with one plain GET of the whole object.
constexpr int kFetchThreads = 4;
constexpr uint64_t kSpanChunks = 8;
constexpr uint64_t kAheadChunks = 16;
// A download into a file has this many ranged GETs on their way at once, each of up to
// kSpanChunks chunks, whose bytes go straight into the file.
constexpr uint64_t kDownloadStreams = 4;
constexpr size_t kCachedChunks = 32;        // chunk cache size (kChunkBytes each): 128 MiB
constexpr size_t kMaxBodyText = 1u << 20;   // largest response body kept as text
constexpr size_t kMaxKnownFiles = 100000;   // files remembered for offline opens
constexpr const char kMetaName[] = "x-amz-meta-kdr-name";
constexpr const char kMetaMade[] = "x-amz-meta-kdr-made";

// ---------------------------------------------------------------------------------------------
// Text helpers.

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Percent-encodes everything but the unreserved characters (and '/' when `keepSlash`).
std::string Encode(std::string_view s, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (Unreserved(c) || (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string XmlUnescape(std::string_view s) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < s.size();) {
    bool hit = false;
    if (s[i] == '&') {
      for (const auto& [name, c] : kEntities) {
        if (s.substr(i, std::strlen(name)) == name) {
          out += c;
          i += std::strlen(name);
          hit = true;
          break;
        }
      }
    }
    if (!hit) out += s[i++];
  }
  return out;
}

// The raw content of the first <tag>...</tag> in `xml` at or after *from (advanced past it).
bool XmlNext(const std::string& xml, const std::string& tag, size_t* from, std::string* text) {
  std::string open = "<" + tag + ">", close = "</" + tag + ">";
  size_t a = xml.find(open, *from);
  if (a == std::string::npos) return false;
  a += open.size();
  size_t b = xml.find(close, a);
  if (b == std::string::npos) return false;
  *text = xml.substr(a, b - a);
  *from = b + close.size();
  return true;
}

std::string XmlField(const std::string& xml, const std::string& tag) {
  size_t from = 0;
  std::string text;
  return XmlNext(xml, tag, &from, &text) ? XmlUnescape(text) : std::string();
}

// A query string from name/value pairs, sorted by name as the signature needs them.
std::string Query(std::vector<std::pair<std::string, std::string>> params) {
  std::sort(params.begin(), params.end());
  std::string q;
  for (const auto& [k, v] : params) {
    if (!q.empty()) q += '&';
    q += Encode(k, false) + "=" + Encode(v, false);
  }
  return q;
}

// ---------------------------------------------------------------------------------------------
// HTTP through libcurl.

struct Request {
  const char* method = "GET";
  std::string key;    // object key; empty: the bucket itself
  std::string query;  // from Query()
  std::vector<std::string> headers;
  const unsigned char* body = nullptr;  // PUT / POST body
  size_t bodyLen = 0;
  unsigned char* sink = nullptr;  // GET: the body goes here (at most sinkCap bytes)
  std::function<bool(const unsigned char*, size_t)> consume;  // or here; false aborts
  size_t sinkCap = 0;
  bool idempotent = true;
  bool streaming = false;  // a large body: bounded by the stall time-out, not the request one
  bool partial = false;    // only a 206 answer is data for `consume`
  const std::atomic<bool>* cancel = nullptr;  // when set: stops the transfer soon
};

struct Response {
  long status = 0;
  CURLcode curl = CURLE_OK;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;                            // when there is no sink (bounded)
  size_t sinkLen = 0;
  bool overflow = false;
  bool aborted = false;  // stopped through Request::cancel: says nothing about the store

  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
  // The store could not be reached, or failed on its side: worth a retry, and a reason to
  // fall back on local copies.
  bool Unreachable() const { return curl != CURLE_OK || status >= 500; }
};

int ErrnoOf(const Response& r) {
  switch (r.curl) {
    case CURLE_OK:
      break;
    case CURLE_COULDNT_CONNECT:
      return ECONNREFUSED;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return EHOSTUNREACH;
    case CURLE_OPERATION_TIMEDOUT:
      return ETIMEDOUT;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return ECONNRESET;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
      return EPROTO;
    default:
      return EIO;
  }
  if (r.status >= 200 && r.status < 300) return 0;
  if (r.status == 404) return ENOENT;
  if (r.status == 401 || r.status == 403) return EACCES;
  if (r.status == 409) return EBUSY;
  if (r.status == 503) return EAGAIN;
  return EIO;
}

size_t OnHeader(char* data, size_t size, size_t n, void* user) {
  auto* r = static_cast<Response*>(user);
  std::string line(data, size * n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response (after 100 Continue). Its status is known before any body byte, so
    // OnBody can tell an error document from data.
    r->headers.clear();
    size_t sp = line.find(' ');
    if (sp != std::string::npos) r->status = std::strtol(line.c_str() + sp + 1, nullptr, 10);
  } else {
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      r->headers[name] = line.substr(v);
    }
  }
  return size * n;
}

struct SinkState {
  const Request* req;
  Response* resp;
};

size_t OnBody(char* data, size_t size, size_t n, void* user) {
  auto* s = static_cast<SinkState*>(user);
  size_t len = size * n;
  bool isData = s->req->partial ? s->resp->status == 206
                                : s->resp->status >= 200 && s->resp->status < 300;
  if (s->req->consume && isData) {
    if (!s->req->consume(reinterpret_cast<const unsigned char*>(data), len)) {
      s->resp->overflow = true;
      return 0;
    }
    s->resp->sinkLen += len;
    return len;
  }
  if (s->req->sink != nullptr) {
    if (s->resp->status >= 300 || s->resp->status == 0) {
      // An error document: keep it as text.
    } else {
      if (s->resp->sinkLen + len > s->req->sinkCap) {
        s->resp->overflow = true;
        return 0;  // more than was asked for: abort
      }
      std::memcpy(s->req->sink + s->resp->sinkLen, data, len);
      s->resp->sinkLen += len;
      return len;
    }
  }
  if (s->resp->body.size() + len > kMaxBodyText) return 0;
  s->resp->body.append(data, len);
  return len;
}

int OnTransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

struct UploadState {
  const unsigned char* data;
  size_t len;
  size_t pos;
};

size_t OnRead(char* buf, size_t size, size_t n, void* user) {
  auto* u = static_cast<UploadState*>(user);
  size_t take = std::min(size * n, u->len - u->pos);
  if (take > 0) std::memcpy(buf, u->data + u->pos, take);
  u->pos += take;
  return take;
}

class Http {
 public:
  explicit Http(const S3Settings& s) : s_(s) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    sigv4_ = "aws:amz:" + s_.region + ":s3";
  }
  ~Http() {
    for (CURL* c : free_) curl_easy_cleanup(c);
  }

  // Performs `req`, retrying an idempotent one that failed on the way or on the store's side.
  Response Perform(const Request& req) {
    Response r;
    int attempts = req.idempotent ? std::max(1, s_.attempts) : 1;
    uint32_t backoff = 100;
    for (int a = 0; a < attempts; ++a) {
      if (a > 0) {
        pf::SleepMs(backoff + static_cast<uint32_t>(pf::MonotonicMs() & 63));
        backoff *= 3;
      }
      r = Once(req);
      if (!r.Unreachable()) break;
    }
    return r;
  }

  // The request line of `req`, for the log.
  std::string What(const Request& req) const {
    return std::string(req.method) + " " + Path(req.key) + (req.query.empty() ? "" : "?") +
           req.query;
  }

  // One line about a failed response.
  static std::string Describe(const Response& r) {
    if (r.curl != CURLE_OK) return curl_easy_strerror(r.curl);
    std::string code = XmlField(r.body, "Code");
    return "HTTP " + std::to_string(r.status) + (code.empty() ? "" : " " + code);
  }

 private:
  std::string Path(const std::string& key) const {
    std::string p = "/" + Encode(s_.bucket, false);
    if (!key.empty()) p += "/" + Encode(key, true);
    return p;
  }

  CURL* Take() {
    {
      std::lock_guard<std::mutex> guard(mu_);
      if (!free_.empty()) {
        CURL* c = free_.back();
        free_.pop_back();
        return c;
      }
    }
    return curl_easy_init();
  }
  void Give(CURL* c) {
    std::lock_guard<std::mutex> guard(mu_);
    free_.push_back(c);
  }

  Response Once(const Request& req) {
    Response r;
    CURL* c = Take();
    if (c == nullptr) {
      r.curl = CURLE_OUT_OF_MEMORY;
      return r;
    }
    curl_easy_reset(c);  // keeps the connections
    std::string url = s_.endpoint + Path(req.key) + (req.query.empty() ? "" : "?" + req.query);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_AWS_SIGV4, sigv4_.c_str());
    curl_easy_setopt(c, CURLOPT_USERNAME, s_.accessKey.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, s_.secretKey.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s_.connectTimeoutMs));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(s_.stallSeconds));
    if (req.streaming) curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);  // fewer callbacks
    else curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(s_.requestTimeoutMs));
    curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    SinkState sink{&req, &r};
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    if (req.cancel != nullptr) {
      // Also while no byte moves: the write callback alone would wait for the stall time-out.
      curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnTransferInfo);
      curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(req.cancel));
      curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    }

    struct curl_slist* hl = nullptr;
    hl = curl_slist_append(hl, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    if (!s_.sessionToken.empty()) {
      hl = curl_slist_append(hl, ("x-amz-security-token: " + s_.sessionToken).c_str());
    }
    for (const std::string& h : req.headers) hl = curl_slist_append(hl, h.c_str());

    UploadState up{req.body, req.bodyLen, 0};
    std::string method = req.method;
    if (method == "HEAD") {
      curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (method == "PUT") {
      curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(c, CURLOPT_READFUNCTION, OnRead);
      curl_easy_setopt(c, CURLOPT_READDATA, &up);
      curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(req.bodyLen));
    } else if (method == "POST") {
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, req.body != nullptr ? reinterpret_cast<const char*>(req.body) : "");
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.bodyLen));
    } else if (method != "GET") {
      curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, req.method);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, hl);
    r.curl = curl_easy_perform(c);
    curl_slist_free_all(hl);
    if (r.curl == CURLE_WRITE_ERROR && r.overflow) r.curl = CURLE_OK;  // judged by the caller
    if (req.cancel != nullptr && req.cancel->load() &&
        (r.curl == CURLE_ABORTED_BY_CALLBACK || r.curl == CURLE_OK)) {
      r.curl = CURLE_OK;
      r.aborted = true;
      curl_easy_cleanup(c);  // the connection is in the middle of a body
      return r;
    }
    if (r.curl == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    if (r.curl != CURLE_OK) {
      // A connection that failed half-way is not reused.
      curl_easy_cleanup(c);
      return r;
    }
    Give(c);
    return r;
  }

  const S3Settings s_;
  std::string sigv4_;
  std::mutex mu_;
  std::vector<CURL*> free_;
};

// ---------------------------------------------------------------------------------------------
// A few threads for work done ahead (chunk fetches) or beside the caller (upload parts).

class Workers {
 public:
  explicit Workers(int n) {
    for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Loop(); });
  }
  ~Workers() {
    {
      std::lock_guard<std::mutex> guard(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
  }
  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> guard(mu_);
      jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
  }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) return;  // work ahead is not worth doing any more
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// ---------------------------------------------------------------------------------------------
// The chunk cache: single flight for chunk fetches, and a bounded memory of recent chunks.

struct Chunk {
  enum State { kQueued, kFetching, kReady, kFailed } state = kQueued;
  std::vector<unsigned char> data;
  int err = 0;
  bool wanted = false;  // a reader waits for it (a download then keeps its bytes in memory)
};

// How many S3File objects (open handles) each volume has: a download keeps the chunks it
// fetches in memory only while another handle may read them.
class OpenVolumes {
 public:
  void Add(const std::string& volume, int delta) {
    std::lock_guard<std::mutex> guard(mu_);
    int& n = counts_[volume];
    n += delta;
    if (n <= 0) counts_.erase(volume);
  }
  int Count(const std::string& volume) {
    std::lock_guard<std::mutex> guard(mu_);
    auto it = counts_.find(volume);
    return it == counts_.end() ? 0 : it->second;
  }

 private:
  std::mutex mu_;
  std::unordered_map<std::string, int> counts_;
};

// One download of a whole volume into a file: the state its streams share.
struct DownloadJob {
  std::string key;
  std::string version;
  uint64_t size = 0;
  int fd = -1;
  uint64_t chunks = 0;
  uint64_t pieceChunks = 1;  // chunks to a ranged GET
  uint64_t pieces = 0;
  std::atomic<uint64_t> next{0};  // the next piece to take
  std::atomic<uint64_t> done{0};  // bytes written
  std::atomic<bool> cancel{false};
  std::mutex mu;
  std::condition_variable cv;
  int running = 0;  // under mu
  int err = 0;      // under mu: the first failure
};

class S3Vault;

struct ChunkId {
  std::string key;
  std::string version;
  uint64_t index;
  uint64_t fileSize;
  std::string Name() const { return key + '\n' + version + '\n' + std::to_string(index); }
};

class S3Vault : public Vault {
 public:
  explicit S3Vault(const S3Settings& s) : s_(s), http_(s) {}
  ~S3Vault() override {
    fetchers_.reset();  // before the cache its jobs fill
    uploaders_.reset();
  }

  int Check(std::string* error);
  int Open(const std::string& guid, std::shared_ptr<VaultFile>* file) override;
  int BeginUpload(const std::string& guid, std::unique_ptr<VaultUpload>* upload) override;
  int RollBack(const std::string& guid, const std::string& volumeId, std::string* removed) override;
  int Put(const std::string& guid, const std::string& name, const std::string& source,
          std::string* volumeId) override;
  int List(std::vector<VaultFileInfo>* files) override;
  int CurrentVersion(const std::string& guid, std::string* version) override;

  // Reads from chunk `id`, fetching it once for all who want it.
  int GetChunk(const ChunkId& id, std::shared_ptr<Chunk>* out);
  // Has the chunks after `id` fetched in the background.
  void ReadAhead(const ChunkId& id);
  // Writes the volume `version` of `key` into `fd`, as VaultFile::CopyTo says.
  int Download(const std::string& key, const std::string& version, uint64_t size, int fd,
               const std::function<bool(uint64_t)>& tick, uint64_t* copied);

  Response Do(const Request& req) {
    Response r = http_.Perform(req);
    if (r.aborted) return r;
    bool wasOffline = offline_.load();
    NoteReachable(!r.Unreachable(), r);
    if (r.Unreachable() || (r.status >= 400 && r.status != 404)) {
      // While the store is away, one line said so: the failures of each request are details.
      Log(r.Unreachable() && wasOffline ? LogLevel::kDebug : LogLevel::kWarn, "S3 %s: %s",
          http_.What(req).c_str(), Http::Describe(r).c_str());
    }
    return r;
  }
  Workers* uploaders() { return uploaders_.get(); }
  const std::shared_ptr<OpenVolumes>& openVolumes() const { return openVolumes_; }
  std::string Key(const std::string& guid) const {
    return s_.prefix.empty() ? guid : s_.prefix + "/" + guid;
  }

 private:
  int Head(const std::string& guid, const std::string& version, Response* r);
  int InfoOf(const std::string& guid, const Response& r, VaultFileInfo* info);
  int OfflineOpen(const std::string& guid, int err, std::shared_ptr<VaultFile>* file);
  void Remember(const VaultFileInfo& info);
  void NoteReachable(bool reachable, const Response& r);
  void Fetch(const ChunkId& id, const std::shared_ptr<Chunk>& chunk);
  // Fetches the queued chunks among `chunks` (from `first` on) with one ranged GET, each
  // ready as soon as its bytes are in. Chunks it could not fill are dropped for readers to
  // fetch on their own.
  void FetchSpan(const ChunkId& first, const std::vector<std::shared_ptr<Chunk>>& chunks);
  void DropLocked(const std::string& name, const std::shared_ptr<Chunk>& chunk, int err);
  void DownloadStream(DownloadJob* job);
  int DownloadPiece(DownloadJob* job, uint64_t piece);
  void Touch(const std::string& name);  // under cacheMu_

  const S3Settings s_;
  Http http_;

  std::mutex cacheMu_;
  std::condition_variable cacheCv_;
  std::unordered_map<std::string, std::shared_ptr<Chunk>> chunks_;
  std::list<std::string> lru_;  // most recent first
  std::unordered_map<std::string, std::list<std::string>::iterator> lruPos_;

  std::mutex knownMu_;
  std::map<std::string, VaultFileInfo> known_;  // what opens last found, for offline opens
  std::atomic<bool> offline_{false};

  std::shared_ptr<OpenVolumes> openVolumes_ = std::make_shared<OpenVolumes>();
  std::unique_ptr<Workers> fetchers_ = std::make_unique<Workers>(kFetchThreads);
  std::unique_ptr<Workers> uploaders_ = std::make_unique<Workers>(kPartsInFlight);
};

// ---------------------------------------------------------------------------------------------
// Files and readers.

class S3Reader : public VaultReader {
 public:
  S3Reader(S3Vault* vault, std::string key, std::string version, uint64_t size,
           std::shared_ptr<std::atomic<uint64_t>> lastChunk)
      : vault_(vault), key_(std::move(key)), version_(std::move(version)), size_(size),
        lastChunk_(std::move(lastChunk)) {}

  int ReadAt(uint64_t offset, void* buf, size_t len, size_t* done) override {
    *done = 0;
    auto* out = static_cast<unsigned char*>(buf);
    while (*done < len && offset < size_) {
      ChunkId id{key_, version_, offset / kChunkBytes, size_};
      // Sequential when this chunk is the one last read or the one after it.
      uint64_t last = lastChunk_->exchange(id.index + 1);
      bool sequential = last == id.index + 1 || last == id.index;
      std::shared_ptr<Chunk> chunk;
      int rc = vault_->GetChunk(id, &chunk);
      if (rc != 0) return *done > 0 ? 0 : rc;
      if (sequential || id.index == 0) vault_->ReadAhead(id);
      uint64_t at = offset - id.index * kChunkBytes;
      if (at >= chunk->data.size()) break;  // the volume is shorter than it said
      size_t n = static_cast<size_t>(std::min<uint64_t>(len - *done, chunk->data.size() - at));
      std::memcpy(out + *done, chunk->data.data() + at, n);
      *done += n;
      offset += n;
    }
    return 0;
  }

 private:
  S3Vault* vault_;
  std::string key_;
  std::string version_;
  uint64_t size_;
  std::shared_ptr<std::atomic<uint64_t>> lastChunk_;
};

class S3File : public VaultFile {
 public:
  S3File(S3Vault* vault, VaultFileInfo info, std::string key, std::string localCopy)
      : vault_(vault), info_(std::move(info)), key_(std::move(key)),
        localCopy_(std::move(localCopy)), open_(vault->openVolumes()),
        volume_(key_ + '\n' + info_.version) {
    open_->Add(volume_, 1);
  }
  ~S3File() override { open_->Add(volume_, -1); }
  const VaultFileInfo& Info() const override { return info_; }
  int CopyTo(int fd, const std::function<bool(uint64_t)>& tick, uint64_t* copied) override {
    if (!localCopy_.empty()) return VaultFile::CopyTo(fd, tick, copied);
    return vault_->Download(key_, info_.version, info_.size, fd, tick, copied);
  }
  int OpenReader(std::unique_ptr<VaultReader>* reader) override {
    if (!localCopy_.empty()) {
      int fd = pf::kNoFile;
      if (pf::OpenFile(localCopy_.c_str(), pf::FileMode::kReadOnly, &fd) == 0) {
        *reader = NewFileReader(fd);
        return 0;
      }
    }
    reader->reset(new S3Reader(vault_, key_, info_.version, info_.size, lastChunk_));
    return 0;
  }

 private:
  S3Vault* vault_;
  VaultFileInfo info_;
  std::string key_;
  std::string localCopy_;  // offline: the whole-file cache's copy
  std::shared_ptr<OpenVolumes> open_;
  std::string volume_;
  std::shared_ptr<std::atomic<uint64_t>> lastChunk_ = std::make_shared<std::atomic<uint64_t>>(~0ull);
};

// ---------------------------------------------------------------------------------------------
// Uploads: one PUT for a small file, else a multipart upload with parts in parallel.

class S3Upload : public VaultUpload {
 public:
  S3Upload(S3Vault* vault, std::string key, std::string name, const char* made)
      : vault_(vault), key_(std::move(key)), name_(std::move(name)), made_(made) {}
  ~S3Upload() override {
    WaitParts(0);
    if (!uploadId_.empty() && !committed_) {
      Request req;
      req.method = "DELETE";
      req.key = key_;
      req.query = Query({{"uploadId", uploadId_}});
      vault_->Do(req);
    }
  }

  int Write(const void* buf, size_t len) override {
    if (err_ != 0) return err_;
    const auto* p = static_cast<const unsigned char*>(buf);
    while (len > 0) {
      size_t take = std::min<size_t>(len, kPartBytes - buf_.size());
      buf_.insert(buf_.end(), p, p + take);
      p += take;
      len -= take;
      if (buf_.size() == kPartBytes) {
        int rc = SendPart();
        if (rc != 0) return err_ = rc;
      }
    }
    return 0;
  }

  int Commit(std::string* volumeId) override {
    if (err_ != 0) return err_;
    Response r;
    if (uploadId_.empty()) {
      Request req;
      req.method = "PUT";
      req.key = key_;
      req.headers = Headers();
      req.body = buf_.data();
      req.bodyLen = buf_.size();
      req.idempotent = false;  // a second try would make a second version
      req.streaming = true;
      r = vault_->Do(req);
    } else {
      if (!buf_.empty()) {
        int rc = SendPart();
        if (rc != 0) return rc;
      }
      WaitParts(0);
      if (err_ != 0) return err_;
      std::string xml = "<CompleteMultipartUpload>";
      for (size_t i = 0; i < etags_.size(); ++i) {
        xml += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + etags_[i] +
               "</ETag></Part>";
      }
      xml += "</CompleteMultipartUpload>";
      Request req;
      req.method = "POST";
      req.key = key_;
      req.query = Query({{"uploadId", uploadId_}});
      req.headers = {"Content-Type: application/xml"};
      req.body = reinterpret_cast<const unsigned char*>(xml.data());
      req.bodyLen = xml.size();
      req.idempotent = false;
      req.streaming = true;  // the store may take its time joining the parts
      r = vault_->Do(req);
      // A completion can fail after its 200 status line: the error is in the body.
      if (r.status == 200 && r.body.find("<Error>") != std::string::npos) r.status = 500;
    }
    int rc = ErrnoOf(r);
    if (rc != 0) return err_ = rc;
    std::string version = r.Header("x-amz-version-id");
    if (version.empty() || version == "null") {
      Log(LogLevel::kError, "S3: bucket keeps no versions; upload of %s not usable", key_.c_str());
      return err_ = EOPNOTSUPP;
    }
    committed_ = true;
    *volumeId = version;
    return 0;
  }

 private:
  std::vector<std::string> Headers() const {
    return {"Content-Type: application/octet-stream",
            std::string(kMetaName) + ": " + Encode(name_, false),
            std::string(kMetaMade) + ": " + made_};
  }

  int SendPart() {
    if (uploadId_.empty()) {
      Request req;
      req.method = "POST";
      req.key = key_;
      req.query = Query({{"uploads", ""}});
      req.headers = Headers();
      req.idempotent = false;
      Response r = vault_->Do(req);
      int rc = ErrnoOf(r);
      if (rc != 0) return rc;
      uploadId_ = XmlField(r.body, "UploadId");
      if (uploadId_.empty()) return EIO;
    }
    WaitParts(kPartsInFlight - 1);
    if (err_ != 0) return err_;
    int number = 0;
    {
      std::lock_guard<std::mutex> guard(mu_);
      number = static_cast<int>(etags_.size()) + 1;
      etags_.emplace_back();
      ++inFlight_;
    }
    auto data = std::make_shared<std::vector<unsigned char>>(std::move(buf_));
    buf_ = std::vector<unsigned char>();
    buf_.reserve(kPartBytes);
    vault_->uploaders()->Post([this, number, data] {
      Request req;
      req.method = "PUT";
      req.key = key_;
      req.query = Query({{"partNumber", std::to_string(number)}, {"uploadId", uploadId_}});
      req.body = data->data();
      req.bodyLen = data->size();
      req.streaming = true;  // a part may be sent again: it replaces itself
      Response r = vault_->Do(req);
      int rc = ErrnoOf(r);
      std::string etag = r.Header("etag");
      if (rc == 0 && etag.empty()) rc = EIO;
      std::lock_guard<std::mutex> guard(mu_);
      etags_[static_cast<size_t>(number - 1)] = etag;
      if (rc != 0 && partErr_ == 0) partErr_ = rc;
      --inFlight_;
      cv_.notify_all();
    });
    return 0;
  }

  // Waits until at most `most` parts are on their way; takes over a part's failure.
  void WaitParts(int most) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return inFlight_ <= most; });
    if (partErr_ != 0 && err_ == 0) err_ = partErr_;
  }

  S3Vault* vault_;
  std::string key_;
  std::string name_;
  const char* made_;
  std::vector<unsigned char> buf_;
  std::string uploadId_;
  std::vector<std::string> etags_;  // by part number - 1; filled under mu_ by the workers
  std::mutex mu_;
  std::condition_variable cv_;
  int inFlight_ = 0;   // under mu_
  int partErr_ = 0;    // under mu_
  int err_ = 0;
  bool committed_ = false;
};

// ---------------------------------------------------------------------------------------------
// The vault.

int S3Vault::Check(std::string* error) {
  Request req;
  req.query = Query({{"versioning", ""}});
  req.idempotent = false;  // one try: a store that is not there must not hold up the start
  Response r = Do(req);
  std::string where = "bucket " + s_.bucket + " at " + s_.endpoint;
  if (r.Unreachable()) {
    *error = "the object store cannot be reached now (" + Http::Describe(r) + "): " + where +
             "; files the cache holds stay readable";
    return 0;
  }
  int rc = ErrnoOf(r);
  if (rc == EACCES) {
    *error = "the object store refuses the credentials for " + where + " (" + Http::Describe(r) +
             "): check AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY";
    return rc;
  }
  if (rc == ENOENT) {
    *error = "there is no " + where;
    return rc;
  }
  if (rc != 0) {
    *error = "the versioning of " + where + " cannot be read: " + Http::Describe(r);
    return rc;
  }
  if (XmlField(r.body, "Status") != "Enabled") {
    *error = where + " does not keep object versions; a vault needs a bucket with versioning "
             "enabled (PUT ?versioning with <Status>Enabled</Status>)";
    return EOPNOTSUPP;
  }
  error->clear();
  return 0;
}

void S3Vault::NoteReachable(bool reachable, const Response& r) {
  if (reachable) {
    if (offline_.exchange(false)) Log(LogLevel::kInfo, "the object store is reachable again");
  } else if (!offline_.exchange(true)) {
    Log(LogLevel::kWarn,
        "the object store %s cannot be reached (%s): serving what the cache holds until it "
        "comes back",
        s_.endpoint.c_str(), Http::Describe(r).c_str());
  }
}

int S3Vault::Head(const std::string& guid, const std::string& version, Response* r) {
  Request req;
  req.method = "HEAD";
  req.key = Key(guid);
  if (!version.empty()) req.query = Query({{"versionId", version}});
  *r = Do(req);
  return ErrnoOf(*r);
}

int S3Vault::InfoOf(const std::string& guid, const Response& r, VaultFileInfo* info) {
  info->guid = guid;
  info->version = r.Header("x-amz-version-id");
  if (info->version.empty()) return EIO;
  std::string len = r.Header("content-length");
  info->size = std::strtoull(len.c_str(), nullptr, 10);
  std::string name = Decode(r.Header(kMetaName));
  info->name = SafeFileName(name.empty() ? guid : name);
  info->volumes = 1;  // counted by List() only: a HEAD cannot see them
  return 0;
}

void S3Vault::Remember(const VaultFileInfo& info) {
  std::lock_guard<std::mutex> guard(knownMu_);
  if (known_.size() >= kMaxKnownFiles) known_.clear();
  known_[info.guid] = info;
}

int S3Vault::OfflineOpen(const std::string& guid, int err, std::shared_ptr<VaultFile>* file) {
  VaultFileInfo info;
  bool have = false;
  {
    std::lock_guard<std::mutex> guard(knownMu_);
    auto it = known_.find(guid);
    if (it != known_.end()) {
      info = it->second;
      have = true;
    }
  }
  std::string local;
  if (!s_.cacheFilesDir.empty()) {
    std::string version, name;
    uint64_t size = 0;
    // Of the volume known from the last open, when there was one.
    if (FileCache(s_.cacheFilesDir, 0)
            .Newest(guid, have ? info.version : "", &version, &size, &name, &local)) {
      info.guid = guid;
      info.version = version;
      info.size = size;
      info.name = name;
      info.volumes = 1;
      have = true;
    } else {
      local.clear();  // not the copy of what we knew
    }
  }
  if (!have) return err;
  file->reset(new S3File(this, info, Key(guid), local));
  return 0;
}

int S3Vault::Open(const std::string& guid, std::shared_ptr<VaultFile>* file) {
  if (!IsVaultGuid(guid)) return EINVAL;
  Response r;
  int rc = Head(guid, "", &r);
  if (r.Unreachable()) return OfflineOpen(guid, rc, file);
  if (rc != 0) return rc;
  VaultFileInfo info;
  rc = InfoOf(guid, r, &info);
  if (rc != 0) return rc;
  Remember(info);
  file->reset(new S3File(this, std::move(info), Key(guid), ""));
  return 0;
}

int S3Vault::CurrentVersion(const std::string& guid, std::string* version) {
  if (!IsVaultGuid(guid)) return EINVAL;
  Response r;
  int rc = Head(guid, "", &r);
  if (rc != 0) return rc;
  *version = r.Header("x-amz-version-id");
  return version->empty() ? EIO : 0;
}

int S3Vault::BeginUpload(const std::string& guid, std::unique_ptr<VaultUpload>* upload) {
  if (!IsVaultGuid(guid)) return EINVAL;
  Response r;
  int rc = Head(guid, "", &r);
  if (rc != 0) return rc;
  VaultFileInfo info;
  rc = InfoOf(guid, r, &info);
  if (rc != 0) return rc;
  upload->reset(new S3Upload(this, Key(guid), info.name, "upload"));
  return 0;
}

int S3Vault::RollBack(const std::string& guid, const std::string& volumeId, std::string* removed) {
  if (!IsVaultGuid(guid)) return EINVAL;
  Response r;
  int rc = Head(guid, volumeId, &r);
  if (rc == EACCES || (rc == EIO && r.status == 400)) rc = ENOENT;  // not a version id of ours
  if (rc != 0) return rc;
  std::string version = r.Header("x-amz-version-id");
  if (version.empty()) return ENOENT;
  if (r.Header(kMetaMade) != "upload") return EPERM;
  Request req;
  req.method = "DELETE";
  req.key = Key(guid);
  req.query = Query({{"versionId", version}});
  r = Do(req);
  rc = ErrnoOf(r);
  if (rc != 0) return rc;
  {
    std::lock_guard<std::mutex> guard(cacheMu_);
    std::string prefix = Key(guid) + '\n' + version + '\n';
    for (auto it = chunks_.begin(); it != chunks_.end();) {
      if (it->first.rfind(prefix, 0) == 0 && it->second->state == Chunk::kReady) {
        lru_.erase(lruPos_[it->first]);
        lruPos_.erase(it->first);
        it = chunks_.erase(it);
      } else {
        ++it;
      }
    }
  }
  *removed = version;
  return 0;
}

int S3Vault::Put(const std::string& guid, const std::string& name, const std::string& source,
                 std::string* volumeId) {
  if (!IsVaultGuid(guid)) return EINVAL;
  int in = pf::kNoFile;
  int rc = pf::OpenFile(source.c_str(), pf::FileMode::kReadOnly, &in);
  if (rc != 0) return rc;
  S3Upload up(this, Key(guid), SafeFileName(name), "put");
  rc = ForEachPiece(in, [&up](const unsigned char* b, size_t n, uint64_t) {
    return up.Write(b, n);
  });
  pf::CloseFile(in);
  if (rc == 0) rc = up.Commit(volumeId);
  return rc;
}

int S3Vault::List(std::vector<VaultFileInfo>* files) {
  files->clear();
  std::string prefix = s_.prefix.empty() ? "" : s_.prefix + "/";
  std::map<std::string, int> counts;  // GUID -> versions, for files whose newest is data
  std::string keyMarker, versionMarker;
  for (;;) {
    std::vector<std::pair<std::string, std::string>> params = {{"prefix", prefix},
                                                               {"versions", ""}};
    if (!keyMarker.empty()) {
      params.push_back({"key-marker", keyMarker});
      params.push_back({"version-id-marker", versionMarker});
    }
    Request req;
    req.query = Query(params);
    Response r = Do(req);
    int rc = ErrnoOf(r);
    if (rc != 0) return rc;
    // <Version> and <DeleteMarker> entries, each with Key and IsLatest.
    for (const char* kind : {"Version", "DeleteMarker"}) {
      size_t from = 0;
      std::string entry;
      while (XmlNext(r.body, kind, &from, &entry)) {
        std::string key = XmlField(entry, "Key");
        if (key.compare(0, prefix.size(), prefix) != 0) continue;
        std::string guid = key.substr(prefix.size());
        if (!IsVaultGuid(guid)) continue;
        bool latest = XmlField(entry, "IsLatest") == "true";
        if (std::strcmp(kind, "Version") == 0) {
          ++counts[guid];
        } else if (latest) {
          counts[guid] = -1000000;  // the newest is a delete marker: the file is gone
        }
      }
    }
    if (XmlField(r.body, "IsTruncated") != "true") break;
    keyMarker = XmlField(r.body, "NextKeyMarker");
    versionMarker = XmlField(r.body, "NextVersionIdMarker");
    if (keyMarker.empty()) break;
  }
  for (const auto& [guid, count] : counts) {
    if (count <= 0) continue;
    std::shared_ptr<VaultFile> f;
    if (Open(guid, &f) != 0) continue;
    VaultFileInfo info = f->Info();
    info.volumes = count;
    files->push_back(info);
  }
  return 0;
}

void S3Vault::Touch(const std::string& name) {
  auto it = lruPos_.find(name);
  if (it != lruPos_.end()) lru_.erase(it->second);
  lru_.push_front(name);
  lruPos_[name] = lru_.begin();
  while (lru_.size() > kCachedChunks) {
    const std::string& victim = lru_.back();
    auto c = chunks_.find(victim);
    if (c != chunks_.end() && (c->second->state == Chunk::kFetching ||
                               c->second->state == Chunk::kQueued)) {
      break;  // never drop a chunk on its way: its waiters find it by name
    }
    if (c != chunks_.end()) chunks_.erase(c);
    lruPos_.erase(victim);
    lru_.pop_back();
  }
}

void S3Vault::Fetch(const ChunkId& id, const std::shared_ptr<Chunk>& chunk) {
  uint64_t start = id.index * kChunkBytes;
  uint64_t end = std::min(id.fileSize, start + kChunkBytes);
  std::vector<unsigned char> data(static_cast<size_t>(end - start));
  Request req;
  req.key = id.key;
  req.query = Query({{"versionId", id.version}});
  req.headers = {"Range: bytes=" + std::to_string(start) + "-" + std::to_string(end - 1)};
  req.sink = data.data();
  req.sinkCap = data.size();
  req.streaming = true;
  Response r = Do(req);
  int rc = ErrnoOf(r);
  if (r.status == 416) rc = 0;  // the volume ends before the chunk: empty
  if (rc == 0 && r.status != 206 && r.status != 416 && start != 0) rc = EIO;  // range ignored
  if (rc == 0) data.resize(r.sinkLen);
  std::lock_guard<std::mutex> guard(cacheMu_);
  if (rc == 0) {
    chunk->data = std::move(data);
    chunk->state = Chunk::kReady;
  } else {
    DropLocked(id.Name(), chunk, rc);
  }
  cacheCv_.notify_all();
}

void S3Vault::DropLocked(const std::string& name, const std::shared_ptr<Chunk>& chunk, int err) {
  chunk->err = err;
  chunk->state = Chunk::kFailed;
  // The next reader tries again.
  auto it = chunks_.find(name);
  if (it != chunks_.end() && it->second == chunk) {
    chunks_.erase(it);
    auto pos = lruPos_.find(name);
    if (pos != lruPos_.end()) {
      lru_.erase(pos->second);
      lruPos_.erase(pos);
    }
  }
}

void S3Vault::FetchSpan(const ChunkId& first, const std::vector<std::shared_ptr<Chunk>>& chunks) {
  size_t n = chunks.size();
  std::vector<bool> owned(n, false);
  size_t lo = n, hi = 0;
  {
    std::lock_guard<std::mutex> guard(cacheMu_);
    for (size_t i = 0; i < n; ++i) {
      if (chunks[i]->state != Chunk::kQueued) continue;  // a reader took it over
      chunks[i]->state = Chunk::kFetching;
      owned[i] = true;
      lo = std::min(lo, i);
      hi = i;
    }
  }
  if (lo == n) return;
  auto chunkLen = [&](size_t i) {
    uint64_t start = (first.index + i) * kChunkBytes;
    return static_cast<size_t>(std::min(first.fileSize, start + kChunkBytes) - start);
  };
  // Only the owner touches a chunk's bytes until it is ready; readers look after that.
  for (size_t i = lo; i <= hi; ++i) {
    if (owned[i]) chunks[i]->data.resize(chunkLen(i));
  }
  uint64_t start = (first.index + lo) * kChunkBytes;
  uint64_t end = std::min(first.fileSize, (first.index + hi + 1) * kChunkBytes);
  uint64_t pos = start;
  Request req;
  req.key = first.key;
  req.query = Query({{"versionId", first.version}});
  req.headers = {"Range: bytes=" + std::to_string(start) + "-" + std::to_string(end - 1)};
  req.streaming = true;
  req.idempotent = false;  // a retry would deliver the bytes again: readers fetch what is missing
  req.consume = [&](const unsigned char* data, size_t len) {
    while (len > 0) {
      size_t i = static_cast<size_t>(pos / kChunkBytes - first.index);
      if (i > hi) return false;
      size_t off = static_cast<size_t>(pos % kChunkBytes);
      size_t take = std::min(len, chunkLen(i) - off);
      if (owned[i]) std::memcpy(chunks[i]->data.data() + off, data, take);
      pos += take;
      data += take;
      len -= take;
      if (owned[i] && off + take == chunkLen(i)) {
        std::lock_guard<std::mutex> guard(cacheMu_);
        chunks[i]->state = Chunk::kReady;
        cacheCv_.notify_all();
      }
    }
    return true;
  };
  Response r = Do(req);
  int rc = ErrnoOf(r);
  if (rc == 0 && r.status != 206 && start != 0) rc = EIO;  // the range was ignored
  std::lock_guard<std::mutex> guard(cacheMu_);
  for (size_t i = lo; i <= hi; ++i) {
    if (owned[i] && chunks[i]->state != Chunk::kReady) {
      DropLocked(ChunkId{first.key, first.version, first.index + i, first.fileSize}.Name(),
                 chunks[i], rc != 0 ? rc : EIO);
    }
  }
  cacheCv_.notify_all();
}

int S3Vault::GetChunk(const ChunkId& id, std::shared_ptr<Chunk>* out) {
  std::string name = id.Name();
  for (;;) {
    std::shared_ptr<Chunk> chunk;
    bool mine = false;
    {
      std::unique_lock<std::mutex> lock(cacheMu_);
      auto it = chunks_.find(name);
      if (it == chunks_.end()) {
        chunk = std::make_shared<Chunk>();
        chunk->state = Chunk::kFetching;
        chunks_[name] = chunk;
        mine = true;
      } else {
        chunk = it->second;
        if (chunk->state == Chunk::kQueued) {
          chunk->state = Chunk::kFetching;  // a queued fetch not started yet: do it here
          mine = true;
        } else {
          chunk->wanted = true;
        }
      }
      Touch(name);
    }
    if (mine) Fetch(id, chunk);
    std::unique_lock<std::mutex> lock(cacheMu_);
    cacheCv_.wait(lock, [&] {
      return chunk->state == Chunk::kReady || chunk->state == Chunk::kFailed;
    });
    if (chunk->state == Chunk::kFailed && chunk->err == ECANCELED) continue;  // fetcher gave up
    if (chunk->state == Chunk::kFailed) return chunk->err;
    *out = chunk;
    return 0;
  }
}

// A download takes pieces of the volume in turn on kDownloadStreams threads. Each piece's
// chunks that no one else has or fetches are claimed in the chunk cache (so readers and other
// downloads wait for them rather than fetch them again) and come with one ranged GET whose
// bytes are written into the file as they arrive; a claimed chunk is put in memory only when
// a reader waits for it. Chunks that others hold or fetch are copied from the cache.
int S3Vault::Download(const std::string& key, const std::string& version, uint64_t size, int fd,
                      const std::function<bool(uint64_t)>& tick, uint64_t* copied) {
  *copied = 0;
  if (!tick(0)) return ECANCELED;
  if (size == 0) return 0;
  DownloadJob job;
  job.key = key;
  job.version = version;
  job.size = size;
  job.fd = fd;
  job.chunks = (size + kChunkBytes - 1) / kChunkBytes;
  job.pieceChunks = std::clamp<uint64_t>((job.chunks + kDownloadStreams - 1) / kDownloadStreams,
                                         1, kSpanChunks);
  job.pieces = (job.chunks + job.pieceChunks - 1) / job.pieceChunks;
  int streams = static_cast<int>(std::min<uint64_t>(kDownloadStreams, job.pieces));
  job.running = streams;
  std::vector<std::thread> threads;
  for (int i = 0; i < streams; ++i) threads.emplace_back([this, &job] { DownloadStream(&job); });
  bool going = true;
  {
    std::unique_lock<std::mutex> lock(job.mu);
    while (job.running > 0) {
      job.cv.wait_for(lock, std::chrono::milliseconds(50));
      if (!going || job.running == 0) continue;
      lock.unlock();
      going = tick(job.done.load());
      lock.lock();
      if (!going) {
        if (job.err == 0) job.err = ECANCELED;
        job.cancel = true;
      }
    }
  }
  for (auto& t : threads) t.join();
  *copied = job.done.load();
  if (job.err == 0 && *copied != size) job.err = EIO;
  return job.err;
}

void S3Vault::DownloadStream(DownloadJob* job) {
  int rc = 0;
  while (rc == 0 && !job->cancel.load()) {
    uint64_t piece = job->next.fetch_add(1);
    if (piece >= job->pieces) break;
    rc = DownloadPiece(job, piece);
  }
  std::lock_guard<std::mutex> guard(job->mu);
  if (rc != 0) {
    if (job->err == 0) job->err = rc;
    job->cancel = true;
  }
  --job->running;
  job->cv.notify_all();
}

int S3Vault::DownloadPiece(DownloadJob* job, uint64_t piece) {
  const uint64_t first = piece * job->pieceChunks;
  const size_t n = static_cast<size_t>(std::min(job->chunks, first + job->pieceChunks) - first);
  auto idOf = [&](size_t i) { return ChunkId{job->key, job->version, first + i, job->size}; };
  auto endOf = [&](uint64_t k) { return std::min(job->size, (k + 1) * kChunkBytes); };
  std::vector<std::shared_ptr<Chunk>> claimed(n);
  size_t lo = n, hi = 0;
  {
    std::lock_guard<std::mutex> guard(cacheMu_);
    for (size_t i = 0; i < n; ++i) {
      std::string name = idOf(i).Name();
      auto it = chunks_.find(name);
      if (it == chunks_.end()) {
        claimed[i] = std::make_shared<Chunk>();
        chunks_[name] = claimed[i];
        Touch(name);
      } else if (it->second->state == Chunk::kQueued) {
        claimed[i] = it->second;  // read-ahead not started yet: this download fetches it
      } else {
        continue;
      }
      claimed[i]->state = Chunk::kFetching;
      lo = std::min(lo, i);
      hi = i;
    }
  }
  // A claimed chunk whose bytes are all in the file: read back into memory if a reader waits
  // or another handle has the volume open, else out of the cache (readers do not see the
  // file).
  const std::string volume = job->key + '\n' + job->version;
  auto finish = [&](size_t i) {
    std::shared_ptr<Chunk> chunk = std::move(claimed[i]);
    std::string name = idOf(i).Name();
    bool shared = openVolumes_->Count(volume) > 1;  // the download's own handle is one
    std::unique_lock<std::mutex> lock(cacheMu_);
    if (!chunk->wanted && !shared) {
      DropLocked(name, chunk, ECANCELED);
      return;
    }
    lock.unlock();
    uint64_t start = (first + i) * kChunkBytes;
    std::vector<unsigned char> data(static_cast<size_t>(endOf(first + i) - start));
    size_t got = 0;
    int rc = pf::ReadFileAt(job->fd, start, data.data(), data.size(), &got);
    lock.lock();
    if (rc == 0 && got == data.size()) {
      chunk->data = std::move(data);
      chunk->state = Chunk::kReady;
    } else {
      DropLocked(name, chunk, ECANCELED);  // its readers fetch it themselves
    }
    cacheCv_.notify_all();
  };

  int rc = 0;
  bool storeFailed = false;
  if (lo < n) {
    // One GET for the claimed run (chunks between that others fetch come along: the same bytes).
    const uint64_t start = (first + lo) * kChunkBytes;
    const uint64_t end = endOf(first + hi);
    uint64_t pos = start;
    int writeErr = 0;
    bool tooMuch = false;
    Request req;
    req.key = job->key;
    req.query = Query({{"versionId", job->version}});
    req.streaming = true;
    req.idempotent = false;  // retried below, from where the bytes stopped
    req.cancel = &job->cancel;
    req.consume = [&](const unsigned char* data, size_t len) {
      if (job->cancel.load()) return false;
      if (len > end - pos) {
        tooMuch = true;
        return false;
      }
      writeErr = pf::WriteFileAt(job->fd, pos, data, len);
      if (writeErr != 0) return false;
      uint64_t was = pos;
      pos += len;
      uint64_t before = job->done.fetch_add(len);
      if (before / kChunkBytes != (before + len) / kChunkBytes) job->cv.notify_all();  // a report
      for (uint64_t k = was / kChunkBytes; k <= hi + first && endOf(k) <= pos; ++k) {
        if (endOf(k) > was && claimed[static_cast<size_t>(k - first)] != nullptr) {
          finish(static_cast<size_t>(k - first));
        }
      }
      return true;
    };
    uint32_t backoff = 100;
    for (int attempt = 1;; ++attempt) {
      req.partial = !(pos == 0 && end == job->size);
      req.headers = {"Range: bytes=" + std::to_string(pos) + "-" + std::to_string(end - 1)};
      Response r = Do(req);
      bool ok = r.status == 206 || (!req.partial && r.status == 200);
      rc = writeErr != 0 ? writeErr : job->cancel.load() ? ECANCELED : ErrnoOf(r);
      if (rc == 0 && (tooMuch || !ok)) rc = EIO;
      if (rc == 0 && pos == end) break;
      bool retry = rc == 0 || (writeErr == 0 && rc != ECANCELED && r.Unreachable());
      if (rc == 0) rc = ECONNRESET;  // the body ended early
      if (!retry || attempt >= std::max(1, s_.attempts)) break;
      for (uint32_t slept = 0; slept < backoff && !job->cancel.load(); slept += 50) {
        pf::SleepMs(50);
      }
      backoff *= 3;
    }
    if (rc == 0 && pos != end) rc = EIO;
    storeFailed = rc != 0 && rc != ECANCELED && writeErr == 0;
  }
  if (rc != 0) {
    std::lock_guard<std::mutex> guard(cacheMu_);
    for (size_t i = 0; i < n; ++i) {
      // Waiting readers try again themselves, unless the store failed them all.
      if (claimed[i] == nullptr) continue;
      DropLocked(idOf(i).Name(), claimed[i], storeFailed ? rc : ECANCELED);
    }
    cacheCv_.notify_all();
    return rc;
  }
  // The chunks others held or fetched, from the cache.
  for (size_t i = 0; i < n && rc == 0; ++i) {
    if (i >= lo && i <= hi) continue;
    if (job->cancel.load()) return ECANCELED;
    std::shared_ptr<Chunk> chunk;
    rc = GetChunk(idOf(i), &chunk);
    uint64_t start = (first + i) * kChunkBytes;
    if (rc == 0 && chunk->data.size() != endOf(first + i) - start) rc = EIO;
    if (rc == 0) rc = pf::WriteFileAt(job->fd, start, chunk->data.data(), chunk->data.size());
    if (rc == 0) {
      job->done.fetch_add(chunk->data.size());
      job->cv.notify_all();
    }
  }
  return rc;
}

void S3Vault::ReadAhead(const ChunkId& id) {
  uint64_t chunks = (id.fileSize + kChunkBytes - 1) / kChunkBytes;
  uint64_t last = std::min(chunks, id.index + 1 + kAheadChunks);
  auto nameOf = [&](uint64_t k) { return ChunkId{id.key, id.version, k, id.fileSize}.Name(); };
  std::lock_guard<std::mutex> guard(cacheMu_);
  for (uint64_t k = id.index + 1; k < last;) {
    if (chunks_.count(nameOf(k)) != 0) {
      ++k;
      continue;
    }
    uint64_t e = k;
    while (e < last && e - k < kSpanChunks && chunks_.count(nameOf(e)) == 0) ++e;
    // Whole spans only, unless the file or a chunk already there ends the run.
    if (e - k < kSpanChunks && e != chunks && e == last) break;
    std::vector<std::shared_ptr<Chunk>> span;
    for (uint64_t c = k; c < e; ++c) {
      span.push_back(std::make_shared<Chunk>());
      chunks_[nameOf(c)] = span.back();
      Touch(nameOf(c));
    }
    ChunkId first{id.key, id.version, k, id.fileSize};
    fetchers_->Post([this, first, span] { FetchSpan(first, span); });
    k = e;
  }
}

}  // namespace

bool ParseS3Location(const std::string& location, std::string* bucket, std::string* prefix) {
  const std::string scheme = "s3://";
  if (location.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = location.substr(scheme.size());
  size_t slash = rest.find('/');
  *bucket = rest.substr(0, slash);
  *prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
  while (!prefix->empty() && prefix->back() == '/') prefix->pop_back();
  while (!prefix->empty() && prefix->front() == '/') prefix->erase(0, 1);
  return bucket->size() >= 3;
}

int NewS3Vault(const S3Settings& settings, std::unique_ptr<Vault>* vault, std::string* error) {
  S3Settings s = settings;
  while (!s.endpoint.empty() && s.endpoint.back() == '/') s.endpoint.pop_back();
  if (s.endpoint.rfind("http://", 0) != 0 && s.endpoint.rfind("https://", 0) != 0) {
    *error = "the S3 endpoint must be an http:// or https:// URL: " +
             (s.endpoint.empty() ? std::string("none given (--s3-endpoint)") : s.endpoint);
    return EINVAL;
  }
  if (s.accessKey.empty() || s.secretKey.empty()) {
    *error = "no credentials for the object store: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY";
    return EINVAL;
  }
  auto v = std::make_unique<S3Vault>(s);
  int rc = v->Check(error);
  if (rc != 0) return rc;
  *vault = std::move(v);
  return 0;
}

bool IsObjectStoreLocation(std::string_view location) {
  return location.substr(0, 5) == "s3://";
}

int OpenVault(const VaultOptions& options, std::unique_ptr<Vault>* vault, std::string* error) {
  error->clear();
  if (!IsObjectStoreLocation(options.location)) {
    if (options.location.empty()) {
      *error = "no vault given";
      return EINVAL;
    }
    *vault = NewLocalVault(options.location);
    return 0;
  }
  S3Settings s;
  if (!ParseS3Location(options.location, &s.bucket, &s.prefix)) {
    *error = "not a bucket location (s3://BUCKET[/PREFIX], a bucket name of 3 characters or "
             "more): " + options.location;
    return EINVAL;
  }
  s.endpoint = options.s3Endpoint;
  s.cacheFilesDir = options.cacheFilesDir;
  pf::GetEnvNonEmpty("AWS_ACCESS_KEY_ID", &s.accessKey);
  pf::GetEnvNonEmpty("AWS_SECRET_ACCESS_KEY", &s.secretKey);
  pf::GetEnvNonEmpty("AWS_SESSION_TOKEN", &s.sessionToken);
  std::string region;
  if (pf::GetEnvNonEmpty("AWS_REGION", &region)) s.region = region;
  return NewS3Vault(s, vault, error);
}

}  // namespace kdr::server
