// The version notes of ServerState: which volume the store's blocks of each file were read
// from, how they are kept across restarts, and how changes made behind the server's back are
// found (the vault watcher and the revalidation round). See server.h for the contract.
#include <cerrno>
#include <map>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/durable.h"
#include "platform/fs.h"
#include "server/log.h"
#include "server/server.h"
#include "server/stats.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {
constexpr size_t kMaxVersions = 100000;
constexpr size_t kMaxVersionLine = 200;
constexpr size_t kMaxWatches = 8000;  // below the usual per-user limit of the system
}  // namespace

void ServerState::NoteVersion(const std::string& guid, const std::string& version) {
  StaleDrops stale;  // what a new volume makes go is stale
  bool changed = false;
  bool fresh = false;
  std::string evicted;
  {
    WriterLock guard(&versionsMu);
    auto it = versions.find(guid);
    if (it == versions.end()) {
      // Unnoted blocks would escape every later check: the notes and the store go together.
      // At the bound one other file's note goes, with its blocks; never the whole store.
      if (versions.size() >= kMaxVersions) {
        auto victim = versions.begin();
        evicted = victim->first;
        versions.erase(victim);
        ++forgetting[evicted];
        JournalVersion(evicted, nullptr);
      }
      versions.emplace(guid, version);
      changed = true;  // unknown history: the store may hold blocks of another version
      fresh = true;
    } else if (it->second != version) {
      it->second = version;
      changed = true;
    }
    if (changed) ++forgetting[guid];
    if (changed) JournalVersion(guid, &version);
  }
  // The note is durable before any block of its volume can be put (those wait for the
  // forgetting below to end).
  if (changed) SyncVersions();
  // (Its whole-file copies stay: each is of one volume, checked against the vault's at use.)
  if (!evicted.empty()) ForgetOutsideNotes(evicted);
  if (changed) ForgetOutsideNotes(guid);
  revalidator.Opened(guid, fresh);
  if (fresh) Watch(guid);
}

void ServerState::Watch(const std::string& guid) {
  if (watcher == nullptr || !IsVaultGuid(guid)) return;
  MutexLock guard(&watchMu);
  if (watched.size() >= kMaxWatches) return;  // the revalidation round still covers it
  int id = -1;
  std::string dir = config.vaultDir + "/" + guid;
  if (platform::DirWatchAdd(watcher, dir.c_str(), &id) == 0) watched[id] = guid;
}

void ServerState::OnVaultEvents(const std::vector<platform::DirEvent>& events) {
  std::vector<std::string> changed;
  bool all = false;
  {
    MutexLock guard(&watchMu);
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
    // From here on no server read gets or puts a block of `guid` until its blocks are gone,
    // whatever volume a new open notes meanwhile.
    WriterLock guard(&versionsMu);
    versions.erase(guid);
    ++forgetting[guid];
    JournalVersion(guid, nullptr);
  }
  // Outside versionsMu: the cache lock may take its whole wait, and readers of other files
  // must not wait with it. Forget leaves no block of `guid` that a new open could find (when
  // the lock cannot be had it lets go of the whole store).
  ForgetOutsideNotes(guid);
  DropWholeFile(guid);
}

void ServerState::ForgetOutsideNotes(const std::string& guid) {
  cache->Forget(guid);
  WriterLock guard(&versionsMu);
  auto it = forgetting.find(guid);
  if (it != forgetting.end() && --it->second == 0) forgetting.erase(it);
}

bool ServerState::GetIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                               int32_t block, unsigned char* buf, uint32_t* len) {
  ReaderLock guard(&versionsMu);
  auto it = versions.find(guid);
  if (it == versions.end() || it->second != version) {
    Stats().NoteStaleMiss();
    return false;
  }
  if (forgetting.count(guid) != 0) return false;
  return cache->Get(guid, size, VolumeStamp(guid, version, size), block, buf, len);
}

int ServerState::GetRunIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                                 int32_t first, int count, unsigned char* slots,
                                 const BlockCache::LentUse& use) {
  ReaderLock guard(&versionsMu);
  auto it = versions.find(guid);
  if (it == versions.end() || it->second != version || forgetting.count(guid) != 0) return 0;
  return cache->GetRun(guid, size, VolumeStamp(guid, version, size), first, count, slots, use);
}

void ServerState::PutIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                               int32_t block, const unsigned char* data, uint32_t len) {
  ReaderLock guard(&versionsMu);
  auto it = versions.find(guid);
  if (it == versions.end() || it->second != version || forgetting.count(guid) != 0) return;
  cache->Put(guid, size, VolumeStamp(guid, version, size), block, data, len);
}

void ServerState::Recheck(const std::string& guid) {
  std::string newest;
  int rc = vault->CurrentVersion(guid, &newest);
  if (rc != 0 && rc != ENOENT) return;  // cannot tell now: asked again when next in use
  Rechecked(guid, rc, newest);
}

bool ServerState::Rechecked(const std::string& guid, int rc, const std::string& newest) {
  StaleDrops stale;
  {
    WriterLock guard(&versionsMu);
    auto it = versions.find(guid);
    if (it == versions.end() || (rc == 0 && it->second == newest)) return false;
    versions.erase(it);  // the next open notes the new version
    ++forgetting[guid];
    JournalVersion(guid, nullptr);
  }
  ForgetOutsideNotes(guid);
  DropWholeFile(guid);
  Log(LogLevel::kInfo, "%s changed in the vault; its cached blocks were dropped", guid.c_str());
  return true;
}

