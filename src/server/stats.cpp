#include "server/stats.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "platform/fs.h"

namespace kdr::server {

Counters& Stats() {
  static Counters* c = new Counters;  // never destroyed: threads may count while exit runs
  return *c;
}

void Histogram::Observe(const double* bounds, int n, double value) {
  int i = 0;
  while (i < n && value > bounds[i]) ++i;
  buckets[i].fetch_add(1, std::memory_order_relaxed);
  count.fetch_add(1, std::memory_order_relaxed);
  // A negative value (a copy whose time lies ahead of the clock) counts as 0: the cast of a
  // negative double to an unsigned integer is undefined.
  sumMicros.fetch_add(value > 0 ? static_cast<uint64_t>(value * 1e6) : 0,
                      std::memory_order_relaxed);
}

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

thread_local int t_staleDepth = 0;
struct Tally {
  int depth = 0;
  uint32_t hits = 0;
  uint32_t misses = 0;
};
thread_local Tally t_tally;

MissReason DropReason() { return t_staleDepth > 0 ? MissReason::kStale : MissReason::kInvalidated; }

void TallyBlock(bool hit) {
  if (t_tally.depth == 0) return;
  if (hit) ++t_tally.hits;
  else ++t_tally.misses;
}

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <typename V>
using GuidMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;

// What became of the blocks this process saw in the store: still there (kInStore), or
// dropped for a reason. A block that misses while noted as still there was evicted by the
// store's own bound. Bounded: a full shard forgets everything it knew.
class BlockMemory {
 public:
  static constexpr int8_t kInStore = -1;

  void Seen(std::string_view guid, int32_t block) {
    Shard& s = ShardOf(guid);
    std::lock_guard<std::mutex> guard(s.mu);
    auto it = s.files.find(guid);
    if (it == s.files.end()) {
      if (s.entries >= kMaxPerShard) Reset(&s);
      it = s.files.emplace(std::string(guid), std::unordered_map<int32_t, int8_t>()).first;
    }
    auto [b, added] = it->second.emplace(block, kInStore);
    if (added) {
      if (++s.entries > kMaxPerShard) Reset(&s);
    } else {
      b->second = kInStore;
    }
  }
  MissReason Missed(std::string_view guid, int32_t block) {
    Shard& s = ShardOf(guid);
    std::lock_guard<std::mutex> guard(s.mu);
    auto it = s.files.find(guid);
    if (it == s.files.end()) return MissReason::kCold;
    auto b = it->second.find(block);
    if (b == it->second.end()) return MissReason::kCold;
    MissReason why =
        b->second == kInStore ? MissReason::kEvicted : static_cast<MissReason>(b->second);
    it->second.erase(b);
    --s.entries;
    if (it->second.empty()) s.files.erase(it);
    return why;
  }
  void Dropped(std::string_view guid, MissReason why) {
    Shard& s = ShardOf(guid);
    std::lock_guard<std::mutex> guard(s.mu);
    auto it = s.files.find(guid);
    if (it == s.files.end()) return;
    for (auto& b : it->second) {
      if (b.second == kInStore) b.second = static_cast<int8_t>(why);
    }
  }
  void DroppedAll(MissReason why) {
    for (Shard& s : shards_) {
      std::lock_guard<std::mutex> guard(s.mu);
      for (auto& f : s.files) {
        for (auto& b : f.second) {
          if (b.second == kInStore) b.second = static_cast<int8_t>(why);
        }
      }
    }
  }

