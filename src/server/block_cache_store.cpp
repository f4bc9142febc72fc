// The block cache on the store engine, opened in owner mode with the shared TOC, so the
// client library's fast cache can attach to it and read blocks without a request.
//
// Concurrency: mu_ serialises every use of the TOC (one thread at a time, as the store
// requires); inside it, every operation that reads or changes the store runs under the
// store's cache lock, shared with the attached clients. Order: mu_, then the cache lock.
// Reads and offers never queue long: they wait for mu_ at most kReaderWaitMs, and skip the
// store for a while after its cache lock timed out (a client stopped inside it), so the vault
// serves them rather than every reader waiting out a lock that a change (Forget) waits for.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/mutex.h"
#include "platform/shared_objects.h"
#include "server/block_cache.h"
#include "server/log.h"
#include "server/server_limits.h"
#include "store/kdrc.h"

namespace kdr::server {

namespace {

constexpr int kStoreNotClosedCleanly = 103;
constexpr int kStoreNotAnOwnersStore = 79;
constexpr int kStoreLockAbandoned = 97;
constexpr int kStoreLockTimedOut = 96;
constexpr int kReaderWaitMs = 50;
constexpr int32_t kStalledMs = 2000;
constexpr int kStoreFewerPages = 77;
constexpr int kStoreFullCheck =
    KDRC_CHECK_PAGES | KDRC_CHECK_FREE_LIST | KDRC_CHECK_DATE_LIST | KDRC_CHECK_HASH;
constexpr size_t kStoreGuidMax = 36;
constexpr int32_t kPagesPerHold = 4096;  // pages UsedSince looks at under one hold of the locks

int OpenStore(const std::string& cacheDir, const std::string& mapName, const StoreSizes& sizes,
              int deleteFirst, KDRC_FILETOC_T** toc, KDRCIF_OPEN_PARAMS* used = nullptr,
              bool holdBack = false);
// One server read in this many that the store serves is checked against its checksum.
constexpr uint32_t kCheckEveryNthRead = 16;
// The check of blocks kept from before a clean stop runs beside the service, at low priority:
// it starts a while after the open (the start's own requests go first), checks this many
// blocks (1 MiB) per slice and pauses between slices.
constexpr int kKeptCheckDelayMs = 1000;
constexpr int32_t kKeptCheckSlice = 64;
constexpr int kKeptCheckPauseMs = 5;
// How often the store, held back from clients that know only its first signature, looks
// whether an earlier server's clients still hold its objects.
constexpr int kHoldBackProbeMs = 500;

class StoreBlockCache : public BlockCache {
 public:
  StoreBlockCache(KDRC_FILETOC_T* toc, std::string cacheDir, std::string mapName, StoreSizes sizes)
      : toc_(toc),
        cacheDir_(std::move(cacheDir)),
        mapName_(std::move(mapName)),
        sizes_(sizes),
        instance_(mapName_) {
    // Clients that know only an open store's first signature attach once this is done.
    const bool check = toc_->keptCheckCursor >= 0;
    if (check || toc_->holdBack) {
      checker_ = std::thread([this, check] {
        if (!check || CheckKeptBlocks()) AwaitEarlierClients();
      });
    }
  }
  ~StoreBlockCache() override { Close(); }

  void Close() override {
    {
      MutexLock hold(&stopMu_);
      stopping_ = true;
    }
    stopCv_.SignalAll();
    if (checker_.joinable() && checker_.get_id() != std::this_thread::get_id()) checker_.join();
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr) return;
    int rc = KDRCIF_Close(&toc_);
    toc_ = nullptr;
    if (rc != 0) Log(LogLevel::kWarn, "closing the cache store failed (store error %d)", rc);
    else Log(LogLevel::kInfo, "cache store closed");
  }

  bool Enabled() const override { return true; }

  // Under the cache lock: the first page of `g` when the store holds it as volume `stamp` of
  // `fileSize` bytes, else null. Blocks the store names with another volume are not the
  // caller's, whatever the notes say. *named: the volume the store names (0: none yet).
  KDRC_PAGE_T* FindCurrent(const std::string& g, uint64_t fileSize, uint64_t stamp,
                           uint64_t* named) {
    *named = KDRCIF_VolumeStamp(toc_, g.c_str());
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {0, 0};
    if ((*named == 0 || *named == stamp) && KDRCIF_FindFile(toc_, g.c_str(), size, &first) == 0 &&
        first != nullptr && SameSize(size, fileSize)) {
      return first;
    }
    return nullptr;
  }

