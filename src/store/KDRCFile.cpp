// KDRCFile: the metafile. Its size parameters, open and close of a store's file TOC, free and
// floating pages, file page chains, block lookup and reading, the free-segment list and the
// cache lock.
//
// Every page number and segment number read from the mapped file is bounded before it is used
// as an index, and every chain walk stops after as many steps as there are pages, so a
// damaged or hostile file gives a code, never a hang or an access outside the mapping.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/durable.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/shared_objects.h"
#include "store/kdrc_internal.h"
#include "store/segment_format.h"

static const char kModule[] = "KDRCFile";

namespace plat = kdr::platform;
namespace meta = kdrc::meta;
using kdrc::seg::kSegmentSize;

namespace {

constexpr uint32_t kLockTimeoutMs = 5000;

int32_t Now() { return static_cast<int32_t>(std::time(nullptr)); }

int32_t EnvInt(const char* name, int32_t current) {
  const char* v = plat::GetEnv(name);
  return v != nullptr ? std::atoi(v) : current;
}

void MakeFloating(meta::Page* p) {
  p->kind = meta::kFloating;
  p->next = p->prev = p->hashLink = -1;
  p->firstPage = 0;
  p->used = 0;
  std::memset(p->entries, 0xFF, sizeof p->entries);
}

// Checks that `page` points at a page of this store's mapping.
int CheckPagePointer(KDRC_FILETOC_T* toc, const meta::Page* page, const char* function, int line) {
  if (KDRCX_PageNumber(toc, page) < 0) {
    KDRCX_SetError(toc->pErr, kModule, function, line, KDRC_ERROR_UTIL_BAD_VM_POINTER);
    return KDRCX_Traceback(function, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  }
  return 0;
}
#define KDRC_CHECK_PAGE_PTR(toc, page)                                          \
  do {                                                                          \
    if (int rc_ = CheckPagePointer((toc), (page), __func__, __LINE__)) return rc_; \
  } while (0)

// Follows p->next of an allocated chain: *out is the next page (checked as allocated) or null.
int NextOfFile(KDRC_FILETOC_T* toc, const meta::Page* p, meta::Page** out, const char* function,
               int line) {
  *out = nullptr;
  int32_t n = p->next;
  if (n == -1) return 0;
  if (n < -1 || n >= toc->pageCount) {
    int code = n < -1 ? KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO
                      : KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES;
    KDRCX_SetErrorValue(toc->pErr, kModule, function, line, n, code);
    return KDRCX_Traceback(function, code);
  }
  meta::Page* q = KDRCX_PageAt(toc, n);
  if (int rc = KDRCFile_CheckPageConsistency(toc, q, meta::kAllocated))
    return KDRCX_Traceback(function, rc);
  *out = q;
  return 0;
}

// A file's chain visited more pages than the store holds: it loops.
int ChainLoops(KDRC_FILETOC_T* toc, const char* function, int line) {
  KDRCX_SetError(toc->pErr, kModule, function, line,
                 KDRC_ERROR_METAFILE_NEXT_OFFSET_PAGE_DOES_NOT_MATCH_NEXT_PAGE_OFFSET);
  return KDRCX_Traceback(function, KDRC_ERROR_METAFILE_NEXT_OFFSET_PAGE_DOES_NOT_MATCH_NEXT_PAGE_OFFSET);
}

// Where segment g's 16384 bytes are, or null (with the failure recorded) when they cannot be
// reached.
int SegmentAddress(KDRC_FILETOC_T* toc, int32_t g, uint8_t** out) {
  *out = nullptr;
  KDRC_FILESHARED_T* sh = toc->pShared;
  KDRC_SEGMENTTOC_T* seg = toc->pSegmentToc;
  if (g < 0 || g >= int64_t(sh->segments) + sh->extentSegments)
    return KDRCX_FailValue(toc->pErr, kModule, "SegmentAddress", __LINE__, g,
                           KDRC_ERROR_SEGMENT_BAD_OFFSET);
  if (seg == nullptr || seg->signature != KDRC_SEGMENTTOC_T_SIG)
    return KDRCX_Fail(toc->pErr, kModule, "SegmentAddress", __LINE__,
                      KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  if (g < sh->segments) {
    if (seg->pSegment0 == nullptr ||
        kdrc::seg::SegmentOffset(g) + kSegmentSize > seg->mappedBytes)
      return KDRCX_FailValue(toc->pErr, kModule, "SegmentAddress", __LINE__, g,
                             KDRC_ERROR_SEGMENT_BAD_OFFSET);
    *out = seg->pSegment0 + kdrc::seg::SegmentOffset(g);
    return 0;
  }
  int32_t perExtent = sh->segsPerExtent;
  if (perExtent < 1)
    return KDRCX_FailValue(toc->pErr, kModule, "SegmentAddress", __LINE__, g,
                           KDRC_ERROR_SEGMENT_BAD_OFFSET);
  int32_t e = (g - sh->segments) / perExtent;
  int32_t r = (g - sh->segments) % perExtent;
  KDRC_EXTENTMAP_T* m = nullptr;
  if (int rc = KDRCX_GetExtentMapping(toc, e, r, &m)) return KDRCX_Traceback("SegmentAddress", rc);
  if (m == nullptr || e >= seg->extentSlots || seg->pExtents[e] == nullptr ||
      seg->pExtents[e]->pWindow == nullptr)
    return KDRCX_Fail(toc->pErr, kModule, "SegmentAddress", __LINE__,
                      KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  int32_t d = r - m->firstSegment;
  if (d < 0)
    return KDRCX_FailValue(toc->pErr, kModule, "SegmentAddress", __LINE__, d,
                           KDRC_ERROR_SEGMENT_BAD_OFFSET);
  *out = seg->pExtents[e]->pWindow + kdrc::seg::SegmentOffset(d);
  return 0;
}

void PrintCodeLine(int code) {
  KDRCX_Print("***ERROR(%d): %s\n", code, KDRCX_ErrorName(code));
}

// Clients of an owner that died may still map its files: its shared record (at the start of
// the segment file) is marked closed, and its change count moved, before the files are
// repaired in place, so they let go (KDRCIF_OwnerAlive) and trust no copy made meanwhile.
// Returns 0, or 103 when the record could not be retired (its clients would read on during
// the repair): the store is then not repaired but refused as not closed cleanly.
int RetireDeadOwnersRecord(KDRC_FILETOC_T* toc) {
  char* path = nullptr;
  if (KDRCX_getFilePath(toc, toc->cacheDir, nullptr, kdrc::seg::kFileEnv, kdrc::seg::kDefaultFile,
                        &path) != 0)
    return KDRC_PASS(KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
  int fd = KDRC_NO_FILE;
  int os = plat::OpenFile(path, plat::FileMode::kReadWrite, &fd);
  std::free(path);
  if (os == ENOENT) return 0;  // no segment file: nobody can have mapped one
  if (os == 0) {
    uint32_t words[2] = {0, 0};
    size_t done = 0;
    os = plat::ReadFileAt(fd, 0, words, sizeof words, &done);
    if (os == 0 && done == sizeof words &&
        (int32_t(words[0]) == KDRC_FILESHARED_T_SIG ||
         int32_t(words[0]) == KDRC_FILESHARED_T_CHECKING_SIG)) {
      words[0] = uint32_t(KDRC_FILESHARED_T_CLOSED_SIG);
      words[1] = words[1] + 1 == 0 ? 1 : words[1] + 1;
      os = plat::WriteFileAt(fd, 0, words, sizeof words);
    }
    int cos = plat::CloseFile(fd);
    if (os == 0) os = cos;
  }
  if (os == 0) return 0;
  KDRCX_NoteOSError(os);
  return KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
}

}  // namespace

int KDRCX_SegmentAddress(KDRC_FILETOC_T* pToc, int32_t g, const uint8_t** out) {
  uint8_t* at = nullptr;
  int rc = SegmentAddress(pToc, g, &at);
  *out = at;
  return rc;
}

namespace {

// A first change count for a store being opened: never 0, and unlike the count of an earlier
// open of the same files, so an index kept across an owner's restart cannot match by chance.
uint32_t ChangeSeed() {
  auto ns = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  uint32_t v = static_cast<uint32_t>(ns ^ (ns >> 32)) * 2654435761u;
  return v == 0 ? 1 : v;
}

// ---- Block index -----------------------------------------------------------------------
// Finding block b of a file by its page chain costs a walk from the file's first page. One
// walk fills an index of every block of the file, which answers later lookups in constant
// time while the store's change count stays where it was when the index was built: every
// change that could move a block bumps it (KDRCX_NoteStoreChange), and lookups run under the
// cache lock, so a matching count means the chain is exactly as walked. The pages are checked
// as the walk finds them, not again on every lookup.
constexpr int kIndexSlots = 8;                   // files indexed at once, per TOC
constexpr int32_t kIndexBlockLimit = 1 << 20;    // blocks past 16 GiB are found by walking

struct IndexEntry {
  int32_t segment;  // -1: the block is not cached
  int32_t length;
  int32_t page;     // page number of the entry (its access time is the file's)
};

struct IndexSlot {
  int32_t first;     // the file's first page number, -1 for an empty slot
  uint32_t changes;  // the change count the index was built at
  int32_t blocks;    // entries [0, blocks) are meaningful
  int32_t capacity;
  IndexEntry* entries;
  uint64_t lastUse;
  // A page of the chain no page before which has room for an entry (-1: not known): where a
  // new entry's search for room starts, so that a file written block by block is not walked
  // from its first page for every block.
  int32_t room;
};

}  // namespace

struct KDRC_BLOCKINDEX_T {
  IndexSlot slots[kIndexSlots];
  uint64_t tick;
};

namespace {

// Makes room for blocks [0, need) in the slot; new entries are "not cached".
bool GrowIndex(IndexSlot* s, int32_t need) {
  if (need <= s->blocks) return true;
  if (need > s->capacity) {
    int32_t cap = s->capacity < 64 ? 64 : s->capacity;
    while (cap < need) cap = cap > kIndexBlockLimit / 2 ? kIndexBlockLimit : cap * 2;
    auto* grown =
        static_cast<IndexEntry*>(std::realloc(s->entries, size_t(cap) * sizeof(IndexEntry)));
    if (grown == nullptr) return false;
    s->entries = grown;
    s->capacity = cap;
  }
  for (int32_t b = s->blocks; b < need; ++b) s->entries[b] = IndexEntry{-1, -1, -1};
  s->blocks = need;
  return true;
}

// Fills `s` from one walk of the chain at `first` (checked page by page). False when the chain
// cannot be walked (a damaged page or chain, or no memory): the caller then walks as it
// always could, and reports what that walk finds.
bool BuildIndex(KDRC_FILETOC_T* toc, meta::Page* first, IndexSlot* s) {
  s->blocks = 0;
  s->room = -1;
  if (KDRCFile_CheckPageConsistency(toc, first, meta::kAllocated) != 0) return false;
  meta::Page* p = first;
  for (int32_t steps = 0; p != nullptr; ++steps) {
    if (steps > toc->pageCount) return false;
    int32_t page = KDRCX_PageNumber(toc, p);
    if (s->room == -1 && (p->used < meta::kEntriesPerPage || p->next == -1)) s->room = page;
    for (int32_t i = 0; i < p->used && i < meta::kEntriesPerPage; ++i) {
      const meta::SegmentEntry& e = p->entries[i];
      if (e.block < 0 || e.block >= kIndexBlockLimit) continue;
      if (!GrowIndex(s, e.block + 1)) return false;
      IndexEntry& x = s->entries[e.block];
      if (x.segment == -1) x = IndexEntry{e.segment, e.length, page};  // the first one found
    }
    int32_t n = p->next;
    if (n == -1) break;
    meta::Page* q = KDRCX_PageAt(toc, n);
    if (q == nullptr || KDRCFile_CheckPageConsistency(toc, q, meta::kAllocated) != 0) return false;
    p = q;
  }
  return true;
}

// The index of the file at `first`, valid at change count `changes`; built when the TOC has
// none that is current. Null when none can be had.
IndexSlot* IndexFor(KDRC_FILETOC_T* toc, meta::Page* first, uint32_t changes) {
  if (toc->pBlockIndex == nullptr) {
    toc->pBlockIndex = static_cast<KDRC_BLOCKINDEX_T*>(std::calloc(1, sizeof(KDRC_BLOCKINDEX_T)));
    if (toc->pBlockIndex == nullptr) return nullptr;
    for (IndexSlot& s : toc->pBlockIndex->slots) s.first = -1;
  }
  KDRC_BLOCKINDEX_T* ix = toc->pBlockIndex;
  int32_t number = KDRCX_PageNumber(toc, first);
  IndexSlot* victim = &ix->slots[0];
  for (IndexSlot& s : ix->slots) {
    if (s.first == number) {
      victim = &s;
      break;
    }
    if (s.lastUse < victim->lastUse) victim = &s;
  }
  victim->lastUse = ++ix->tick;
  if (victim->first == number && victim->changes == changes) return victim;
  victim->first = -1;
  if (!BuildIndex(toc, first, victim)) return nullptr;
  victim->first = number;
  victim->changes = changes;
  return victim;
}

// The index of the file at `first` when one is current at change count `changes`, else null
// (none is built).
IndexSlot* CurrentIndex(KDRC_FILETOC_T* toc, const meta::Page* first, uint32_t changes) {
  if (toc->pBlockIndex == nullptr || changes == 0) return nullptr;
  const int32_t number = KDRCX_PageNumber(toc, first);
  for (IndexSlot& s : toc->pBlockIndex->slots) {
    if (s.first == number && s.changes == changes) return &s;
  }
  return nullptr;
}

}  // namespace

namespace {

// The change count as the lock holder reads it. Atomic, since readers of other threads read
// and touch it without the lock (KDRCIF_ChangeCount).
uint32_t ChangesOf(const KDRC_FILETOC_T* toc) {
  if (toc->pShared == nullptr) return 0;
  return std::atomic_ref<uint32_t>(toc->pShared->changes).load(std::memory_order_relaxed);
}

}  // namespace

void KDRCX_NoteStoreChange(KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr || pToc->pShared == nullptr) return;
  // Readers that copy a segment without the cache lock compare the count before and after
  // (KDRCIF_ChangeCount): the new count is published before the change it announces.
  // The release fence after the new count keeps the change's own writes from being seen
  // before it, by a reader that reads the count again after an acquire fence (the exchange's
  // acquire half alone does not promise that on every processor). Only the owner writes the
  // count, under the cache lock.
  std::atomic_ref<uint32_t> count(pToc->pShared->changes);
  uint32_t c = count.load(std::memory_order_relaxed) + 1;
  count.exchange(c == 0 ? 1 : c, std::memory_order_acq_rel);
#if !KDR_TSAN
  std::atomic_thread_fence(std::memory_order_release);  // ThreadSanitizer has no fences
#endif
}

uint32_t KDRCIF_ChangeCount(const KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr || pToc->pShared == nullptr) return 0;
  // A read-modify-write that changes nothing: its release half keeps a copy made before it
  // from moving past the read.
  uint32_t count =
      std::atomic_ref<uint32_t>(pToc->pShared->changes).fetch_add(0, std::memory_order_acq_rel);
  // A record its owner let go of (closed, or retired by the next owner before it repairs the
  // files in place) gives no count: nothing copied without the lock then stands, also a copy
  // whose count was read after the retirement.
  auto sig = std::atomic_ref<int32_t>(pToc->pShared->signature).load(std::memory_order_acquire);
  return KDRCX_SharedOpen(pToc, sig) ? count : 0;
}

uint32_t KDRCIF_ChangeCountBefore(const KDRC_FILETOC_T* pToc) {
  KDRC_FILESHARED_T* sh = pToc->pShared;
  uint32_t count = std::atomic_ref<uint32_t>(sh->changes).load(std::memory_order_acquire);
  auto sig = std::atomic_ref<int32_t>(sh->signature).load(std::memory_order_acquire);
  return KDRCX_SharedOpen(pToc, sig) ? count : 0;
}

int KDRCIF_UnchangedSince(const KDRC_FILETOC_T* pToc, uint32_t before) {
  KDRC_FILESHARED_T* sh = pToc->pShared;
#if KDR_TSAN
  // The sanitizer does not model fences: the read-modify-write orders the same way for it.
  uint32_t count = std::atomic_ref<uint32_t>(sh->changes).fetch_add(0, std::memory_order_acq_rel);
#else
  // Every load of the copy before the loads below, without a write to the shared line (which
  // every reader of every process would otherwise take in turn).
  std::atomic_thread_fence(std::memory_order_acquire);
  uint32_t count = std::atomic_ref<uint32_t>(sh->changes).load(std::memory_order_relaxed);
#endif
  auto sig = std::atomic_ref<int32_t>(sh->signature).load(std::memory_order_relaxed);
  return before != 0 && count == before && KDRCX_SharedOpen(pToc, sig) ? 1 : 0;
}

namespace {

// Counts the change of an entry appended to the file at `first`, and keeps this TOC's index of
// that file current when it was current up to this change (a file being written block by
// block would otherwise be walked again for every block).
void NoteAppendedEntry(KDRC_FILETOC_T* toc, meta::Page* first, const meta::SegmentEntry& e,
                       int32_t page) {
  const uint32_t before = ChangesOf(toc);
  KDRCX_NoteStoreChange(toc);
  if (before == 0 || toc->pBlockIndex == nullptr) return;
  const int32_t number = KDRCX_PageNumber(toc, first);
  for (IndexSlot& s : toc->pBlockIndex->slots) {
    if (s.first != number || s.changes != before) continue;
    if (e.block >= 0 && e.block < kIndexBlockLimit) {
      if (!GrowIndex(&s, e.block + 1)) {
        s.first = -1;
        return;
      }
      IndexEntry& x = s.entries[e.block];
      if (x.segment == -1) x = IndexEntry{e.segment, e.length, page};
    }
    s.room = page;  // the pages before it were full, as the search for room found
    s.changes = ChangesOf(toc);
    return;
  }
}

}  // namespace

void KDRCX_FreeBlockIndex(KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr || pToc->pBlockIndex == nullptr) return;
  for (IndexSlot& s : pToc->pBlockIndex->slots) std::free(s.entries);
  std::free(pToc->pBlockIndex);
  pToc->pBlockIndex = nullptr;
}


KDRC_PAGE_T* KDRCX_PageAt(const KDRC_FILETOC_T* pToc, int32_t n) {
  if (pToc == nullptr || pToc->pPages == nullptr || n < 0 || n >= pToc->pageCount) return nullptr;
  return pToc->pPages + n;
}

int32_t KDRCX_PageNumber(const KDRC_FILETOC_T* pToc, const KDRC_PAGE_T* pPage) {
  if (pToc == nullptr || pToc->pPages == nullptr || pPage == nullptr) return -1;
  auto base = reinterpret_cast<uintptr_t>(pToc->pPages);
  auto at = reinterpret_cast<uintptr_t>(pPage);
  if (at < base || (at - base) % sizeof(meta::Page) != 0) return -1;
  uintptr_t n = (at - base) / sizeof(meta::Page);
  return n < uintptr_t(pToc->pageCount) ? int32_t(n) : -1;
}

void KDRCX_ClampCacheParameters(KDRC_CACHE_PARAMS* p, int mode) {
  p->filePages = EnvInt("KDRC_MAX_NUMBER_OF_FILE_PAGES", p->filePages);
  p->segments = EnvInt("KDRC_MAXIMUM_NUMBER_OF_SEGMENTS", p->segments);
  p->hashBlocks = EnvInt("KDRC_HASH_BLOCK_PAGES", p->hashBlocks);
  if (plat::GetEnv("KDRC_MAX_EXT_FILES") != nullptr) {
    p->maxExtentFiles = EnvInt("KDRC_MAX_EXT_FILES", p->maxExtentFiles);
    p->totalExtentMB = p->extentMB * p->maxExtentFiles;
  }
  if (plat::GetEnv("KDRC_MAXIMUM_EXTENT_MEGABYTES") != nullptr) {
    p->extentMB = EnvInt("KDRC_MAXIMUM_EXTENT_MEGABYTES", p->extentMB);
    p->totalExtentMB = p->maxExtentFiles * p->extentMB;
  }
  if (p->filePages > meta::kMaxFilePages) p->filePages = meta::kMaxFilePages;
  if (p->segments > meta::kMaxSegments) p->segments = meta::kMaxSegments;
  if (p->filePages < 2) p->filePages = meta::kDefaultFilePages;
  if (p->segments < 1) p->segments = meta::kDefaultSegments;
  if (mode != KDRC_MODE_STANDALONE) {
    int64_t need = (int64_t(p->filePages) * meta::kSharedTocBytesPerPage + meta::kSharedTocClampSlack) / kSegmentSize + (p->totalExtentMB == 0 ? 2 : 1);
    if (p->segments < need) p->segments = int32_t(need);
  }
  if (p->hashBlocks > meta::kMaxHashBlocks) p->hashBlocks = meta::kMaxHashBlocks;
  if (p->extentMB > meta::kMaxExtentMegabytes) p->extentMB = meta::kMaxExtentMegabytes;
  if (p->hashBlocks < 1) p->hashBlocks = meta::kDefaultHashBlocks;
  if (p->extentMB < meta::kMinExtentMegabytes) p->extentMB = meta::kMinExtentMegabytes;
  p->extentMB = (p->extentMB + 8) & ~15;
  int64_t m = 0;
  if (p->totalExtentMB >= 1) {
    m = (int64_t(p->totalExtentMB) + p->extentMB - 1) / p->extentMB;
  } else {
    p->extentMB = meta::kMinExtentMegabytes;
  }
  int64_t cap = (meta::kMaxTotalMegabytes - p->segments / meta::kSegmentsPerMegabyte) / p->extentMB;
  if (m < 0) m = 0;
  if (m > cap) m = cap;
  if (m > meta::kMaxExtentFiles) m = meta::kMaxExtentFiles;
  p->maxExtentFiles = int32_t(m);
  p->totalExtentMB = p->maxExtentFiles * p->extentMB;
}

int KDRCX_WriteNewMetaFile(KDRC_FILETOC_T* pToc, KDRC_OSFILE metaFile) {
  KDRC_CHECK_SHARED(pToc);
  if (metaFile == KDRC_NO_FILE) return KDRC_NULL_PARAM(pToc->pErr, "metaFile");
  KDRC_FILESHARED_T* sh = pToc->pShared;
  int32_t pages = sh->filePages;
  meta::Header h;
  std::memset(&h, 0, sizeof h);
  h.version = pToc->version;
  h.freeHead = pages > 0 ? 0 : -1;
  h.freeTail = pages - 1;
  h.freeCount = pages;
  h.filePages = pages;
  h.segments = sh->segments;
  h.hashBlocks = sh->hashBlocks;
  h.maxExtentFiles = sh->maxExtentFiles;
  h.segsPerExtent = sh->segsPerExtent;
  h.totalExtentMB = sh->totalExtentMB;
  h.cleanMarker = meta::kCleanMarker;
  sh->extentSegments = 0;
  sh->extentFiles = 0;
  if (int os = plat::WriteFileAt(metaFile, 0, &h, sizeof h))
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_FILE_CANNOT_WRITE_EMPTY_INDEX_FILE, os);
  // Pages go out in batches: a store of two million pages must not take a call per page.
  constexpr int32_t kBatch = 256;
  auto* batch = static_cast<meta::Page*>(std::malloc(sizeof(meta::Page) * kBatch));
  if (batch == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "pages");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  for (int32_t start = 0; start < pages; start += kBatch) {
    int32_t count = pages - start < kBatch ? pages - start : kBatch;
    for (int32_t i = 0; i < count; ++i) {
      int32_t n = start + i;
      meta::Page& pg = batch[i];
      std::memset(&pg, 0, sizeof pg);
      pg.mark = meta::kPageMark;
      pg.kind = meta::kFree;
      pg.self = n;
      pg.next = n + 1 < pages ? n + 1 : -1;
      pg.prev = n - 1;
      pg.hashLink = -1;
      std::memset(pg.entries, 0xFF, sizeof pg.entries);
    }
    if (int os = plat::WriteFileAt(metaFile, meta::PageOffset(start), batch,
                                   sizeof(meta::Page) * size_t(count))) {
      std::free(batch);
      return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_KDRC_CANNOT_CREATE_META_FILE, os);
    }
  }
  std::free(batch);
  return 0;
}

