// Configuration of kdrcached: command-line flags, each with an environment variable of the
// same meaning; a flag wins over its variable, a variable over the default.
#ifndef KDR_SERVER_CONFIG_H_
#define KDR_SERVER_CONFIG_H_

#include <cstdint>
#include <string>

#include "server/log.h"

namespace kdr::server {

struct StoreSizes {
  // 0 leaves a size to the store, which clamps every value to its own limits.
  int32_t filePages = 0;
  int32_t segments = 0;
  int32_t hashBlocks = 0;
  int32_t extentMB = 0;
  int32_t extentFiles = 0;
};

struct ServerConfig {
  std::string home;       // KDR_HOME as set (empty: not set)
  std::string pipeName;   // master pipe as opened (multi-user suffix applied)
  std::string cacheDir;   // store files and the whole-file cache
  std::string vaultDir;   // the vault: a directory, or s3://BUCKET[/PREFIX] (see OpenVault)
  std::string s3Endpoint; // the object store of an s3:// vault
  bool s3EtagCheck = true;  // compare the store's ETags with the digests of the bytes
  std::string localeDir;  // message catalogs, <locale>.po
  // Base of the store's mapping-object and mutex names; each server instance uses
  // "<mapName>.<instance id>", so the objects an earlier instance's clients still hold never
  // stand in its way.
  std::string mapName = "kdr";
  StoreSizes store;
  int64_t storeBytes = 0;  // --store-size (0: not given); turned into store.segments/extents
  LogLevel logLevel = LogLevel::kInfo;
  std::string logFile;                        // empty or "-": standard error
  int64_t logMaxBytes = 10 << 20;             // the log file rotates at this size (0: never)
  int64_t filesMaxBytes = int64_t{10} << 30;  // bound of the whole-file cache (0: none)
  bool create = false;                        // create missing KDR_HOME, cache and vault dirs
  bool serveWithoutStore = false;             // a store that cannot be opened is no reason to stop
  std::string metricsAddress;                 // HOST:PORT of the metrics endpoint (empty: none)
  int maxConnections = 1024;
  // How often, in seconds, the server asks the vault whether a file it holds blocks or a
  // whole-file copy of has a newer volume than the one it cached (0: every housekeeping round,
  // half a second). Changes it makes itself, and changes the local vault's watcher reports,
  // are seen at once; this bounds the window for anything else.
  int revalidateSeconds = 5;
  // How long a whole-file copy stays after a newer volume of its file came, or after it was
  // last handed out (see server/file_cache.h).
  int filesGraceSeconds = 60;
};

enum class ConfigOutcome { kRun, kHelp, kVersion, kError };

// Reads the flags in argv[1..argc) and the environment. On kError, *error says what is wrong
// in one line. On kHelp the caller prints Usage() and exits successfully.
ConfigOutcome ParseServerConfig(int argc, const char* const* argv, ServerConfig* config,
                                std::string* error);

// The --help text.
const char* ServerUsage();

// The program version ("1.3.0").
const char* ServerVersion();

// Parses a byte size: digits with an optional K, M, G or T suffix (powers of 1024; a trailing
// "B" or "iB" is accepted). False for anything else or a value above 2^62.
bool ParseByteSize(const std::string& text, int64_t* bytes);

// Where the running server publishes its status (status.json in its cache directory).
std::string StatusFilePath(const ServerConfig& config);

}  // namespace kdr::server

#endif  // KDR_SERVER_CONFIG_H_
