// The block cache on the store engine, opened in owner mode with the shared TOC, so the
// client library's fast cache can attach to it and read blocks without a request.
//
// Concurrency: mu_ serialises every use of the TOC (one thread at a time, as the store
// requires); inside it, every operation that reads or changes the store runs under the
// store's cache lock, shared with the attached clients. Order: mu_, then the cache lock.
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "server/block_cache.h"
#include "server/log.h"
#include "server/server_limits.h"
#include "store/kdrc.h"

namespace kdr::server {

namespace {

constexpr int kStoreNotClosedCleanly = 103;
constexpr int kStoreNotAnOwnersStore = 79;
constexpr int kStoreLockAbandoned = 97;
constexpr int kStoreFullCheck =
    KDRC_CHECK_PAGES | KDRC_CHECK_FREE_LIST | KDRC_CHECK_DATE_LIST | KDRC_CHECK_HASH;
constexpr size_t kStoreGuidMax = 36;

int OpenStore(const std::string& cacheDir, const std::string& mapName, const StoreSizes& sizes,
              int deleteFirst, KDRC_FILETOC_T** toc);

class StoreBlockCache : public BlockCache {
 public:
  StoreBlockCache(KDRC_FILETOC_T* toc, std::string cacheDir, std::string mapName, StoreSizes sizes)
      : toc_(toc), cacheDir_(std::move(cacheDir)), mapName_(std::move(mapName)), sizes_(sizes) {}
  ~StoreBlockCache() override { Close(); }

  void Close() override {
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr) return;
    int rc = KDRCIF_Close(&toc_);
    toc_ = nullptr;
    if (rc != 0) Log(LogLevel::kWarn, "closing the cache store failed (store error %d)", rc);
    else Log(LogLevel::kInfo, "cache store closed");
  }

  bool Enabled() const override { return true; }

  bool Get(std::string_view guid, uint64_t fileSize, int32_t block, unsigned char* buf,
           uint32_t* len) override {
    if (guid.size() > kStoreGuidMax) return false;
    std::string g(guid);
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr || Lock() != 0) return false;
    bool hit = false;
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {0, 0};
    if (KDRCIF_FindFile(toc_, g.c_str(), size, &first) == 0 && first != nullptr &&
        SameSize(size, fileSize)) {
      int32_t n = -1;
      if (KDRCIF_ReadBlock(toc_, first, block, buf, &n) == 0 && n >= 0 &&
          static_cast<uint32_t>(n) <= kBlockSize) {
        *len = static_cast<uint32_t>(n);
        hit = true;
      }
    }
    KDRCIF_UnLockCache(toc_);
    return hit;
  }

