#include "server/file_cache.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"
#include "server/log.h"
#include "server/stats.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {

constexpr const char* kStampSuffix = ".stamp";
constexpr size_t kMaxStamp = 400;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// When `path` was last written (nanoseconds since the epoch), or INT64_MIN when it cannot be
// told.
int64_t WrittenNs(const std::string& path) {
  pf::FileId id;
  return pf::StatFileId(path.c_str(), &id) == 0 ? id.mtimeNs : INT64_MIN;
}

// Empties the copy at `path`, which cannot be vouched for: a client that holds it open then
// reads to its end early rather than read what the disk may hold in place of its bytes.
void Withdraw(const std::string& path) {
  int fd = pf::kNoFile;
  if (pf::OpenFile(path.c_str(), pf::FileMode::kReadOnly, &fd) != 0) return;
  int rc = pf::SetFileMode(fd, 0600);  // read-only to its user until now
  pf::CloseFile(fd);
  if (rc == 0 && pf::OpenFile(path.c_str(), pf::FileMode::kReadWrite, &fd) == 0) {
    pf::SetFileSize(fd, 0);
    pf::CloseFile(fd);
  }
}

}  // namespace

FileCache::FileCache(std::string filesDir, int graceSeconds, std::string boot)
    : dir_(std::move(filesDir)),
      graceSeconds_(graceSeconds < 0 ? 0 : graceSeconds),
      boot_(std::move(boot)) {}

FileCache::~FileCache() {
  {
    MutexLock guard(&mu_);
    stopping_ = true;
    syncCv_.SignalAll();
  }
  if (syncer_.joinable()) syncer_.join();
  SyncPending();
}

std::string FileCache::VolumeKey(const std::string& version) {
  // "v" + the id when it is a plain name, else "x" + its bytes in hex: never "." or "..",
  // never a slash, and two ids never share a key.
  bool plain = !version.empty() && version.size() <= 120;
  for (char c : version) {
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-');
  }
  if (plain) return "v" + version;
  std::string key = "x";
  char hex[3];
  for (unsigned char c : version) {
    std::snprintf(hex, sizeof hex, "%02x", c);
    key += hex;
  }
  return key;
}

std::string FileCache::PathOf(const std::string& guid, const std::string& version,
                              const std::string& name) const {
  return dir_ + "/" + guid + "/" + VolumeKey(version) + "/" + name;
}

bool FileCache::ReadStamp(const std::string& stampPath, Stamp* s) const {
  int fd = pf::kNoFile;
  if (pf::OpenFile(stampPath.c_str(), pf::FileMode::kReadOnly, &fd) != 0) return false;
  char text[kMaxStamp + 1] = {0};
  size_t n = 0;
  int rc = pf::ReadFileAt(fd, 0, text, kMaxStamp, &n);
  pf::CloseFile(fd);
  if (rc != 0 || n == 0 || n == kMaxStamp || text[n - 1] != '\n') return false;
  char version[kMaxStamp + 1] = {0};
  char boot[kMaxStamp + 1] = {0};
  unsigned long long size = 0, dev = 0, ino = 0;
  long long mtime = 0;
  // The mark stands where a number is due, so that a server that does not know it finds the
  // stamp unreadable and removes the copy rather than vouching for it.
  if (std::sscanf(text, "%400s %llu %llu %llu %lld", version, &size, &dev, &ino, &mtime) != 5 &&
      std::sscanf(text, "%400s unflushed:%400s %llu %llu %llu %lld", version, boot, &size, &dev,
                  &ino, &mtime) != 6) {
    return false;
  }
  s->unsyncedBoot = boot;
  s->version = version;
  s->size = size;
  s->device = dev;
  s->inode = ino;
  s->mtimeNs = mtime;
  return true;
}

