#include "fastcache/fast_cache.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "iface/runtime.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "protocol/control_messages.h"
#include "protocol/data_messages.h"
#include "protocol/message_framing.h"
#include "protocol/server_connect.h"
#include "proxy/open_files.h"
#include "proxy/proxy_log.h"
#include "proxy/result_codes.h"
#include "proxy/thread_state.h"
#include "store/kdrc.h"
#include "store/segment_format.h"

namespace kdr {

namespace {

constexpr int64_t kBlockBytes = kdrc::seg::kSegmentSize;  // one block of a cached file

// Process-wide state of the fast cache. Plain storage, constant-initialised, never destroyed;
// guarded by lock A.
struct FastCacheState {
  KDRC_FILETOC_T* store;  // the attached store, or null
  bool attempted;         // the attach of this cycle has been tried
  int result;             // its outcome: 0 attached, negative pipe-only
};
FastCacheState g_fast{nullptr, false, 0};

const char kContinueLine[] =
    "***** The KDR fast cache will continue to operate in pipe mode with possibly degraded "
    "performance. *****\n";

void Print(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Readers copying out of the store's mapping without lock A and the cache lock (see
// fastCacheRead). The store is not closed while any is inside: closing waits for them.
std::atomic<int> g_copiers{0};

// Waits until no reader copies out of the store any more. REQUIRES: lock A, with
// g_fast.store already null or about to be closed (no new copier can start).
void WaitForCopiers() {
  while (g_copiers.load(std::memory_order_acquire) != 0) platform::SleepMs(0);
}

// Takes lock A and sets the calling thread's `busy` for a fast-cache operation.
class Operation {
 public:
  explicit Operation(ThreadRecord* record) : lock_(ProxyLock::kA), busy_(record) {}

 private:
  ProxyLockGuard lock_;
  BusyScope busy_;
};

// Whether the owner of the attached store is gone: it closed the store, or its process died.
// A server that starts again opens the same files under new names and a new cache mutex, so
// the old mapping and mutex guard nothing any more: this is checked, under the cache lock,
// before anything read from the store is used.
// REQUIRES: lock A; g_fast.store != nullptr.
bool OwnerGone() { return KDRCIF_OwnerAlive(g_fast.store) == 0; }

// Leaves a store whose owner is gone: closes it, and the next operation attaches again (to
// the store of the server that serves the pipe then, if any). The current operation is left
// to the pipe.
// REQUIRES: lock A; g_fast.store != nullptr.
void DropClosedStore() {
  KdrLogPrintf("Fast cache: the owner of the cache store is gone; reading through the pipe.\n");
  WaitForCopiers();
  KDRCIF_Close(&g_fast.store);
  g_fast.store = nullptr;
  g_fast.attempted = false;
  g_fast.result = 0;
}

// The file's size from the two words of the store's page, or -1 when the high word says none.
int64_t SizeOf(const int32_t words[2]) {
  if (words[1] < 0) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(words[1])) << 32) |
                              static_cast<uint32_t>(words[0]));
}

// Bytes of the store to copy once the cache lock is let go: `from` stays mapped as long as the
// store is open, and stays the block's while the store's change count does not move.
struct DeferredCopy {
  const uint8_t* from;
  unsigned char* to;
  int32_t n;
};

// A read's blocks located under the cache lock: the bytes of stable addresses are left for
// after the unlock (`deferred`), the others are copied at once.
struct ReadPlan {
  static constexpr int kMaxDeferred = 80;  // blocks of a 1 MiB read, and some
  DeferredCopy deferred[kMaxDeferred];
  int count = 0;
};

// The copy loop of a read, under the cache lock: bytes [p, p + length) of the file whose first
// page is `first`, block by block, straight from the store's mapping into `buffer`. With a
// `plan`, the copies of stable blocks are left to the caller (as many as fit); without one,
// every block is copied at once. Returns the count of bytes read (copied or planned),
// ERR_KDRCP_EOF, or ERR_KDRCP_BAD_ARG (see fastCacheRead).
int PlanBlocks(KDRC_PAGE_T* first, int64_t p, int64_t size, unsigned char* buffer,
               int32_t length, ReadPlan* plan) {
  const int64_t e = p + length;
  int32_t count = 0;
  while (p < e) {
    const int64_t blockNumber = p / kBlockBytes;
    if (blockNumber > std::numeric_limits<int32_t>::max()) break;
    const int32_t o = static_cast<int32_t>(p % kBlockBytes);
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(e - p, kBlockBytes - o));
    int32_t blockLength = -1;
    const uint8_t* data = nullptr;
    int stable = 0;
    if (KDRCIF_LocateBlockPart(g_fast.store, first, static_cast<int32_t>(blockNumber), o, want,
                               &data, &blockLength, &stable) != 0 ||
        blockLength < 1 || data == nullptr) {
      break;  // not cached (or unreadable): the pipe serves the rest
    }
    int32_t a = blockLength - o;
    if (a <= 0) {
      // The block ends at or before p. Inside the file's known size that is a block the
      // store holds only in part, not the end of the file: the pipe serves from here.
      if (size >= 0 && p < size) break;
      if (a < 0) return ERR_KDRCP_BAD_ARG;
      return count == 0 ? ERR_KDRCP_EOF : count;
    }
    a = std::min(a, want);
    if (plan != nullptr && stable && plan->count < ReadPlan::kMaxDeferred) {
      plan->deferred[plan->count++] = DeferredCopy{data + o, buffer + count, a};
    } else {
      std::memcpy(buffer + count, data + o, static_cast<size_t>(a));
    }
    count += a;
    p += a;
  }
  return count;
}