  bool Get(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
           unsigned char* buf, uint32_t* len) override {
    if (guid.size() > kStoreGuidMax || Stalled()) return false;
    std::string g(guid);
    std::unique_lock<std::mutex> guard(mu_, std::defer_lock);
    if (!LockForReader(&guard) || toc_ == nullptr || Lock() != 0) return false;
    bool hit = false;
    uint64_t named = 0;
    if (KDRC_PAGE_T* first = FindCurrent(g, fileSize, stamp, &named)) {
      int32_t n = -1;
      const int64_t droppedBefore = KDRCIF_FirstReadDropped(toc_);
      int rc = KDRCIF_ReadBlock(toc_, first, block, buf, &n);
      if (KDRCIF_FirstReadDropped(toc_) != droppedBefore) NoteBadBlock(g, block);
      if (rc == 0 && n >= 0 && static_cast<uint32_t>(n) <= kBlockSize) {
        *len = static_cast<uint32_t>(n);
        hit = ++reads_ % kCheckEveryNthRead != 0 || Verified(first, g, block);
        // Blocks kept from an earlier run (or whose entry another GUID took) are named again.
        if (hit && named != stamp) KDRCIF_SetVolumeStamp(toc_, g.c_str(), stamp);
      }
    }
    KDRCIF_UnLockCache(toc_);
    return hit;
  }

  int GetRun(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t first, int count,
             unsigned char* slots, const LentUse& use) override {
    if (guid.size() > kStoreGuidMax || count <= 0 || Stalled()) return 0;
    std::string g(guid);
    std::unique_lock<std::mutex> guard(mu_, std::defer_lock);
    if (!LockForReader(&guard) || toc_ == nullptr || Lock() != 0) return 0;
    constexpr int kMaxRun = 64;
    Lent lent[kMaxRun];
    int n = 0;
    uint64_t named = 0;
    // As Get(), block by block: the same volume check, counts and sampled checksum; the
    // segment file stays mapped whole while the TOC is open, so its blocks are lent in place.
    if (KDRC_PAGE_T* page = FindCurrent(g, fileSize, stamp, &named)) {
      for (; n < count && n < kMaxRun; ++n) {
        const int32_t block = first + n;
        const uint64_t start = static_cast<uint64_t>(block) << kBlockShift;
        if (start >= fileSize) break;
        const int32_t whole =
            static_cast<int32_t>(std::min<uint64_t>(fileSize - start, kBlockSize));
        const uint8_t* data = nullptr;
        int32_t len = -1;
        int stable = 0;
        const int64_t droppedBefore = KDRCIF_FirstReadDropped(toc_);
        int rc = KDRCIF_LocateBlockPart(toc_, page, block, 0, static_cast<int32_t>(kBlockSize),
                                        &data, &len, &stable);
        if (KDRCIF_FirstReadDropped(toc_) != droppedBefore) NoteBadBlock(g, block);
        if (rc != 0 || data == nullptr || len != whole) break;
        if (++reads_ % kCheckEveryNthRead == 0 && !Verified(page, g, block)) break;
        if (!stable) {
          // An extent's window may move at the next lookup: the block goes through its slot.
          unsigned char* slot = slots + static_cast<size_t>(n) * kBlockSize;
          std::memcpy(slot, data, static_cast<size_t>(len));
          data = slot;
        }
        lent[n] = Lent{data, static_cast<uint32_t>(len)};
      }
      if (n > 0 && named != stamp) KDRCIF_SetVolumeStamp(toc_, g.c_str(), stamp);
    }
    use(lent, n);
    KDRCIF_UnLockCache(toc_);
    return n;
  }

