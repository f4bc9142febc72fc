#include "server/server.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <random>
#include <shared_mutex>
#include <system_error>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "platform/shared_objects.h"
#include "server/log.h"
#include "server/session.h"
#include "server/stats.h"
#include "server/server_limits.h"

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
      filesDir(config.cacheDir + "/files"),
      versionsDir(config.cacheDir + "/files/.versions"),
      partialDir(config.cacheDir + "/.partial"),
      versionsFile(config.cacheDir + "/store.versions") {}

Server::Server(ServerConfig config, std::unique_ptr<Vault> vault, std::unique_ptr<BlockCache> cache)
    : state_(std::move(config), std::move(vault), std::move(cache)) {}

Server::~Server() {
  if (listener_ != nullptr) pf::PipeListenerClose(listener_);
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
  std::error_code ec;
  for (const std::string& d : {state_.config.cacheDir, state_.config.vaultDir}) {
    if (IsObjectStoreLocation(d)) continue;
    std::filesystem::create_directories(d, ec);
    if (ec) {
      *error = "cannot make " + d + ": " + ec.message();
      return pf::kPipeFailed;
    }
  }
  int rc = pf::PipeListen(state_.config.pipeName.c_str(), 64, &listener_);
  if (rc != pf::kPipeOk) {
    listener_ = nullptr;
    *error = rc == pf::kPipeAccessDenied
                 ? "another server already serves " + state_.config.pipeName
                 : "cannot serve " + state_.config.pipeName + " (error " + std::to_string(rc) + ")";
    return rc;
  }
  // Only the server that won the pipe clears up after servers that died (a losing one must
  // not touch the live server's partial files).
  RemoveLeftoverPartials(&state_);
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

void Server::PrepareCacheDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  // The cached bytes are the user's documents: the directory and every file in it are the
  // owner's alone, also those an earlier version of the server left readable.
  fs::permissions(state_.config.cacheDir, fs::perms::owner_all, fs::perm_options::replace, ec);
  if (ec) Log(LogLevel::kWarn, "cannot make %s private: %s", state_.config.cacheDir.c_str(), ec.message().c_str());
  for (fs::recursive_directory_iterator it(state_.config.cacheDir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code pec;
    if (it->is_symlink(pec)) continue;
    fs::permissions(it->path(),
                    it->is_directory(pec) ? fs::perms::owner_all
                                          : fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, pec);
  }
}

int Server::OpenStore(std::string* error) {
  // Objects of earlier instances that died (their clients gone too) are only litter now.
  if (int n = pf::SweepNamedObjects(state_.config.mapName + "."); n > 0)
    Log(LogLevel::kDebug, "removed %d named object(s) left by earlier servers", n);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%016" PRIx64, state_.instanceId);
  std::string name = state_.config.mapName + suffix;
  state_.cache =
      CountingBlockCache(OpenBlockCache(state_.config.cacheDir, name, state_.config.store));
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
        std::lock_guard<std::shared_mutex> guard(state_.versionsMu);
        for (const auto& v : state_.versions) noted.push_back(v.first);
      }
      for (const std::string& guid : noted) state_.Watch(guid);
    }
    // Rechecked when next used (revalidation.h), never before serving.
  }
  return 0;
}

void Server::Release() {
  if (listener_ == nullptr) return;
  std::error_code ec;
  std::filesystem::remove(pf::PipeListenerPath(listener_), ec);
  if (state_.cache != nullptr) state_.cache->Close();
}

void Server::Stop() {
  state_.stopping.store(true);
  if (listener_ != nullptr) pf::PipeListenerShutdown(listener_);
}

void Server::Run() {
  std::thread house([this] { Housekeeping(); });
  std::thread watch([this] { WatchVault(); });
  state_.revalidator.Start();
  Log(LogLevel::kInfo, "serving %s (%s) as process %ld", state_.config.pipeName.c_str(),
      pf::PipeListenerPath(listener_), pf::CurrentProcessId());
  while (!state_.stopping.load()) {
    pf::PipeHandle master = pf::kNoPipe;
    int rc = pf::PipeAccept(listener_, -1, &master);
    if (rc == pf::kPipeBroken) break;  // Stop()
    if (rc != pf::kPipeOk) {
      if (rc == pf::kPipeAccessDenied) {
        Log(LogLevel::kWarn, "refused a client of another user");
      } else {
        // Out of descriptors, most likely: give the connections a moment to end rather
        // than spin on a listener that fails at once.
        Log(LogLevel::kWarn, "accepting a client failed (error %d)", rc);
        pf::SleepMs(50);
      }
      continue;
    }
    std::lock_guard<std::mutex> guard(connMu_);
    size_t live = 0;
    for (const auto& c : conns_) live += c->done.load() ? 0 : 1;
    if (live >= static_cast<size_t>(state_.config.maxConnections) || state_.stopping.load()) {
      Log(LogLevel::kWarn, "connection refused: %zu connections are served already", live);
      pf::PipeAbort(master);
      continue;
    }
    conns_.push_back(std::make_unique<Conn>());
    Conn* conn = conns_.back().get();
    conn->thread = std::thread([this, conn, master] { ServeConnection(conn, master); });
  }

  // Stopping: wake every connection, then wait for all of them.
  {
    std::lock_guard<std::mutex> guard(connMu_);
    for (auto& c : conns_) {
      if (c->pipe != pf::kNoPipe) pf::PipeInterrupt(c->pipe);
    }
  }
  std::list<std::unique_ptr<Conn>> all;
  {
    std::lock_guard<std::mutex> guard(connMu_);
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
    std::lock_guard<std::mutex> guard(houseMu_);
    houseStop_ = true;
  }
  houseCv_.notify_all();
  house.join();
  watch.join();
  state_.revalidator.Stop();
  if (!abandoned_) state_.SaveVersions();
  Log(LogLevel::kInfo, "stopped; %zu handle(s) were open", state_.handles.Count());
}

void Server::ServeConnection(Conn* conn, pf::PipeHandle master) {
  pf::PipeHandle pipe = pf::kNoPipe;
  int rc = pf::PipeHandOff(listener_, master, pf::kHandOffTimeoutMs, &pipe);
  pf::PipeAbort(master);
  pf::PeerProcess peer;
  if (rc == pf::kPipeOk && pf::PipePeer(pipe, &peer) != pf::kPipeOk) rc = pf::kPipeFailed;
  if (rc != pf::kPipeOk) {
    Log(LogLevel::kDebug, "hand-off to a client failed (error %d)", rc);
    if (pipe != pf::kNoPipe) pf::PipeAbort(pipe);
    conn->done.store(true);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(connMu_);
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
  {
    auto session = std::make_unique<Session>(&state_, pipe, peer);
    session->Serve();
  }
  Stats().clients.fetch_sub(1);
  {
    std::lock_guard<std::mutex> guard(connMu_);
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
    std::lock_guard<std::mutex> guard(connMu_);
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

void Server::Housekeeping() {
  std::unique_lock<std::mutex> lock(houseMu_);
  while (!houseStop_) {
    houseCv_.wait_for(lock, std::chrono::milliseconds(kHousekeepingMs));
    if (houseStop_) break;
    lock.unlock();
    JoinFinished();
    ReleaseDeadOwners();
    lock.lock();
  }
}

}  // namespace kdr::server