void DetachForClearCache() { closeFastCache(); }

int FastSize(OpenFileRecord* file) { return fastCacheFileSize(file); }

int FastRead(OpenFileRecord* file, unsigned char* destination, int32_t count) {
  return fastCacheRead(file, destination, count);
}

}  // namespace

int checkInitKDRC() {
  if (g_fast.attempted) return g_fast.result;
  g_fast.attempted = true;

  if (platform::GetEnv(kPipeOnlyVariable) != nullptr) {
    g_fast.result = -1;
    Print("\n***** WARNING: VXN proxy 'PIPE ONLY' mode detected. *****\n");
    Print(kContinueLine);
    return -1;
  }

  int c = VersionCheck(1);
  if (c != 0) {
    Print("\n***** WARNING: Improper VXN protocol version detected. *****\n");
    Print(kContinueLine);
    g_fast.result = c < 0 ? c : -c;
    return g_fast.result;
  }

  c = openFastCache();
  if (c == 0) {
    g_fast.result = 0;
    return 0;
  }
  g_fast.store = nullptr;
  std::printf("\n***** WARNING: Error %d opening KDRCache, . *****\n", c);
  Print("***** There was insufficient memory to open the KDR fast cache in memory mapped "
        "mode. *****\n");
  Print(kContinueLine);
  g_fast.result = c < 0 ? c : -c;
  return g_fast.result;
}

int openFastCache() {
  if (g_fast.store != nullptr) return 0;
  char* mapName = nullptr;
  char* directory = nullptr;
  int32_t filePages = 0;
  int32_t segments = 0;
  int32_t hashBlockPages = 0;
  int32_t mbExtents = 0;
  int32_t extents = 0;
  int r = GetCacheInitInfoMsg(&mapName, &directory, &filePages, &segments, &hashBlockPages,
                              &mbExtents, &extents);
  if (r != 0) return r < 0 ? r : -r;

  KDRCIF_OPEN_PARAMS params{};
  params.cacheDir = directory;
  params.mapName = mapName;
  params.filePages = filePages;
  params.segments = segments;
  params.hashBlocks = hashBlockPages;
  // The product of two positive 32-bit numbers; the store clamps what it cannot use.
  params.totalExtentMB = static_cast<int32_t>(std::min<int64_t>(
      static_cast<int64_t>(mbExtents) * extents, std::numeric_limits<int32_t>::max()));
  params.extentMB = mbExtents;
  params.maxExtentFiles = extents;
  params.create = 0;
  params.deleteFirst = 0;
  params.mode = KDRC_MODE_CLIENT;
  params.trace = platform::GetEnv(kStoreLogVariable) != nullptr ? 1 : 0;
  int rc = KDRCIF_OpenS(&params, &g_fast.store);
  KdrRelease(mapName);
  KdrRelease(directory);
  if (rc != 0) {
    g_fast.store = nullptr;
    return KdrCacheErrorCode(rc);
  }
  return 0;
}

int fastCacheFileSize(OpenFileRecord* file) {
  if (file == nullptr) return ERR_KDRCP_BAD_ARG;
  if (file->guid == nullptr) return ERR_KDRCP_BAD_FILE;
  if (file->serverHandle < kNoServerHandle || file->fileSize >= 0) return 0;
  ThreadRecord* record = KdrThreadRecord();
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;

  Operation op(record);
  int c = checkInitKDRC();
  if (c < 0) return c;
  if (g_fast.store == nullptr) return -1;
  int rc = KDRCIF_LockCache(g_fast.store);
  if (rc != 0 || OwnerGone()) {
    if (rc == 0) KDRCIF_UnLockCache(g_fast.store);
    if (!OwnerGone()) return -rc;
    DropClosedStore();
    return -1;
  }
  int32_t size[2] = {-1, -1};
  KDRC_PAGE_T* first = nullptr;
  rc = KDRCIF_FindFile(g_fast.store, file->guid, size, &first);
  int result = rc != 0 ? -rc : first == nullptr ? ERR_KDRCP_BAD_FILE : 0;
  // The store names the volume its blocks are of; a file it holds without naming it (blocks
  // kept from an earlier run, not yet read through this server) is opened at the server.
  const uint64_t stamp = result == 0 ? KDRCIF_VolumeStamp(g_fast.store, file->guid) : 0;
  if (result == 0 && (stamp == 0 || SizeOf(size) < 0)) result = ERR_KDRCP_BAD_FILE;
  if (result == 0) {
    file->fileSize = SizeOf(size);
    file->volumeStamp = stamp;
  }
  KDRCIF_UnLockCache(g_fast.store);
  return result;
}