  void Put(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
           const unsigned char* data, uint32_t len) override {
    if (guid.size() > kStoreGuidMax || len > kBlockSize || fileSize > 0x7FFFFFFFFFFFull ||
        Stalled()) {
      return;
    }
    std::string g(guid);
    std::unique_lock<std::mutex> guard(mu_, std::defer_lock);
    if (!LockForReader(&guard) || toc_ == nullptr) return;
    // Disk space for the store's next growth is found before the cache lock is taken, so
    // that no reader waits on the disk; a full disk only keeps the store at its size.
    if (int grow = KDRCIF_PrepareGrowth(toc_); grow != 0 && !diskFullLogged_) {
      diskFullLogged_ = true;
      Log(LogLevel::kWarn, "the cache store cannot grow (store error %d; the disk of %s is "
          "full?): it keeps serving in the space it has and tries again later",
          grow, cacheDir_.c_str());
    }
    if (Lock() != 0) return;
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {0, 0};
    int rc = KDRCIF_FindFile(toc_, g.c_str(), size, &first);
    const uint64_t named = KDRCIF_VolumeStamp(toc_, g.c_str());
    if (rc == 0 && first != nullptr && (!SameSize(size, fileSize) || (named != 0 && named != stamp))) {
      // Blocks of another content of this file: they go first.
      rc = ForgetLocked(g);
      first = nullptr;
    }
    if (rc == 0 && first == nullptr) {
      rc = KDRCIF_AddFile(toc_, g.c_str(), static_cast<uint32_t>(fileSize),
                          static_cast<uint32_t>(fileSize >> 32), &first);
    }
    if (rc == 0 && first != nullptr) {
      if (named != stamp) KDRCIF_SetVolumeStamp(toc_, g.c_str(), stamp);
      rc = KDRCIF_WriteBlock(toc_, &first, block, data, static_cast<int32_t>(len));
      ++writes_;
    }
    KDRCIF_UnLockCache(toc_);
    if (rc != 0) Log(LogLevel::kDebug, "block %d of %s not stored (store error %d)", block, g.c_str(), rc);
  }

  void Forget(std::string_view guid) override {
    if (guid.size() > kStoreGuidMax) return;
    std::string g(guid);
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr) return;
    int rc = Lock();
    if (rc != 0) {
      if (toc_ == nullptr) return;
      // A client holds the lock past its wait (stopped, or in a debugger): the blocks cannot
      // be dropped in time, so the whole store is let go of. Its clients detach when they
      // next get the lock and find their owner gone; the next attach finds a blank store.
      Log(LogLevel::kWarn, "cache lock not available to drop %s (store error %d); letting go "
          "of the store", g.c_str(), rc);
      Rebuild(rc);
      return;
    }
    rc = ForgetLocked(g);
    KDRCIF_UnLockCache(toc_);
    if (rc != 0) {
      Log(LogLevel::kWarn, "could not drop %s from the store (store error %d)", g.c_str(), rc);
      Rebuild(rc);
    }
  }

