#include "server/s3/client.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"
#include "server/log.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {
constexpr int32_t kConfigLogEveryMs = 60000;
constexpr int kOfflineWaitMs = 1000;
constexpr int kProbeSpacingMs = 250;
}  // namespace

Client::Client(const S3Settings& settings, std::function<int(Keys*, std::string*)> keys)
    : s_(settings), http_(settings, std::move(keys)) {
  prober_ = std::thread([this] { Probe(); });
}

Client::~Client() {
  {
    kdr::MutexLock hold(&mu_);
    stop_ = true;
  }
  stopping_.store(true);
  cv_.SignalAll();
  prober_.join();
}

Response Client::Do(const Request& req) {
  if (offline_.load() && !AwaitProbe(kOfflineWaitMs)) {
    Response r;
    r.net = Net::kConnect;
    r.netText = "the object store is unreachable";
    int err = offlineErr_.load();
    if (err == ETIMEDOUT) r.net = Net::kTimeout;
    return r;
  }
  Response r = http_.Perform(req);
  if (r.aborted) return r;
  // Broken after the store began to answer: it is there (the caller may resume).
  if (r.Unreachable() && r.status == 0) {
    NoteUnreachable(r);
    return r;
  }
  NoteAnswer(r);
  // Stopped by the caller, who had what it wanted: nothing to say about the store.
  if (r.consumerStopped && r.mismatch.empty()) return r;
  if (r.net != Net::kOk || (r.status >= 400 && r.status != 404) || !r.mismatch.empty() ||
      r.shortBody) {
    if (!r.Refused()) {
      Log(LogLevel::kWarn, "S3 %s: %s", http_.What(req).c_str(), Describe(r).c_str());
    }
  }
  return r;
}

void Client::NoteUnreachable(const Response& r) {
  offlineErr_.store(ErrnoOf(r));
  if (!offline_.exchange(true)) {
    Log(LogLevel::kWarn,
        "the object store %s cannot be reached (%s): serving what the cache holds until it "
        "comes back",
        s_.endpoint.c_str(), Describe(r).c_str());
    kdr::MutexLock hold(&mu_);  // the prober never misses the change
    cv_.SignalAll();
  }
}

void Client::NoteAnswer(const Response& r) {
  if (!r.Refused()) return;
  int32_t now = pf::MonotonicMs();
  int32_t last = lastConfigLog_.load();
  if (configLogged_.load() && pf::ElapsedMs(last, now) < kConfigLogEveryMs) {
    return;
  }
  configLogged_.store(true);
  lastConfigLog_.store(now);
  if (r.net == Net::kTls) {
    Log(LogLevel::kError,
        "the object store %s: TLS fails (%s); if its certificate is signed by an authority of "
        "your own, name its bundle in AWS_CA_BUNDLE, SSL_CERT_FILE or CURL_CA_BUNDLE",
        s_.endpoint.c_str(), r.netText.c_str());
  } else {
    Log(LogLevel::kError,
        "the object store %s refuses our credentials (%s): check the access key, the secret "
        "and the clock",
        s_.endpoint.c_str(), Describe(r).c_str());
  }
}

bool Client::AwaitProbe(int waitMs) {
  kdr::MutexLock hold(&mu_);
  // A probe that started before this request may have started before the store came back.
  uint64_t target = probes_ + (probing_ ? 2 : 1);
  probeNow_ = true;
  cv_.SignalAll();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (!stop_ && offline_.load() && probes_ < target && cv_.WaitUntil(&mu_, until)) {
  }
  return !offline_.load();
}

void Client::Probe() {
  mu_.Lock();
  while (!stop_) {
    while (!stop_ && !offline_.load()) cv_.Wait(&mu_);
    if (stop_) break;
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(std::max(kProbeSpacingMs, s_.probeMs));
    while (!stop_ && !probeNow_ && cv_.WaitUntil(&mu_, until)) {
    }
    if (stop_) break;
    if (probeNow_) {
      // Asked for: soon, but never back to back.
      until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeSpacingMs);
      while (!stop_ && cv_.WaitUntil(&mu_, until)) {
      }
      if (stop_) break;
    }
    probeNow_ = false;
    probing_ = true;
    mu_.Unlock();
    Request req;
    req.query = Query({{"versioning", ""}});
    req.retry = Request::Retry::kNever;
    req.timeoutMs = std::min(s_.requestTimeoutMs, s_.stallSeconds * 1000);
    req.cancel = &stopping_;
    Response r = http_.Once(req);
    mu_.Lock();
    probing_ = false;
    ++probes_;
    if (stop_) break;
    if (!r.aborted && !r.Unreachable() && offline_.exchange(false)) {
      Log(LogLevel::kInfo, "the object store %s is reachable again", s_.endpoint.c_str());
    }
    cv_.SignalAll();
  }
  mu_.Unlock();
}

}  // namespace kdr::server::s3
