#include "server/server.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <shared_mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "platform/runtime_dir.h"
#include "platform/shared_objects.h"
#include "server/log.h"
#include "server/server_limits.h"
#include "server/session_entry.h"
#include "server/stats.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {
constexpr int kHousekeepingMs = 500;
constexpr int kHandOffGraceMs = 500;
constexpr int kWatchWaitMs = 200;

uint64_t NewInstanceId() {
  std::random_device rd;
  uint64_t id = (uint64_t{rd()} << 32) ^ rd() ^ (static_cast<uint64_t>(pf::CurrentProcessId()) << 20);
  return id != 0 ? id : 1;
}

}  // namespace

ServerState::ServerState(ServerConfig cfg, std::unique_ptr<Vault> v, std::unique_ptr<BlockCache> c)
    : config(std::move(cfg)),
      vault(std::move(v)),
      cache(std::move(c)),
      instanceId(NewInstanceId()),
      handles(kMaxHandles, kMaxHandlesPerProcess),
      catalogs(config.localeDir),
      files(config.cacheDir + "/files", config.filesGraceSeconds),
      partialDir(config.cacheDir + "/.partial"),
      versionsFile(config.cacheDir + "/store.versions") {}

Server::Server(ServerConfig config, std::unique_ptr<Vault> vault, std::unique_ptr<BlockCache> cache)
    : state_(std::move(config), std::move(vault), std::move(cache)) {}

Server::~Server() {
  if (pf::PipeListener* l = listener_.load()) pf::PipeListenerClose(l);
  if (dirLock_ != pf::kNoFile) pf::CloseFile(dirLock_);
  pf::DirWatchClose(state_.watcher);
}

void Server::WatchVault() {
  if (state_.watcher == nullptr) return;
  std::vector<pf::DirEvent> events;
  while (!state_.stopping.load()) {
    events.clear();
    if (pf::DirWatchWait(state_.watcher, kWatchWaitMs, &events) != 0) {
      pf::SleepMs(kWatchWaitMs);
      continue;
    }
    if (!events.empty()) state_.OnVaultEvents(events);
  }
}

int Server::Start(std::string* error) {
  for (const std::string& d : {state_.config.cacheDir, state_.config.vaultDir}) {
    if (IsObjectStoreLocation(d)) continue;
    bool made = false;
    int mrc = pf::MakeDirectories(d, 0777, &made);
    // A vault made here holds documents: its owner's alone.
    if (mrc == 0 && made && d == state_.config.vaultDir) mrc = pf::SetPathMode(d, 0700);
    if (mrc != 0) {
      *error = "cannot make " + d + ": " + pf::ErrorString(mrc);
      return pf::kPipeFailed;
    }
  }
  pf::PipeListener* listener = nullptr;
  int rc = pf::PipeListen(state_.config.pipeName.c_str(), 64, &listener);
  if (rc != pf::kPipeOk) {
    std::string dir;
    // A pipe name in the runtime directory fails as absent when that directory is refused.
    int derr = rc == pf::kPipeNotFound ? pf::RuntimeDir(&dir) : 0;
    *error = rc == pf::kPipeAccessDenied
                 ? "another server already serves " + state_.config.pipeName
             : derr != 0 ? "cannot serve " + state_.config.pipeName + ": " + pf::RuntimeDirAdvice(derr)
                         : "cannot serve " + state_.config.pipeName + " (error " + std::to_string(rc) + ")";
    return rc;
  }
  // One cache directory, one server, whatever pipe each serves: the lock is taken before
  // anything in the directory is touched, so a second server never sweeps, rebuilds or
  // serves the first one's files.
  if (!IsObjectStoreLocation(state_.config.cacheDir)) {
    std::string lockPath = state_.config.cacheDir + "/kdrcached.lock";
    long other = 0;
    int lrc = pf::LockFileExclusive(lockPath.c_str(), &dirLock_, &other);
    if (lrc != 0) {
      pf::PipeListenerClose(listener);
      char text[128] = {0};
      pf::SystemErrorText(lrc, text, sizeof text);
      *error = lrc == EWOULDBLOCK
                   ? "another kdrcached (process " + std::to_string(other) + ") runs on the cache "
                         "directory " + state_.config.cacheDir +
                         ": give each server its own --cache-dir"
                   : "cannot lock the cache directory " + state_.config.cacheDir + " (" + lockPath +
                         "): " + text;
      return pf::kPipeFailed;
    }
  }
  listener_.store(listener);
  // Only the server that won the pipe and the directory clears up after servers that died.
  RemoveLeftoverPartials(&state_);
  state_.files.Tidy();
  PrepareCacheDir();
  if (int wrc = pf::DirWatchOpen(&state_.watcher); wrc != 0) {
    state_.watcher = nullptr;
    Log(LogLevel::kInfo, "no watcher for the vault (error %d): changes behind the server's back "
        "are seen by the revalidation round only", wrc);
  }
  if (state_.cache == nullptr) {
    rc = OpenStore(error);
    if (rc != 0) return rc;
  }
  return 0;
}