  int Clear() override {
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr) return 0;
    if (Lock() != 0) return toc_ == nullptr ? 0 : KDRCIF_ClearCache(toc_);
    // Clients of an earlier make pin their handles to the counters.
    KDRCIF_NoteFileChange(toc_, nullptr);
    int rc = KDRCIF_ClearCache(toc_);
    KDRCIF_UnLockCache(toc_);
    return rc;
  }

  // Every page of a file is stamped when one of its blocks is read, by the server or by a
  // client, so one pass over the page records finds the files in use.
  void UsedSince(int64_t sinceSeconds, std::vector<std::string>* guids) override {
    // Nothing read from the store or written into it since the last whole pass began: no page
    // got a newer stamp, and the pass (run every second) would find again what it found then.
    uint64_t hits = 0, writes = 0;
    {
      std::lock_guard<std::mutex> guard(mu_);
      if (toc_ == nullptr) return;
      hits = KDRCIF_Hits(toc_);
      writes = writes_;
      if (hits == scannedHits_ && writes == scannedWrites_) return;
    }
    // In slices, each under the locks for a short while only: a store of millions of pages
    // must not keep readers (the server's, which wait for mu_ briefly, and the clients', which
    // wait for the cache lock) waiting for the whole pass.
    std::string last;
    for (int32_t from = 0;; from += kPagesPerHold) {
      std::lock_guard<std::mutex> guard(mu_);
      if (toc_ != nullptr && from >= toc_->pageCount) {  // the whole pass
        scannedHits_ = hits;
        scannedWrites_ = writes;
        return;
      }
      // Through Lock(), as every other use: the pass may be the first to meet a lock whose
      // holder died, and what that holder left half made is checked before anything is read.
      if (toc_ == nullptr || toc_->pPages == nullptr || from >= toc_->pageCount || Lock() != 0) {
        return;
      }
      const int32_t to = std::min(toc_->pageCount, from + kPagesPerHold);
      for (int32_t n = from; n < to; ++n) {
        const kdrc::meta::Page& p = toc_->pPages[n];
        if (p.kind != kdrc::meta::kAllocated || p.accessTime < sinceSeconds) continue;
        size_t len = 0;
        while (len < sizeof p.guid && p.guid[len] != '\0') ++len;
        std::string guid(p.guid, len);
        if (guid != last) guids->push_back(guid);  // a file's pages often lie together
        last = std::move(guid);
      }
      KDRCIF_UnLockCache(toc_);
    }
  }

  bool Info(StoreInfo* info) const override {
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr) return false;
    const KDRC_FILESHARED_T* s = toc_->pShared;
    if (s == nullptr || toc_->cacheDir == nullptr || toc_->wellKnownName == nullptr) return false;
    info->filePages = s->filePages;
    info->segments = s->segments;
    info->hashBlocks = s->hashBlocks;
    info->extentMB = s->segsPerExtent / 64;
    info->extents = s->maxExtentFiles;
    info->filePagesUsed = s->dateCount;
    info->lookupHits = (uint64_t{s->hitsHigh} << 32) | s->hitsLow;
    info->lookupMisses = (uint64_t{s->missesHigh} << 32) | s->missesLow;
    KDRCIF_ClientReads(toc_, &info->clientReads, &info->clientBytes);
    info->directory = toc_->cacheDir;
    info->mapName = toc_->wellKnownName;
    return true;
  }

 private:
  // Waits up to `ms`; false once the cache is closing.
  bool Pause(int ms) {
    MutexLock hold(&stopMu_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && stopCv_.WaitUntil(&stopMu_, until)) {
    }
    return !stopping_;
  }

  // Checks the blocks the open kept, a slice at a time, under mu_: the slice's bytes are read
  // first, then checked under the cache lock, taken through Lock() as every use takes it (this
  // may be the first to meet a lock whose holder died). False when the cache closed first.
  bool CheckKeptBlocks() {
    if (!Pause(kKeptCheckDelayMs)) return false;
    uint64_t dropped = 0;
    for (;;) {
      int done = 0;
      int64_t bad = 0;
      int rc = 0;
      bool held = false;
      {
        std::lock_guard<std::mutex> guard(mu_);
        if (toc_ == nullptr) return false;
        KDRCIF_ReadKeptBlocksAhead(toc_, kKeptCheckSlice);
        rc = Lock();
        if (toc_ == nullptr) return false;
        if (rc == 0) {
          rc = KDRCIF_CheckKeptBlocks(toc_, kKeptCheckSlice, &done, &bad);
          KDRCIF_UnLockCache(toc_);
        }
        held = toc_->holdBack != 0;
        dropped += static_cast<uint64_t>(bad);
        badBlocks_ += static_cast<uint64_t>(bad);
      }
      if (bad > 0) {
        Log(LogLevel::kWarn, "%lld kept block(s) failed their checksum: dropped",
            static_cast<long long>(bad));
      }
      if (done) {
        Log(LogLevel::kInfo, "every block kept from the last run is checked (%llu dropped)%s",
            static_cast<unsigned long long>(dropped),
            held ? "" : ": the store is open to every client");
        return true;
      }
      // A busy cache lock (a client inside it) or another hiccup: tried again later; a store
      // let go of ends the thread above.
      if (!Pause(rc != 0 ? kStalledMs : kKeptCheckPauseMs)) return false;
    }
  }

  // A client of an earlier server that knows only an open store's first signature takes that
  // server's cache lock, not this one's: while any of them still holds an earlier server's
  // object, the store is held back from such clients (an attached one fails its lock until it
  // lets go). Looked at every kHoldBackProbeMs; once none is held no new one can be (nobody
  // opens an object no handle holds), and the store opens to every client.
  void AwaitEarlierClients() {
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(mu_);
        if (toc_ == nullptr || !toc_->holdBack) return;  // closed, or rebuilt blank
      }
      if (platform::HeldNamedObjects("", instance_) == 0) {
        std::lock_guard<std::mutex> guard(mu_);
        if (toc_ == nullptr) return;
        if (Lock() == 0) {
          KDRCIF_EndHoldBack(toc_);
          KDRCIF_UnLockCache(toc_);
          Log(LogLevel::kInfo,
              "no client of an earlier server holds its objects any more: the "
              "store is open to every client");
          return;
        }
      }
      if (!Pause(kHoldBackProbeMs)) return;
    }
  }

  // Takes the cache lock. A lock whose last holder died holding it (store error 97) may guard
  // a half-made change: the store is checked before it is used again, and rebuilt blank when
  // the check fails. Under mu_.
  int Lock() {
    int rc = KDRCIF_LockCache(toc_);
    if (rc == kStoreLockTimedOut) {
      stalledUntil_.store(static_cast<int32_t>(static_cast<uint32_t>(platform::MonotonicMs()) +
                                               kStalledMs));
    }
    if (rc != kStoreLockAbandoned) return rc;
    Log(LogLevel::kWarn, "a process died holding the cache lock; checking the store");
    rc = KDRCIF_LockCache(toc_);
    if (rc != 0) return rc;
    // The pages, lists and hash are checked (the lock's repair has mended a half-moved date
    // list). The blocks need no pass: only this server writes them and their checksums, so a
    // dead holder (a client, the store tool) can have left no block half written, and a pass
    // over a large store would hold every reader for its whole length.
    int check = KDRCFile_CheckMetaFile(toc_, kStoreFullCheck);
    if (check == 0) return 0;
    KDRCIF_UnLockCache(toc_);
    Rebuild(check);
    return toc_ == nullptr ? kStoreLockAbandoned : KDRCIF_LockCache(toc_);
  }

  // Replaces the open store by a blank one, under new object names: attached clients keep
  // the old objects until they notice that their owner let go of them. Under mu_.
  void Rebuild(int why) {
    Log(LogLevel::kWarn, "the cache store cannot be trusted (store error %d); rebuilt blank", why);
    int rc = KDRCIF_Close(&toc_);
    toc_ = nullptr;
    if (rc != 0) Log(LogLevel::kDebug, "closing the damaged store: store error %d", rc);
    mapName_ += "r";
    rc = OpenStore(cacheDir_, mapName_, sizes_, 1, &toc_);
    if (rc != 0 || toc_ == nullptr) {
      toc_ = nullptr;
      Log(LogLevel::kWarn, "no cache store (store error %d): reads are served from the vault", rc);
    }
  }

  // Takes mu_ for a read or an offer, waiting at most about kReaderWaitMs.
  static bool LockForReader(std::unique_lock<std::mutex>* guard) {
    for (int waited = 0;; ++waited) {
      if (guard->try_lock()) return true;
      if (waited >= kReaderWaitMs) return false;
      platform::SleepMs(1);
    }
  }

  bool Stalled() const {
    int32_t until = stalledUntil_.load();
    return until != 0 && platform::ElapsedMs(platform::MonotonicMs(), until) > 0;
  }

  // Whether the block just read passes its checksum; one that fails is dropped (and counted
  // in the log), and the read goes to the vault. Under mu_ and the cache lock.
  bool Verified(KDRC_PAGE_T* first, const std::string& guid, int32_t block) {
    int bad = 0;
    // A block found bad is not served, whether or not it could then be dropped (an error
    // after *bad was set means only the drop failed).
    KDRCIF_CheckBlock(toc_, first, block, &bad);
    if (bad == 0) return true;
    NoteBadBlock(guid, block);
    return false;
  }

  // A block that failed its checksum was dropped (on its first read since the store was
  // opened, or on a sampled read). Under mu_.
  void NoteBadBlock(const std::string& guid, int32_t block) {
    ++badBlocks_;
    Log(LogLevel::kWarn, "block %d of %s failed its checksum: dropped (%llu so far)", block,
        guid.c_str(), static_cast<unsigned long long>(badBlocks_));
  }

  static bool SameSize(const int32_t size[2], uint64_t fileSize) {
    uint64_t s = (uint64_t{static_cast<uint32_t>(size[1])} << 32) | static_cast<uint32_t>(size[0]);
    return s == fileSize;
  }

  // Evicts every page of `guid`, first page first. Under mu_ and the cache lock. When a page
  // cannot be evicted the whole store is emptied: stale blocks must never stay behind.
  int ForgetLocked(const std::string& guid) {
    // Fast-cache handles of the old volume see the change before the blocks go, and also when
    // the store holds none of them now (evicted or cleared): their volume may come back into
    // the store under the same name only after a new stamp.
    KDRCIF_SetVolumeStamp(toc_, guid.c_str(), 0);
    KDRCIF_NoteFileChange(toc_, guid.c_str());
    for (int32_t i = 0; i <= toc_->pageCount; ++i) {
      KDRC_PAGE_T* first = nullptr;
      int32_t size[2] = {0, 0};
      int rc = KDRCIF_FindFile(toc_, guid.c_str(), size, &first);
      if (rc != 0) return rc;
      if (first == nullptr) return 0;
      if (KRDCFile_DeleteThisPage(toc_, first) != 0) break;
    }
    return KDRCIF_ClearCache(toc_);
  }

  mutable std::mutex mu_;
  // Until when (platform::MonotonicMs) reads and offers skip the store: its cache lock timed
  // out lately. 0: they do not.
  std::atomic<int32_t> stalledUntil_{0};
  KDRC_FILETOC_T* toc_;  // guarded by mu_
  const std::string cacheDir_;
  std::string mapName_;  // guarded by mu_
  const StoreSizes sizes_;
  const std::string instance_;  // the names of this server's objects start with it
  uint32_t reads_ = 0;          // guarded by mu_
  uint64_t badBlocks_ = 0;      // guarded by mu_
  uint64_t writes_ = 0;         // blocks written; guarded by mu_
  // The store's hits and writes_ when the last whole UsedSince pass began.
  uint64_t scannedHits_ = UINT64_MAX;  // guarded by mu_
  uint64_t scannedWrites_ = 0;         // guarded by mu_
  bool diskFullLogged_ = false; // guarded by mu_
  // The check of kept blocks (CheckKeptBlocks) and what ends it.
  std::thread checker_;
  Mutex stopMu_;
  CondVar stopCv_;
  bool stopping_ GUARDED_BY(stopMu_) = false;
};