 private:
  static constexpr int kShards = 16;
  static constexpr size_t kMaxPerShard = 16384;
  struct Shard {
    std::mutex mu;
    GuidMap<std::unordered_map<int32_t, int8_t>> files;
    size_t entries = 0;
  };
  static void Reset(Shard* s) {
    s->files.clear();
    s->entries = 0;
  }
  Shard& ShardOf(std::string_view guid) { return shards_[TextHash{}(guid) % kShards]; }
  Shard shards_[kShards];
};

BlockMemory& Blocks() {
  static BlockMemory* m = new BlockMemory;  // never destroyed, as the counters
  return *m;
}

// Why whole-file copies went, until the file is asked for again. Bounded like the above.
struct FileMemory {
  std::mutex mu;
  GuidMap<MissReason> dropped;
};
FileMemory& Files() {
  static FileMemory* m = new FileMemory;
  return *m;
}

class CountingCache : public BlockCache {
 public:
  explicit CountingCache(std::unique_ptr<BlockCache> inner) : inner_(std::move(inner)) {}
  bool Enabled() const override { return inner_->Enabled(); }
  bool Get(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
           unsigned char* buf, uint32_t* len) override {
    bool hit = inner_->Get(guid, fileSize, stamp, block, buf, len);
    if (hit) {
      Stats().blockHits.fetch_add(1, kRelaxed);
      Stats().bytesFromStore.fetch_add(*len, kRelaxed);
      Blocks().Seen(guid, block);  // also blocks an earlier run of the server left
    } else {
      Stats().blockMisses.fetch_add(1, kRelaxed);
      Stats().blockMissReasons[static_cast<int>(Blocks().Missed(guid, block))].fetch_add(1,
                                                                                         kRelaxed);
    }
    TallyBlock(hit);
    return hit;
  }
  int GetRun(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t first, int count,
             unsigned char* slots, const LentUse& use) override {
    uint64_t bytes = 0;
    int n = inner_->GetRun(guid, fileSize, stamp, first, count, slots,
                           [&](const Lent* blocks, int found) {
                             for (int i = 0; i < found; ++i) bytes += blocks[i].len;
                             use(blocks, found);
                           });
    // Counted as Get() counts hits, once the store's lock is let go; what the run did not find
    // is asked for with Get() and counted there.
    Stats().blockHits.fetch_add(static_cast<uint64_t>(n), kRelaxed);
    Stats().bytesFromStore.fetch_add(bytes, kRelaxed);
    for (int i = 0; i < n; ++i) {
      Blocks().Seen(guid, first + i);
      TallyBlock(true);
    }
    return n;
  }
  void Put(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
           const unsigned char* data, uint32_t len) override {
    inner_->Put(guid, fileSize, stamp, block, data, len);
    if (inner_->Enabled()) Blocks().Seen(guid, block);
  }
  void Forget(std::string_view guid) override {
    inner_->Forget(guid);
    Blocks().Dropped(guid, DropReason());
  }
  int Clear() override {
    int rc = inner_->Clear();
    Blocks().DroppedAll(DropReason());
    return rc;
  }
  bool Info(StoreInfo* info) const override { return inner_->Info(info); }
  void Close() override { inner_->Close(); }
  void UsedSince(int64_t since, std::vector<std::string>* guids) override {
    inner_->UsedSince(since, guids);
  }

 private:
  std::unique_ptr<BlockCache> inner_;
};

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

VaultOutcome OutcomeOf(int rc) {
  switch (rc) {
    case 0:
    case ECANCELED:  // the client stopped it: the vault answered
      return VaultOutcome::kOk;
    case ENOENT:
      return VaultOutcome::kNotFound;
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
      return VaultOutcome::kUnreachable;
    default:
      return VaultOutcome::kError;
  }
}

// Times one vault request and counts it when it ends.
class VaultCall {
 public:
  explicit VaultCall(VaultOp op) : op_(op), start_(std::chrono::steady_clock::now()) {}
  int Done(int rc) const {
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start_;
    VaultOutcome out = OutcomeOf(rc);
    Counters& c = Stats();
    c.vaultRequests[static_cast<int>(op_)][static_cast<int>(out)].fetch_add(1, kRelaxed);
    c.vaultLatency[static_cast<int>(op_)].Observe(kLatencyBuckets, kLatencyBucketCount,
                                                  took.count());
    c.vaultReachable.store(out != VaultOutcome::kUnreachable, kRelaxed);
    return rc;
  }