namespace {

// Everything under `dir` made its owner's alone; symbolic links are left as they are.
void MakeTreePrivate(const std::string& dir) {
  std::vector<pf::DirEntry> entries;
  pf::ListDirectory(dir, &entries);
  for (const pf::DirEntry& e : entries) {
    if (e.link) continue;
    const std::string path = dir + "/" + e.name;
    // Files lose what others may do only: whole-file copies stay read-only to their user.
    if (e.kind == pf::EntryKind::kDirectory) {
      pf::SetPathMode(path, 0700);
      MakeTreePrivate(path);
    } else if (pf::FileId id; pf::StatFileId(path.c_str(), &id) == 0) {
      pf::SetPathMode(path, id.mode & ~077u);
    }
  }
}

}  // namespace

void Server::PrepareCacheDir() {
  // The cached bytes are the user's documents: the directory and every file in it are the
  // owner's alone, also those an earlier version of the server left readable.
  int rc = pf::SetPathMode(state_.config.cacheDir, 0700);
  if (rc != 0)
    Log(LogLevel::kWarn, "cannot make %s private: %s", state_.config.cacheDir.c_str(),
        pf::ErrorString(rc).c_str());
  MakeTreePrivate(state_.config.cacheDir);
}

int Server::OpenStore(std::string* error) {
  // Objects of earlier instances that died (their clients gone too) are only litter now.
  if (int n = pf::SweepNamedObjects(state_.config.mapName + "."); n > 0)
    Log(LogLevel::kDebug, "removed %d named object(s) left by earlier servers", n);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%016" PRIx64, state_.instanceId);
  std::string name = state_.config.mapName + suffix;
  // Earlier servers' clients are looked for under any map name: one changed across a restart
  // must not hide them.
  state_.cache = CountingBlockCache(
      OpenBlockCache(state_.config.cacheDir, name, state_.config.store, /*awaitEarlier=*/true));
  if (!state_.cache->Enabled()) return 0;
  if (!state_.LoadVersions()) {
    // Nothing says which volumes the blocks were read from.
    int rc = state_.cache->Clear();
    if (rc != 0) {
      *error = "cannot empty the cache store (store error " + std::to_string(rc) + ")";
      return pf::kPipeFailed;
    }
  } else {
    {
      std::vector<std::string> noted;
      {
        WriterLock guard(&state_.versionsMu);
        for (const auto& v : state_.versions) noted.push_back(v.first);
      }
      for (const std::string& guid : noted) state_.Watch(guid);
    }
    // Rechecked when next used (revalidation.h), never before serving.
  }
  return 0;
}

void Server::Release() {
  if (listener_.load() == nullptr) return;
  if (const char* path = pf::PipeListenerPath(listener_.load())) pf::RemovePath(path);
  if (state_.cache != nullptr) state_.cache->Close();
}

void Server::Stop() {
  state_.stopping.store(true);
  if (pf::PipeListener* l = listener_.load()) pf::PipeListenerShutdown(l);
}