int KDRCFile_Open(KDRC_FILETOC_T** ppToc, const char* cacheDir, const char* mapName,
                  int32_t filePages, int32_t segments, int32_t hashBlocks,
                  int32_t maxExtentFiles, int32_t extentMB, int create, int deleteFirst,
                  int attach, int logFlag, int mode, int* pNewCache, int recover) {
  KDRC_CACHE_PARAMS prm{filePages, segments, hashBlocks, maxExtentFiles * extentMB, extentMB,
                        maxExtentFiles};
  KDRCX_ClampCacheParameters(&prm, mode);
  if (ppToc == nullptr) return KDRCX_NullPointer("ppToc", KDRC_HERE);
  if (pNewCache == nullptr) return KDRCX_NullPointer("pNewCache", KDRC_HERE);
  *ppToc = nullptr;
  *pNewCache = 0;

  KDRC_FILETOC_T* toc = nullptr;
  if (int rc = KDRCTOC_Open(&toc, mode)) return KDRC_PASS(rc);
  toc->version = meta::kVersion;
  KDRC_FILESHARED_T* sh = toc->pShared;
  sh->filePages = prm.filePages;
  sh->segments = prm.segments;
  sh->maxExtentFiles = prm.maxExtentFiles;
  sh->hashBlocks = prm.hashBlocks;
  sh->segsPerExtent = prm.extentMB * meta::kSegmentsPerMegabyte;
  sh->totalExtentMB = prm.totalExtentMB;
  sh->changes = ChangeSeed();

  int fd = KDRC_NO_FILE;
  const char* const self = __func__;
  auto fail = [&](int code) {
    KDRCX_Traceback(self, code);
    if (fd != KDRC_NO_FILE) plat::CloseFile(fd);
    // Nothing of the TOC is handed out: release all of it here.
    KDRCFile_Close(toc);
    return code;
  };
  int rc = 0;
  if ((rc = KDRCX_getGetEnv(toc, cacheDir, "KDRC_DEFAULT_CACHE_DIR", ".", &toc->cacheDir)))
    return fail(rc);
  if ((rc = KDRCX_getFilePath(toc, toc->cacheDir, nullptr, "KDRC_DEFAULT_METAFILE", "kdr.mf",
                              &toc->metaFilePath)))
    return fail(rc);
  if ((rc = KDRCX_getFilePath(toc, toc->cacheDir, nullptr, "KDRC_DEFAULT_LOGFILE", "kdr.log",
                              &toc->logPath)))
    return fail(rc);
  toc->wellKnownName = KDRCX_StrDup(mapName != nullptr ? mapName : "kdr");
  if (toc->wellKnownName == nullptr)
    return fail(KDRCX_OutOfMemory(KDRC_HERE, "pToc->wellKnownName"));
  if (mapName != nullptr) {
    size_t n = std::strlen(mapName) + 4;
    toc->metaMapName = static_cast<char*>(std::malloc(n));
    if (toc->metaMapName != nullptr) std::snprintf(toc->metaMapName, n, "%s_MF", mapName);
  } else {
    const char* env = plat::GetEnv("KDRC_DEFAULT_METAFILE_MAPNAME");
    toc->metaMapName = KDRCX_StrDup(env != nullptr ? env : "KDR_MF");
  }
  if (toc->metaMapName == nullptr) return fail(KDRCX_OutOfMemory(KDRC_HERE, "mapName"));

  if (!attach) {
    if (deleteFirst && (rc = KDRCX_DeleteOSFile(toc->pErr, toc->metaFilePath))) return fail(rc);
    if (KDRCX_OSFileExists(toc->pErr, toc->metaFilePath) == 0) {
      if (!create)
        return fail(KDRCX_SetError(
            toc->pErr, KDRC_HERE,
            KDRC_ERROR_METAFILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED));
      int os = plat::OpenFile(toc->metaFilePath, plat::FileMode::kCreatePrivate, &fd);
      if (os != 0) {
        KDRCX_NoteOSError(os);
        return fail(KDRCX_SetError(toc->pErr, KDRC_HERE,
                                   KDRC_ERROR_METAFILE_KDRC_CANNOT_CREATE_META_FILE));
      }
      if ((rc = KDRCX_WriteNewMetaFile(toc, fd))) return fail(rc);
      os = plat::CloseFile(fd);
      fd = KDRC_NO_FILE;
      if (os != 0) {
        KDRCX_NoteOSError(os);
        return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_METAFILE_CANNOT_CLOSE_METAFILE));
      }
      *pNewCache = 1;
    }
  }
  if (KDRCX_OSFileExists(toc->pErr, toc->metaFilePath) == 0)
    return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_METAFILE_DOES_NOT_EXIST));

  uint64_t size = 0;
  int os = plat::StatPath(toc->metaFilePath, &size);
  if (os != 0 || size < meta::FileSizeFor(sh->filePages)) {
    PrintCodeLine(KDRC_ERROR_METAFILE_MISSING_FILE_PAGE);
    KDRCX_NoteOSError(os);
    return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_METAFILE_MISSING_FILE_PAGE));
  }

  void* mem = nullptr;
  if ((rc = KDRCX_MapOSFile(toc, toc->metaFilePath, toc->metaMapName, attach, -1, &toc->view,
                            &mem, &toc->hFile, &toc->hMap)))
    return fail(rc);
  uint64_t mapped = plat::MappingObjectSize(toc->hMap);
  if (mapped < sizeof(meta::Header)) {
    PrintCodeLine(KDRC_ERROR_METAFILE_MISSING_FILE_PAGE);
    return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_METAFILE_MISSING_FILE_PAGE));
  }
  toc->pHeader = static_cast<meta::Header*>(mem);
  toc->pPages = reinterpret_cast<meta::Page*>(static_cast<uint8_t*>(mem) + meta::kRecordSize);

  meta::Header* h = toc->pHeader;
  toc->version = h->version;
  if (toc->version != meta::kVersion) {
    KDRCX_BadSig("File Header Version", KDRC_HERE);
    return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_BAD_TYPE_SIG));
  }
  // From here the file's own sizes rule. Its page count must be one the mapping holds.
  if (h->filePages < 1 || h->filePages > meta::kMaxFilePages ||
      meta::FileSizeFor(h->filePages) > mapped) {
    PrintCodeLine(KDRC_ERROR_METAFILE_MISSING_FILE_PAGE);
    return fail(KDRCX_SetErrorValue(toc->pErr, KDRC_HERE, h->filePages,
                                    KDRC_ERROR_METAFILE_MISSING_FILE_PAGE));
  }
  toc->pageCount = h->filePages;
  sh->filePages = h->filePages;
  sh->segments = h->segments;
  sh->hashBlocks = h->hashBlocks;
  sh->extentSegments = h->extentSegments;
  sh->extentFiles = h->extentFiles;
  sh->totalExtentMB = h->totalExtentMB;
  sh->maxExtentFiles = h->maxExtentFiles;
  sh->segsPerExtent = h->segsPerExtent;

  // A store its owner did not close is repaired when it can be vouched for: left open in this
  // boot of the system (a crash of the process loses no written page; a crash of the system
  // may have lost any), with the checksums of its blocks.
  // Marked open (on the disk) before a repair changes a page, as every owner open does before
  // it changes anything: a crash of the system in the middle of it leaves a store the next
  // open does not take as whole.
  auto repair = [&](int kind) {
    std::string boot = kdr::platform::BootId();
    std::memset(h->bootId, 0, sizeof h->bootId);
    std::memcpy(h->bootId, boot.data(), std::min(boot.size(), sizeof h->bootId - 1));
    h->cleanMarker = meta::kOpenMarker;
    kdr::platform::SyncMapped(h, sizeof *h);
    if (kind == 2) {
      if (int code = RetireDeadOwnersRecord(toc)) return code;
    }
    if (int code = KDRCX_SalvagePages(toc)) return code;
    toc->recovering = kind;
    return 0;
  };
  bool mayRepair = !attach && recover && mode != KDRC_MODE_CLIENT;
  const bool wasClean = h->cleanMarker == meta::kCleanMarker;
  if (mayRepair && !wasClean) {
    std::string boot = kdr::platform::BootId();
    if (!boot.empty() && boot.size() < sizeof h->bootId &&
        std::strncmp(h->bootId, boot.c_str(), sizeof h->bootId) == 0 && KDRCX_SumsUsable(toc) &&
        (rc = repair(2)))
      return fail(rc);
  }
  // A store closed cleanly is repaired when its pages do not hold together (damaged while no
  // owner had it open). One left open that could not be vouched for above is not: its blocks
  // may be older than its entries say, so it is refused as not closed cleanly (and rebuilt).
  auto repairDamaged = [&](int why) {
    if (!mayRepair || toc->recovering) return why;
    if (!wasClean) return KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
    return repair(1);
  };
  if (!attach && (rc = KDRCFile_CheckMetaFile(toc, KDRC_CHECK_HEADER))) {
    if ((rc = repairDamaged(rc)) || (rc = KDRCFile_CheckMetaFile(toc, KDRC_CHECK_HEADER)))
      return fail(rc);
  }
  // A client never takes segments and uses the owner's date list (KDRCIF_UseStructsInSharedMemory),
  // so it builds neither; walking the pages here, before it holds the cache lock, would also
  // race with the owner's changes to them.
  if (!attach && (rc = KDRCFile_GetFreeSegmentMap(toc))) {
    if ((rc = repairDamaged(rc)) || (rc = KDRCFile_GetFreeSegmentMap(toc))) return fail(rc);
  }

  const char* trace = plat::GetEnv("KDRC_CACHE_TRACE");
  if (logFlag || (trace != nullptr && std::strcmp(trace, "1") == 0)) {
    toc->log = std::fopen(toc->logPath, "ae");
    if (toc->log == nullptr) {
      KDRCX_Print("***** NOTICE: Could not open KDRCache log file '%s'. *****\n", toc->logPath);
    }
  }
  const char* check = plat::GetEnv("KDRC_CHECK_EVERY_CALL");
  if (check != nullptr && std::strcmp(check, "1") == 0) toc->checkEveryCall = 1;
  const char* debug = plat::GetEnv("KDRC_DEBUG");
  if (debug != nullptr && std::strcmp(debug, "1") == 0) toc->debug = toc->checkEveryCall = 1;
  *ppToc = toc;
  return 0;
}

