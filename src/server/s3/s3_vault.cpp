#include "server/s3/s3_vault.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/mutex.h"
#include "server/log.h"
#include "server/s3/checksum.h"
#include "server/s3/chunk_cache.h"
#include "server/s3/client.h"
#include "server/s3/credentials.h"
#include "server/s3/file.h"
#include "server/s3/offline_copy.h"
#include "server/s3/text.h"
#include "server/s3/upload.h"
#include "server/s3/workers.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr int kPartThreads = 4;
constexpr size_t kMaxKnownFiles = 100000;  // files remembered for offline and trusted opens
constexpr size_t kListAtLeast = 8;         // fewer files than this are rechecked one by one
constexpr int kListKeys = 1000;
constexpr int64_t kStaleUploadSeconds = 24 * 3600;
constexpr int kSweepPollMs = 500;    // while the store is away: how often the sweep looks
constexpr int kSweepBusyMs = 60000;  // after the store was too busy to list the uploads

class S3Vault : public Vault {
 public:
  explicit S3Vault(const S3Settings& s)
      : s_(s),
        client_(s, [cred = s.credentials](Keys* keys,
                                          std::string* error) { return cred->Get(keys, error); }),
        cache_(&client_) {}
  ~S3Vault() override {
    {
      kdr::MutexLock hold(&stopMu_);
      stop_ = true;
    }
    stopping_.store(true);
    stopCv_.SignalAll();
    if (sweeper_.joinable()) sweeper_.join();
  }

  int Check(std::string* error);
  void StartSweep() {
    sweeper_ = std::thread([this] { Sweep(); });
  }

  int Open(const std::string& guid, std::shared_ptr<VaultFile>* file) override;
  int BeginUpload(const std::string& guid, std::unique_ptr<VaultUpload>* upload) override;
  int RollBack(const std::string& guid, const std::string& volumeId, std::string* removed) override;
  int Put(const std::string& guid, const std::string& name, const std::string& source,
          std::string* volumeId) override;
  int List(std::vector<VaultFileInfo>* files) override;
  int CurrentVersion(const std::string& guid, std::string* version) override;
  void CurrentVersions(const std::vector<std::string>& guids, std::vector<std::string>* versions,
                       std::vector<int>* results, const std::atomic<bool>* cancel) override;
  bool Away() const override { return client_.Offline(); }

 private:
  // A volume as the store described it.
  struct Known {
    VaultFileInfo info;
    std::string etag;
    ObjectDigest digest;
    int32_t checkedMs = 0;
  };

  // Sweeps stale uploads once the store can be reached: at start, or when it comes back.
  void Sweep() EXCLUDES(stopMu_);
  int Head(const std::string& guid, const std::string& version, Response* r,
           const std::atomic<bool>* cancel = nullptr);
  int InfoOf(const std::string& guid, const Response& r, VaultFileInfo* info);
  std::shared_ptr<VaultFile> MakeFile(const Known& k, const std::string& local);
  // Opens what this process last saw of `guid`, or (with `scan`) a whole-file cache copy.
  int OfflineOpen(const std::string& guid, int err, bool scan, std::shared_ptr<VaultFile>* file)
      EXCLUDES(knownMu_);
  void Remember(const Known& k) EXCLUDES(knownMu_);
  void Forget(const std::string& guid) EXCLUDES(knownMu_);
  // A recheck found `version` (empty: the file is gone) as the newest of `guid`.
  void Rechecked(const std::string& guid, const std::string& version) EXCLUDES(knownMu_);
  // One listing from the first of `keys` on; answers what it covers. Returns how many.
  size_t ListFrom(const std::vector<std::pair<std::string, size_t>>& keys, size_t next,
                  std::vector<std::string>* versions, std::vector<int>* results,
                  const std::atomic<bool>* cancel);
  int Newest(const std::string& guid, std::string* version, const std::atomic<bool>* cancel);

  const S3Settings s_;
  Client client_;
  ChunkCache cache_;
  std::shared_ptr<OpenVolumes> openVolumes_ = std::make_shared<OpenVolumes>();
  Workers parts_{kPartThreads};