bool FileCache::Vouched(const std::string& volDir, const Stamp& s, std::string* path) const {
  path->clear();
  std::vector<pf::DirEntry> entries;
  // One copy per volume directory, nothing else.
  if (pf::ListDirectory(volDir, &entries) != 0 || entries.size() != 1) return false;
  *path = volDir + "/" + entries[0].name;
  // Not yet on the disk when the system stopped: its name may have outlived its bytes.
  if (!s.unsyncedBoot.empty() && s.unsyncedBoot != boot_) return false;
  pf::FileId id;
  if (pf::StatFileId(path->c_str(), &id) != 0) return false;
  // Written to, replaced or made writable again: not the copy that was stamped.
  return id.size == s.size && id.inode == s.inode && id.device == s.device &&
         id.mtimeNs == s.mtimeNs && (id.mode & 0222) == 0;
}

void FileCache::RemoveCopyLocked(const std::string& guid, const std::string& key) {
  std::string base = dir_ + "/" + guid + "/" + key;
  // The stamp goes first: a copy without its stamp is never handed out.
  pf::RemovePath(base + kStampSuffix);
  int rc = pf::RemoveTree(base);
  if (rc != 0)
    Log(LogLevel::kWarn, "whole-file cache: cannot remove %s: %s", base.c_str(),
        pf::ErrorString(rc).c_str());
  superseded_.erase(guid + "/" + key);
  pf::RemovePath(dir_ + "/" + guid);  // only when it is empty now
}

bool FileCache::Lookup(const std::string& guid, const std::string& version, uint64_t size,
                       std::string* path) {
  MutexLock guard(&mu_);
  return LookupLocked(guid, version, size, path);
}

bool FileCache::LookupLocked(const std::string& guid, const std::string& version, uint64_t size,
                             std::string* path) {
  const std::string key = VolumeKey(version);
  const std::string base = dir_ + "/" + guid + "/" + key;
  Stamp s;
  bool stamped = ReadStamp(base + kStampSuffix, &s);
  std::string found;
  bool good = stamped && s.version == version && s.size == size && Vouched(base, s, &found);
  if (!good) {
    uint64_t bytes = 0;
    if (stamped || pf::StatPath(base.c_str(), &bytes) == 0) {
      Log(LogLevel::kWarn, "whole-file cache: the copy of %s volume %s is not as it was stamped "
          "(changed, replaced or incomplete); it is fetched again", guid.c_str(), version.c_str());
      RemoveCopyLocked(guid, key);
    }
    return false;
  }
  pf::TouchPath(base + kStampSuffix);
  superseded_.erase(guid + "/" + key);  // asked for again: the newest volume once more
  *path = found;
  return true;
}

int FileCache::WriteStamp(const std::string& stampPath, const Stamp& s) const {
  char text[kMaxStamp];
  const std::string mark = s.unsyncedBoot.empty() ? "" : " unflushed:" + s.unsyncedBoot;
  int n = std::snprintf(
      text, sizeof text, "%s%s %llu %llu %llu %lld\n", s.version.c_str(), mark.c_str(),
      static_cast<unsigned long long>(s.size), static_cast<unsigned long long>(s.device),
      static_cast<unsigned long long>(s.inode), static_cast<long long>(s.mtimeNs));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return ENAMETOOLONG;
  // A marked stamp need not reach the disk: lost or found after a restart, its copy goes.
  return pf::ReplaceFile(stampPath.c_str(), text, static_cast<size_t>(n),
                         pf::FileMode::kCreatePrivate, s.unsyncedBoot.empty());
}

