// How the fast cache keeps its contract (fast_cache.h).
//
// Attach cycle. The first fast-cache operation after start (or after closeFastCache) attaches
// once: the server's version check, the store's parameters (KDR_GET_CACHE_INIT_INFO), then the
// store opened as a client. Its result is remembered for the whole cycle: 0 = attached, a
// negative code = pipe-only mode, in which no further attempt is made and every operation
// falls through to the pipe. The attach warnings are printed once per cycle. Setting
// VXN_PROXY_PIPEONLY (to anything) makes every cycle pipe-only without any exchange.
//
// What never fails a caller: an absent store, a file the store does not hold, an uncached or
// incomplete block, a cache lock that fails (left by a process that died holding it, or not
// had within its wait), a failed lookup, and a store whose owner is gone all give 0 bytes
// (reads) or a negative size result (opens), so the pipe serves the call. Every operation but a
// hit without a lock (below) checks, under the cache lock, that the process that owns the store
// still has it open (it closed it, or died, or a restarted server took the same files over under
// new names; a death is asked of the system at most every KDRC_OWNER_CHECK_MS, 20 ms, to keep
// reads free of system calls; the files of a killed owner are never reused, so what is read
// meanwhile is whole): if not, the store is detached before anything of it is used, and the next
// operation starts a new attach cycle (with the store of whichever server then serves the pipe).
// A hit without a lock sees a closed or taken-over store by its shared record, and a dead owner
// at the latest with the locked lookup each block gets once a second.
//
// Versions: one handle, one volume. Every handle is pinned to the volume it was opened on by
// that volume's stamp (OpenFileRecord::volumeStamp): the open reply carries it for a handle
// opened at the server, and the store names it (KDRCIF_VolumeStamp) for a handle opened here.
// The server names a file's volume in the store before it writes any block of it, and drops
// the name when it drops the file, so a handle reads from the store only blocks of its own
// volume, whatever happened meanwhile (eviction, a clear, a new volume or a roll-back, a
// restarted server with a store of its own). Everything else goes to the pipe: there the
// server serves the handle's volume (a handle it opened keeps its volume), or a handle opened
// here is opened at the server first and the stamp of the reply compared; a reply that names
// another volume (or none, from a server of an earlier make) stops the handle's reads for good
// with ERR_KDRCP_BAD_FILE and the text "The file was changed since it was opened ...". A
// handle's size never changes. A handle without a stamp (opened at a server of an earlier
// make) never reads the store. The stamps are the same in every server instance, so they
// hold across restarts and reattaches. An open through the fast cache sends nothing to the
// server, so an open is only as fresh as the store (see server/server.h for the window).
//
// Concurrency contract.
//  - Lock A guards the store handle, the attach-attempted flag and the remembered result;
//    every function here takes it (checkInitKDRC requires it held), so one thread at a time
//    uses the store handle.
//  - Inside, the store's cache lock (a mutex shared with the owner process) is held around
//    each lookup, so the owner does not change pages meanwhile. Order: B -> A -> cache lock.
//    Pipe exchanges of the attach run under lock A, never under the cache lock.
//  - A read copies the bytes the segment file holds after letting go of both locks, so readers
//    of different threads copy at once; the copy counts only when the store's change count did
//    not move meanwhile (else the read is done again under the locks). Closing the store waits
//    for such copies to end.
//  - A read of blocks the calling thread looked up under the locks within the current second,
//    with the store's change count unchanged since, takes neither lock nor any system call: it
//    copies from where the lookup found the blocks and checks the count again afterwards
//    (seqlock style; fast_cache.cpp, "Hits without a lock"). Its hits are counted in the store
//    at the thread's next locked lookup, when the thread closes the store, or when it ends.
//  - The calling thread's `busy` is 1 for the length of a size lookup or a locked read, so the
//    idle monitor leaves its record alone.

#include "fastcache/fast_cache.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>