  kdr::Mutex knownMu_;
  std::map<std::string, Known> known_ GUARDED_BY(knownMu_);

  kdr::Mutex stopMu_;
  kdr::CondVar stopCv_;
  bool stop_ GUARDED_BY(stopMu_) = false;
  std::atomic<bool> stopping_{false};  // the sweep's requests stop on it
  std::thread sweeper_;
};

// An upload that makes what this process knew of the file stale once it commits.
class ForgettingUpload : public VaultUpload {
 public:
  ForgettingUpload(std::unique_ptr<VaultUpload> up, std::function<void()> forget)
      : up_(std::move(up)), forget_(std::move(forget)) {}
  int Write(const void* buf, size_t len) override { return up_->Write(buf, len); }
  int Commit(std::string* volumeId) override {
    int rc = up_->Commit(volumeId);
    forget_();  // also on failure: a completion may have made a version after all
    return rc;
  }

 private:
  std::unique_ptr<VaultUpload> up_;
  std::function<void()> forget_;
};

int S3Vault::Check(std::string* error) {
  Request req;
  req.query = Query({{"versioning", ""}});
  // A store that is not there holds up the start one stall limit at most.
  req.timeoutMs = std::min(s_.requestTimeoutMs, s_.stallSeconds * 1000);
  Response r = client_.Do(req);
  std::string where = "bucket " + s_.bucket + " at " + s_.endpoint;
  if (r.Unreachable() || r.Busy()) {
    *error = "the object store cannot be reached now (" + Describe(r) + "): " + where +
             "; files the cache holds stay readable";
    return 0;
  }
  int rc = ErrnoOf(r);
  if (r.net == Net::kTls) {
    *error = "TLS with " + where + " fails (" + r.netText +
             "): if the store's certificate is "
             "signed by an authority of your own, name its bundle in AWS_CA_BUNDLE, SSL_CERT_FILE "
             "or CURL_CA_BUNDLE";
    return EPROTO;
  }
  if (rc == EACCES) {
    *error = "the object store refuses the credentials for " + where + " (" + Describe(r) +
             "): check the access key and secret (AWS_ACCESS_KEY_ID, AWS_PROFILE, ...)";
    return rc;
  }
  if (rc == ENOENT) {
    *error = "there is no " + where;
    return rc;
  }
  if (rc != 0) {
    *error = "the versioning of " + where + " cannot be read: " + Describe(r);
    return rc;
  }
  if (XmlField(r.body, "Status") != "Enabled") {
    *error = where +
             " does not keep object versions; a vault needs a bucket with versioning "
             "enabled (PUT ?versioning with <Status>Enabled</Status>)";
    return EOPNOTSUPP;
  }
  error->clear();
  return 0;
}

void S3Vault::Sweep() {
  for (int waitMs = 0;;) {
    {
      kdr::MutexLock hold(&stopMu_);
      const int32_t start = pf::MonotonicMs();
      for (int left = waitMs; !stop_ && left > 0;
           left = waitMs - pf::ElapsedMs(start, pf::MonotonicMs())) {
        stopCv_.WaitFor(&stopMu_, std::chrono::milliseconds(left));
      }
      if (stop_) return;
    }
    waitMs = kSweepPollMs;
    if (client_.Offline()) continue;
    int swept = 0;
    int rc = SweepStaleUploads(&client_, kStaleUploadSeconds, &stopping_, &swept);
    if (rc == 0 || rc == ECANCELED) return;
    if (client_.Offline()) continue;  // an outage: swept when the store is back
    if (rc != EAGAIN) {
      // The failed listing was logged with the store's answer.
      Log(LogLevel::kWarn,
          "S3: unfinished uploads cannot be listed: they are left to the bucket's lifecycle rule");
      return;
    }
    waitMs = kSweepBusyMs;  // the store is busy: later
  }
}

int S3Vault::Head(const std::string& guid, const std::string& version, Response* r,
                  const std::atomic<bool>* cancel) {
  Request req;
  req.cancel = cancel;
  req.method = "HEAD";
  req.key = client_.Key(guid);
  if (!version.empty()) req.query = Query({{"versionId", version}});
  // The first to find the store gone waits one stall limit at most.
  req.timeoutMs = std::min(s_.requestTimeoutMs, s_.stallSeconds * 1000);
  *r = client_.Do(req);
  return ErrnoOf(*r);
}