// Whether the open store was made with other sizes than `want` (the sizes its open was given,
// as the store clamped them).
bool SizesDiffer(const KDRC_FILETOC_T* toc, const KDRCIF_OPEN_PARAMS& want) {
  const KDRC_FILESHARED_T* s = toc->pShared;
  return s->filePages != want.filePages || s->segments != want.segments ||
         s->hashBlocks != want.hashBlocks || s->maxExtentFiles != want.maxExtentFiles ||
         (want.maxExtentFiles > 0 && s->segsPerExtent != want.extentMB * 64);
}

int OpenStore(const std::string& cacheDir, const std::string& mapName, const StoreSizes& sizes,
              int deleteFirst, KDRC_FILETOC_T** toc, KDRCIF_OPEN_PARAMS* used, bool holdBack) {
  std::string dir = cacheDir, name = mapName;
  KDRCIF_OPEN_PARAMS p{};
  p.cacheDir = dir.data();
  p.mapName = name.data();
  p.filePages = sizes.filePages;
  p.segments = sizes.segments;
  p.hashBlocks = sizes.hashBlocks;
  p.extentMB = sizes.extentMB;
  p.maxExtentFiles = sizes.extentFiles;
  p.totalExtentMB = sizes.extentMB * sizes.extentFiles;
  p.create = 1;
  p.deleteFirst = deleteFirst;
  p.mode = KDRC_MODE_OWNER;
  p.trace = 0;
  p.recover = 1;
  p.holdBack = holdBack ? 1 : 0;
  int rc = KDRCIF_OpenS(&p, toc);
  std::fflush(stdout);  // the store prints its own notices there
  if (used != nullptr) *used = p;
  return rc;
}

}  // namespace

