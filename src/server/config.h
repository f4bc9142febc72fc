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
  std::string pipeName;   // master pipe as opened (multi-user suffix applied)
  std::string cacheDir;   // store files and the whole-file cache
  std::string vaultDir;   // the local vault
  std::string localeDir;  // message catalogs, <locale>.po
  // Base of the store's mapping-object and mutex names; each server instance uses
  // "<mapName>.<instance id>", so the objects an earlier instance's clients still hold never
  // stand in its way.
  std::string mapName = "kdr";
  StoreSizes store;
  LogLevel logLevel = LogLevel::kInfo;
  int maxConnections = 1024;
  // How often, in seconds, the server asks the vault whether a file it holds blocks or a
  // whole-file copy of has a newer volume than the one it cached (0: every housekeeping round,
  // half a second). Changes it makes itself, and changes the local vault's watcher reports,
  // are seen at once; this bounds the window for anything else.
  int revalidateSeconds = 5;
};

enum class ConfigOutcome { kRun, kHelp, kError };

// Reads the flags in argv[1..argc) and the environment. On kError, *error says what is wrong
// in one line. On kHelp the caller prints Usage() and exits successfully.
ConfigOutcome ParseServerConfig(int argc, const char* const* argv, ServerConfig* config,
                                std::string* error);

// The --help text.
const char* ServerUsage();

}  // namespace kdr::server

#endif  // KDR_SERVER_CONFIG_H_