int S3Vault::InfoOf(const std::string& guid, const Response& r, VaultFileInfo* info) {
  info->guid = guid;
  info->version = r.Header("x-amz-version-id");
  if (info->version.empty()) return EIO;
  if (!ParseUnsigned(r.Header("content-length"), &info->size)) return EIO;
  std::string name = Decode(r.Header(kMetaName));
  info->name = SafeFileName(name.empty() ? guid : name);
  info->volumes = 1;  // counted by List() only: a HEAD cannot see them
  return 0;
}

void S3Vault::Remember(const Known& seen) {
  const VaultFileInfo& info = seen.info;
  kdr::MutexLock hold(&knownMu_);
  if (known_.size() >= kMaxKnownFiles && known_.count(info.guid) == 0) {
    // Forget the tenth checked longest ago at once: the look through all of them is made once
    // for many new files, not for each.
    const int32_t now = pf::MonotonicMs();
    std::vector<std::pair<int32_t, std::string>> ages;
    ages.reserve(known_.size());
    for (const auto& [guid, k] : known_) ages.emplace_back(pf::ElapsedMs(k.checkedMs, now), guid);
    const size_t drop = std::max<size_t>(1, ages.size() / 10);
    std::nth_element(ages.begin(), ages.begin() + static_cast<std::ptrdiff_t>(drop - 1), ages.end(),
                     std::greater<>());
    for (size_t i = 0; i < drop; ++i) known_.erase(ages[i].second);
  }
  Known& k = known_[info.guid];
  k = seen;
  k.checkedMs = pf::MonotonicMs();
}

void S3Vault::Forget(const std::string& guid) {
  kdr::MutexLock hold(&knownMu_);
  known_.erase(guid);
}

void S3Vault::Rechecked(const std::string& guid, const std::string& version) {
  kdr::MutexLock hold(&knownMu_);
  auto it = known_.find(guid);
  if (it == known_.end()) return;
  if (!version.empty() && it->second.info.version == version) {
    it->second.checkedMs = pf::MonotonicMs();
  } else {
    known_.erase(it);
  }
}

std::shared_ptr<VaultFile> S3Vault::MakeFile(const Known& k, const std::string& local) {
  VolumeRef v{client_.Key(k.info.guid), k.info.version, k.etag, k.info.size, k.digest};
  return std::make_shared<S3File>(&client_, &cache_, openVolumes_, k.info, std::move(v), local);
}

int S3Vault::OfflineOpen(const std::string& guid, int err, bool scan,
                         std::shared_ptr<VaultFile>* file) {
  Known known;
  bool have = false;
  {
    kdr::MutexLock hold(&knownMu_);
    auto it = known_.find(guid);
    if (it != known_.end()) {
      known = it->second;
      have = true;
    }
  }
  VaultFileInfo info;
  std::string local;
  if (scan &&
      FindOfflineCopy(s_.cacheFilesDir, guid, have ? &known.info : nullptr, &info, &local)) {
    if (!have) known = Known();
    known.info = info;
    *file = MakeFile(known, local);
    return 0;
  }
  if (!have) return err;
  *file = MakeFile(known, "");
  return 0;
}

int S3Vault::Open(const std::string& guid, std::shared_ptr<VaultFile>* file) {
  if (!IsVaultGuid(guid)) return EINVAL;
  // While the store is away, what the cache holds opens at once; the whole-file cache is
  // looked through once, not again when the store proves to be still away.
  const bool scanned = client_.Offline();
  if (scanned && OfflineOpen(guid, ENETDOWN, true, file) == 0) return 0;
  if (s_.trustMs > 0) {
    Known k;
    bool trusted = false;
    {
      kdr::MutexLock hold(&knownMu_);
      auto it = known_.find(guid);
      trusted =
          it != known_.end() && pf::ElapsedMs(it->second.checkedMs, pf::MonotonicMs()) < s_.trustMs;
      if (trusted) k = it->second;
    }
    if (trusted) {
      *file = MakeFile(k, "");
      return 0;
    }
  }
  Response r;
  int rc = Head(guid, "", &r);
  if (r.Unreachable()) return OfflineOpen(guid, rc, !scanned, file);
  if (rc != 0) {
    if (rc == ENOENT) Forget(guid);
    return rc;
  }
  Known k;
  rc = InfoOf(guid, r, &k.info);
  if (rc != 0) return rc;
  k.etag = r.Header("etag");
  k.digest = DigestOf(k.etag, r.Header(kMetaParts), s_.checkEtags && r.EtagMayBeDigest());
  Remember(k);
  *file = MakeFile(k, "");
  return 0;
}