void Server::Run() {
  std::thread house([this] { Housekeeping(); });
  std::thread watch([this] { WatchVault(); });
  state_.revalidator.Start();
  Log(LogLevel::kInfo, "serving %s (%s) as process %ld", state_.config.pipeName.c_str(),
      pf::PipeListenerPath(listener_.load()), pf::CurrentProcessId());
  while (!state_.stopping.load()) {
    pf::PipeHandle master = pf::kNoPipe;
    int rc = pf::PipeAccept(listener_.load(), -1, &master);
    if (rc == pf::kPipeBroken) break;  // Stop()
    if (rc != pf::kPipeOk) {
      if (rc == pf::kPipeAccessDenied) {
        Log(LogLevel::kWarn, "refused a client of another user");
      } else {
        // Out of descriptors, most likely: give the connections a moment to end rather
        // than spin on a listener that fails at once.
        if (!NoteDescriptorShortage()) Log(LogLevel::kWarn, "accepting a client failed (error %d)", rc);
        pf::SleepMs(50);
      }
      continue;
    }
    // The process at the master pipe; one whose id cannot be had counts as process 0.
    pf::PeerProcess peer;
    pf::PipePeer(master, &peer);
    MutexLock guard(&connMu_);
    if (state_.stopping.load() || !Admit(peer)) {
      pf::PipeAbort(master);
      continue;
    }
    conns_.push_back(std::make_unique<Conn>());
    Conn* conn = conns_.back().get();
    conn->peer = peer;
    conn->thread = std::thread([this, conn, master] { ServeConnection(conn, master); });
  }

  // Stopping: wake every connection, then wait for all of them.
  {
    MutexLock guard(&connMu_);
    for (auto& c : conns_) {
      if (c->pipe != pf::kNoPipe) pf::PipeInterrupt(c->pipe);
    }
  }
  std::list<std::unique_ptr<Conn>> all;
  {
    MutexLock guard(&connMu_);
    all.swap(conns_);
  }
  // Serving threads end promptly once interrupted. One still in a hand-off waits for a
  // client that may never come; give it a moment, then leave it.
  for (int waited = 0; waited < kHandOffGraceMs; waited += 10) {
    bool pending = false;
    for (auto& c : all) pending = pending || (c->handingOff.load() && !c->done.load());
    if (!pending) break;
    pf::SleepMs(10);
  }
  for (auto& c : all) {
    if (c->handingOff.load() && !c->done.load()) {
      c->thread.detach();
      c.release();  // the thread still uses it; the process ends before it is freed
      abandoned_ = true;
    } else if (c->thread.joinable()) {
      c->thread.join();
    }
  }
  {
    MutexLock guard(&houseMu_);
    houseStop_ = true;
  }
  houseCv_.SignalAll();
  house.join();
  watch.join();
  state_.revalidator.Stop();
  if (!abandoned_) state_.SaveVersions();
  Log(LogLevel::kInfo, "stopped; %zu handle(s) were open", state_.handles.Count());
}

void Server::ServeConnection(Conn* conn, pf::PipeHandle master) {
  pf::PipeHandle pipe = pf::kNoPipe;
  int rc = pf::PipeHandOff(listener_.load(), master, pf::kHandOffTimeoutMs, &pipe);
  pf::PipeAbort(master);
  pf::PeerProcess peer;
  if (rc == pf::kPipeOk && pf::PipePeer(pipe, &peer) != pf::kPipeOk) rc = pf::kPipeFailed;
  if (rc != pf::kPipeOk) {
    Log(LogLevel::kDebug, "hand-off to a client failed (error %d)", rc);
    if (rc != pf::kPipeTimeout && rc != pf::kPipeBroken && rc != pf::kPipeNoData) {
      NoteDescriptorShortage();
    }
    if (pipe != pf::kNoPipe) pf::PipeAbort(pipe);
    conn->done.store(true);
    return;
  }
  if (descriptorsShort_.exchange(false)) {
    Log(LogLevel::kInfo, "descriptors are available again: clients are served");
  }
  {
    MutexLock guard(&connMu_);
    if (state_.stopping.load()) {
      pf::PipeAbort(pipe);
      conn->done.store(true);
      return;
    }
    conn->pipe = pipe;
    conn->handingOff.store(false);
  }
  Log(LogLevel::kDebug, "process %ld connected", peer.pid);
  Stats().clients.fetch_add(1);
  Stats().connections.fetch_add(1);
  ServeSession(&state_, pipe, peer, &conn->requestSince);
  Stats().clients.fetch_sub(1);
  {
    MutexLock guard(&connMu_);
    conn->pipe = pf::kNoPipe;
  }
  pf::PipeAbort(pipe);
  // A client that went away for good takes its handles with it.
  if (!pf::PeerAlive(peer)) {
    size_t n = state_.handles.RemoveOwner(peer);
    if (n > 0) Log(LogLevel::kInfo, "released %zu handle(s) of process %ld, which has exited", n, peer.pid);
  }
  conn->done.store(true);
}