int KDRCFile_Close(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  // The private shared record is freed here, also when closing the segment TOC has already
  // detached it from the TOC; in shared mode it lives in the segment file and is not ours.
  KDRC_FILESHARED_T* priv = (!pToc->sharedStructs && !pToc->client) ? pToc->pShared : nullptr;
  KDRCX_FreeBlockIndex(pToc);
  int first = 0;
  if (pToc->pHashToc != nullptr) {
    int rc = KDRCHashTOC_Close(pToc);
    if (rc != 0 && first == 0) first = rc;
  }
  {
    int rc = KDRCTOC_Close(pToc);
    if (rc != 0 && first == 0) first = rc;
  }
  if (pToc->pSegmentToc != nullptr) {
    int rc = KDRCSegmentTOC_Close(pToc);
    if (rc != 0 && first == 0) first = rc;
  }
  if (first == 0 && priv != nullptr) std::free(priv);
  pToc->signature = 0;
  std::free(pToc);
  return first;
}

int KDRCFile_GetFreePage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T** ppPage) {
  KDRC_CHECK_TOC(pToc);
  if (ppPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "ppPage");
  *ppPage = nullptr;
  meta::Header* h = pToc->pHeader;
  if (h->freeHead == -1) {
    if (int rc = KRDCFile_DeleteOldest(pToc)) return KDRC_PASS(rc);
    if (h->freeHead == -1) return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_OUT_OF_FREE_PAGES);
  }
  int32_t n = h->freeHead;
  if (n < -1) return KDRC_FAIL_VALUE(pToc, n, KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO);
  if (n >= pToc->pageCount)
    return KDRC_FAIL_VALUE(pToc, n,
                           KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  meta::Page* p = KDRCX_PageAt(pToc, n);
  if (int rc = KDRCFile_CheckPageConsistency(pToc, p, meta::kFree)) return KDRC_PASS(rc);
  int32_t next = p->next;
  meta::Page* q = nullptr;
  if (next != -1) {
    q = KDRCX_PageAt(pToc, next);
    if (q == nullptr || q->kind != meta::kFree)
      return KDRC_FAIL_VALUE(pToc, next, KDRC_ERROR_CORRUPT_FREE_PAGE_LIST);
  }
  h->freeHead = next;
  if (q != nullptr)
    q->prev = -1;
  else
    h->freeTail = -1;
  h->freeCount -= 1;
  MakeFloating(p);
  KDRCX_NoteStoreChange(pToc);
  *ppPage = p;
  return 0;
}