int FileCache::Commit(const std::string& guid, const std::string& version, uint64_t size,
                      const std::string& name, const std::string& tmp, std::string* path,
                      bool onDisk) {
  MutexLock guard(&mu_);
  const std::string key = VolumeKey(version);
  const std::string guidDir = dir_ + "/" + guid;
  const std::string base = guidDir + "/" + key;
  const std::string target = base + "/" + name;
  // Two downloads of one volume may run at once: the later one keeps the copy the earlier one
  // committed (and may already have handed out), rather than replacing it under its reader.
  if (LookupLocked(guid, version, size, path)) {
    pf::DeleteFile(tmp.c_str());
    return 0;
  }
  RemoveCopyLocked(guid, key);  // whatever an earlier attempt left of this volume
  int rc = pf::MakeDirectory(dir_.c_str());
  if (rc == 0) rc = pf::MakeDirectory(guidDir.c_str());
  if (rc == 0) rc = pf::MakeDirectory(base.c_str());
  // Read-only to its user: an application that writes into a copy gets an error rather than
  // changing what the next caller is handed.
  int fd = pf::kNoFile;
  pf::FileId id;
  if (rc == 0) rc = pf::OpenFile(tmp.c_str(), pf::FileMode::kReadOnly, &fd);
  if (rc == 0) {
    rc = pf::SetFileMode(fd, 0400);
    int crc = pf::CloseFile(fd);
    if (rc == 0) rc = crc;
  }
  if (rc == 0) rc = pf::RenamePath(tmp.c_str(), target.c_str());
  if (rc == 0) rc = pf::StatFileId(target.c_str(), &id);
  if (rc == 0 && id.size != size) rc = EIO;
  // An unmarked stamp is on the disk before the copy is handed out; a mark tells a restarted
  // system that the copy's bytes may not be.
  const bool marked = !onDisk && CanDeferSync();
  if (rc == 0) {
    rc = WriteStamp(base + kStampSuffix,
                    {version, id.size, id.device, id.inode, id.mtimeNs, marked ? boot_ : ""});
  }
  if (rc != 0) {
    pf::DeleteFile(tmp.c_str());
    RemoveCopyLocked(guid, key);
    return rc;
  }
  if (marked) QueueSyncLocked(guid, key);
  SupersedeLocked(guid, key);
  *path = target;
  return 0;
}

void FileCache::QueueSyncLocked(const std::string& guid, const std::string& key) {
  unsynced_.push_back(guid + "/" + key);
  if (!syncer_.joinable() && !stopping_) syncer_ = std::thread([this] { SyncLoop(); });
  syncCv_.SignalAll();
}

void FileCache::SyncLoop() {
  MutexLock guard(&mu_);
  while (!stopping_) {
    if (unsynced_.empty()) {
      syncCv_.Wait(&mu_);
      continue;
    }
    std::string copy = std::move(unsynced_.front());
    unsynced_.erase(unsynced_.begin());
    mu_.Unlock();
    SyncOne(copy);
    mu_.Lock();
  }
}

void FileCache::SyncPending() {
  std::vector<std::string> copies;
  {
    MutexLock guard(&mu_);
    copies.swap(unsynced_);
  }
  for (const std::string& copy : copies) SyncOne(copy);
}

void FileCache::SyncOne(const std::string& copy) {
  const std::string base = dir_ + "/" + copy;
  Stamp s;
  std::string path;
  {
    MutexLock guard(&mu_);
    if (!ReadStamp(base + kStampSuffix, &s) || s.unsyncedBoot.empty() || !Vouched(base, s, &path))
      return;  // removed, replaced or flushed meanwhile
  }
  // The flush waits for the disk: the lock is not held, so look-ups and commits go on.
  int fd = pf::kNoFile;
  int rc = pf::OpenFile(path.c_str(), pf::FileMode::kReadOnly, &fd);
  if (rc == 0) rc = pf::SyncFile(fd);
  if (fd != pf::kNoFile) pf::CloseFile(fd);
  if (rc == 0) rc = pf::SyncDirectory(base);  // the copy's name
  MutexLock guard(&mu_);
  Stamp now;
  // Removed, replaced or flushed meanwhile: nothing is left to do.
  if (!ReadStamp(base + kStampSuffix, &now) || now.unsyncedBoot.empty() || now.inode != s.inode)
    return;
  if (rc != 0) {
    // Bytes the disk did not take are gone once the system drops them from memory: the copy
    // cannot be vouched for, not even to a client that already opened it.
    Log(LogLevel::kWarn, "whole-file cache: cannot flush %s: %s; it is fetched again", path.c_str(),
        pf::ErrorString(rc).c_str());
    Withdraw(path);
    const size_t slash = copy.find('/');
    RemoveCopyLocked(copy.substr(0, slash), copy.substr(slash + 1));
    return;
  }
  now.unsyncedBoot.clear();
  rc = WriteStamp(base + kStampSuffix, now);
  if (rc != 0)
    Log(LogLevel::kWarn, "whole-file cache: cannot stamp %s as on the disk: %s", path.c_str(),
        pf::ErrorString(rc).c_str());
}