void Server::JoinFinished() {
  std::list<std::unique_ptr<Conn>> finished;
  {
    MutexLock guard(&connMu_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      if ((*it)->done.load()) {
        finished.push_back(std::move(*it));
        it = conns_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) {
    if (c->thread.joinable()) c->thread.join();
  }
}

void Server::ReleaseDeadOwners() {
  for (const pf::PeerProcess& owner : state_.handles.Owners()) {
    if (pf::PeerAlive(owner)) continue;
    size_t n = state_.handles.RemoveOwner(owner);
    if (n > 0) {
      Log(LogLevel::kInfo, "released %zu handle(s) of process %ld, which has exited", n, owner.pid);
    }
  }
}

bool Server::Admit(const pf::PeerProcess& peer) {
  const size_t most = static_cast<size_t>(state_.config.maxConnections);
  const size_t perProcess = static_cast<size_t>(ConnectionsPerProcess(state_.config.maxConnections));
  size_t live = 0;
  size_t mine = 0;
  for (const auto& c : conns_) {
    if (c->done.load()) continue;
    ++live;
    if (c->peer == peer) ++mine;
  }
  if (live < most && mine < perProcess) return true;
  // Said once, then at most once a minute with the count of refusals in between: a client
  // that retries in a loop must not flood the log.
  ++refusedUnlogged_;
  int32_t now = pf::MonotonicMs();
  if (refusalLoggedAt_ != 0 && pf::ElapsedMs(refusalLoggedAt_, now) < 60000) {
    return false;
  }
  if (live >= most) {
    Log(LogLevel::kWarn, "connection of process %ld refused: all %zu connections are in use "
        "(--max-connections); %llu refusal(s) since the last such line", peer.pid, most,
        static_cast<unsigned long long>(refusedUnlogged_));
  } else {
    Log(LogLevel::kWarn, "connection of process %ld refused: it holds %zu connections, the most "
        "one process may (half of --max-connections %zu); %llu refusal(s) since the last such line",
        peer.pid, mine, most, static_cast<unsigned long long>(refusedUnlogged_));
  }
  refusalLoggedAt_ = now | 1;
  refusedUnlogged_ = 0;
  return false;
}

void Server::CloseStalledRequests() {
  const int32_t now = pf::MonotonicMs();
  MutexLock guard(&connMu_);
  for (auto& c : conns_) {
    int32_t since = c->requestSince.load();
    if (since == 0 || c->pipe == pf::kNoPipe || c->timedOut) continue;
    if (pf::ElapsedMs(since, now) < kRequestTimeoutMs) {
      continue;
    }
    c->timedOut = true;
    Log(LogLevel::kWarn, "process %ld sent part of a request and nothing more for %d s: "
        "connection closed", c->peer.pid, kRequestTimeoutMs / 1000);
    pf::PipeInterrupt(c->pipe);
  }
}

bool Server::NoteDescriptorShortage() {
  uint64_t used = 0;
  uint64_t limit = 0;
  // A few spare ones count as none left: the failed call itself needed up to three.
  if (pf::DescriptorUse(&used, &limit) != 0 || used + 8 < limit) return false;
  if (descriptorsShort_.exchange(true)) return true;
  Log(LogLevel::kError, "out of descriptors: %llu of %llu in use, so new clients fail until "
      "some go; raise the limit (ulimit -n, or LimitNOFILE= of the service) or lower "
      "--max-connections", static_cast<unsigned long long>(used),
      static_cast<unsigned long long>(limit));
  return true;
}

void Server::Housekeeping() {
  // Off the serving path: a large vault takes a while to look through.
  if (size_t n = state_.vault->RemoveLeftovers(); n > 0) {
    Log(LogLevel::kInfo, "removed %zu temporary file(s) that writers which died left in the vault", n);
  }
  for (;;) {
    {
      MutexLock hold(&houseMu_);
      if (!houseStop_) houseCv_.WaitFor(&houseMu_, std::chrono::milliseconds(kHousekeepingMs));
      if (houseStop_) break;
    }
    CloseStalledRequests();
    JoinFinished();
    ReleaseDeadOwners();
    state_.files.DropExpired(
        [this](const std::string& g, const std::string& v) { return state_.CopyInUse(g, v); });
  }
}

}  // namespace kdr::server