int KDRCFile_SetFileGuid(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, const char* guid,
                         uint32_t sizeLow, uint32_t sizeHigh) {
  KDRC_CHECK_TOC(pToc);
  if (pPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pPage");
  if (guid == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "guid");
  KDRC_CHECK_PAGE_PTR(pToc, pPage);
  if (pPage->kind != meta::kFloating)
    return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_PAGE_MUST_BE_FLOATING_TO_BE_MODIFIED);
  KDRCX_NoteStoreChange(pToc);
  // At most 36 characters, NUL-padded; not terminated when 36 long.
  size_t n = strnlen(guid, meta::kGuidLength);
  std::memset(pPage->guid, 0, meta::kGuidLength);
  std::memcpy(pPage->guid, guid, n);
  pPage->sizeLow = sizeLow;
  pPage->sizeHigh = sizeHigh;
  return 0;
}

int KDRCFile_AllocatePage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, KDRC_PAGE_T* pPage) {
  KDRC_CHECK_TOC(pToc);
  if (pPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pPage");
  KDRC_CHECK_PAGE_PTR(pToc, pPage);
  if (int rc = KDRCFile_CheckPageConsistency(pToc, pPage, meta::kFloating)) return KDRC_PASS(rc);
  // Find the file's last page before the new page changes, so a refused chain leaves it as is.
  meta::Page* last = nullptr;
  if (pFirst != nullptr) {
    KDRC_CHECK_PAGE_PTR(pToc, pFirst);
    if (!pFirst->firstPage)
      return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_REFERENCED_FILE_PAGE_IS_NOT_FIRST);
    if (int rc = KDRCFile_CheckPageConsistency(pToc, pFirst, meta::kAllocated))
      return KDRC_PASS(rc);
    last = pFirst;
    for (int32_t steps = 0;; ++steps) {
      if (steps > pToc->pageCount) return ChainLoops(pToc, __func__, __LINE__);
      meta::Page* next = nullptr;
      if (int rc = NextOfFile(pToc, last, &next, __func__, __LINE__)) return rc;
      if (next == nullptr) break;
      last = next;
    }
  }
  int32_t n = KDRCX_PageNumber(pToc, pPage);
  pPage->kind = meta::kAllocated;
  KDRCX_NoteStoreChange(pToc);
  pPage->next = pPage->prev = pPage->hashLink = -1;
  pPage->used = 0;
  if (last == nullptr) {
    pPage->firstPage = 1;
  } else {
    pPage->firstPage = 0;
    last->next = n;
    pPage->prev = KDRCX_PageNumber(pToc, last);
  }
  if (int rc = KDRCX_RecordPageDate(pToc, pPage)) return KDRC_PASS(rc);
  if (int rc = KRDCX_InsertPageInDateList(pToc, n, pPage->accessTime)) return KDRC_PASS(rc);
  return 0;
}