int S3Vault::CurrentVersion(const std::string& guid, std::string* version) {
  return Newest(guid, version, nullptr);
}

int S3Vault::Newest(const std::string& guid, std::string* version,
                    const std::atomic<bool>* cancel) {
  if (!IsVaultGuid(guid)) return EINVAL;
  Response r;
  int rc = Head(guid, "", &r, cancel);
  if (rc == ENOENT) Rechecked(guid, "");
  if (rc != 0) return rc;
  *version = r.Header("x-amz-version-id");
  if (version->empty()) return EIO;
  Rechecked(guid, *version);
  return 0;
}

size_t S3Vault::ListFrom(const std::vector<std::pair<std::string, size_t>>& keys, size_t next,
                         std::vector<std::string>* versions, std::vector<int>* results,
                         const std::atomic<bool>* cancel) {
  const std::string prefix = s_.prefix.empty() ? "" : s_.prefix + "/";
  const std::string& first = keys[next].first;
  // Keys from `first` on: the marker is a key just before it (listing starts after it).
  std::vector<std::pair<std::string, std::string>> params = {
      {"prefix", prefix}, {"versions", ""}, {"max-keys", std::to_string(kListKeys)}};
  std::string marker = first.substr(0, first.size() - 1);
  if (marker.size() > prefix.size()) params.push_back({"key-marker", marker});
  Request req;
  req.query = Query(params);
  req.cancel = cancel;
  Response r = client_.Do(req);
  int rc = ErrnoOf(r);
  VersionPage page;
  if (rc == 0 && !ParseVersionPage(r.body, &page)) rc = EIO;
  if (rc != 0) {
    for (size_t i = next; i < keys.size(); ++i) (*results)[keys[i].second] = rc;
    return keys.size() - next;
  }
  std::map<std::string, const VersionEntry*> newest;  // the first entry of a key is its newest
  for (const VersionEntry& e : page.entries) newest.emplace(e.key, &e);
  // A truncated page covers the keys up to its last one; its versions of that key may go on
  // on the next page, but the newest came first.
  std::string last = page.entries.empty() ? std::string() : page.entries.back().key;
  size_t answered = 0;
  for (size_t i = next; i < keys.size(); ++i) {
    const std::string& key = keys[i].first;
    if (page.truncated && key > last) break;
    auto it = newest.find(key);
    size_t at = keys[i].second;
    if (it == newest.end() || it->second->deleteMarker || !it->second->latest) {
      (*results)[at] = ENOENT;
    } else {
      (*results)[at] = 0;
      (*versions)[at] = it->second->versionId;
    }
    ++answered;
  }
  return answered;
}

void S3Vault::CurrentVersions(const std::vector<std::string>& guids,
                              std::vector<std::string>* versions, std::vector<int>* results,
                              const std::atomic<bool>* cancel) {
  versions->assign(guids.size(), std::string());
  results->assign(guids.size(), ECANCELED);
  std::vector<std::pair<std::string, size_t>> keys;  // key, index into guids; in key order
  for (size_t i = 0; i < guids.size(); ++i) {
    if (IsVaultGuid(guids[i])) keys.emplace_back(client_.Key(guids[i]), i);
    else (*results)[i] = EINVAL;
  }
  std::sort(keys.begin(), keys.end());
  size_t next = 0;
  bool listing = true;
  while (next < keys.size() && !(cancel != nullptr && cancel->load())) {
    if (client_.Offline()) {
      // Gone meanwhile: the rest would each wait for a probe, to fail as the outage's error.
      for (; next < keys.size(); ++next) (*results)[keys[next].second] = ENETDOWN;
      break;
    }
    if (!listing || keys.size() - next < kListAtLeast) {
      size_t i = keys[next].second;
      (*results)[i] = Newest(guids[i], &(*versions)[i], cancel);
      ++next;
      continue;
    }
    size_t n = ListFrom(keys, next, versions, results, cancel);
    // A page that covers nothing asked did not start where asked (a store that ignores the
    // marker): the rest one HEAD each, never a listing and a HEAD for every key.
    listing = n > 0;
    next += n;
  }
  for (size_t i = 0; i < guids.size(); ++i) {
    if ((*results)[i] == 0) Rechecked(guids[i], (*versions)[i]);
    else if ((*results)[i] == ENOENT) Rechecked(guids[i], "");
  }
}