 private:
  VaultOp op_;
  std::chrono::steady_clock::time_point start_;
};

class CountingReader : public VaultReader {
 public:
  explicit CountingReader(std::unique_ptr<VaultReader> inner) : inner_(std::move(inner)) {}
  int ReadAt(uint64_t offset, void* buf, size_t len, size_t* done) override {
    VaultCall call(VaultOp::kRead);
    return call.Done(inner_->ReadAt(offset, buf, len, done));
  }
  int LendAt(uint64_t offset, size_t len, const unsigned char** data, size_t* done,
             std::shared_ptr<const void>* hold) override {
    VaultCall call(VaultOp::kRead);
    int rc = inner_->LendAt(offset, len, data, done, hold);
    return rc == kCannotLend ? rc : call.Done(rc);  // no read asked of the vault yet
  }

 private:
  std::unique_ptr<VaultReader> inner_;
};

class CountingFile : public VaultFile {
 public:
  explicit CountingFile(std::shared_ptr<VaultFile> inner) : inner_(std::move(inner)) {}
  const VaultFileInfo& Info() const override { return inner_->Info(); }
  int OpenReader(std::unique_ptr<VaultReader>* reader) override {
    std::unique_ptr<VaultReader> r;
    int rc = inner_->OpenReader(&r);
    if (rc == 0) *reader = std::make_unique<CountingReader>(std::move(r));
    return rc;
  }
  int CopyTo(int fd, const std::function<bool(uint64_t)>& tick, uint64_t* copied) override {
    VaultCall call(VaultOp::kCopy);
    return call.Done(inner_->CopyTo(fd, tick, copied));
  }

 private:
  std::shared_ptr<VaultFile> inner_;
};

class CountingUpload : public VaultUpload {
 public:
  explicit CountingUpload(std::unique_ptr<VaultUpload> inner) : inner_(std::move(inner)) {}
  int Write(const void* buf, size_t len) override { return inner_->Write(buf, len); }
  int Commit(std::string* volumeId) override {
    VaultCall call(VaultOp::kCommit);
    return call.Done(inner_->Commit(volumeId));
  }

 private:
  std::unique_ptr<VaultUpload> inner_;
};

class CountedVault : public Vault {
 public:
  explicit CountedVault(std::unique_ptr<Vault> inner) : inner_(std::move(inner)) {}
  int Open(const std::string& guid, std::shared_ptr<VaultFile>* file) override {
    VaultCall call(VaultOp::kOpen);
    std::shared_ptr<VaultFile> f;
    int rc = inner_->Open(guid, &f);
    if (rc == 0) *file = std::make_shared<CountingFile>(std::move(f));
    return call.Done(rc);
  }
  int BeginUpload(const std::string& guid, std::unique_ptr<VaultUpload>* upload) override {
    VaultCall call(VaultOp::kUpload);
    std::unique_ptr<VaultUpload> u;
    int rc = inner_->BeginUpload(guid, &u);
    if (rc == 0) *upload = std::make_unique<CountingUpload>(std::move(u));
    return call.Done(rc);
  }
  int RollBack(const std::string& guid, const std::string& volumeId,
               std::string* removed) override {
    VaultCall call(VaultOp::kRollBack);
    return call.Done(inner_->RollBack(guid, volumeId, removed));
  }
  int Put(const std::string& guid, const std::string& name, const std::string& source,
          std::string* volumeId) override {
    VaultCall call(VaultOp::kPut);
    return call.Done(inner_->Put(guid, name, source, volumeId));
  }
  int List(std::vector<VaultFileInfo>* files) override {
    VaultCall call(VaultOp::kList);
    return call.Done(inner_->List(files));
  }
  int CurrentVersion(const std::string& guid, std::string* version) override {
    VaultCall call(VaultOp::kVersion);
    return call.Done(inner_->CurrentVersion(guid, version));
  }
  // Every other call reaches the vault as it is: a wrapper that fell back on the defaults
  // would quietly lose what the vault does better (one listing for many files, the sweep).
  void CurrentVersions(const std::vector<std::string>& guids, std::vector<std::string>* versions,
                       std::vector<int>* results, const std::atomic<bool>* cancel) override {
    VaultCall call(VaultOp::kVersion);
    inner_->CurrentVersions(guids, versions, results, cancel);
    // Counted by the first answer that is a failure (an unreachable store, most likely).
    int rc = 0;
    for (int r : *results) {
      if (r != 0 && r != ENOENT && r != ECANCELED) {
        rc = r;
        break;
      }
    }
    call.Done(rc);
  }
  size_t RemoveLeftovers() override { return inner_->RemoveLeftovers(); }
  bool Away() const override { return inner_->Away(); }