uint64_t VolumeStamp(std::string_view guid, std::string_view version, uint64_t size) {
  uint64_t h = 14695981039346656037ull;
  auto mix = [&h](unsigned char c) { h = (h ^ c) * 1099511628211ull; };
  for (char c : guid) mix(static_cast<unsigned char>(c));
  mix(0);
  for (char c : version) mix(static_cast<unsigned char>(c));
  mix(0);
  for (int i = 0; i < 8; ++i) mix(static_cast<unsigned char>(size >> (8 * i)));
  return h != 0 ? h : 1;
}

std::unique_ptr<BlockCache> OpenBlockCache(const std::string& cacheDir, const std::string& mapName,
                                           const StoreSizes& sizes, bool awaitEarlier) {
  platform::MakeDirectories(cacheDir, 0777);
  KDRC_FILETOC_T* toc = nullptr;
  KDRCIF_OPEN_PARAMS used{};
  // Only a store kept as it is can be seen by an earlier server's clients: one rebuilt blank
  // is made in new files, which they do not map.
  const int earlier = awaitEarlier ? platform::HeldNamedObjects("", mapName) : 0;
  int rc = OpenStore(cacheDir, mapName, sizes, 0, &toc, &used, earlier > 0);
  if (rc == kStoreNotClosedCleanly || rc == kStoreNotAnOwnersStore) {
    Log(LogLevel::kWarn, "the cache store in %s was not closed cleanly and cannot be vouched "
        "for (store error %d: the system itself stopped, or its checksums are missing); "
        "rebuilt blank", cacheDir.c_str(), rc);
    rc = OpenStore(cacheDir, mapName, sizes, 1, &toc);
  } else if (rc == kStoreFewerPages) {
    // The metafile is smaller than the pages asked for: made with other sizes.
    Log(LogLevel::kWarn, "the cache store in %s was made with fewer file pages; rebuilt blank "
        "with %d file pages, %d segments, %d extent files of %d MB", cacheDir.c_str(),
        used.filePages, used.segments, used.maxExtentFiles, used.extentMB);
    rc = OpenStore(cacheDir, mapName, sizes, 1, &toc);
  } else if (rc == 0 && toc != nullptr && SizesDiffer(toc, used)) {
    const KDRC_FILESHARED_T* had = toc->pShared;
    Log(LogLevel::kWarn, "the cache store in %s was made with other sizes (%d file pages, %d "
        "segments, %d extent files of %d MB); rebuilt blank with %d file pages, %d segments, "
        "%d extent files of %d MB", cacheDir.c_str(), had->filePages, had->segments,
        had->maxExtentFiles, had->segsPerExtent / 64, used.filePages, used.segments,
        used.maxExtentFiles, used.extentMB);
    KDRCIF_Close(&toc);
    rc = OpenStore(cacheDir, mapName, sizes, 1, &toc);
  } else if (rc == 0 && toc != nullptr && (toc->recovering == 2 || toc->recoveredDropped > 0)) {
    Log(LogLevel::kWarn, "the cache store in %s %s: repaired, %lld blocks kept, %lld dropped "
        "(blocks being written, or failing their checksum)", cacheDir.c_str(),
        toc->recovering == 2 ? "was not closed cleanly" : "was damaged",
        static_cast<long long>(toc->recoveredKept), static_cast<long long>(toc->recoveredDropped));
  }
  if (rc != 0 || toc == nullptr) {
    const char* name = rc != 0 ? KDRCX_ErrorName(rc) : nullptr;
    Log(LogLevel::kError,
        "no cache store in %s (store error %d%s%s; the lines above name the system's reason): "
        "reads are served from the vault, slowly. Fix: make the directory writable by this "
        "user, make sure no other kdrcached uses it (or give this one its own --cache-dir / "
        "--map-name), then rebuild the store with `kdrcstore reset` and restart",
        cacheDir.c_str(), rc, name != nullptr ? " " : "", name != nullptr ? name : "");
    return NewNullBlockCache();
  }
  Log(LogLevel::kInfo, "cache store %s open in %s", mapName.c_str(), cacheDir.c_str());
  if (toc->holdBack) {
    Log(LogLevel::kInfo,
        "clients of an earlier server still hold %d of its shared objects: "
        "clients that know only an open store's first signature read through this server "
        "until they let go",
        earlier);
  }
  return std::unique_ptr<BlockCache>(new StoreBlockCache(toc, cacheDir, mapName, sizes));
}

}  // namespace kdr::server
