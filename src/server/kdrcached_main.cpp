// kdrcached: the KDR cache server program.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/http_server.h"
#include "platform/mutex.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "server/block_cache.h"
#include "server/config.h"
#include "server/file_cache.h"
#include "server/home.h"
#include "server/log.h"
#include "server/server.h"
#include "server/server_limits.h"
#include "server/stats.h"
#include "server/vault.h"
#include "store/kdrc.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitStartFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAlreadyServed = 3;
constexpr int kStatusEveryMs = 2000;

// The store engine's printed lines go to the log, never to standard output: its error and
// traceback lines ("***...") as warnings, its notices as information.
void StoreLines(const char* text) {
  bool error = std::strstr(text, "***") != nullptr || std::strstr(text, "OS_ERR") != nullptr ||
               std::strstr(text, "KDR_ERR") != nullptr || std::strstr(text, "METHOD") != nullptr ||
               std::strstr(text, "LINENO") != nullptr;
  kdr::server::LogLines(error ? kdr::server::LogLevel::kWarn : kdr::server::LogLevel::kInfo, text);
}

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

// A start-up failure: in the log, and on standard error too when the log is a file.
int StartFailed(const kdr::server::ServerConfig& config, const std::string& error) {
  kdr::server::Log(kdr::server::LogLevel::kError, "%s", error.c_str());
  if (!config.logFile.empty() && config.logFile != "-") {
    std::fprintf(stderr, "kdrcached: %s\n", error.c_str());
  }
  return kExitStartFailed;
}

// The identity with what changes while the server runs, as of now.
kdr::server::StatusIdentity LiveIdentity(kdr::server::Server* server,
                                         const kdr::server::StatusIdentity& base,
                                         uint64_t lookupHitsAtStart) {
  kdr::server::StatusIdentity id = base;
  kdr::server::ServerState* st = server->state();
  id.openHandles = static_cast<int64_t>(st->handles.Count());
  id.clientProcesses = static_cast<int64_t>(st->handles.Owners().size());
  kdr::server::StoreInfo info;
  if (st->cache->Info(&info)) {
    id.filePagesUsed = info.filePagesUsed;
    id.storeLookupHits = info.lookupHits;
    id.storeLookupMisses = info.lookupMisses;
    id.fastCacheReads = info.clientReads;
    id.fastCacheBytes = info.clientBytes;
    // The store counts the server's own hits too.
    uint64_t others = info.lookupHits - lookupHitsAtStart;
    uint64_t own = kdr::server::Stats().blockHits.load();
    id.fastCacheHits = info.lookupHits >= lookupHitsAtStart && others > own ? others - own : 0;
  }
  return id;
}

// Publishes the status file every kStatusEveryMs until stopped, and once more at the end.
class StatusWriter {
 public:
  StatusWriter(kdr::server::Server* server, kdr::server::StatusIdentity id, std::string path)
      : server_(server), id_(std::move(id)), path_(std::move(path)) {
    thread_ = std::thread([this] { Loop(); });
  }
  void Stop() EXCLUDES(mu_) {
    {
      kdr::MutexLock guard(&mu_);
      stop_ = true;
    }
    cv_.SignalAll();
    if (thread_.joinable()) thread_.join();
    id_.running = false;
    Write();
  }

 private:
  void Loop() EXCLUDES(mu_) {
    for (;;) {
      {
        kdr::MutexLock hold(&mu_);
        if (stop_) return;
      }
      Write();
      kdr::MutexLock hold(&mu_);
      // Until the next write is due, or a stop: a wake without either waits on.
      const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStatusEveryMs);
      while (!stop_ && cv_.WaitUntil(&mu_, due)) {
      }
    }
  }
  void Write() {
    id_.openHandles = static_cast<int64_t>(server_->state()->handles.Count());
    kdr::server::StoreInfo info;
    if (server_->state()->cache->Info(&info)) {
      id_.fastCacheReads = info.clientReads;
      id_.fastCacheBytes = info.clientBytes;
    }
    kdr::server::WriteFileAtomically(path_, kdr::server::StatusJson(id_, NowSeconds()));
  }

  kdr::server::Server* server_;
  kdr::server::StatusIdentity id_;
  std::string path_;
  kdr::Mutex mu_;
  kdr::CondVar cv_;  // signalled when stop_ is set
  bool stop_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

