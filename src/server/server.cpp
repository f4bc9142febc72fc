#include "server/server.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <random>
#include <shared_mutex>
#include <sstream>
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
constexpr size_t kMaxVersions = 100000;
constexpr int kHandOffGraceMs = 500;
constexpr size_t kMaxVersionLine = 200;
constexpr size_t kMaxWatches = 8000;  // below the usual per-user limit of the system
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

void ServerState::NoteVersion(const std::string& guid, const std::string& version) {
  StaleDrops stale;  // what a new volume makes go is stale
  bool changed = false;
  bool full = false;
  bool fresh = false;
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    auto it = versions.find(guid);
    if (it == versions.end()) {
      // Unnoted blocks would escape every later check: the notes and the store go together.
      if (versions.size() >= kMaxVersions) {
        versions.clear();
        full = true;
      }
      versions.emplace(guid, version);
      changed = true;  // unknown history: the store may hold blocks of another version
      fresh = true;
    } else if (it->second != version) {
      it->second = version;
      changed = true;
    }
    if (full) cache->Clear();
    else if (changed) cache->Forget(guid);
  }
  if (fresh) Watch(guid);
}

void ServerState::Watch(const std::string& guid) {
  if (watcher == nullptr || !IsVaultGuid(guid)) return;
  std::lock_guard<std::mutex> guard(watchMu);
  if (watched.size() >= kMaxWatches) return;  // the revalidation round still covers it
  int id = -1;
  std::string dir = config.vaultDir + "/" + guid;
  if (platform::DirWatchAdd(watcher, dir.c_str(), &id) == 0) watched[id] = guid;
}

void ServerState::OnVaultEvents(const std::vector<platform::DirEvent>& events) {
  std::vector<std::string> changed;
  bool all = false;
  {
    std::lock_guard<std::mutex> guard(watchMu);
    for (const platform::DirEvent& e : events) {
      if (e.id == platform::kDirWatchOverflow) {
        all = true;
        continue;
      }
      // Volumes only: temporary names and the volume counter come and go around each one.
      auto volume = [&](const char* suffix) {
        size_t n = std::char_traits<char>::length(suffix);
        return e.name.size() > n && e.name.compare(e.name.size() - n, n, suffix) == 0 &&
               e.name[0] != '.';
      };
      if (!volume(".put") && !volume(".up")) continue;
      auto it = watched.find(e.id);
      if (it != watched.end()) changed.push_back(it->second);
    }
  }
  if (all) {
    Revalidate();
    return;
  }
  for (const std::string& guid : changed) Recheck(guid);
}

void ServerState::ContentChanged(const std::string& guid) {
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    versions.erase(guid);
    cache->Forget(guid);
  }
  DropWholeFile(guid);
}

bool ServerState::GetIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                               int32_t block, unsigned char* buf, uint32_t* len) {
  std::shared_lock<std::shared_mutex> guard(versionsMu);
  auto it = versions.find(guid);
  if (it == versions.end() || it->second != version) {
    Stats().NoteStaleMiss();
    return false;
  }
  return cache->Get(guid, size, block, buf, len);
}

void ServerState::PutIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                               int32_t block, const unsigned char* data, uint32_t len) {
  std::shared_lock<std::shared_mutex> guard(versionsMu);
  auto it = versions.find(guid);
  if (it == versions.end() || it->second != version) return;
  cache->Put(guid, size, block, data, len);
}

void ServerState::Recheck(const std::string& guid) {
  StaleDrops stale;
  std::string newest;
  int rc = vault->CurrentVersion(guid, &newest);
  if (rc != 0 && rc != ENOENT) return;  // cannot tell now: the next round asks again
  bool changed = false;
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    auto it = versions.find(guid);
    if (it == versions.end() || (rc == 0 && it->second == newest)) return;
    versions.erase(it);  // the next open notes the new version
    cache->Forget(guid);
    changed = true;
  }
  if (changed) {
    DropWholeFile(guid);
    Log(LogLevel::kInfo, "%s changed in the vault; its cached blocks were dropped", guid.c_str());
  }
}

size_t ServerState::Revalidate() {
  std::vector<std::pair<std::string, std::string>> noted;
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    noted.assign(versions.begin(), versions.end());
  }
  size_t changed = 0;
  for (const auto& [guid, version] : noted) {
    if (stopping.load()) break;
    std::string newest;
    int rc = vault->CurrentVersion(guid, &newest);
    if (rc == 0 && newest == version) continue;
    if (rc != 0 && rc != ENOENT) continue;
    Recheck(guid);
    ++changed;
  }
  return Stats().NoteRevalidation(changed);
}

void ServerState::DropWholeFile(const std::string& guid) {
  std::lock_guard<std::mutex> guard(fileCacheMu);
  std::error_code ec;
  std::filesystem::remove(versionsDir + "/" + guid, ec);
  std::filesystem::remove_all(filesDir + "/" + guid, ec);
  Stats().NoteFileDropped(guid, MissReason::kInvalidated);
}

void ServerState::SaveVersions() {
  if (!cache->Enabled()) return;
  std::string text;
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    for (const auto& [guid, version] : versions) text += guid + " " + version + "\n";
  }
  int rc = pf::ReplaceFile(versionsFile.c_str(), text.data(), text.size(),
                           pf::FileMode::kCreatePrivate);
  if (rc != 0) Log(LogLevel::kWarn, "cannot write %s (error %d)", versionsFile.c_str(), rc);
}

bool ServerState::LoadVersions() {
  int fd = pf::kNoFile;
  if (pf::OpenFile(versionsFile.c_str(), pf::FileMode::kReadOnly, &fd) != 0) return false;
  uint64_t size = 0;
  std::string text;
  int rc = pf::FileSize(fd, &size);
  if (rc == 0 && size <= kMaxVersions * kMaxVersionLine) {
    text.resize(size);
    size_t done = 0;
    rc = pf::ReadFileAt(fd, 0, text.data(), text.size(), &done);
    text.resize(done);
  } else {
    rc = EFBIG;
  }
  pf::CloseFile(fd);
  // Used once: a store that is not closed cleanly again is rebuilt, and the notes of this
  // start must not be taken for a later one.
  pf::DeleteFile(versionsFile.c_str());
  if (rc != 0) return false;
  std::istringstream in(text);
  std::string guid, version;
  std::lock_guard<std::shared_mutex> guard(versionsMu);
  while (in >> guid >> version) {
    if (IsVaultGuid(guid) && versions.size() < kMaxVersions) versions[guid] = version;
  }
  return true;
}

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
    size_t n = state_.Revalidate();
    if (n > 0) Log(LogLevel::kInfo, "%zu cached file(s) changed in the vault since the last run", n);
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
  Stats().connections.fetch_add(1);
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
  const int32_t every = state_.config.revalidateSeconds * 1000;
  int32_t last = pf::MonotonicMs();
  std::unique_lock<std::mutex> lock(houseMu_);
  while (!houseStop_) {
    houseCv_.wait_for(lock, std::chrono::milliseconds(kHousekeepingMs));
    if (houseStop_) break;
    lock.unlock();
    JoinFinished();
    ReleaseDeadOwners();
    int32_t now = pf::MonotonicMs();
    if (static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last)) >= every) {
      last = now;
      state_.Revalidate();
    }
    lock.lock();
  }
}

}  // namespace kdr::server
