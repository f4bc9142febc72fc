// The vault's link to the store: every request goes through Do(), which knows whether the
// store can be reached.
//
// Outages. A request that finds the store unreachable (no connection, no answer within the
// stall limit) marks it offline, logged once. While offline, opens of what the cache holds
// do not ask the store at all (see s3_vault.h); a request that must reach the store asks the
// prober for a probe now and waits for it a short while (kOfflineWaitMs) rather than for its
// own time-out, and fails with the outage's error unless the store is back. A thread of its
// own probes the store every S3Settings::probeMs (and on such demand, at most every
// kProbeSpacingMs) and marks it back, logged once. A store that answers, even "busy" or with an
// error, is never offline. Refused credentials or certificates are logged as the configuration
// errors they are (once a minute at most), and never taken for an outage.
//
// Thread-safe.
#ifndef KDR_SERVER_S3_CLIENT_H_
#define KDR_SERVER_S3_CLIENT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "server/s3/http.h"
#include "server/s3/settings.h"

namespace kdr::server::s3 {

class Client {
 public:
  Client(const S3Settings& settings, std::function<int(Keys*, std::string*)> keys);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Performs `req` (with the retry policy of http.h), unless the store is offline.
  Response Do(const Request& req);
  // Whether the store is known to be unreachable now.
  bool Offline() const { return offline_.load(); }
  // Marks the store unreachable, as a failed request of a caller of Once() found it.
  void NoteUnreachable(const Response& r) EXCLUDES(mu_);

  const S3Settings& settings() const { return s_; }
  // The object key of `guid`.
  std::string Key(const std::string& guid) const {
    return s_.prefix.empty() ? guid : s_.prefix + "/" + guid;
  }

 private:
  void NoteAnswer(const Response& r);
  void Probe() EXCLUDES(mu_);
  // While offline: has a probe made and waits for it up to `waitMs`. True when the store is
  // reachable again.
  bool AwaitProbe(int waitMs) EXCLUDES(mu_);

  const S3Settings s_;
  Http http_;
  std::atomic<bool> offline_{false};
  std::atomic<int> offlineErr_{0};
  std::atomic<int32_t> lastConfigLog_{0};
  std::atomic<bool> configLogged_{false};

  kdr::Mutex mu_;
  kdr::CondVar cv_;  // signalled when the store goes away or a probe ends, and to stop
  bool stop_ GUARDED_BY(mu_) = false;
  bool probeNow_ GUARDED_BY(mu_) = false;  // a request waits for a probe
  bool probing_ GUARDED_BY(mu_) = false;
  uint64_t probes_ GUARDED_BY(mu_) = 0;  // probes done
  std::atomic<bool> stopping_{false};  // the prober's requests stop on it
  std::thread prober_;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CLIENT_H_