  void Put(std::string_view guid, uint64_t fileSize, int32_t block, const unsigned char* data,
           uint32_t len) override {
    if (guid.size() > kStoreGuidMax || len > kBlockSize || fileSize > 0x7FFFFFFFFFFFull) return;
    std::string g(guid);
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr || Lock() != 0) return;
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {0, 0};
    int rc = KDRCIF_FindFile(toc_, g.c_str(), size, &first);
    if (rc == 0 && first != nullptr && !SameSize(size, fileSize)) {
      // Blocks of another content of this file: they go first.
      rc = ForgetLocked(g);
      first = nullptr;
    }
    if (rc == 0 && first == nullptr) {
      rc = KDRCIF_AddFile(toc_, g.c_str(), static_cast<uint32_t>(fileSize),
                          static_cast<uint32_t>(fileSize >> 32), &first);
    }
    if (rc == 0 && first != nullptr) {
      rc = KDRCIF_WriteBlock(toc_, &first, block, data, static_cast<int32_t>(len));
    }
    KDRCIF_UnLockCache(toc_);
    if (rc != 0) Log(LogLevel::kDebug, "block %d of %s not stored (store error %d)", block, g.c_str(), rc);
  }

  void Forget(std::string_view guid) override {
    if (guid.size() > kStoreGuidMax) return;
    std::string g(guid);
    std::lock_guard<std::mutex> guard(mu_);
    if (toc_ == nullptr) return;
    if (Lock() != 0) {
      if (toc_ == nullptr) return;
      Log(LogLevel::kWarn, "cache lock not available to drop %s; clearing the store", g.c_str());
      KDRCIF_ClearCache(toc_);
      return;
    }
    int rc = ForgetLocked(g);
    KDRCIF_UnLockCache(toc_);
    if (rc != 0) Log(LogLevel::kWarn, "could not drop %s from the store (store error %d)", g.c_str(), rc);
  }

  int Clear() override {
    std::lock_guard<std::mutex> guard(mu_);
    return toc_ == nullptr ? 0 : KDRCIF_ClearCache(toc_);
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
    info->directory = toc_->cacheDir;
    info->mapName = toc_->wellKnownName;
    return true;
  }

 private:
  // Takes the cache lock. A lock whose last holder died holding it (store error 97) may guard
  // a half-made change: the store is checked before it is used again, and rebuilt blank when
  // the check fails. Under mu_.
  int Lock() {
    int rc = KDRCIF_LockCache(toc_);
    if (rc != kStoreLockAbandoned) return rc;
    Log(LogLevel::kWarn, "a process died holding the cache lock; checking the store");
    rc = KDRCIF_LockCache(toc_);
    if (rc != 0) return rc;
    int check = KDRCFile_CheckMetaFile(toc_, kStoreFullCheck);
    if (check == 0) return 0;
    KDRCIF_UnLockCache(toc_);
    Rebuild(check);
    return toc_ == nullptr ? kStoreLockAbandoned : KDRCIF_LockCache(toc_);
  }

  // Replaces the open store by a blank one, under new object names: attached clients keep
  // the old objects until they notice that their owner let go of them. Under mu_.
  void Rebuild(int why) {
    Log(LogLevel::kWarn, "the cache store failed its check (store error %d); rebuilt blank", why);
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

  static bool SameSize(const int32_t size[2], uint64_t fileSize) {
    uint64_t s = (uint64_t{static_cast<uint32_t>(size[1])} << 32) | static_cast<uint32_t>(size[0]);
    return s == fileSize;
  }

  // Evicts every page of `guid`, first page first. Under mu_ and the cache lock. When a page
  // cannot be evicted the whole store is emptied: stale blocks must never stay behind.
  int ForgetLocked(const std::string& guid) {
    {
      KDRC_PAGE_T* first = nullptr;
      int32_t size[2] = {0, 0};
      int rc = KDRCIF_FindFile(toc_, guid.c_str(), size, &first);
      if (rc != 0) return rc;
      if (first == nullptr) return 0;
    }
    // Fast-cache handles opened on these blocks see the change before the blocks go.
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
  KDRC_FILETOC_T* toc_;  // guarded by mu_
  const std::string cacheDir_;
  std::string mapName_;  // guarded by mu_
  const StoreSizes sizes_;
};

int OpenStore(const std::string& cacheDir, const std::string& mapName, const StoreSizes& sizes,
              int deleteFirst, KDRC_FILETOC_T** toc) {
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
  int rc = KDRCIF_OpenS(&p, toc);
  std::fflush(stdout);  // the store prints its own notices there
  return rc;
}

}  // namespace

std::unique_ptr<BlockCache> OpenBlockCache(const std::string& cacheDir, const std::string& mapName,
                                           const StoreSizes& sizes) {
  std::error_code ec;
  std::filesystem::create_directories(cacheDir, ec);
  KDRC_FILETOC_T* toc = nullptr;
  int rc = OpenStore(cacheDir, mapName, sizes, 0, &toc);
  if (rc == kStoreNotClosedCleanly || rc == kStoreNotAnOwnersStore) {
    Log(LogLevel::kWarn, "the cache store in %s was not closed cleanly (store error %d); rebuilt blank",
        cacheDir.c_str(), rc);
    rc = OpenStore(cacheDir, mapName, sizes, 1, &toc);
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
  return std::unique_ptr<BlockCache>(new StoreBlockCache(toc, cacheDir, mapName, sizes));
}

}  // namespace kdr::server
