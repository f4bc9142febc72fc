// The whole-file cache under <cacheDir>/files, and the one place that knows its layout:
//
//   files/<GUID>/<volume>/<name>   one copy per volume of a file, read-only to its user (0400)
//   files/<GUID>/<volume>.stamp    "<version> <size> <device> <inode> <mtime ns>\n"
//
// (<volume> is the vault's version id as a safe name.) A copy is committed whole: its bytes
// are written under .partial, made read-only, renamed into place, and only then stamped; a
// commit whose stamp did not land is undone and reported failed. A look-up hands out a copy
// only when its stamp names the volume and size asked for and the copy is still the very
// file that was stamped (same size, device, inode and modification time): a copy changed in
// place, replaced or unstamped is removed, and the caller fetches it again.
//
// The promise of a returned path. The copy of a volume stays where it is, unchanged, for at
// least the grace period (--files-grace-seconds) after it was last handed out, and as long as
// a client holds a handle on that volume; only then may it go, when a newer volume of the
// file came (an upload, a roll-back, a volume seen in the vault) or when the cache is above
// its bound (--files-max-bytes, least recently used first). KdrClearCache removes everything
// at once: that is what it asks for.
//
// A copy may be committed before its bytes are on the disk (a download into the cache does
// not wait for the disk): its stamp then names the boot it was written in,
// "<version> unflushed:<boot id> <size> <device> <inode> <mtime ns>\n", and a thread of the cache
// flushes the copy and drops the mark. A process that dies loses nothing of a written file,
// so a marked copy is vouched for as long as the system has not restarted since; after a
// restart (a power cut may have kept its name and lost its bytes) it is removed and fetched
// again. A stop flushes what is still marked.
//
// Each copy's last use is the time of its stamp, touched on every hit, so the order survives
// a restart. Thread-safe: one mutex orders every look-up, commit and removal.
#ifndef KDR_SERVER_FILE_CACHE_H_
#define KDR_SERVER_FILE_CACHE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/durable.h"
#include "platform/mutex.h"

namespace kdr::server {

struct EvictResult {
  uint64_t bytesBefore = 0;
  uint64_t bytesAfter = 0;
  int evicted = 0;
};

class FileCache {
 public:
  // Whether a client may still read the copy of (guid, version): it holds a handle on it.
  using InUse = std::function<bool(const std::string& guid, const std::string& version)>;

  // `boot`: the identity of the running system boot; empty (the system does not tell) makes
  // every commit wait for the disk.
  FileCache(std::string filesDir, int graceSeconds, std::string boot = platform::BootId());
  ~FileCache();  // flushes the copies not yet on the disk

  // The path the copy of (guid, version) named `name` has once committed.
  std::string PathOf(const std::string& guid, const std::string& version,
                     const std::string& name) const;

  // A copy of `size` bytes of that volume that can be vouched for: true with *path set (and
  // its use noted). A copy that fails the check is removed. The copy keeps the name the file
  // had when it was copied: the vault names a file, not each volume, and a path handed out
  // must stay while its holder may read it.
  bool Lookup(const std::string& guid, const std::string& version, uint64_t size, std::string* path)
      EXCLUDES(mu_);

  // Moves the complete temporary file `tmp` into place as the copy of that volume and stamps
  // it. Returns 0 with *path set, or an errno value; on failure neither the copy nor `tmp`
  // stays. The other volumes' copies of `guid` become superseded. `onDisk`: the caller flushed
  // `tmp`; else the copy is marked and flushed in the background (see the top).
  int Commit(const std::string& guid, const std::string& version, uint64_t size,
             const std::string& name, const std::string& tmp, std::string* path, bool onDisk = true)
      EXCLUDES(mu_);

  // Whether Commit may take a copy that is not yet on the disk.
  bool CanDeferSync() const { return !boot_.empty(); }

  // Flushes every copy committed not yet on the disk and drops its mark.
  void SyncPending() EXCLUDES(mu_);

  // The content of `guid` changed: every copy of it is superseded (kept for the grace period).
  void Supersede(const std::string& guid) EXCLUDES(mu_);

  // For an offline open: the most recently used good copy of `guid` (of volume `want`; empty:
  // whatever its volume). Changes nothing.
  bool Newest(const std::string& guid, const std::string& want, std::string* version,
              uint64_t* size, std::string* name, std::string* path) EXCLUDES(mu_);

  // Removes superseded copies whose grace has run out and that no one uses. Cheap when
  // nothing is superseded (no directory is read).
  int DropExpired(const InUse& inUse) EXCLUDES(mu_);

  // Bounds the cache to maxBytes (0: no bound; the size is still measured), least recently
  // used first, skipping copies in use or used within the grace period.
  EvictResult Bound(uint64_t maxBytes, const InUse& inUse) EXCLUDES(mu_);

  // At start: removes what the cache cannot vouch for (unstamped copies, stamps without
  // copies, the layout of earlier versions), and supersedes every copy but the most recently
  // used one of each file.
  void Tidy() EXCLUDES(mu_);

  // Removes every copy. Returns 0 or an errno value.
  int Clear() EXCLUDES(mu_);

 private:
  struct Stamp {
    std::string version;
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t mtimeNs = 0;
    std::string unsyncedBoot;  // the boot a copy not yet on the disk was written in
  };
  static std::string VolumeKey(const std::string& version);
  bool ReadStamp(const std::string& stampPath, Stamp* s) const;
  // The copy in `volDir` when it is the one its stamp describes. *path set either way.
  bool Vouched(const std::string& volDir, const Stamp& s, std::string* path) const;
  bool LookupLocked(const std::string& guid, const std::string& version, uint64_t size,
                    std::string* path) REQUIRES(mu_);
  void RemoveCopyLocked(const std::string& guid, const std::string& key) REQUIRES(mu_);
  void SupersedeLocked(const std::string& guid, const std::string& keep) REQUIRES(mu_);
  bool RecentlyUsed(const std::string& stampPath) const;
  int WriteStamp(const std::string& stampPath, const Stamp& s) const;
  void QueueSyncLocked(const std::string& guid, const std::string& key) REQUIRES(mu_);
  // Flushes one marked copy ("<GUID>/<volume key>") and drops its mark.
  void SyncOne(const std::string& copy) EXCLUDES(mu_);
  void SyncLoop() EXCLUDES(mu_);

  const std::string dir_;
  const int graceSeconds_;
  // Held by every call that reads or changes the directory, so that no copy is removed or
  // replaced between a lookup and its use.
  Mutex mu_;
  // "<GUID>/<volume key>" -> monotonic ms at which the copy was superseded.
  std::map<std::string, int32_t> superseded_ GUARDED_BY(mu_);

  const std::string boot_;
  // Marked copies ("<GUID>/<volume key>") for the flushing thread, started at the first.
  std::vector<std::string> unsynced_ GUARDED_BY(mu_);
  CondVar syncCv_;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread syncer_;
};

}  // namespace kdr::server

#endif  // KDR_SERVER_FILE_CACHE_H_