// A read looks its blocks up under lock A and the cache lock, and copies what the segment file
// holds after letting go of both, so that readers of any number of threads copy at once. The
// copy stands when the store's change count is the same after it as under the lock; otherwise
// the owner may have given a segment to another block meanwhile, and the read is done again,
// copying under the lock. Whatever keeps the store from answering (its lock, a lookup that
// fails) leaves the read to the pipe: the store's own codes never reach the caller.
int fastCacheRead(OpenFileRecord* file, unsigned char* buffer, int32_t length) {
  if (file == nullptr || buffer == nullptr || length < 0) return ERR_KDRCP_BAD_ARG;
  if (file->volumeChanged) {
    KdrSetErrorText(kFileChangedText);
    return ERR_KDRCP_BAD_FILE;
  }
  // Only a handle that knows its volume reads the store, and never past its own size.
  if (file->volumeStamp == 0 || file->fileSize < 0 || file->position >= file->fileSize) return 0;
  length = static_cast<int32_t>(std::min<int64_t>(length, file->fileSize - file->position));
  if (length == 0) return 0;
  ThreadRecord* record = KdrThreadRecord();
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;

  BusyScope busy(record);
  for (int attempt = 0;; ++attempt) {
    ReadPlan plan;
    KDRC_FILETOC_T* store = nullptr;
    uint32_t changes = 0;
    int result = 0;
    {
      ProxyLockGuard lock(ProxyLock::kA);
      if (checkInitKDRC() < 0 || g_fast.store == nullptr || file->guid == nullptr) return 0;
      int rc = KDRCIF_LockCache(g_fast.store);
      if (rc != 0 || OwnerGone()) {
        if (rc == 0) KDRCIF_UnLockCache(g_fast.store);
        if (OwnerGone()) {
          DropClosedStore();
        } else {
          KdrLogPrintf("Fast cache: the cache lock failed (store error %d); reading through "
                       "the pipe.\n", rc);
        }
        return 0;
      }
      // The store serves the handle only blocks it names with the handle's volume; any other
      // case (evicted, cleared, another volume since, a name lost to another GUID) is left to
      // the pipe, where the server either serves the handle's volume or says it cannot.
      int32_t size[2] = {-1, -1};
      KDRC_PAGE_T* first = nullptr;
      if (KDRCIF_VolumeStamp(g_fast.store, file->guid) != file->volumeStamp ||
          KDRCIF_FindFile(g_fast.store, file->guid, size, &first) != 0 ||
          SizeOf(size) != file->fileSize) {
        first = nullptr;
      }
      changes = KDRCIF_ChangeCount(g_fast.store);
      if (first != nullptr) {
        result = PlanBlocks(first, file->position, file->fileSize, buffer, length,
                            attempt == 0 && changes != 0 ? &plan : nullptr);
        if (result < 0) result = 0;  // inside the handle's size: the pipe serves it
        // Copied under the lock: it stands only if no next owner retired the store meanwhile
        // (one repairs its pages in place without this lock).
        if (plan.count == 0 && result > 0 && OwnerGone()) result = 0;
        if (plan.count == 0 && result > 0) KDRCIF_CountClientRead(g_fast.store, uint64_t(result));
      }
      if (plan.count > 0 && result > 0) {
        store = g_fast.store;
        g_copiers.fetch_add(1, std::memory_order_acq_rel);
      }
      rc = KDRCIF_UnLockCache(g_fast.store);
      if (rc != 0) {
        if (store != nullptr) g_copiers.fetch_sub(1, std::memory_order_acq_rel);
        KdrLogPrintf("Fast cache: the cache unlock failed (store error %d).\n", rc);
        return 0;
      }
    }
    if (store == nullptr) return result;
    for (int i = 0; i < plan.count; ++i) {
      std::memcpy(plan.deferred[i].to, plan.deferred[i].from,
                  static_cast<size_t>(plan.deferred[i].n));
    }
    bool unchanged = KDRCIF_ChangeCount(store) == changes;
    if (unchanged) KDRCIF_CountClientRead(store, uint64_t(result));
    g_copiers.fetch_sub(1, std::memory_order_acq_rel);
    if (unchanged) return result;
  }
}

int closeFastCache() {
  int rc = 0;
  {
    ProxyLockGuard lock(ProxyLock::kA);
    if (g_fast.store != nullptr) {
      WaitForCopiers();
      rc = KDRCIF_Close(&g_fast.store);
      g_fast.store = nullptr;
    }
    g_fast.attempted = false;
    g_fast.result = 0;
  }
  return rc == 0 ? 0 : KdrCacheErrorCode(rc);
}

void InstallFastCache() {
  static const FastCacheReader reader{&FastSize, &FastRead};
  SetFastCacheReader(&reader);
  SetFastCacheDetach(&DetachForClearCache);
}

}  // namespace kdr