int S3Vault::BeginUpload(const std::string& guid, std::unique_ptr<VaultUpload>* upload) {
  if (!IsVaultGuid(guid)) return EINVAL;
  Response r;
  int rc = Head(guid, "", &r);
  if (rc != 0) return rc;
  VaultFileInfo info;
  rc = InfoOf(guid, r, &info);
  if (rc != 0) return rc;
  *upload = std::make_unique<ForgettingUpload>(
      NewS3Upload(&client_, &parts_, client_.Key(guid), info.name, "upload"),
      [this, guid] { Forget(guid); });
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
  req.key = client_.Key(guid);
  req.query = Query({{"versionId", version}});
  r = client_.Do(req);
  Forget(guid);
  rc = ErrnoOf(r);
  if (rc != 0) return rc;
  cache_.DropVolume(client_.Key(guid), version);
  *removed = version;
  return 0;
}

int S3Vault::Put(const std::string& guid, const std::string& name, const std::string& source,
                 std::string* volumeId) {
  if (!IsVaultGuid(guid)) return EINVAL;
  int in = pf::kNoFile;
  int rc = pf::OpenFile(source.c_str(), pf::FileMode::kReadOnly, &in);
  if (rc != 0) return rc;
  std::unique_ptr<VaultUpload> up =
      NewS3Upload(&client_, &parts_, client_.Key(guid), SafeFileName(name), "put");
  rc = ForEachPiece(in,
                    [&up](const unsigned char* b, size_t n, uint64_t) { return up->Write(b, n); });
  pf::CloseFile(in);
  if (rc == 0) rc = up->Commit(volumeId);
  Forget(guid);
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
    Response r = client_.Do(req);
    int rc = ErrnoOf(r);
    if (rc != 0) return rc;
    VersionPage page;
    if (!ParseVersionPage(r.body, &page)) return EIO;
    for (const VersionEntry& e : page.entries) {
      if (e.key.compare(0, prefix.size(), prefix) != 0) continue;
      std::string guid = e.key.substr(prefix.size());
      if (!IsVaultGuid(guid)) continue;
      if (!e.deleteMarker) {
        ++counts[guid];
      } else if (e.latest) {
        counts[guid] = -1000000;  // the newest is a delete marker: the file is gone
      }
    }
    if (!page.truncated) break;
    // A page that does not move on would be asked for again and again.
    if (page.nextKeyMarker.empty() ||
        (page.nextKeyMarker == keyMarker && page.nextVersionIdMarker == versionMarker)) {
      return EIO;
    }
    keyMarker = page.nextKeyMarker;
    versionMarker = page.nextVersionIdMarker;
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
  if (s.credentials == nullptr) {
    if (s.accessKey.empty() || s.secretKey.empty()) {
      *error =
          "no credentials for the object store: set AWS_ACCESS_KEY_ID and "
          "AWS_SECRET_ACCESS_KEY, or AWS_PROFILE";
      return EINVAL;
    }
    s.credentials = std::make_shared<FixedKeys>(Keys{s.accessKey, s.secretKey, s.sessionToken});
  }
  auto v = std::make_unique<S3Vault>(s);
  int rc = v->Check(error);
  if (rc != 0) return rc;
  v->StartSweep();
  *vault = std::move(v);
  return 0;
}

}  // namespace kdr::server::s3