void FileCache::SupersedeLocked(const std::string& guid, const std::string& keep) {
  const int32_t now = pf::MonotonicMs();
  std::vector<pf::DirEntry> entries;
  pf::ListDirectory(dir_ + "/" + guid, &entries);
  for (const pf::DirEntry& entry : entries) {
    const std::string& name = entry.name;
    if (EndsWith(name, kStampSuffix) || name == keep) continue;
    superseded_.emplace(guid + "/" + name, now);  // an earlier mark keeps its time
  }
}

void FileCache::Supersede(const std::string& guid) {
  MutexLock guard(&mu_);
  SupersedeLocked(guid, "");
}

bool FileCache::Newest(const std::string& guid, const std::string& want, std::string* version,
                       uint64_t* size, std::string* name, std::string* path) {
  MutexLock guard(&mu_);
  bool found = false;
  int64_t best = 0;
  std::vector<pf::DirEntry> entries;
  pf::ListDirectory(dir_ + "/" + guid, &entries);
  for (const pf::DirEntry& entry : entries) {
    std::string file = dir_ + "/" + guid + "/" + entry.name;
    if (!EndsWith(file, kStampSuffix)) continue;
    Stamp s;
    std::string copy;
    std::string volDir = file.substr(0, file.size() - std::char_traits<char>::length(kStampSuffix));
    if (!ReadStamp(file, &s) || (!want.empty() && s.version != want) ||
        !Vouched(volDir, s, &copy)) {
      continue;
    }
    int64_t used = WrittenNs(file);
    if (used == INT64_MIN || (found && used <= best)) continue;
    found = true;
    best = used;
    *version = s.version;
    *size = s.size;
    *name = copy.substr(copy.rfind('/') + 1);
    *path = copy;
  }
  return found;
}

bool FileCache::RecentlyUsed(const std::string& stampPath) const {
  int64_t used = WrittenNs(stampPath);
  if (used == INT64_MIN) return false;
  return pf::WallClockNs() - used < static_cast<int64_t>(graceSeconds_) * 1000000000;
}

int FileCache::DropExpired(const InUse& inUse) {
  MutexLock guard(&mu_);
  if (superseded_.empty()) return 0;
  std::vector<std::pair<std::string, std::string>> due;
  for (const auto& [copy, since] : superseded_) {
    if (pf::ElapsedMs(since, pf::MonotonicMs()) < graceSeconds_ * 1000) continue;
    size_t slash = copy.find('/');
    due.emplace_back(copy.substr(0, slash), copy.substr(slash + 1));
  }
  int dropped = 0;
  for (const auto& [guid, key] : due) {
    Stamp s;
    std::string stampPath = dir_ + "/" + guid + "/" + key + kStampSuffix;
    bool stamped = ReadStamp(stampPath, &s);
    if (stamped && (inUse(guid, s.version) || RecentlyUsed(stampPath))) continue;
    RemoveCopyLocked(guid, key);
    ++dropped;
    Log(LogLevel::kDebug, "whole-file cache: removed %s/%s, superseded by a newer volume",
        guid.c_str(), key.c_str());
  }
  return dropped;
}