 private:
  std::unique_ptr<Vault> inner_;
};

}  // namespace

size_t Counters::NoteRevalidation(size_t changed) {
  revalidationRounds.fetch_add(1, kRelaxed);
  revalidationChanges.fetch_add(changed, kRelaxed);
  return changed;
}

void Counters::NoteFileDropped(const std::string& guid, MissReason why, double ageSeconds) {
  if (why == MissReason::kEvicted) evictedAge.Observe(kAgeBuckets, kAgeBucketCount, ageSeconds);
  if (why == MissReason::kInvalidated) why = DropReason();
  FileMemory& m = Files();
  std::lock_guard<std::mutex> guard(m.mu);
  if (m.dropped.size() >= 4096) m.dropped.clear();
  m.dropped[guid] = why;
}

void Counters::NoteFileMiss(const std::string& guid, const std::string& stampPath) {
  fileMisses.fetch_add(1, kRelaxed);
  MissReason why = MissReason::kCold;
  {
    FileMemory& m = Files();
    std::lock_guard<std::mutex> guard(m.mu);
    auto it = m.dropped.find(guid);
    if (it != m.dropped.end()) {
      why = it->second;
      m.dropped.erase(it);
    }
  }
  uint64_t size = 0;
  if (why == MissReason::kCold && platform::StatPath(stampPath.c_str(), &size) == 0) {
    why = MissReason::kStale;  // a copy is there, but of another volume
  }
  fileMissReasons[static_cast<int>(why)].fetch_add(1, kRelaxed);
}

void Counters::NoteFileHit(uint64_t bytes) {
  fileHits.fetch_add(1, kRelaxed);
  fileBytesServed.fetch_add(bytes, kRelaxed);
}

void Counters::NoteStaleMiss() {
  blockMisses.fetch_add(1, kRelaxed);
  blockMissReasons[static_cast<int>(MissReason::kStale)].fetch_add(1, kRelaxed);
  TallyBlock(false);
}

StaleDrops::StaleDrops() { ++t_staleDepth; }
StaleDrops::~StaleDrops() { --t_staleDepth; }

ReadTally::ReadTally() {
  if (t_tally.depth++ == 0) t_tally.hits = t_tally.misses = 0;
}
ReadTally::~ReadTally() {
  if (--t_tally.depth != 0 || t_tally.hits + t_tally.misses == 0) return;
  int kind = t_tally.misses == 0 ? 0 : t_tally.hits == 0 ? 2 : 1;
  Stats().reads[kind].fetch_add(1, kRelaxed);
}

std::unique_ptr<BlockCache> CountingBlockCache(std::unique_ptr<BlockCache> inner) {
  return std::make_unique<CountingCache>(std::move(inner));
}

std::unique_ptr<Vault> CountingVault(std::unique_ptr<Vault> inner) {
  return std::make_unique<CountedVault>(std::move(inner));
}

int64_t StoreCapacityBytes(const StatusIdentity& id) {
  return static_cast<int64_t>(id.segments) * 16384 +
         (static_cast<int64_t>(id.extentFiles) * id.extentMB << 20);
}