void ServerState::NotedInUseSince(int64_t sinceSec, std::vector<std::string>* guids) {
  std::vector<std::string> used;
  if (cache != nullptr) cache->UsedSince(sinceSec, &used);
  if (used.empty()) return;
  ReaderLock guard(&versionsMu);
  for (const std::string& guid : used) {
    if (versions.count(guid) != 0) guids->push_back(guid);
  }
}

void ServerState::AskVault(const std::vector<std::string>& guids, std::vector<std::string>* newest,
                           std::vector<int>* results) {
  vault->CurrentVersions(guids, newest, results, &stopping);
}

size_t ServerState::Revalidate() {
  std::vector<std::string> noted;
  {
    ReaderLock guard(&versionsMu);
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
  return Stats().NoteRevalidation(changed);
}

void ServerState::DropWholeFile(const std::string& guid) {
  files.Supersede(guid);
  Stats().NoteFileDropped(guid, MissReason::kInvalidated);
}

// The journal: one line per change, "GUID VERSION" (noted), "GUID" (no longer noted) or "*"
// (nothing noted); a rewrite holds one "GUID VERSION" line per note. Lines are appended
// with one write each, so a crash leaves at most a last line cut short, which is ignored.
void ServerState::JournalVersion(const std::string& guid, const std::string* version) {
  if (journalFd == pf::kNoFile) return;
  std::string line = guid.empty() ? "*" : guid;
  if (version != nullptr) line += " " + *version;
  line += "\n";
  if (int rc = pf::AppendFile(journalFd, line.data(), line.size()); rc != 0) {
    // A note that is not in the journal must not outlive a crash with blocks of its volume:
    // without the journal the next start empties the store.
    Log(LogLevel::kWarn, "cannot append to %s (error %d); the cache store will be emptied at "
        "the next start", versionsFile.c_str(), rc);
    pf::CloseFile(journalFd);
    journalFd = pf::kNoFile;
    pf::DeleteFile(versionsFile.c_str());
    return;
  }
  // Rewritten once it holds many more lines than notes, so it never grows without bound.
  if (++journalLines > 2 * versions.size() + 10000) RewriteJournalLocked();
}

void ServerState::SyncVersions() {
  ReaderLock guard(&versionsMu);
  if (journalFd != pf::kNoFile) pf::SyncFile(journalFd);
}

void ServerState::RewriteJournalLocked() {
  std::string text;
  for (const auto& [guid, version] : versions) text += guid + " " + version + "\n";
  if (journalFd != pf::kNoFile) pf::CloseFile(journalFd);
  journalFd = pf::kNoFile;
  journalLines = versions.size();
  // The whole content replaces the journal in one rename: a crash leaves the old journal or
  // the new one, and either holds every note.
  int rc = pf::ReplaceFile(versionsFile.c_str(), text.data(), text.size(),
                           pf::FileMode::kCreatePrivate);
  // (ReplaceFile has flushed the file and its directory.)
  if (rc == 0) rc = pf::OpenFile(versionsFile.c_str(), pf::FileMode::kAppend, &journalFd);
  if (rc != 0) {
    Log(LogLevel::kWarn, "cannot write %s (error %d); the cache store will be emptied at the "
        "next start", versionsFile.c_str(), rc);
    if (journalFd != pf::kNoFile) pf::CloseFile(journalFd);
    journalFd = pf::kNoFile;
    pf::DeleteFile(versionsFile.c_str());
  }
}

void ServerState::SaveVersions() {
  WriterLock guard(&versionsMu);
  if (!cache->Enabled()) {
    if (journalFd != pf::kNoFile) pf::CloseFile(journalFd);
    journalFd = pf::kNoFile;
    return;
  }
  RewriteJournalLocked();
  if (journalFd != pf::kNoFile) pf::CloseFile(journalFd);
  journalFd = pf::kNoFile;
}

bool ServerState::LoadVersions() {
  int fd = pf::kNoFile;
  bool had = pf::OpenFile(versionsFile.c_str(), pf::FileMode::kReadOnly, &fd) == 0;
  uint64_t size = 0;
  std::string text;
  int rc = had ? pf::FileSize(fd, &size) : ENOENT;
  if (rc == 0 && size <= 4 * kMaxVersions * kMaxVersionLine) {
    text.resize(size);
    size_t done = 0;
    rc = pf::ReadFileAt(fd, 0, text.data(), text.size(), &done);
    text.resize(done);
  } else if (rc == 0) {
    rc = EFBIG;
  }
  if (had) pf::CloseFile(fd);
  WriterLock guard(&versionsMu);
  if (rc == 0) {
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;  // a last line cut short by a crash
      std::string line = text.substr(at, end - at);
      at = end + 1;
      size_t space = line.find(' ');
      std::string guid = line.substr(0, space);
      if (guid == "*") {
        versions.clear();
      } else if (!IsVaultGuid(guid)) {
        continue;
      } else if (space == std::string::npos) {
        versions.erase(guid);
      } else if (versions.size() < kMaxVersions || versions.count(guid) != 0) {
        std::string version = line.substr(space + 1);
        if (!version.empty() && version.find(' ') == std::string::npos) versions[guid] = version;
      }
    }
  }
  // From here on every change is journalled; the journal starts as the notes just read.
  RewriteJournalLocked();
  return rc == 0;
}

}  // namespace kdr::server
