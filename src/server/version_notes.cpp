// The version notes of ServerState: which volume the store's blocks of each file were read
// from, how they are kept across restarts, and how changes made behind the server's back are
// found (the vault watcher and the revalidation round). See server.h for the contract.
#include <cerrno>
#include <filesystem>
#include <map>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/fs.h"
#include "server/log.h"
#include "server/server.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {
constexpr size_t kMaxVersions = 100000;
constexpr size_t kMaxVersionLine = 200;
constexpr size_t kMaxWatches = 8000;  // below the usual per-user limit of the system
}  // namespace

void ServerState::NoteVersion(const std::string& guid, const std::string& version) {
  bool changed = false;
  bool fresh = false;
  std::string evicted;
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    auto it = versions.find(guid);
    if (it == versions.end()) {
      // Unnoted blocks would escape every later check: the notes and the store go together.
      // At the bound one other file's note goes, with its blocks; never the whole store.
      if (versions.size() >= kMaxVersions) {
        auto victim = versions.begin();
        if (victim->first == guid) ++victim;
        evicted = victim->first;
        versions.erase(victim);
        cache->Forget(evicted);
      }
      versions.emplace(guid, version);
      changed = true;  // unknown history: the store may hold blocks of another version
      fresh = true;
    } else if (it->second != version) {
      it->second = version;
      changed = true;
    }
    if (changed) cache->Forget(guid);
  }
  if (!evicted.empty()) DropWholeFile(evicted);
  revalidator.Opened(guid, fresh);
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
  if (it == versions.end() || it->second != version) return false;
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
  std::string newest;
  int rc = vault->CurrentVersion(guid, &newest);
  if (rc != 0 && rc != ENOENT) return;  // cannot tell now: asked again when next in use
  Rechecked(guid, rc, newest);
}

bool ServerState::Rechecked(const std::string& guid, int rc, const std::string& newest) {
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    auto it = versions.find(guid);
    if (it == versions.end() || (rc == 0 && it->second == newest)) return false;
    versions.erase(it);  // the next open notes the new version
    cache->Forget(guid);
  }
  DropWholeFile(guid);
  Log(LogLevel::kInfo, "%s changed in the vault; its cached blocks were dropped", guid.c_str());
  return true;
}

size_t ServerState::Revalidate() {
  std::vector<std::string> noted;
  {
    std::lock_guard<std::shared_mutex> guard(versionsMu);
    for (const auto& v : versions) noted.push_back(v.first);
  }
  std::vector<std::string> newest;
  std::vector<int> results;
  vault->CurrentVersions(noted, &newest, &results, &stopping);
  size_t changed = 0;
  for (size_t i = 0; i < noted.size(); ++i) {
    if (results[i] != 0 && results[i] != ENOENT) continue;
    if (Rechecked(noted[i], results[i], newest[i])) ++changed;
  }
  return changed;
}

void ServerState::DropWholeFile(const std::string& guid) {
  std::lock_guard<std::mutex> guard(fileCacheMu);
  std::error_code ec;
  std::filesystem::remove(versionsDir + "/" + guid, ec);
  std::filesystem::remove_all(filesDir + "/" + guid, ec);
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

}  // namespace kdr::server