std::string MetricsText(const StatusIdentity& id, int64_t now) {
  const Counters& c = Stats();
  std::ostringstream o;
  auto head = [&](const char* name, const char* type, const char* help) {
    o << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  };
  auto one = [&](const char* name, const char* type, const char* help, long double v) {
    head(name, type, help);
    o << name << ' ' << static_cast<long long>(v) << '\n';
  };
  static const char* const kReasons[] = {"cold", "evicted", "stale", "invalidated"};
  static const char* const kOps[] = {"open",     "read", "copy", "upload", "commit",
                                     "rollback", "put",  "list", "version"};
  static const char* const kOutcomes[] = {"ok", "not_found", "error", "unreachable"};
  auto histogram = [&](const char* name, const std::string& labels, const Histogram& h,
                       const double* bounds, int n) {
    uint64_t cumulative = 0;
    for (int i = 0; i <= n; ++i) {
      cumulative += h.buckets[i].load(kRelaxed);
      o << name << "_bucket{" << labels << (labels.empty() ? "" : ",") << "le=\"";
      if (i < n) o << bounds[i];
      else o << "+Inf";
      o << "\"} " << cumulative << '\n';
    }
    std::string l = labels.empty() ? "" : "{" + labels + "}";
    char sum[32];
    std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(h.sumMicros.load(kRelaxed)) / 1e6);
    o << name << "_sum" << l << ' ' << sum << '\n';
    o << name << "_count" << l << ' ' << h.count.load(kRelaxed) << '\n';
  };

  head("kdr_build_info", "gauge", "The server's version (always 1).");
  o << "kdr_build_info{version=\"" << id.version << "\"} 1\n";
  one("kdr_start_time_seconds", "gauge", "When the server started, in seconds since the epoch.",
      id.startedAt);
  one("kdr_uptime_seconds", "gauge", "Seconds since the server started.", now - id.startedAt);

  head("kdr_served_bytes_total", "counter",
       "Bytes the server served to clients, by where they came from.");
  o << "kdr_served_bytes_total{source=\"store\"} " << c.bytesFromStore.load() << '\n'
    << "kdr_served_bytes_total{source=\"file_cache\"} " << c.fileBytesServed.load() << '\n'
    << "kdr_served_bytes_total{source=\"vault\"} " << c.bytesFromVault.load() << '\n';
  head("kdr_reads_total", "counter",
       "Client read requests the server served: every block from the store (hit), some "
       "(partial_hit) or none (miss).");
  o << "kdr_reads_total{result=\"hit\"} " << c.reads[0].load() << '\n'
    << "kdr_reads_total{result=\"partial_hit\"} " << c.reads[1].load() << '\n'
    << "kdr_reads_total{result=\"miss\"} " << c.reads[2].load() << '\n';
  head("kdr_store_block_reads_total", "counter", "Block reads of the server from the store.");
  o << "kdr_store_block_reads_total{result=\"hit\"} " << c.blockHits.load() << '\n'
    << "kdr_store_block_reads_total{result=\"miss\"} " << c.blockMisses.load() << '\n';
  head("kdr_store_block_misses_total", "counter", "Block reads the store missed, by reason.");
  for (int i = 0; i < kMissReasons; ++i) {
    o << "kdr_store_block_misses_total{reason=\"" << kReasons[i] << "\"} "
      << c.blockMissReasons[i].load() << '\n';
  }
  head("kdr_store_lookups_total", "counter",
       "Block lookups the store counted itself since it was made: the server's and the "
       "clients' fast-cache hits, the server's misses.");
  o << "kdr_store_lookups_total{result=\"hit\"} " << id.storeLookupHits << '\n'
    << "kdr_store_lookups_total{result=\"miss\"} " << id.storeLookupMisses << '\n';
  one("kdr_fastcache_hits_total", "counter",
      "Blocks the clients' fast cache read from the store itself (never reaching the server).",
      id.fastCacheHits);
  one("kdr_fastcache_reads_total", "counter",
      "Reads the clients' fast cache served from the store itself (never reaching the server).",
      id.fastCacheReads);
  one("kdr_fastcache_bytes_total", "counter",
      "Bytes the clients' fast cache read from the store itself (never reaching the server).",
      id.fastCacheBytes);
  head("kdr_file_cache_requests_total", "counter",
       "Whole-file requests (downloads into the cache), answered from the cache or not.");
  o << "kdr_file_cache_requests_total{result=\"hit\"} " << c.fileHits.load() << '\n'
    << "kdr_file_cache_requests_total{result=\"miss\"} " << c.fileMisses.load() << '\n';
  head("kdr_file_cache_misses_total", "counter", "Whole-file requests that missed, by reason.");
  for (int i = 0; i < kMissReasons; ++i) {
    o << "kdr_file_cache_misses_total{reason=\"" << kReasons[i] << "\"} "
      << c.fileMissReasons[i].load() << '\n';
  }
  one("kdr_file_cache_evictions_total", "counter",
      "Whole-file copies removed to keep the cache within its bound.", c.filesEvicted.load());
  head("kdr_file_cache_evicted_age_seconds", "histogram",
       "Seconds since their last use of the whole-file copies evicted.");
  histogram("kdr_file_cache_evicted_age_seconds", "", c.evictedAge, kAgeBuckets, kAgeBucketCount);
  one("kdr_file_cache_capacity_bytes", "gauge", "Bound of the whole-file cache (0: none).",
      id.filesMaxBytes);
  one("kdr_file_cache_used_bytes", "gauge", "Bytes the whole-file cache holds.",
      c.filesBytes.load());
  one("kdr_store_open", "gauge", "Whether the cache store is open (1) or not (0).",
      id.storeOpen ? 1 : 0);
  one("kdr_store_capacity_bytes", "gauge", "Data capacity of the cache store.",
      StoreCapacityBytes(id));
  one("kdr_store_file_pages", "gauge", "File pages of the cache store (the most files it holds).",
      id.filePages);
  one("kdr_store_file_pages_used", "gauge", "File pages that hold cached files.", id.filePagesUsed);

  head("kdr_vault_requests_total", "counter", "Requests to the vault, by kind and outcome.");
  for (int k = 0; k < kVaultOps; ++k) {
    for (int r = 0; r < kVaultOutcomes; ++r) {
      o << "kdr_vault_requests_total{kind=\"" << kOps[k] << "\",outcome=\"" << kOutcomes[r]
        << "\"} " << c.vaultRequests[k][r].load() << '\n';
    }
  }
  head("kdr_vault_request_duration_seconds", "histogram", "Time the vault took per request.");
  for (int k = 0; k < kVaultOps; ++k) {
    histogram("kdr_vault_request_duration_seconds", std::string("kind=\"") + kOps[k] + "\"",
              c.vaultLatency[k], kLatencyBuckets, kLatencyBucketCount);
  }
  one("kdr_vault_reachable", "gauge", "Whether the last vault request reached the vault.",
      c.vaultReachable.load() ? 1 : 0);
  one("kdr_revalidation_rounds_total", "counter",
      "Rounds of checking the cached files against the vault.", c.revalidationRounds.load());
  one("kdr_revalidation_changes_total", "counter",
      "Cached files a round found changed in the vault.", c.revalidationChanges.load());

  one("kdr_connections", "gauge", "Client connections open now.", c.clients.load());
  one("kdr_connections_total", "counter", "Client connections accepted.", c.connections.load());
  one("kdr_client_processes", "gauge", "Client processes that hold open files.",
      id.clientProcesses);
  one("kdr_open_handles", "gauge", "Files the clients hold open through the server.",
      id.openHandles);
  return o.str();
}

