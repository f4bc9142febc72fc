// The server's counters and its status file.
//
// The counters are process-wide atomics, counted where the events happen: block reads served
// from the store or not (a counting wrapper around the block cache), bytes read from the
// vault, whole-file cache hits and misses, connected clients. The running server writes them,
// with its identity and the store's use, to a small JSON file (status.json in its cache
// directory) every few seconds and when it stops; `kdrcstore status` reads that file, so a
// monitor needs neither a pipe nor the store's lock.
#ifndef KDR_SERVER_STATS_H_
#define KDR_SERVER_STATS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/block_cache.h"

namespace kdr::server {

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
};

// The process's counters.
Counters& Stats();

// Wraps a block cache so that every Get counts a hit or a miss (and the bytes of a hit).
std::unique_ptr<BlockCache> CountingBlockCache(std::unique_ptr<BlockCache> inner);

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
};

// The status as one flat JSON object, keys in a fixed order.
std::string StatusJson(const StatusIdentity& id, int64_t now);

// Writes `text` to `path` through a temporary name, so a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, const std::string& text);

// Reads a flat JSON object of string, number and boolean members (what StatusJson writes).
// Values come back as their text (strings unquoted). False when the text is not such an object.
bool ParseFlatJson(const std::string& text, std::map<std::string, std::string>* out);

}  // namespace kdr::server

#endif  // KDR_SERVER_STATS_H_