int KDRCFile_AllocateSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                             int32_t segment, int32_t length, int* pOutOfFileBlocks) {
  KDRC_CHECK_TOC(pToc);
  if (pFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pFirst");
  if (pOutOfFileBlocks == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pOutOfFileBlocks");
  *pOutOfFileBlocks = 0;
  KDRC_CHECK_PAGE_PTR(pToc, pFirst);
  if (int rc = KDRCFile_CheckPageConsistency(pToc, pFirst, meta::kAllocated)) return KDRC_PASS(rc);
  meta::Page* p = pFirst;
  // While the chain is as this TOC last walked it, the search starts where that walk found
  // room (the page is checked as the walk would have checked it).
  if (IndexSlot* s = CurrentIndex(pToc, pFirst, ChangesOf(pToc)); s != nullptr && s->room >= 0) {
    meta::Page* q = KDRCX_PageAt(pToc, s->room);
    if (q != nullptr && KDRCFile_CheckPageConsistency(pToc, q, meta::kAllocated) == 0) p = q;
  }
  for (int32_t steps = 0;; ++steps) {
    if (steps > pToc->pageCount) return ChainLoops(pToc, __func__, __LINE__);
    if (p->used < meta::kEntriesPerPage) {
      meta::SegmentEntry& e = p->entries[p->used];
      e.length = length;
      e.segment = segment;
      e.block = block;
      p->used += 1;
      NoteAppendedEntry(pToc, pFirst, e, KDRCX_PageNumber(pToc, p));
      if (int rc = KDRCX_UpdatePageAccessTime(pToc, p)) return KDRC_PASS(rc);
      return 0;
    }
    meta::Page* next = nullptr;
    if (int rc = NextOfFile(pToc, p, &next, __func__, __LINE__)) return rc;
    if (next != nullptr) {
      p = next;
      continue;
    }
    if (pToc->pHeader->freeCount == 0) {
      *pOutOfFileBlocks = 1;
      return 0;
    }
    meta::Page* fresh = nullptr;
    if (int rc = KDRCFile_GetFreePage(pToc, &fresh)) return KDRC_PASS(rc);
    char guid[meta::kGuidLength + 1] = {};
    std::memcpy(guid, p->guid, meta::kGuidLength);
    if (int rc = KDRCFile_SetFileGuid(pToc, fresh, guid, p->sizeLow, p->sizeHigh))
      return KDRC_PASS(rc);
    if (int rc = KDRCFile_AllocatePage(pToc, pFirst, fresh)) return KDRC_PASS(rc);
    p = fresh;
  }
}

int KDRCFile_FindSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                         KDRC_PAGE_T** ppHit, int32_t* pSegment, int32_t* pLength) {
  KDRC_CHECK_TOC(pToc);
  if (pFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pFirst");
  if (ppHit == nullptr || pSegment == nullptr || pLength == nullptr)
    return KDRC_NULL_PARAM(pToc->pErr, "pSegment");
  if (block < 0) return KDRC_FAIL_VALUE(pToc, block, KDRC_ERROR_METAFILE_BAD_SEGMENT_OFFSET);
  *pSegment = -1;
  *ppHit = nullptr;
  KDRC_CHECK_PAGE_PTR(pToc, pFirst);
  // A count of 0 is a store kept by an owner that does not count its changes: no index.
  uint32_t changes = ChangesOf(pToc);
  if (changes != 0 && block < kIndexBlockLimit) {
    if (IndexSlot* ix = IndexFor(pToc, pFirst, changes)) {
      if (block < ix->blocks && ix->entries[block].segment != -1) {
        const IndexEntry& e = ix->entries[block];
        meta::Page* hit = pToc->pPages + e.page;
        *pSegment = e.segment;
        *pLength = e.length;
        *ppHit = hit;
        hit->accessTime = Now();
      }
      return 0;
    }
  }
  if (int rc = KDRCFile_CheckPageConsistency(pToc, pFirst, meta::kAllocated)) return KDRC_PASS(rc);
  meta::Page* p = pFirst;
  for (int32_t steps = 0; p != nullptr; ++steps) {
    if (steps > pToc->pageCount) return ChainLoops(pToc, __func__, __LINE__);
    for (int32_t i = 0; i < p->used && i < meta::kEntriesPerPage; ++i) {
      if (p->entries[i].block == block) {
        *pSegment = p->entries[i].segment;
        *pLength = p->entries[i].length;
        *ppHit = p;
        p->accessTime = Now();
        return 0;
      }
    }
    if (int rc = NextOfFile(pToc, p, &p, __func__, __LINE__)) return rc;
  }
  return 0;
}

int KDRCFile_ReadBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block, void* buffer,
                       int32_t* pLength) {
  if (int rc = KDRCFile_ReadBlockPart(pToc, pFirst, block, 0, kSegmentSize, buffer, pLength))
    return KDRC_PASS(rc);
  return 0;
}

int KDRCFile_ReadBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                           int32_t offset, int32_t count, void* buffer, int32_t* pLength) {
  KDRC_CHECK_SHARED(pToc);
  if (pFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "file");
  if (buffer == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "buffer");
  const uint8_t* data = nullptr;
  if (int rc = KDRCFile_LocateBlockPart(pToc, pFirst, block, offset, count, &data, pLength,
                                        nullptr))
    return KDRC_PASS(rc);
  if (data != nullptr && *pLength > offset)
    std::memcpy(buffer, data + offset, size_t(std::min(*pLength - offset, count)));
  return 0;
}