std::string StatusJson(const StatusIdentity& id, int64_t now) {
  const Counters& c = Stats();
  std::ostringstream o;
  auto num = [&](const char* key, long long v, bool last = false) {
    o << "  \"" << key << "\": " << v << (last ? "\n" : ",\n");
  };
  auto text = [&](const char* key, const std::string& v) {
    o << "  \"" << key << "\": " << Quoted(v) << ",\n";
  };
  o << "{\n";
  text("version", id.version);
  num("pid", id.pid);
  o << "  \"running\": " << (id.running ? "true" : "false") << ",\n";
  num("started_at", id.startedAt);
  num("updated_at", now);
  num("uptime_seconds", now - id.startedAt);
  text("cache_dir", id.cacheDir);
  text("vault_dir", id.vaultDir);
  text("map_name", id.mapName);
  text("log_file", id.logFile);
  o << "  \"store_open\": " << (id.storeOpen ? "true" : "false") << ",\n";
  o << "  \"vault_reachable\": " << (c.vaultReachable.load() ? "true" : "false") << ",\n";
  text("metrics_address", id.metricsAddress);
  num("store_file_pages", id.filePages);
  num("store_segments", id.segments);
  num("store_extent_files", id.extentFiles);
  num("store_extent_mb", id.extentMB);
  num("store_bytes", StoreCapacityBytes(id));
  num("clients", c.clients.load());
  num("open_handles", id.openHandles);
  num("block_hits", static_cast<long long>(c.blockHits.load()));
  num("block_misses", static_cast<long long>(c.blockMisses.load()));
  num("bytes_from_store", static_cast<long long>(c.bytesFromStore.load()));
  num("bytes_from_vault", static_cast<long long>(c.bytesFromVault.load()));
  num("fastcache_reads", static_cast<long long>(id.fastCacheReads));
  num("fastcache_bytes", static_cast<long long>(id.fastCacheBytes));
  num("file_hits", static_cast<long long>(c.fileHits.load()));
  num("file_misses", static_cast<long long>(c.fileMisses.load()));
  num("files_bytes", c.filesBytes.load());
  num("files_max_bytes", id.filesMaxBytes);
  num("files_evicted", static_cast<long long>(c.filesEvicted.load()), true);
  o << "}\n";
  return o.str();
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  // Rewritten every few seconds for others to read: not flushed to the disk each time.
  return platform::ReplaceFile(path.c_str(), text.data(), text.size(),
                               platform::FileMode::kCreatePrivate, false) == 0;
}