// The signals of the whole run, taken by one thread from the first instruction of main() on:
// SIGHUP reopens the log; SIGTERM and SIGINT stop the server once it is there, and end the
// process at once before that (nothing is open yet that a stop must close).
struct SignalTarget {
  kdr::Mutex mu;
  kdr::server::Server* server GUARDED_BY(mu) = nullptr;
};
SignalTarget& Signals() {
  static SignalTarget* t = new SignalTarget;  // never destroyed: the thread outlives main()
  return *t;
}

void TakeSignals() {
  using namespace kdr::server;
  for (;;) {
    int sig = 0;
    if (kdr::platform::WaitServerSignal(&sig) == kdr::platform::ServerSignal::kReopenLog) {
      std::string error;
      if (ReopenLogFile(&error)) Log(LogLevel::kInfo, "signal %d: log file reopened", sig);
      else Log(LogLevel::kError, "signal %d: %s", sig, error.c_str());
      continue;
    }
    SignalTarget& target = Signals();
    kdr::MutexLock guard(&target.mu);
    if (target.server == nullptr) {
      Log(LogLevel::kInfo, "signal %d during start-up: stopping", sig);
      std::fflush(stderr);
      std::_Exit(kExitOk);
    }
    Log(LogLevel::kInfo, "signal %d: stopping", sig);
    target.server->Stop();
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kdr::server;
  // Before anything else and before any thread exists, so that every thread inherits the
  // mask and only the signal thread ever takes them.
  kdr::platform::BlockServerSignals();
  std::thread(TakeSignals).detach();

  ServerConfig config;
  std::string error;
  switch (ParseServerConfig(argc, argv, &config, &error)) {
    case ConfigOutcome::kHelp:
      std::fputs(ServerUsage(), stdout);
      return kExitOk;
    case ConfigOutcome::kVersion:
      std::printf("kdrcached %s\n", ServerVersion());
      return kExitOk;
    case ConfigOutcome::kError:
      std::fprintf(stderr, "kdrcached: %s\n", error.c_str());
      return kExitUsage;
    case ConfigOutcome::kRun:
      break;
  }
  SetLogLevel(config.logLevel);
  SetLogProcessId(kdr::platform::CurrentProcessId());
  if (!config.logFile.empty() && config.logFile != "-" &&
      !OpenLogFile(config.logFile, config.logMaxBytes, &error)) {
    std::fprintf(stderr, "kdrcached: %s\n", error.c_str());
    return kExitStartFailed;
  }
  KDRCX_SetPrintSink(StoreLines);
  Log(LogLevel::kInfo, "starting (process %ld): kdrcached %s, cache %s, vault %s, catalogs %s",
      kdr::platform::CurrentProcessId(), ServerVersion(), config.cacheDir.c_str(),
      config.vaultDir.c_str(), config.localeDir.c_str());
  if (!PrepareDirectories(config, &error)) {
    Log(LogLevel::kError, "%s", error.c_str());
    if (!config.logFile.empty() && config.logFile != "-") {
      std::fprintf(stderr, "kdrcached: %s\n", error.c_str());
    }
    return kExitStartFailed;
  }

  std::string metricsHost;
  int metricsPort = 0;
  if (!config.metricsAddress.empty() &&
      !kdr::platform::ParseLoopbackAddress(config.metricsAddress, &metricsHost, &metricsPort,
                                           &error)) {
    std::fprintf(stderr, "kdrcached: --metrics-address: %s\n", error.c_str());
    return kExitUsage;
  }

  // The store is opened by Start(), once this process has won the pipe: a server that loses
  // never touches it.
  // Enough descriptors for the connections allowed, or fewer connections, said once.
  {
    const uint64_t want = kDescriptorsReserved +
                          kDescriptorsPerConnection * static_cast<uint64_t>(config.maxConnections);
    uint64_t limit = 0;
    kdr::platform::RaiseDescriptorLimit(want, &limit);
    if (limit != 0 && limit < want) {
      int fit = static_cast<int>(limit > kDescriptorsReserved + kDescriptorsPerConnection
                                     ? (limit - kDescriptorsReserved) / kDescriptorsPerConnection
                                     : 1);
      Log(LogLevel::kWarn, "the descriptor limit is %llu, too few for %d connections: serving "
          "at most %d (raise the hard limit: ulimit -Hn, or LimitNOFILE= of the service)",
          static_cast<unsigned long long>(limit), config.maxConnections, fit);
      config.maxConnections = fit;
    }
  }

  std::unique_ptr<Vault> vault;
  if (OpenVault({config.vaultDir, config.s3Endpoint, config.cacheDir + "/files",
                 config.revalidateSeconds * 1000, config.s3EtagCheck},
                &vault, &error) != 0) {
    Log(LogLevel::kError, "%s", error.c_str());
    return kExitStartFailed;
  }
  if (!error.empty()) Log(LogLevel::kWarn, "%s", error.c_str());
  Server server(config, CountingVault(std::move(vault)), nullptr);
  {
    // From here a stop signal stops the server (Start() and Run() see it) instead of the
    // process.
    SignalTarget& target = Signals();
    kdr::MutexLock guard(&target.mu);
    target.server = &server;
  }
  struct Unregister {
    ~Unregister() {
      SignalTarget& target = Signals();
      kdr::MutexLock guard(&target.mu);
      target.server = nullptr;
    }
  } unregister;
  int rc = server.Start(&error);
  if (rc != 0) {
    Log(LogLevel::kError, "%s", error.c_str());
    if (rc == kdr::platform::kPipeAccessDenied) {
      // Two clients may launch a server at the same moment. The loser stays a moment, so a
      // client watching it finds the winner's pipe before it sees this process end.
      kdr::platform::SleepMs(1000);
      return kExitAlreadyServed;
    }
    return kExitStartFailed;
  }
  if (!server.state()->cache->Enabled() && !config.serveWithoutStore) {
    // Serving on would fail every download and hide the fault behind slow reads.
    server.Release();
    return StartFailed(config, "stopping: no cache store in " + config.cacheDir +
                                   " (the error above says why and how to fix it); "
                                   "--serve-without-store serves every read from the vault "
                                   "instead");
  }

  StatusIdentity id;
  id.version = ServerVersion();
  id.pid = kdr::platform::CurrentProcessId();
  id.startedAt = NowSeconds();
  id.cacheDir = config.cacheDir;
  id.vaultDir = config.vaultDir;
  id.mapName = config.mapName;
  id.logFile = config.logFile.empty() ? "-" : config.logFile;
  id.filesMaxBytes = config.filesMaxBytes;
  StoreInfo info;
  if (server.state()->cache->Info(&info)) {
    id.storeOpen = true;
    id.filePages = info.filePages;
    id.segments = info.segments;
    id.extentMB = info.extentMB;
    id.extentFiles = info.extents;
  }
  const uint64_t lookupHitsAtStart = info.lookupHits;
  kdr::platform::HttpServer* metrics = nullptr;
  if (!config.metricsAddress.empty()) {
    StatusIdentity base = id;
    auto handler = [&server, base, lookupHitsAtStart](const std::string& path, std::string* body,
                                                      std::string* type) {
      if (path != "/metrics") {
        *body = "kdrcached: the metrics are at /metrics\n";
        return path == "/" ? 200 : 404;
      }
      *type = "text/plain; version=0.0.4; charset=utf-8";
      *body = MetricsText(LiveIdentity(&server, base, lookupHitsAtStart), NowSeconds());
      return 200;
    };
    if (kdr::platform::HttpServe(config.metricsAddress, handler, &metrics, &error) != 0) {
      server.Release();
      return StartFailed(config, "--metrics-address: " + error);
    }
    bool v6 = metricsHost.find(':') != std::string::npos;
    id.metricsAddress = (v6 ? "[" + metricsHost + "]" : metricsHost) + ":" +
                        std::to_string(kdr::platform::HttpServerPort(metrics));
    Log(LogLevel::kInfo, "metrics at http://%s/metrics", id.metricsAddress.c_str());
  }
  // The whole-file cache as it was left, bounded again should the bound have been lowered.
  // (No other server shares the directory: Start() holds its lock.)
  ServerState* st = server.state();
  EvictResult ev = st->files.Bound(static_cast<uint64_t>(config.filesMaxBytes),
                                   [](const std::string&, const std::string&) { return false; });
  Stats().filesBytes.store(static_cast<int64_t>(ev.bytesAfter));
  Stats().filesEvicted.fetch_add(static_cast<uint64_t>(ev.evicted));
  auto status = std::make_unique<StatusWriter>(&server, id, StatusFilePath(config));

  server.Run();
  // Run() returns only after Stop(), which only the signal thread calls.
  kdr::platform::HttpStop(metrics);
  status->Stop();
  if (server.Abandoned()) {
    // A thread still waits in a hand-off and uses the server: end without destroying it.
    server.Release();
    st->files.SyncPending();  // what the cache's destructor would have flushed
    Log(LogLevel::kInfo, "a client never came to its pipe; not waiting for it");
    std::fflush(stderr);
    std::_Exit(kExitOk);
  }
  return kExitOk;
}
