#include "server/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/config.h"
#include "platform/env.h"
#include "platform/options.h"
#include "protocol/pipe_transport.h"

namespace kdr::server {

namespace {

enum class Kind { kText, kInt, kLevel, kSize, kFlag };

struct Option {
  const char* flag;
  const char* env;
  Kind kind;
  const char* help;
};

// The order here is the order of --help.
const Option kOptions[] = {
    {"--pipe", "KDRCACHED_PIPE", Kind::kText,
     "master pipe name (else VXN_PROXYPIPENAME, as the library reads it;\n"
     "                        default \\\\.\\pipe\\KDRClientPipe; _$USERNAME appended in\n"
     "                        multi-user mode, as the library does)"},
    {"--cache-dir", "KDRCACHED_CACHE_DIR", Kind::kText,
     "cache directory (default $KDR_HOME/cache)"},
    {"--vault", "KDRCACHED_VAULT", Kind::kText,
     "the vault: a directory (default $KDR_HOME/vault), or\n"
     "                        s3://BUCKET[/PREFIX], a bucket with versioning of an S3\n"
     "                        object store; credentials from AWS_ACCESS_KEY_ID and\n"
     "                        AWS_SECRET_ACCESS_KEY (and AWS_SESSION_TOKEN), region from\n"
     "                        AWS_REGION (default us-east-1)"},
    {"--vault-dir", "KDRCACHED_VAULT_DIR", Kind::kText, "the same as --vault"},
    {"--s3-endpoint", "KDRCACHED_S3_ENDPOINT", Kind::kText,
     "URL of the S3 object store (http:// or https://; path-style\n"
     "                        addressing)"},
    {"--s3-etag-check", "KDRCACHED_S3_ETAG_CHECK", Kind::kText,
     "on (default) or off: compare the ETags the store answers\n"
     "                        with the MD5s of the bytes (off for stores whose ETags\n"
     "                        look like MD5s but are not)"},
    {"--locale-dir", "KDRCACHED_LOCALE_DIR", Kind::kText,
     "message catalogs <locale>.po (default $KDR_HOME/locale)"},
    {"--map-name", "KDRCACHED_MAP_NAME", Kind::kText,
     "base name of the store's shared mapping objects and cache mutex (default\n"
     "                        kdr; each server instance appends .<instance id>)"},
    {"--file-pages", "KDRCACHED_FILE_PAGES", Kind::kInt, "store: number of file pages"},
    {"--segments", "KDRCACHED_SEGMENTS", Kind::kInt, "store: number of segments"},
    {"--hash-blocks", "KDRCACHED_HASH_BLOCKS", Kind::kInt, "store: number of hash block pages"},
    {"--extent-mb", "KDRCACHED_EXTENT_MB", Kind::kInt, "store: megabytes per extent file"},
    {"--extent-files", "KDRCACHED_EXTENT_FILES", Kind::kInt, "store: most extent files"},
    {"--store-size", "KDRCACHED_STORE_SIZE", Kind::kSize,
     "store: data size in bytes, K/M/G suffixes; sets --segments (up to 1G) and\n"
     "                        extent files of --extent-mb (default 256) for the rest"},
    {"--files-max-bytes", "KDRCACHED_FILES_MAX_BYTES", Kind::kSize,
     "bound of the whole-file cache cache-dir/files; the least recently used\n"
     "                        copies no client uses are evicted (default 10G; 0: no bound)"},
    {"--log-level", "KDRCACHED_LOG_LEVEL", Kind::kLevel, "error, warn, info (default) or debug"},
    {"--log-file", "KDRCACHED_LOG_FILE", Kind::kText,
     "log file, '-' for standard error (default: standard error; startvxn.sh\n"
     "                        sets $KDR_HOME/log/kdrcached.log)"},
    {"--log-max-bytes", "KDRCACHED_LOG_MAX_BYTES", Kind::kSize,
     "the log file is renamed to <file>.1 at this size (default 10M; 0: never)"},
    {"--create", nullptr, Kind::kFlag,
     "create KDR_HOME, its cache and vault directories when missing\n"
     "                        (without it a missing KDR_HOME or vault is an error)"},
    {"--serve-without-store", nullptr, Kind::kFlag,
     "serve every read from the vault when the cache store cannot be opened\n"
     "                        (without it the server ends with status 1 and the reason)"},
    {"--metrics-address", "KDRCACHED_METRICS_ADDRESS", Kind::kText,
     "serve metrics in the Prometheus text format over HTTP at\n"
     "                        HOST:PORT, e.g. 127.0.0.1:9464 (default: off; HOST must be\n"
     "                        a loopback address)"},
    {"--max-connections", "KDRCACHED_MAX_CONNECTIONS", Kind::kInt,
     "client connections served at once (default 1024)"},
    {"--revalidate-seconds", "KDRCACHED_REVALIDATE_S", Kind::kInt,
     "seconds between checks of cached files against the vault (default 5)"},
    {"--files-grace-seconds", "KDRCACHED_FILES_GRACE_S", Kind::kInt,
     "seconds a whole-file copy stays after it was handed out or a newer\n"
     "                        volume came (default 60)"},
};
constexpr int kOptionCount = sizeof kOptions / sizeof kOptions[0];

// The store's units and limits: 16K segments, at most 65535 in the segment file, the rest in
// at most 1000 extent files of 16 to 2032 MB (multiples of 16); a file page lists 36 blocks,
// at most 2097151 pages.
constexpr int64_t kSegmentBytes = 16384;
constexpr int64_t kMaxSegments = 65535;
constexpr int64_t kExtentStepMB = 16;
constexpr int64_t kNominalExtentMB = 1024;
constexpr int64_t kMaxExtentMB = 2032;
constexpr int64_t kMaxExtentFiles = 1000;
constexpr int64_t kBlocksPerPage = 36;
constexpr int64_t kMaxFilePages = 2097151;
constexpr int32_t kLeastHashBlocks = 15;
constexpr int64_t kLeastStoreBytes = int64_t{1} << 20;

// Turns --store-size into segments, extent files and file pages, never more than asked for:
// a full segment file, then extent files whose size divides the rest as closely as 16 MB steps
// allow (--extent-mb, when given, fixes their size instead), and file pages for half again as
// many blocks as the store holds, so that files that end in a partly used page still find
// pages for all their blocks. --file-pages and --hash-blocks, when given, are kept.
bool SizeStore(ServerConfig* c, std::string* error) {
  int64_t segs = c->storeBytes / kSegmentBytes;
  int64_t blocks = segs;
  c->store.extentFiles = 0;
  if (segs <= kMaxSegments) {
    c->store.segments = static_cast<int32_t>(segs);
  } else {
    c->store.segments = static_cast<int32_t>(kMaxSegments);
    blocks = kMaxSegments;
    int64_t restMB = (c->storeBytes - kMaxSegments * kSegmentBytes) >> 20;
    int64_t mb = c->store.extentMB, files = 0;
    if (mb > 0) {
      files = restMB / mb;
    } else if (restMB >= kExtentStepMB) {
      files = (restMB + kNominalExtentMB - 1) / kNominalExtentMB;
      if (files > kMaxExtentFiles) files = kMaxExtentFiles;
      mb = restMB / files / kExtentStepMB * kExtentStepMB;
      if (mb > kMaxExtentMB) mb = kMaxExtentMB;
    }
    if (files > kMaxExtentFiles || (files > 0 && mb * files < restMB * 95 / 100 && c->store.extentMB == 0)) {
      *error = "--store-size: more than the store can hold in 1000 extent files of " +
               std::to_string(mb) + " MB (at most about 1.9T)";
      return false;
    }
    if (files > 0) {
      c->store.extentMB = static_cast<int32_t>(mb);
      c->store.extentFiles = static_cast<int32_t>(files);
      blocks += files * mb * 64;
    }
  }
  if (c->store.filePages == 0) {
    int64_t pages = blocks * 3 / (2 * kBlocksPerPage) + 64;
    if (pages > kMaxFilePages) {
      if (kMaxFilePages * kBlocksPerPage < blocks * 95 / 100) {
        *error = "--store-size: more than the store can hold in 2097151 file pages of 36 "
                 "blocks (at most 1100G)";
        return false;
      }
      pages = kMaxFilePages;
    }
    c->store.filePages = static_cast<int32_t>(pages);
  }
  if (c->store.hashBlocks == 0) {
    int64_t hash = c->store.filePages / 512;
    c->store.hashBlocks = static_cast<int32_t>(hash < kLeastHashBlocks ? kLeastHashBlocks : hash);
  }
  return true;
}

bool ParseInt(const std::string& text, int32_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > 0x7FFFFFFF) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

bool ParseByteSize(const std::string& text, int64_t* bytes) {
  size_t i = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == 0 || i > 18) return false;
  int64_t v = std::stoll(text.substr(0, i));
  std::string unit = text.substr(i);
  int shift = 0;
  if (!unit.empty()) {
    switch (unit[0]) {
      case 'k': case 'K': shift = 10; break;
      case 'm': case 'M': shift = 20; break;
      case 'g': case 'G': shift = 30; break;
      case 't': case 'T': shift = 40; break;
      case 'b': case 'B': shift = -1; break;
      default: return false;
    }
    std::string rest = unit.substr(1);
    if (shift < 0 ? !rest.empty() : !(rest.empty() || rest == "B" || rest == "iB")) return false;
    if (shift < 0) shift = 0;
  }
  if (v > (int64_t{1} << (62 - shift))) return false;
  *bytes = v << shift;
  return true;
}

namespace {

bool Apply(ServerConfig* c, int index, const std::string& value, std::string* error,
           const char* source) {
  const Option& o = kOptions[index];
  std::string what = std::string(source) + " " + o.flag;
  int32_t n = 0;
  int64_t size = 0;
  switch (o.kind) {
    case Kind::kFlag:
      if (std::string(o.flag) == "--create") c->create = true;
      else c->serveWithoutStore = true;
      return true;
    case Kind::kSize:
      if (!ParseByteSize(value, &size)) {
        *error = what + ": not a size in bytes (digits, then K, M, G or T): " + value;
        return false;
      }
      break;
    case Kind::kText:
      if (value.empty()) {
        *error = what + ": empty value";
        return false;
      }
      break;
    case Kind::kInt:
      if (!ParseInt(value, &n)) {
        *error = what + ": not a non-negative number: " + value;
        return false;
      }
      break;
    case Kind::kLevel:
      if (!ParseLogLevel(value.c_str(), &c->logLevel)) {
        *error = what + ": not a log level: " + value;
        return false;
      }
      return true;
  }
  std::string flag = o.flag;
  if (flag == "--pipe") c->pipeName = value;
  else if (flag == "--cache-dir") c->cacheDir = value;
  else if (flag == "--vault" || flag == "--vault-dir") c->vaultDir = value;
  else if (flag == "--s3-endpoint") c->s3Endpoint = value;
  else if (flag == "--locale-dir") c->localeDir = value;
  else if (flag == "--map-name") c->mapName = value;
  else if (flag == "--file-pages" || flag == "--segments" || flag == "--hash-blocks" ||
           flag == "--extent-mb" || flag == "--extent-files") {
    // A store unit the store would clamp is refused here, where the user can be told.
    struct Bound { const char* flag; int32_t least, most; int32_t StoreSizes::*field; };
    static const Bound bounds[] = {
        {"--file-pages", 0, static_cast<int32_t>(kMaxFilePages), &StoreSizes::filePages},
        {"--segments", 0, static_cast<int32_t>(kMaxSegments), &StoreSizes::segments},
        {"--hash-blocks", 0, static_cast<int32_t>(kMaxFilePages), &StoreSizes::hashBlocks},
        {"--extent-mb", 16, static_cast<int32_t>(kMaxExtentMB), &StoreSizes::extentMB},
        {"--extent-files", 0, static_cast<int32_t>(kMaxExtentFiles), &StoreSizes::extentFiles}};
    for (const Bound& b : bounds) {
      if (flag != b.flag) continue;
      if (n < b.least || n > b.most) {
        *error = what + ": " + std::to_string(b.least) + " at least, at most " +
                 std::to_string(b.most) + ": " + value;
        return false;
      }
      c->store.*b.field = n;
    }
  }
  else if (flag == "--log-file") c->logFile = value;
  else if (flag == "--metrics-address") c->metricsAddress = value;
  else if (flag == "--log-max-bytes") c->logMaxBytes = size;
  else if (flag == "--files-max-bytes") c->filesMaxBytes = size;
  else if (flag == "--store-size") {
    if (size < kLeastStoreBytes) {
      *error = what + ": smaller than the least store, 1M: " + value;
      return false;
    }
    c->storeBytes = size;
  } else if (flag == "--max-connections") {
    if (n < 1) {
      *error = what + ": must be at least 1";
      return false;
    }
    c->maxConnections = n;
  } else if (flag == "--revalidate-seconds") {
    c->revalidateSeconds = n;
  } else if (flag == "--files-grace-seconds") {
    c->filesGraceSeconds = n;
  } else if (flag == "--s3-etag-check") {
    if (value != "on" && value != "off") {
      *error = what + ": on or off: " + value;
      return false;
    }
    c->s3EtagCheck = value == "on";
  }
  return true;
}

}  // namespace

ConfigOutcome ParseServerConfig(int argc, const char* const* argv, ServerConfig* config,
                                std::string* error) {
  ServerConfig c;
  // Environment first, then flags over it.
  std::string value;
  if (platform::GetEnvNonEmpty("VXN_PROXYPIPENAME", &value)) c.pipeName = value;
  for (int i = 0; i < kOptionCount; ++i) {
    if (kOptions[i].env != nullptr && platform::GetEnvNonEmpty(kOptions[i].env, &value) &&
        !Apply(&c, i, value, error, kOptions[i].env)) {
      return ConfigOutcome::kError;
    }
  }
  // The flags, GNU style, driven by the option table: its index is the option's id.
  std::vector<platform::OptionDef> defs;
  for (int i = 0; i < kOptionCount; ++i) {
    defs.push_back({kOptions[i].flag + 2, kOptions[i].kind != Kind::kFlag, i});
  }
  constexpr int kHelpId = kOptionCount, kVersionId = kOptionCount + 1;
  defs.push_back({"help", false, kHelpId, 'h'});
  defs.push_back({"version", false, kVersionId, 'V'});
  std::vector<platform::ParsedOption> given;
  std::vector<std::string> operands;
  if (!platform::ParseOptions(argc, argv, defs, &given, &operands, error)) {
    *error += " (see --help)";
    return ConfigOutcome::kError;
  }
  for (const platform::ParsedOption& o : given) {
    if (o.id == kHelpId) return ConfigOutcome::kHelp;
    if (o.id == kVersionId) return ConfigOutcome::kVersion;
  }
  if (!operands.empty()) {
    *error = "unexpected argument: " + operands[0] + " (see --help)";
    return ConfigOutcome::kError;
  }
  for (const platform::ParsedOption& o : given) {
    if (!Apply(&c, o.id, o.value, error, "option")) return ConfigOutcome::kError;
  }

  if (c.storeBytes > 0 && !SizeStore(&c, error)) return ConfigOutcome::kError;
  if (c.pipeName.empty()) c.pipeName = kDefaultPipeName;
  if (c.pipeName.size() > static_cast<size_t>(kPipeNameMax)) {
    *error = "the pipe name is longer than 256 characters";
    return ConfigOutcome::kError;
  }
  char name[kPipeNameMax + 1];
  MasterPipeName(c.pipeName.c_str(), name);
  c.pipeName = name;

  std::string home;
  bool have_home = platform::GetEnvNonEmpty("KDR_HOME", &home);
  while (have_home && home.size() > 1 && home.back() == '/') home.pop_back();
  if (have_home) c.home = home;
  struct {
    std::string* dir;
    const char* sub;
    const char* flag;
  } dirs[] = {{&c.cacheDir, "cache", "--cache-dir"},
              {&c.vaultDir, "vault", "--vault-dir"},
              {&c.localeDir, "locale", "--locale-dir"}};
  for (auto& d : dirs) {
    if (!d.dir->empty()) continue;
    if (!have_home) {
      *error = std::string("KDR_HOME is not set: give ") + d.flag + " or set KDR_HOME";
      return ConfigOutcome::kError;
    }
    *d.dir = home + "/" + d.sub;
  }
  *config = c;
  return ConfigOutcome::kRun;
}

const char* ServerUsage() {
  static std::string* text = [] {
    auto* t = new std::string(
        "Usage: kdrcached [options]\n"
        "The KDR cache server: serves the client library's pipes in the foreground, logs to\n"
        "standard error (or --log-file), stops cleanly on SIGTERM or SIGINT.\n\n"
        "Options (each also read from the environment variable shown; an option wins):\n");
    for (const Option& o : kOptions) {
      const char* arg = o.kind == Kind::kInt ? " N" : o.kind == Kind::kSize ? " SIZE"
                        : o.kind == Kind::kFlag ? "" : " VALUE";
      std::string flag = std::string("  ") + o.flag + arg;
      if (flag.size() <= 22) flag.resize(24, ' ');
      else flag += "\n" + std::string(24, ' ');  // two columns never run together
      *t += flag + o.help + "\n";
      if (o.env != nullptr) *t += std::string(24, ' ') + "[" + o.env + "]\n";
    }
    *t += "  --version             print the version and exit\n"
          "  --help                show this text\n\n"
          "Exit status: 0 after a clean stop, 1 on a start-up failure, 2 on a usage error,\n"
          "3 when another kdrcached already serves the pipe.\n";
    return t;
  }();
  return text->c_str();
}

const char* ServerVersion() { return KDR_VERSION; }

std::string StatusFilePath(const ServerConfig& config) {
  return config.cacheDir + "/status.json";
}

}  // namespace kdr::server