bool ParseFlatJson(const std::string& text, std::map<std::string, std::string>* out) {
  size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\t' || text[i] == '\r')) ++i;
  };
  auto str = [&](std::string* s) {
    if (i >= text.size() || text[i] != '"') return false;
    ++i;
    s->clear();
    while (i < text.size() && text[i] != '"') {
      if (text[i] == '\\' && i + 1 < text.size()) {
        ++i;
        if (text[i] == 'u' && i + 4 < text.size()) {
          *s += static_cast<char>(std::stoi(text.substr(i + 1, 4), nullptr, 16));
          i += 5;
          continue;
        }
      }
      *s += text[i++];
    }
    if (i >= text.size()) return false;
    ++i;
    return true;
  };
  skip();
  if (i >= text.size() || text[i++] != '{') return false;
  for (;;) {
    skip();
    if (i < text.size() && text[i] == '}') return true;
    std::string key, value;
    if (!str(&key)) return false;
    skip();
    if (i >= text.size() || text[i++] != ':') return false;
    skip();
    if (i < text.size() && text[i] == '"') {
      if (!str(&value)) return false;
    } else {
      size_t start = i;
      while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != '\n') ++i;
      value = text.substr(start, i - start);
      if (value.empty()) return false;
    }
    (*out)[key] = value;
    skip();
    if (i < text.size() && text[i] == ',') {
      ++i;
      continue;
    }
    skip();
    return i < text.size() && text[i] == '}';
  }
}

}  // namespace kdr::server
