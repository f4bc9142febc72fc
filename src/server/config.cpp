#include "server/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"
#include "protocol/pipe_transport.h"
#include "proxy/config.h"

namespace kdr::server {

namespace {

enum class Kind { kText, kInt, kLevel };

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
    {"--cache-dir", "KDRCACHED_CACHE_DIR", Kind::kText, "cache directory (default $KDR_HOME/cache)"},
    {"--vault-dir", "KDRCACHED_VAULT_DIR", Kind::kText, "vault directory (default $KDR_HOME/vault)"},
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
    {"--log-level", "KDRCACHED_LOG_LEVEL", Kind::kLevel, "error, warn, info (default) or debug"},
    {"--max-connections", "KDRCACHED_MAX_CONNECTIONS", Kind::kInt,
     "client connections served at once (default 1024)"},
    {"--revalidate-seconds", "KDRCACHED_REVALIDATE_S", Kind::kInt,
     "seconds between checks of cached files against the vault (default 5)"},
};
constexpr int kOptionCount = sizeof kOptions / sizeof kOptions[0];

bool ParseInt(const std::string& text, int32_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > 0x7FFFFFFF) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool Apply(ServerConfig* c, int index, const std::string& value, std::string* error,
           const char* source) {
  const Option& o = kOptions[index];
  std::string what = std::string(source) + " " + o.flag;
  int32_t n = 0;
  switch (o.kind) {
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
  else if (flag == "--vault-dir") c->vaultDir = value;
  else if (flag == "--locale-dir") c->localeDir = value;
  else if (flag == "--map-name") c->mapName = value;
  else if (flag == "--file-pages") c->store.filePages = n;
  else if (flag == "--segments") c->store.segments = n;
  else if (flag == "--hash-blocks") c->store.hashBlocks = n;
  else if (flag == "--extent-mb") c->store.extentMB = n;
  else if (flag == "--extent-files") c->store.extentFiles = n;
  else if (flag == "--max-connections") {
    if (n < 1) {
      *error = what + ": must be at least 1";
      return false;
    }
    c->maxConnections = n;
  } else if (flag == "--revalidate-seconds") {
    c->revalidateSeconds = n;
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
    if (platform::GetEnvNonEmpty(kOptions[i].env, &value) &&
        !Apply(&c, i, value, error, kOptions[i].env)) {
      return ConfigOutcome::kError;
    }
  }
  for (int a = 1; a < argc; ++a) {
    std::string arg = argv[a];
    if (arg == "--help" || arg == "-h") return ConfigOutcome::kHelp;
    std::string flag = arg;
    bool inline_value = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      flag = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    int index = -1;
    for (int i = 0; i < kOptionCount; ++i) {
      if (flag == kOptions[i].flag) index = i;
    }
    if (index < 0) {
      *error = "unknown option: " + arg + " (see --help)";
      return ConfigOutcome::kError;
    }
    if (!inline_value) {
      if (a + 1 >= argc) {
        *error = "option " + flag + " needs a value";
        return ConfigOutcome::kError;
      }
      value = argv[++a];
    }
    if (!Apply(&c, index, value, error, "option")) return ConfigOutcome::kError;
  }

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
        "standard error, stops cleanly on SIGTERM or SIGINT.\n\n"
        "Options (each also read from the environment variable shown; an option wins):\n");
    for (const Option& o : kOptions) {
      std::string flag = std::string("  ") + o.flag + (o.kind == Kind::kInt ? " N" : " VALUE");
      flag.resize(flag.size() < 24 ? 24 : flag.size() + 1, ' ');
      *t += flag + o.help + "\n" + std::string(24, ' ') + "[" + o.env + "]\n";
    }
    *t += "  --help                show this text\n\n"
          "Exit status: 0 after a clean stop, 1 on a start-up failure, 2 on a usage error,\n"
          "3 when another kdrcached already serves the pipe.\n";
    return t;
  }();
  return text->c_str();
}

}  // namespace kdr::server