EvictResult FileCache::Bound(uint64_t maxBytes, const InUse& inUse) {
  MutexLock guard(&mu_);
  struct Copy {
    std::string guid;
    std::string key;
    uint64_t bytes = 0;
    int64_t used = 0;  // nanoseconds since the epoch
  };
  std::vector<Copy> copies;
  EvictResult r;
  std::vector<pf::DirEntry> guids, keys, files;
  pf::ListDirectory(dir_, &guids);
  for (const pf::DirEntry& g : guids) {
    const std::string& guid = g.name;
    if (guid.empty() || guid[0] == '.' || g.kind != pf::EntryKind::kDirectory) continue;
    pf::ListDirectory(dir_ + "/" + guid, &keys);
    for (const pf::DirEntry& v : keys) {
      if (v.kind != pf::EntryKind::kDirectory) continue;
      Copy c;
      c.guid = guid;
      c.key = v.name;
      const std::string volDir = dir_ + "/" + guid + "/" + v.name;
      pf::ListDirectory(volDir, &files);
      for (const pf::DirEntry& f : files) {
        uint64_t size = 0;
        if (f.kind == pf::EntryKind::kFile &&
            pf::StatPath((volDir + "/" + f.name).c_str(), &size) == 0) {
          c.bytes += size;
        }
      }
      c.used = WrittenNs(volDir + kStampSuffix);
      if (c.used == INT64_MIN) c.used = WrittenNs(volDir);  // no stamp: as old as its folder
      r.bytesBefore += c.bytes;
      copies.push_back(std::move(c));
    }
  }
  r.bytesAfter = r.bytesBefore;
  if (maxBytes == 0 || r.bytesAfter <= maxBytes) return r;
  std::sort(copies.begin(), copies.end(),
            [](const Copy& a, const Copy& b) { return a.used < b.used; });
  for (const Copy& c : copies) {
    if (r.bytesAfter <= maxBytes) break;
    std::string stampPath = dir_ + "/" + c.guid + "/" + c.key + kStampSuffix;
    Stamp s;
    if (ReadStamp(stampPath, &s) && (inUse(c.guid, s.version) || RecentlyUsed(stampPath))) continue;
    RemoveCopyLocked(c.guid, c.key);
    r.bytesAfter -= c.bytes;
    ++r.evicted;
    Stats().NoteFileDropped(c.guid, MissReason::kEvicted,
                            static_cast<double>(pf::WallClockNs() - c.used) / 1e9);
    Log(LogLevel::kInfo, "whole-file cache: evicted %s/%s (%llu bytes, least recently used)",
        c.guid.c_str(), c.key.c_str(), static_cast<unsigned long long>(c.bytes));
  }
  if (r.bytesAfter > maxBytes) {
    Log(LogLevel::kWarn,
        "whole-file cache holds %llu bytes, above its bound of %llu: the rest is in use",
        static_cast<unsigned long long>(r.bytesAfter), static_cast<unsigned long long>(maxBytes));
  }
  return r;
}

void FileCache::Tidy() {
  MutexLock guard(&mu_);
  pf::RemoveTree(dir_ + "/.versions");  // the stamps of the one-copy-per-file layout
  std::vector<pf::DirEntry> guids, entries;
  pf::ListDirectory(dir_, &guids);
  for (const pf::DirEntry& g : guids) {
    const std::string& guid = g.name;
    if (g.kind != pf::EntryKind::kDirectory) continue;
    const std::string guidDir = dir_ + "/" + guid;
    std::string newest;
    int64_t best = 0;
    std::vector<std::string> keys;
    pf::ListDirectory(guidDir, &entries);
    for (const pf::DirEntry& v : entries) {
      const std::string& name = v.name;
      if (v.kind == pf::EntryKind::kDirectory) {
        keys.push_back(name);
        continue;
      }
      std::string volDir = guidDir + "/" + name;
      if (EndsWith(name, kStampSuffix)) {
        volDir.resize(volDir.size() - std::char_traits<char>::length(kStampSuffix));
        if (pf::IsDirectory(volDir)) continue;
      }
      pf::RemovePath(guidDir + "/" +
                     name);  // a stamp without its copy, or a copy of the old layout
    }
    for (const std::string& key : keys) {
      std::string base = guidDir + "/" + key;
      Stamp s;
      std::string copy;
      if (!ReadStamp(base + kStampSuffix, &s) || !Vouched(base, s, &copy)) {
        RemoveCopyLocked(guid, key);
        continue;
      }
      if (!s.unsyncedBoot.empty()) QueueSyncLocked(guid, key);  // its server stopped first
      int64_t used = WrittenNs(base + kStampSuffix);
      if (newest.empty() || used > best) {
        newest = key;
        best = used;
      }
    }
    if (!newest.empty()) SupersedeLocked(guid, newest);
    pf::RemovePath(guidDir);  // only when it is empty now
  }
}

int FileCache::Clear() {
  MutexLock guard(&mu_);
  int rc = pf::RemoveTree(dir_);
  superseded_.clear();
  return rc;
}

}  // namespace kdr::server