int KDRCFile_LocateBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                             int32_t offset, int32_t count, const uint8_t** ppData,
                             int32_t* pLength, int* pStable) {
  KDRC_CHECK_SHARED(pToc);
  if (pFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "file");
  if (ppData == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "data");
  *ppData = nullptr;
  if (pStable != nullptr) *pStable = 0;
  if (pLength == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "length");
  if (block < 0) return KDRC_FAIL_VALUE(pToc, block, KDRC_ERROR_IF_BAD_FILE_OFFSET);
  if (offset < 0 || offset > kSegmentSize)
    return KDRC_FAIL_VALUE(pToc, offset, KDRC_ERROR_IF_BAD_FILE_OFFSET);
  if (count < 0) return KDRC_FAIL_VALUE(pToc, count, KDRC_ERROR_IF_BAD_LENGTH);
  *pLength = -1;
  meta::Page* hit = nullptr;
  int32_t segment = -1;
  int32_t length = -1;
  if (int rc = KDRCFile_FindSegment(pToc, pFirst, block, &hit, &segment, &length))
    return KDRC_PASS(rc);
  if (segment == -1) return 0;
  if (segment < 0) return KDRC_FAIL_VALUE(pToc, segment, KDRC_ERROR_SEGMENT_BAD_OFFSET);
  if (length < -1 || length > kSegmentSize)
    return KDRC_FAIL_VALUE(pToc, length, KDRC_ERROR_METAFILE_SEGMENT_LENGTH);
  if (!KDRCX_SegmentTrusted(pToc, segment)) {
    // Kept from before this owner's open and not read since: a client leaves it to the owner
    // (as not stored), the owner checks it now and serves it only when it is good.
    if (pToc->client) return 0;
    int bad = 0;
    if (int rc = KDRCX_CheckSegment(pToc, hit, block, segment, length, &bad)) return KDRC_PASS(rc);
    if (bad) {
      pToc->firstReadDropped += 1;
      return 0;
    }
  }
  uint8_t* data = nullptr;
  if (int rc = SegmentAddress(pToc, segment, &data)) return KDRC_PASS(rc);
  *ppData = data;
  // The segment file stays mapped whole while the TOC is open; an extent's window may move.
  if (pStable != nullptr) *pStable = segment < pToc->pShared->segments ? 1 : 0;
  *pLength = length;
  if (int rc = KDRCX_UpdatePageAccessTime(pToc, hit)) return KDRC_PASS(rc);
  return 0;
}