#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/runtime.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "protocol/control_messages.h"
#include "protocol/data_messages.h"
#include "protocol/message_framing.h"
#include "protocol/server_connect.h"
#include "proxy/open_files.h"
#include "store/kdrc.h"
#include "store/metafile_format.h"
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
  uint64_t attach;        // the number of the store's attach (one per open), 0 with none
  uint64_t attaches;      // attaches so far
};
FastCacheState g_fast{nullptr, false, 0, 0, 0};

const char kContinueLine[] =
    "***** The KDR fast cache will continue to operate in pipe mode with possibly degraded "
    "performance. *****\n";

void Print(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Readers copying out of the store's mapping without lock A and the cache lock (see
// fastCacheRead and "Hits without a lock"), counted in one of a few shards, so that readers of
// different threads do not all write the same cache line. The store is not closed while any
// is inside: closing waits for every shard to empty.
constexpr int kCopierShards = 16;
struct alignas(64) CopierShard {
  std::atomic<int> inside{0};
};
CopierShard g_copierShards[kCopierShards];
std::atomic<uint32_t> g_nextShard{0};

CopierShard& MyShard() {
  thread_local const uint32_t shard =
      g_nextShard.fetch_add(1, std::memory_order_relaxed) % kCopierShards;
  return g_copierShards[shard];
}

// g_fast.attach while the attached store may be read without lock A, else 0. A reader without
// the lock enters its shard first and then checks this; closing clears it first and then waits
// for the shards (both sequentially consistent), so one of the two sees the other.
std::atomic<uint64_t> g_liveAttach{0};

// Waits until no reader copies out of the store any more. REQUIRES: lock A, with
// g_fast.store already null or about to be closed (no new copier can start under lock A).
void WaitForCopiers() {
  g_liveAttach.store(0, std::memory_order_seq_cst);
  for (CopierShard& shard : g_copierShards) {
    while (shard.inside.load(std::memory_order_seq_cst) != 0) platform::SleepMs(0);
  }
}

// Copies bytes of the store's mapping that the owner may be changing at the same moment; the
// caller keeps them only when the store's change count did not move meanwhile (seqlock
// style), so a torn copy is thrown away, never used. Under ThreadSanitizer the copy is a plain
// byte loop the sanitizer does not instrument (an owner in the same process, as in some
// tests, writes the bytes without any ordering the sanitizer could see); elsewhere memcpy.
#if KDR_TSAN
__attribute__((no_sanitize("thread"))) void CopyUnlocked(unsigned char* to, const uint8_t* from,
                                                         size_t n) {
  const volatile uint8_t* f = from;
  for (size_t i = 0; i < n; ++i) to[i] = f[i];
}
#else
inline void CopyUnlocked(unsigned char* to, const uint8_t* from, size_t n) {
  std::memcpy(to, from, n);
}
#endif

// ---- Hits without a lock ----------------------------------------------------------------
// A read whose blocks this thread found under the locks a moment ago is served again without
// lock A, the cache lock or a system call, as long as nothing changed in the store. Each
// thread keeps, for the last few files it read (by GUID, volume stamp and size: a handle of
// another volume never matches), where their blocks are in the segment file's mapping, with
// the change count they were found at. Such a hit reads the count, copies, and reads the
// count again: the owner bumps the count before every change that could give a segment to
// another block (and retires its shared record before anything else touches the files), so
// an unchanged count means the copy holds the bytes the locked lookup vouched for: the
// handle's volume, checked and trusted blocks only. A moved count sends the read to the
// locked path. Nothing read from the shared files is used as an index or an address here:
// the addresses come from the thread's own lookups under the lock.
//  - A block is served so only within the second of the locked lookup that found it. That
//    lookup moved its page to the end of the store's eviction order, counted it, and checked
//    that the owner is still there; so each thread that reads a block looks it up under the
//    lock at least once a second, and a page in use is not evicted as unused.
//  - The hits are counted per thread and added to the store's counters (hits, clients' reads
//    and bytes) at the thread's next locked lookup, when it ends, and when any thread detaches
//    the store (a clear, termination): the detach first waits until no hit is being served, and
//    a hit counts itself before it leaves, so the detaching thread adds what every thread holds.
//    Only the hits served while the owner went away (dropped with its store) go uncounted.
constexpr int kViews = 4;                     // files per thread
constexpr int64_t kMaxViewEntries = 1 << 12;  // 128 KiB: a 64 MiB file without collisions
constexpr int kMaxHitBlocks = 80;             // blocks of a 1 MiB read, and some
constexpr int kGuidBytes = kdrc::meta::kGuidLength;

// Where a block was found. Valid for a view while `key` is the view's epoch and the change
// count of the lookup.
struct ViewEntry {
  const uint8_t* data;  // the block's first byte in the segment file's mapping
  uint64_t key;         // epoch << 32 | change count
  int32_t block;
  int32_t length;
  uint32_t second;  // std::time of the lookup
};

struct View {
  uint64_t attach = 0;                    // g_fast.attach of the lookups, 0: unused
  const KDRC_FILETOC_T* store = nullptr;  // the store of that attach
  uint32_t epoch = 0;                     // changes with the file the view is of
  uint32_t changes = 0;                   // the count of the latest lookup
  uint64_t stamp = 0;
  int64_t size = -1;
  char guid[kGuidBytes + 1] = {};
  uint64_t lastUse = 0;
  uint32_t mask = 0;  // entries: mask + 1
  std::unique_ptr<ViewEntry[]> entries;

  bool Of(const OpenFileRecord* file) const {
    return attach != 0 && stamp == file->volumeStamp && size == file->fileSize &&
           std::strncmp(guid, file->guid, kGuidBytes) == 0;
  }
  uint64_t Key(uint32_t count) const { return uint64_t{epoch} << 32 | count; }
};

struct ThreadViews;
void FlushThreadHits(ThreadViews* tv);

struct ThreadViews {
  View views[kViews];
  uint64_t tick = 0;
  uint32_t epochs = 0;
  // Lock-free hits not yet counted in the store of attach `countsAttach`. Written by the
  // thread itself inside a copier shard, or under lock A (by it, or by a detach).
  uint64_t countsAttach = 0;
  uint64_t hits = 0;
  uint64_t reads = 0;
  uint64_t bytes = 0;
  // On the list of threads whose hits a detach counts (under lock A) since its first lookup.
  bool listed = false;
  ThreadViews* prevListed = nullptr;
  ThreadViews* nextListed = nullptr;

  ~ThreadViews() {
    if (listed) FlushThreadHits(this);
  }
};
thread_local ThreadViews t_views;
// The threads that may hold uncounted hits. Guarded by lock A.
ThreadViews* g_listedViews = nullptr;

// The view this thread keeps of the file of `file`, or null.
View* FindView(const OpenFileRecord* file) {
  for (View& v : t_views.views) {
    if (v.Of(file)) return &v;
  }
  return nullptr;
}

// The view to note the blocks of `file` in, found at change count `changes` of the attached
// store: the file's own, else the least recently used one made over. Null when no memory.
// REQUIRES: lock A and the cache lock; changes != 0.
View* ViewFor(const OpenFileRecord* file, uint32_t changes) {
  ThreadViews& tv = t_views;
  View* v = FindView(file);
  if (v == nullptr) {
    v = &tv.views[0];
    for (View& c : tv.views) {
      if (c.lastUse < v->lastUse) v = &c;
    }
    v->attach = 0;
    const int64_t blocks =
        std::min((file->fileSize + kBlockBytes - 1) / kBlockBytes, kMaxViewEntries);
    uint32_t need = 16;
    while (need < blocks) need *= 2;
    if (v->entries == nullptr || v->mask + 1 != need) {
      v->entries.reset(new (std::nothrow) ViewEntry[need]());
      v->mask = v->entries != nullptr ? need - 1 : 0;
      if (v->entries == nullptr) return nullptr;
    }
    v->stamp = file->volumeStamp;
    v->size = file->fileSize;
    std::strncpy(v->guid, file->guid, kGuidBytes);
    v->guid[kGuidBytes] = '\0';
  }
  if (v->attach != g_fast.attach) {
    // A new file, or a store attached since: no entry of before holds.
    tv.epochs = tv.epochs + 1 == 0 ? 1 : tv.epochs + 1;
    v->epoch = tv.epochs;
    v->attach = g_fast.attach;
    v->store = g_fast.store;
  }
  v->changes = changes;
  v->lastUse = ++tv.tick;
  if (!tv.listed) {
    tv.listed = true;
    tv.nextListed = g_listedViews;
    if (g_listedViews != nullptr) g_listedViews->prevListed = &tv;
    g_listedViews = &tv;
  }
  return v;
}

// Adds the thread's lock-free hits to the counters of the attached store (when they were
// made on it; else they are dropped). REQUIRES: lock A and the cache lock.
void CountThreadHits(ThreadViews* tv) {
  if (tv->reads != 0 && tv->countsAttach == g_fast.attach && g_fast.store != nullptr) {
    KDRCIF_CountClientHits(g_fast.store, tv->hits, tv->reads, tv->bytes);
  }
  tv->hits = tv->reads = tv->bytes = 0;
}

// The same for a thread that ends, which also leaves the list: takes lock A and the cache
// lock.
void FlushThreadHits(ThreadViews* tv) {
  ProxyLockGuard lock(ProxyLock::kA);
  if (tv->reads != 0 && g_fast.store != nullptr && tv->countsAttach == g_fast.attach &&
      KDRCIF_LockCache(g_fast.store) == 0) {
    CountThreadHits(tv);
    KDRCIF_UnLockCache(g_fast.store);
  }
  tv->hits = tv->reads = tv->bytes = 0;
  if (tv->prevListed != nullptr) tv->prevListed->nextListed = tv->nextListed;
  else g_listedViews = tv->nextListed;
  if (tv->nextListed != nullptr) tv->nextListed->prevListed = tv->prevListed;
  tv->listed = false;
}

// Adds the uncounted hits of every thread to the attached store before it is detached.
// REQUIRES: lock A, and WaitForCopiers() done: no thread serves or counts a hit meanwhile.
void CountEveryThreadsHits() {
  if (g_fast.store == nullptr || KDRCIF_LockCache(g_fast.store) != 0) return;
  for (ThreadViews* tv = g_listedViews; tv != nullptr; tv = tv->nextListed) CountThreadHits(tv);
  KDRCIF_UnLockCache(g_fast.store);
}

// Serves the read of `length` bytes (1 or more, inside the file) at file->position from the
// thread's view of the file without any lock (see above). Returns the bytes copied (length),
// or -1 when the locked path must serve it.
int32_t HitWithoutLock(const OpenFileRecord* file, unsigned char* buffer, int32_t length) {
  View* v = FindView(file);
  if (v == nullptr) return -1;
  const int64_t p = file->position;
  const int64_t e = p + length;
  const int64_t firstBlock = p / kBlockBytes;
  const int64_t lastBlock = (e - 1) / kBlockBytes;
  if (lastBlock - firstBlock >= kMaxHitBlocks) return -1;
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  const uint64_t key = v->Key(v->changes);
  const ViewEntry* found[kMaxHitBlocks];
  for (int64_t b = firstBlock; b <= lastBlock; ++b) {
    const ViewEntry& x = v->entries[static_cast<uint64_t>(b) & v->mask];
    const int64_t to = std::min(e - b * kBlockBytes, kBlockBytes);
    if (x.block != b || x.key != key || x.second != now || x.length < to) return -1;
    found[b - firstBlock] = &x;
  }
  CopierShard& shard = MyShard();
  shard.inside.fetch_add(1, std::memory_order_seq_cst);
  bool served = false;
  if (g_liveAttach.load(std::memory_order_seq_cst) == v->attach) {
    const uint32_t before = KDRCIF_ChangeCountBefore(v->store);
    if (before == v->changes) {
      int64_t at = p;
      for (int64_t b = firstBlock; b <= lastBlock; ++b) {
        const int64_t o = at - b * kBlockBytes;
        const int64_t n = std::min(e, (b + 1) * kBlockBytes) - at;
        CopyUnlocked(buffer + (at - p), found[b - firstBlock]->data + o, static_cast<size_t>(n));
        at += n;
      }
      served = KDRCIF_UnchangedSince(v->store, before) != 0;
    }
  }
  if (served) {
    // Counted before leaving the shard, so that a detach, which waits for the shards to
    // empty, finds the count.
    ThreadViews& tv = t_views;
    if (tv.countsAttach != v->attach) {
      tv.countsAttach = v->attach;  // counts of an earlier attach: dropped
      tv.hits = tv.reads = tv.bytes = 0;
    }
    tv.hits += static_cast<uint64_t>(lastBlock - firstBlock + 1);
    tv.reads += 1;
    tv.bytes += static_cast<uint64_t>(length);
  }
  shard.inside.fetch_sub(1, std::memory_order_release);
  return served ? length : -1;
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
  g_fast.attach = 0;
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
// every block is copied at once. With a `view`, every block found at a stable address is noted
// in it (found now, at the view's change count). Returns the count of bytes read (copied or
// planned), ERR_KDRCP_EOF, or ERR_KDRCP_BAD_ARG (see fastCacheRead).
int PlanBlocks(KDRC_PAGE_T* first, int64_t p, int64_t size, unsigned char* buffer, int32_t length,
               ReadPlan* plan, View* view) {
  const uint32_t now = view != nullptr ? static_cast<uint32_t>(std::time(nullptr)) : 0;
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
    if (view != nullptr && stable) {
      view->entries[static_cast<uint64_t>(blockNumber) & view->mask] = ViewEntry{
          data, view->Key(view->changes), static_cast<int32_t>(blockNumber), blockLength, now};
    }
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
  g_fast.attach = ++g_fast.attaches;
  g_liveAttach.store(g_fast.attach, std::memory_order_seq_cst);
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
  if (file->guid != nullptr) {
    if (int32_t n = HitWithoutLock(file, buffer, length); n >= 0) return n;
  }
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
      CountThreadHits(&t_views);
      if (first != nullptr) {
        View* view = changes != 0 ? ViewFor(file, changes) : nullptr;
        result = PlanBlocks(first, file->position, file->fileSize, buffer, length,
                            attempt == 0 && changes != 0 ? &plan : nullptr, view);
        if (result < 0) result = 0;  // inside the handle's size: the pipe serves it
        // Copied under the lock: it stands only if no next owner retired the store meanwhile
        // (one repairs its pages in place without this lock).
        if (plan.count == 0 && result > 0 && OwnerGone()) result = 0;
        if (plan.count == 0 && result > 0) KDRCIF_CountClientRead(g_fast.store, uint64_t(result));
      }
      if (plan.count > 0 && result > 0) {
        store = g_fast.store;
        MyShard().inside.fetch_add(1, std::memory_order_acq_rel);
      }
      rc = KDRCIF_UnLockCache(g_fast.store);
      if (rc != 0) {
        if (store != nullptr) MyShard().inside.fetch_sub(1, std::memory_order_acq_rel);
        KdrLogPrintf("Fast cache: the cache unlock failed (store error %d).\n", rc);
        return 0;
      }
    }
    if (store == nullptr) return result;
    for (int i = 0; i < plan.count; ++i) {
      CopyUnlocked(plan.deferred[i].to, plan.deferred[i].from,
                   static_cast<size_t>(plan.deferred[i].n));
    }
    bool unchanged = KDRCIF_ChangeCount(store) == changes;
    if (unchanged) KDRCIF_CountClientRead(store, uint64_t(result));
    MyShard().inside.fetch_sub(1, std::memory_order_acq_rel);
    if (unchanged) return result;
  }
}

int closeFastCache() {
  int rc = 0;
  {
    ProxyLockGuard lock(ProxyLock::kA);
    if (g_fast.store != nullptr) {
      WaitForCopiers();
      CountEveryThreadsHits();
      rc = KDRCIF_Close(&g_fast.store);
      g_fast.store = nullptr;
      g_fast.attach = 0;
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
