// The server's counters, its status file and its metrics.
//
// The counters are process-wide atomics, counted where the events happen: block reads served
// from the store or not (a counting wrapper around the block cache, which also tells why a
// block missed), vault requests by kind and outcome with their latency (a counting wrapper
// around the vault), whole-file cache hits and misses, connected clients. The running server
// writes them, with its identity and the store's use, to a small JSON file (status.json in its
// cache directory) every few seconds and when it stops; `kdrcstore status` reads that file, so
// a monitor needs neither a pipe nor the store's lock. The same figures, in the Prometheus text
// format, are what the metrics endpoint (--metrics-address) serves.
#ifndef KDR_SERVER_STATS_H_
#define KDR_SERVER_STATS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/block_cache.h"
#include "server/vault.h"

namespace kdr::server {

// Why a read was not served from a cache: never cached (cold), lost to the cache's bound
// (evicted), cached from a volume that is no longer the newest (stale), or dropped because
// the file changed through this server or the cache was cleared (invalidated).
enum class MissReason { kCold = 0, kEvicted, kStale, kInvalidated };
constexpr int kMissReasons = 4;

// What the vault was asked, and how it answered.
enum class VaultOp { kOpen = 0, kRead, kCopy, kUpload, kCommit, kRollBack, kPut, kList, kVersion };
constexpr int kVaultOps = 9;
enum class VaultOutcome { kOk = 0, kNotFound, kError, kUnreachable };
constexpr int kVaultOutcomes = 4;
// Upper bounds, in seconds, of the latency histogram's buckets (+Inf follows).
constexpr double kLatencyBuckets[] = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                      0.25,  0.5,   1,    2.5,   5,    10};
constexpr int kLatencyBucketCount = sizeof kLatencyBuckets / sizeof kLatencyBuckets[0];
// Upper bounds, in seconds, of the age histogram of evicted whole-file copies (+Inf follows).
constexpr double kAgeBuckets[] = {60, 600, 3600, 21600, 86400, 604800, 2592000};
constexpr int kAgeBucketCount = sizeof kAgeBuckets / sizeof kAgeBuckets[0];

struct Histogram {
  std::atomic<uint64_t> buckets[16] = {};  // per bucket (not cumulative); the last is +Inf
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> sumMicros{0};
  void Observe(const double* bounds, int n, double value);
};

struct Counters {
  std::atomic<uint64_t> blockHits{0};
  std::atomic<uint64_t> blockMisses{0};
  std::atomic<uint64_t> fileHits{0};
  std::atomic<uint64_t> fileMisses{0};
  std::atomic<uint64_t> bytesFromStore{0};
  std::atomic<uint64_t> bytesFromVault{0};
  std::atomic<int64_t> clients{0};
  std::atomic<int64_t> filesBytes{0};   // size of the whole-file cache, as last measured
  std::atomic<uint64_t> filesEvicted{0};
  std::atomic<uint64_t> fileBytesServed{0};  // bytes of whole-file hits
  std::atomic<uint64_t> connections{0};      // connections accepted since the start
  std::atomic<uint64_t> reads[3] = {};       // client read requests: hit, partial hit, miss
  std::atomic<uint64_t> blockMissReasons[kMissReasons] = {};
  std::atomic<uint64_t> fileMissReasons[kMissReasons] = {};
  std::atomic<uint64_t> vaultRequests[kVaultOps][kVaultOutcomes] = {};
  Histogram vaultLatency[kVaultOps];
  std::atomic<bool> vaultReachable{true};  // as the last vault request found it
  Histogram evictedAge;                    // whole-file copies: seconds since their last use
  std::atomic<uint64_t> revalidationRounds{0};
  std::atomic<uint64_t> revalidationChanges{0};

  // One round of checking the cached files against the vault found `changed` of them
  // changed. Returns `changed`.
  size_t NoteRevalidation(size_t changed);
  // A whole-file copy of `guid` was removed (for `why`; `ageSeconds` since its last use when
  // evicted).
  void NoteFileDropped(const std::string& guid, MissReason why, double ageSeconds = 0);
  // A whole-file request of `guid` found no usable copy; `stampPath` is a path that exists
  // while copies of other volumes of it are kept (then the copy asked for went stale).
  void NoteFileMiss(const std::string& guid, const std::string& stampPath);
  // A whole-file request was answered from the cache with `bytes`.
  void NoteFileHit(uint64_t bytes);
  // A block read that did not reach the store because the reader's volume is not the one
  // the store holds blocks of.
  void NoteStaleMiss();
};

// While one lives on a thread, the blocks and whole-file copies that thread drops are
// counted as dropped for being stale (not invalidated).
class StaleDrops {
 public:
  StaleDrops();
  ~StaleDrops();
  StaleDrops(const StaleDrops&) = delete;
  StaleDrops& operator=(const StaleDrops&) = delete;
};

// Counts one client read request as a hit (every block from the store), a partial hit or a
// miss (none from the store), by the block reads the thread makes while it lives.
class ReadTally {
 public:
  ReadTally();
  ~ReadTally();
  ReadTally(const ReadTally&) = delete;
  ReadTally& operator=(const ReadTally&) = delete;
};

// The process's counters.
Counters& Stats();

// Wraps a block cache so that every Get counts a hit or a miss (and the bytes of a hit).
// The reason of a miss is known per block for the blocks this process saw go into the store
// (a bounded memory; beyond it misses count as cold).
std::unique_ptr<BlockCache> CountingBlockCache(std::unique_ptr<BlockCache> inner);

// Wraps a vault so that every request counts by kind and outcome, with its latency.
std::unique_ptr<Vault> CountingVault(std::unique_ptr<Vault> inner);

// What the status file holds besides the counters.
struct StatusIdentity {
  std::string version;
  long pid = 0;
  int64_t startedAt = 0;   // seconds since the epoch
  std::string cacheDir;
  std::string vaultDir;
  std::string mapName;
  std::string logFile;
  bool storeOpen = false;
  int32_t filePages = 0;    // store capacity
  int32_t segments = 0;
  int32_t extentMB = 0;     // extent files may add extentFiles x extentMB MiB
  int32_t extentFiles = 0;
  int64_t filesMaxBytes = 0;
  int64_t openHandles = 0;
  bool running = true;
  std::string metricsAddress;  // HOST:PORT the metrics are served at (empty: not served)
  // Filled for the metrics only (not in the status file).
  int64_t clientProcesses = 0;   // processes holding handles
  uint64_t storeLookupHits = 0;  // the store's own counts (see StoreInfo)
  uint64_t storeLookupMisses = 0;
  uint64_t fastCacheHits = 0;   // the clients' own reads from the store since the start
  uint64_t fastCacheReads = 0;  // the reads they served so (since the store was opened)
  uint64_t fastCacheBytes = 0;  // and their bytes
  int32_t filePagesUsed = 0;   // file pages holding cached files
};

// The store's capacity in bytes: the segment file and every extent file it may have.
int64_t StoreCapacityBytes(const StatusIdentity& id);

// The metrics in the Prometheus text format (version 0.0.4).
std::string MetricsText(const StatusIdentity& id, int64_t now);

// The status as one flat JSON object, keys in a fixed order.
std::string StatusJson(const StatusIdentity& id, int64_t now);

// Writes `text` to `path` through a temporary name, so a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, const std::string& text);

// Reads a flat JSON object of string, number and boolean members (what StatusJson writes).
// Values come back as their text (strings unquoted). False when the text is not such an object.
bool ParseFlatJson(const std::string& text, std::map<std::string, std::string>* out);

}  // namespace kdr::server

#endif  // KDR_SERVER_STATS_H_