int KDRCFile_FreeThisPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage) {
  KDRC_CHECK_TOC(pToc);
  if (pPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pPage");
  KDRC_CHECK_PAGE_PTR(pToc, pPage);
  if (int rc = KDRCFile_CheckPageConsistency(pToc, pPage, meta::kFloating)) return KDRC_PASS(rc);
  meta::Header* h = pToc->pHeader;
  int32_t head = h->freeHead;
  if (head < -1) return KDRC_PASS(KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO);
  if (head >= pToc->pageCount)
    return KDRC_PASS(KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  int32_t n = KDRCX_PageNumber(pToc, pPage);
  int32_t used = pPage->used;
  if (used < 0) used = 0;
  if (used > meta::kEntriesPerPage) used = meta::kEntriesPerPage;
  KDRCX_NoteStoreChange(pToc);
  pPage->kind = meta::kFree;
  pPage->self = n;
  pPage->next = head;
  pPage->prev = -1;
  pPage->hashLink = 0;
  pPage->firstPage = 0;
  if (head != -1) KDRCX_PageAt(pToc, head)->prev = n;
  h->freeHead = n;
  if (h->freeTail == -1) h->freeTail = n;
  h->freeCount += 1;
  for (int32_t i = 0; i < meta::kEntriesPerPage; ++i) {
    meta::SegmentEntry& e = pPage->entries[i];
    if (i < used) {
      int32_t g = e.segment;
      e.length = e.segment = e.block = -1;
      if (int rc = KDRCSegment_FreeThisSegment(pToc, pPage, g)) {
        pPage->used = 0;
        return KDRC_PASS(rc);
      }
    }
    e.length = e.segment = e.block = -1;
  }
  pPage->used = 0;
  return 0;
}

int KDRCFile_GetFreeSegmentMap(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_SHARED(pToc);
  KDRC_FILESHARED_T* sh = pToc->pShared;
  int64_t used = int64_t(sh->extentSegments) + sh->segments;
  int64_t capacity = int64_t(sh->totalExtentMB) * meta::kSegmentsPerMegabyte + sh->segments;
  // Sizes read from the header: refuse any that cannot describe a store before allocating.
  // Beyond the limits the parameters are clamped to, a corrupt header would have the maps
  // below take gigabytes (and touch them all).
  if (used > capacity || sh->segments < 1 || sh->extentSegments < 0 ||
      sh->segments > meta::kMaxSegments || sh->totalExtentMB > meta::kMaxTotalMegabytes) {
    PrintCodeLine(KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
    return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
  }
  auto* map = static_cast<uint8_t*>(std::calloc(size_t(used), 1));
  if (map == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "map");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  if (pToc->freeSegNext == nullptr || pToc->freeSegCapacity != int32_t(capacity)) {
    std::free(pToc->freeSegNext);
    pToc->freeSegCapacity = 0;
    pToc->freeSegNext = static_cast<int32_t*>(std::malloc(size_t(capacity) * sizeof(int32_t)));
    if (pToc->freeSegNext == nullptr) {
      std::free(map);
      KDRCX_OutOfMemory(KDRC_HERE, "nextList");
      return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
    }
    pToc->freeSegCapacity = int32_t(capacity);
  }
  for (int32_t g = 0; g < pToc->freeSegCapacity; ++g) pToc->freeSegNext[g] = -1;
  pToc->freeSegHead = pToc->freeSegTail = -1;
  pToc->freeSegCount = 0;
  if (int rc = KDRCX_InitEmptyDateList(pToc)) {
    std::free(map);
    return KDRC_PASS(rc);
  }
  // One pass over the pages, read from the file (see KDRCX_PageStream), which also keeps
  // what the open's store check needs of each (KDRCX_CheckOpenedPages).
  KDRCX_PageStream pages(pToc);
  KDRC_PAGESCAN_T* scan = KDRCX_StartPageScan(pToc);
  const int32_t now = int32_t(std::time(nullptr));
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    const meta::Page* p = pages.At(n);
    int rc = KDRCX_ScanPage(pToc, scan, n, p, now);
    for (int32_t i = 0; rc == 0 && i < p->used && i < meta::kEntriesPerPage; ++i) {
      int32_t g = p->entries[i].segment;
      if (g < 0 || g >= used) {
        rc = KDRCX_SetErrorValue(pToc->pErr, KDRC_HERE, g, KDRC_ERROR_METAFILE_SEGMENT_OFFSET);
      } else if (map[g]) {
        rc = KDRCX_SetErrorValue(pToc->pErr, KDRC_HERE, g, KDRC_ERROR_METAFILE_DUPLICATE_SEGMENT_OFFSET);
      } else {
        map[g] = 1;
      }
    }
    if (rc != 0) {
      std::free(map);
      return KDRC_PASS(rc);
    }
    if (p->kind == meta::kAllocated) pToc->lastFileAccess[n] = p->accessTime;
  }
  int32_t prev = -1;
  for (int32_t g = 0; g < int32_t(used); ++g) {
    if (map[g]) continue;
    if (prev == -1)
      pToc->freeSegHead = g;
    else
      pToc->freeSegNext[prev] = g;
    prev = g;
    pToc->freeSegCount += 1;
  }
  pToc->freeSegTail = prev;
  std::free(map);
  if (int rc = KRDCX_SortTheDateList(pToc)) return KDRC_PASS(rc);
  return 0;
}

int KDRCFile_GetFreeSegment(KDRC_FILETOC_T* pToc, int32_t* pSegment) {
  KDRC_CHECK_TOC(pToc);
  if (pSegment == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pSegment");
  if (pToc->freeSegCount < 1) return KDRC_FAIL(pToc, KDRC_ERROR_OUT_OF_DATA_SEGMENTS);
  int32_t g = pToc->freeSegHead;
  if (g < 0 || g >= pToc->freeSegCapacity || pToc->freeSegNext == nullptr)
    return KDRC_FAIL_VALUE(pToc, g, KDRC_ERROR_METAFILE_INVALID_SEGMENT_OFFSET_IN_FREELIST);
  *pSegment = g;
  pToc->freeSegHead = pToc->freeSegNext[g];
  pToc->freeSegCount -= 1;
  if (pToc->freeSegHead == -1) pToc->freeSegTail = -1;
  pToc->freeSegNext[g] = -1;
  return 0;
}

int KDRCFile_LockCache(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (!pToc->sharedStructs && !pToc->client) return 0;
  if (pToc->hMutex == nullptr) {
    if (pToc->wellKnownName == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "wellKnownName");
    if (pToc->sharedStructs) {
      int os = plat::CreateNamedMutex(pToc->wellKnownName, &pToc->hMutex);
      if (os == plat::kErrorAlreadyExists)
        return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CACHE_MUTEX_ALREADY_EXISTS, os);
      if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CANNOT_CREATE_CACHE_MUTEX, os);
    } else {
      int os = plat::OpenNamedMutex(pToc->wellKnownName, &pToc->hMutex);
      if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CANNOT_OPEN_CACHE_MUTEX, os);
    }
  }
  if (pToc->lockHeld) return 0;
  int err = 0;
  switch (plat::WaitNamedMutex(pToc->hMutex, kLockTimeoutMs, &err)) {
    case plat::kWaitObject0:
      pToc->lockHeld = 1;
      return 0;
    case plat::kWaitAbandoned:
      // The wait made this thread the owner of a mutex whose last owner died mid-change. A
      // date list it was relinking is made whole here, by whoever sees it first (a page left
      // half-moved would fail every later access-time update). The caller sees a failure and
      // will not unlock, so give the mutex back: the next lock works, and the store's checks
      // report whatever else the dead owner left half-done.
      // Not by a client whose owner is gone: its list is then the next owner's, live under
      // another lock (that owner rebuilt it at its open).
      if (pToc->pDateHead != nullptr && KDRCIF_OwnerAlive(pToc)) KDRCX_RepairDateList(pToc);
      plat::ReleaseNamedMutex(pToc->hMutex);
      return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_CACHE_ABANDONED);
    case plat::kWaitTimeout:
      return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT);
    default:
      return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CANNOT_OBTAIN_THE_CACHE_LOCK, err);
  }
}

int KDRCFile_UnLockCache(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (!pToc->sharedStructs && !pToc->client) return 0;
  if (pToc->hMutex == nullptr)
    return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_CACHE_LOCK_IS_NOT_INITIALIZED_WITH_A_LOCK_CALL);
  if (!pToc->lockHeld) return 0;
  // A pinned lock (taken at the interface level) stays held until the interface-level unlock
  // clears the pin; inner unlocks leave mutex and flag as they are, so the mutex is never owned
  // more than once and never left owned with the flag clear.
  if (pToc->lockPinned) return 0;
  if (int os = plat::ReleaseNamedMutex(pToc->hMutex))
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CANNOT_RELEASE_CACHE_LOCK, os);
  pToc->lockHeld = 0;
  return 0;
}
