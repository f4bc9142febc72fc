// KDRCIF: the store interface. Opening and closing a store in its three modes, the shared TOC
// that lets an owner process and its clients work on one date list and one set of counters,
// adding and finding files, reading and writing blocks with growth and eviction, the cache
// lock, the hit and miss counters and the trace file.
//
// Shared TOC. An owner places at the start of segment 0 of the segment file (offsets in bytes,
// P = number of pages):
//   0            the shared parameters record (19 words)
//   76           lastFileAccess, P words
//   76 + 4P      date-list next links, P words
//   76 + 8P      date-list prev links, P words
//   76 + 12P     the cache mutex name, 261 bytes, NUL-padded
// The area belongs to a pseudo-file (KDRC_SHARED_TOC_GUID) whose blocks 0..n-1 are segments
// 0..n-1 and whose pages 0..r-1 are pinned (kept out of the date list), so nothing else is
// ever stored there. The record's signature is 4321 while the owner has the store open and
// 24589 once it closed it; word 18 counts attached clients. An owner that keeps blocks of a
// store closed cleanly, not yet checked, says 17185 until it has checked them all: clients
// that know only 4321 then read through the server, and clients of this make, which read
// checked blocks only, attach (see KDRCIF_CheckKeptBlocks).
//
// Concurrency: see kdrc.h. The trace sequence number and stream belong to one handle.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/durable.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/shared_objects.h"
#include "store/kdrc_internal.h"
#include "store/segment_format.h"

static const char kModule[] = "KDRCIF";

namespace meta = kdrc::meta;
using kdrc::seg::kSegmentSize;

namespace {

constexpr int kCheckMask = KDRC_CHECK_PAGES | KDRC_CHECK_FREE_LIST | KDRC_CHECK_DATE_LIST |
                           KDRC_CHECK_HASH;  // 15
// The check of an owner's open. The date list is not in the store's files: the open has just
// built it from the pages' times, in order by construction, and a walk of two million links in
// page order would cost a quarter of a second of an open to re-prove the sort.
constexpr int kOpenCheckMask = kCheckMask & ~KDRC_CHECK_DATE_LIST;
constexpr char kSharedPageText[] = "SharedMemoryPage";  // 17 bytes with its NUL
constexpr int kNameBytes = 261;                          // the mutex name behind the arrays
constexpr int kSharedRecordBytes = int(sizeof(KDRC_FILESHARED_T));

// One numbered line of the trace file, flushed at once.
void Trace(KDRC_FILETOC_T* toc, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Trace(KDRC_FILETOC_T* toc, const char* fmt, ...) {
  if (toc == nullptr || toc->log == nullptr) return;
  std::fprintf(toc->log, "%08d,", int(toc->traceSeq));
  toc->traceSeq += 1;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(toc->log, fmt, ap);
  va_end(ap);
  std::fflush(toc->log);
}

void PrintCodeLine(int code) {
  KDRCX_Print("***ERROR(%d): %s\n", code, KDRCX_ErrorName(code));
}

// The store check run around each operation when the check-every-call flag is set.
int EveryCallCheck(KDRC_FILETOC_T* toc, const char* function) {
  if (!toc->checkEveryCall) return 0;
  int rc = KDRCFile_CheckMetaFile(toc, kCheckMask);
  if (rc != 0) {
    PrintCodeLine(rc);
    return KDRCX_Traceback(function, rc);
  }
  return 0;
}

void Add64(uint32_t* low, uint32_t* high) {
  uint64_t v = (uint64_t(*high) << 32 | *low) + 1;
  *low = uint32_t(v);
  *high = uint32_t(v >> 32);
}

// Counts a block lookup in the shared counters: a hit, or (for the owner) a miss.
void CountLookup(KDRC_FILETOC_T* pToc, int32_t length) {
  KDRC_FILESHARED_T* sh = pToc->pShared;
  if (length != -1)
    Add64(&sh->hitsLow, &sh->hitsHigh);
  else if (!pToc->client)
    Add64(&sh->missesLow, &sh->missesHigh);
}

// The GUID of a page as a terminated string (the field is unterminated at 36 characters).
void PageGuid(const KDRC_PAGE_T* page, char* out) {
  std::memset(out, 0, meta::kGuidLength + 1);
  if (page != nullptr) std::memcpy(out, page->guid, meta::kGuidLength);
}

// Clients read; only the owner or a stand-alone user changes the store: the free-segment
// list lives in the owner's memory alone.
int RefuseClient(KDRC_FILETOC_T* toc, const char* function, int line) {
  if (!toc->client) return 0;
  KDRCX_SetError(toc->pErr, kModule, function, line, KDRC_ERROR_CLIENT_CANNOT_MAP_VM_FILE);
  return KDRCX_Traceback(function, KDRC_ERROR_CLIENT_CANNOT_MAP_VM_FILE);
}

// The page's GUID field equals `guid` over at most 36 characters (the field is unterminated
// at 36).
bool SameGuid(const KDRC_PAGE_T* page, const char* guid) {
  for (int i = 0; i < meta::kGuidLength; ++i) {
    if (page->guid[i] != guid[i]) return false;
    if (guid[i] == '\0') return true;
  }
  return true;
}

struct SharedTocShape {
  int64_t bytes;     // 12 * P + 337
  int32_t segments;  // n
  int32_t pages;     // r
};

SharedTocShape ShapeFor(int32_t pages) {
  SharedTocShape s;
  s.bytes = KDRCX_SharedTocBytes(pages);
  s.segments = int32_t((s.bytes - 1) / kSegmentSize + 1);
  s.pages = (s.segments - 1) / meta::kEntriesPerPage + 1;
  return s;
}

// True when the pseudo-file starting at `first` is exactly what an owner's open of a new store
// writes: first page 0, pages 0..r-1 chained in order, block i of it in segment i, for i < n.
// Only then may segments 0..n-1 be overwritten with the shared TOC.
bool SharedTocFileIsIntact(KDRC_FILETOC_T* toc, const KDRC_PAGE_T* first,
                           const SharedTocShape& shape) {
  if (first == nullptr || KDRCX_PageNumber(toc, first) != 0 || !first->firstPage) return false;
  uint64_t size = uint64_t(first->sizeHigh) << 32 | first->sizeLow;
  if (size != uint64_t(shape.bytes)) return false;
  int32_t block = 0;
  for (int32_t n = 0; n < shape.pages; ++n) {
    const KDRC_PAGE_T* p = KDRCX_PageAt(toc, n);
    if (p == nullptr || p->kind != meta::kAllocated) return false;
    if (!SameGuid(p, KDRC_SHARED_TOC_GUID)) return false;
    if (p->next != (n + 1 < shape.pages ? n + 1 : -1)) return false;
    if (n > 0 && p->prev != n - 1) return false;
    int32_t want = shape.segments - block < meta::kEntriesPerPage ? shape.segments - block
                                                                  : meta::kEntriesPerPage;
    if (p->used != want) return false;
    for (int32_t i = 0; i < want; ++i, ++block) {
      if (p->entries[i].block != block || p->entries[i].segment != block) return false;
    }
  }
  return block == shape.segments;
}

constexpr uint32_t kGrowRetryMs = 2000;  // a growth that found the disk full is tried again
constexpr uint32_t kGenerationSlots = 4096;  // slot 0: the whole store; the rest by GUID hash
constexpr char kGenerationFile[] = "kdr.gen";
// The volume stamps follow the counters in the same file: kStampSlots entries of two 64-bit
// words, {GUID tag, stamp}; a GUID may sit in either of two neighbouring entries.
constexpr uint32_t kStampSlots = 1u << 16;
constexpr uint64_t kGenerationBytes = kGenerationSlots * sizeof(uint32_t);
constexpr uint64_t kStampTableBytes = uint64_t{kStampSlots} * 2 * sizeof(uint64_t);
// The file: the counters; where clients of an earlier make look for the stamps, kept empty,
// so that they (which do not know the trusted bits below) never find a file's stamp and
// read nothing from the store; the stamps; the trusted-segment bits (whole cache lines); one
// cache line with the clients' counts of reads and bytes.
constexpr uint64_t kStampsAt = kGenerationBytes + kStampTableBytes;
constexpr uint64_t kTrustedAt = kStampsAt + kStampTableBytes;
constexpr uint64_t kClientCountBytes = 64;
uint64_t TrustedBytes(const KDRC_FILESHARED_T* sh) {
  return (uint64_t(KDRCX_SegmentCapacity(sh)) + 511) / 512 * 64;
}
uint64_t GenerationFileBytes(const KDRC_FILESHARED_T* sh) {
  return kTrustedAt + TrustedBytes(sh) + kClientCountBytes;
}

// A GUID's 64-bit tag in the stamp table: never 0, which marks a free entry.
uint64_t StampTag(const char* guid) {
  uint64_t h = 14695981039346656037ull;
  for (int i = 0; i < meta::kGuidLength && guid[i] != '\0'; ++i) {
    h = (h ^ uint8_t(guid[i])) * 1099511628211ull;
  }
  return h | 1;
}

// The two entries a GUID of tag `tag` may use.
volatile uint64_t* StampEntry(const KDRC_FILETOC_T* toc, uint64_t tag, int which) {
  uint32_t i = (uint32_t(tag >> 17) % kStampSlots) ^ uint32_t(which);
  return toc->pStamps + 2 * uint64_t(i);
}

uint32_t GenerationSlot(const char* guid) {
  uint32_t h = 2166136261u;
  for (int i = 0; i < meta::kGuidLength && guid[i] != '\0'; ++i) {
    h = (h ^ uint8_t(guid[i])) * 16777619u;
  }
  return 1 + h % (kGenerationSlots - 1);
}

// Maps the change counters: an owner makes the file anew (all counters 0) and publishes it
// under "<name>_GEN"; a client maps the owner's object, and goes without when there is none
// (an owner of an earlier make).
int MapGenerations(KDRC_FILETOC_T* toc, bool owner, bool checkOnFirstRead) {
  char* path = nullptr;
  if (int rc = KDRCX_getFilePath(toc, toc->cacheDir, nullptr, "KDRC_DEFAULT_GENFILE",
                                 kGenerationFile, &path))
    return rc;
  std::string name = std::string(toc->wellKnownName != nullptr ? toc->wellKnownName : "kdr") + "_GEN";
  int rc = 0;
  if (owner) {
    // A new file, never the old one emptied: clients of an earlier owner may still map it.
    kdr::platform::DeleteFile(path);
    int fd = KDRC_NO_FILE;
    int os = kdr::platform::OpenFile(path, kdr::platform::FileMode::kCreatePrivate, &fd);
    // Allocated, not just sized: a write through the mapping into a hole of a full disk would
    // kill the process.
    if (os == 0) os = kdr::platform::AllocateFile(fd, 0, GenerationFileBytes(toc->pShared));
    if (fd != KDRC_NO_FILE) kdr::platform::CloseFile(fd);
    if (os != 0) rc = KDRC_FAIL_OS(toc, KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING, os);
  } else if (kdr::platform::MappingObject* probe = nullptr;
             kdr::platform::OpenMappingObject(name, &probe) != 0) {
    std::free(path);
    return 0;
  } else {
    kdr::platform::CloseMappingObject(probe);
  }
  void* mem = nullptr;
  if (rc == 0)
    rc = KDRCX_MapOSFile(toc, path, name.c_str(), owner ? 0 : 1, -1, &toc->genView, &mem,
                         &toc->genFile, &toc->genMap);
  std::free(path);
  if (rc != 0) return rc;
  if (kdr::platform::MappingObjectSize(toc->genMap) < kGenerationSlots * sizeof(uint32_t)) {
    KDRCX_UnMapOSFile(toc, &toc->genView, &toc->genFile, &toc->genMap, 0);
    return owner ? KDRC_FAIL(toc, KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING) : 0;
  }
  toc->pGenerations = static_cast<uint32_t*>(mem);
  // The file of an owner of an earlier make is shorter: a client then has no stamps, so its
  // fast cache reads nothing (that owner's blocks carry no trusted bits to go by).
  if (kdr::platform::MappingObjectSize(toc->genMap) >= GenerationFileBytes(toc->pShared)) {
    toc->pStamps = reinterpret_cast<uint64_t*>(static_cast<char*>(mem) + kStampsAt);
    toc->pTrusted = reinterpret_cast<uint8_t*>(mem) + kTrustedAt;
    toc->trustedSegments = KDRCX_SegmentCapacity(toc->pShared);
    toc->pClientReads = reinterpret_cast<uint64_t*>(toc->pTrusted + TrustedBytes(toc->pShared));
    // The new file's bits are all clear. An owner that checked every block at its open (or
    // made the store blank) trusts them all; one that checks each on its first read, none.
    if (owner && !checkOnFirstRead) std::memset(toc->pTrusted, 0xFF, TrustedBytes(toc->pShared));
  } else if (owner) {
    return KDRC_FAIL(toc, KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING);
  }
  return 0;
}

}  // namespace

uint32_t KDRCIF_FileGeneration(const KDRC_FILETOC_T* pToc, const char* guid) {
  if (pToc == nullptr || pToc->pGenerations == nullptr || guid == nullptr) return 0;
  const volatile uint32_t* g = pToc->pGenerations;
  return g[0] + g[GenerationSlot(guid)];
}

void KDRCIF_NoteFileChange(KDRC_FILETOC_T* pToc, const char* guid) {
  if (pToc == nullptr || pToc->pGenerations == nullptr) return;
  volatile uint32_t* g = pToc->pGenerations;
  uint32_t slot = guid == nullptr ? 0 : GenerationSlot(guid);
  g[slot] = g[slot] + 1;
}

uint64_t KDRCIF_VolumeStamp(const KDRC_FILETOC_T* pToc, const char* guid) {
  if (pToc == nullptr || pToc->pStamps == nullptr || guid == nullptr) return 0;
  const uint64_t tag = StampTag(guid);
  for (int which = 0; which < 2; ++which) {
    const volatile uint64_t* e = StampEntry(pToc, tag, which);
    if (e[0] == tag) return e[1];
  }
  return 0;
}

int KDRCIF_SetVolumeStamp(KDRC_FILETOC_T* pToc, const char* guid, uint64_t stamp) {
  if (pToc == nullptr || pToc->pStamps == nullptr || guid == nullptr || pToc->client) return 0;
  const uint64_t tag = StampTag(guid);
  volatile uint64_t* use = nullptr;
  for (int which = 0; which < 2 && use == nullptr; ++which) {
    volatile uint64_t* e = StampEntry(pToc, tag, which);
    if (e[0] == tag) use = e;
  }
  if (use == nullptr) {
    if (stamp == 0) return 1;
    // A free entry of the two, else the first: the GUID that held it loses its stamp, and
    // its readers go through the server until it is stamped again.
    volatile uint64_t* other = StampEntry(pToc, tag, 1);
    use = other[0] == 0 ? other : StampEntry(pToc, tag, 0);
  }
  use[0] = stamp == 0 ? 0 : tag;
  use[1] = stamp;
  return 1;
}

uint64_t KDRCIF_Hits(const KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr || pToc->pShared == nullptr) return 0;
  return uint64_t(pToc->pShared->hitsHigh) << 32 | pToc->pShared->hitsLow;
}

uint64_t KDRCIF_Misses(const KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr || pToc->pShared == nullptr) return 0;
  return uint64_t(pToc->pShared->missesHigh) << 32 | pToc->pShared->missesLow;
}

int KRDCFile_AllocateSharedMemoryForStructs(KDRC_FILETOC_T** ppToc, int newCache) {
  if (ppToc == nullptr) return KDRCX_NullPointer("ppToc", KDRC_HERE);
  KDRC_FILETOC_T* toc = *ppToc;
  KDRC_CHECK_TOC(toc);
  if (int rc = KDRCX_CheckShared(toc, true, KDRC_HERE)) return rc;
  KDRC_SEGMENTTOC_T* seg = toc->pSegmentToc;
  if (seg == nullptr || seg->pSegment0 == nullptr)
    return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  KDRC_FILESHARED_T* sh = toc->pShared;
  int32_t pages = toc->pageCount;
  SharedTocShape shape = ShapeFor(pages);
  if (shape.segments > sh->segments ||
      uint64_t(shape.segments) * kSegmentSize > seg->mappedBytes) {
    PrintCodeLine(KDRC_ERROR_IF_PREALLOCATED_SEGMENT_FILE_TOO_SMALL_FOR_SHARED_MAP);
    return KDRC_FAIL_VALUE(toc, shape.segments,
                           KDRC_ERROR_IF_PREALLOCATED_SEGMENT_FILE_TOO_SMALL_FOR_SHARED_MAP);
  }
  if (int rc = EveryCallCheck(toc, __func__)) return rc;
  sh->sharedTocSegments = shape.segments;
  sh->clients = 0;

  // An existing store must already hold the pseudo-file where a new one puts it; otherwise
  // segments 0..n-1 and pages 0..r-1 belong to other files and the shared TOC would overwrite
  // their data. Such a store is refused, untouched.
  KDRC_PAGE_T* first = nullptr;
  if (!newCache) {
    if (int rc = KDRCHash_FindFile(toc, KDRC_SHARED_TOC_GUID, &first)) return KDRC_PASS(rc);
    if (!SharedTocFileIsIntact(toc, first, shape)) {
      PrintCodeLine(KDRC_ERROR_SEGMENT_CLIENT_MAPPED_VIRTUAL_MEMORY_HAS_BAD_SIGNATURE);
      KDRCX_Print("***** The store in '%s' was not made by an owner: open it with the "
                  "delete-first flag to use it shared. *****\n",
                  toc->cacheDir != nullptr ? toc->cacheDir : "");
      return KDRC_FAIL(toc, KDRC_ERROR_SEGMENT_CLIENT_MAPPED_VIRTUAL_MEMORY_HAS_BAD_SIGNATURE);
    }
  }
  if (int rc = KDRCIF_AddFile(toc, KDRC_SHARED_TOC_GUID, uint32_t(shape.bytes),
                              uint32_t(uint64_t(shape.bytes) >> 32), &first))
    return KDRC_PASS(rc);
  if (newCache) {
    for (int32_t i = 0; i < shape.segments; ++i) {
      if (int rc = KDRCIF_WriteBlock(toc, &first, i, kSharedPageText, int32_t(sizeof kSharedPageText)))
        return KDRC_PASS(rc);
    }
    // Free segments and pages are handed out lowest first, so a new store holds the
    // pseudo-file exactly in place; anything else (a size override that evicted) is refused.
    if (!SharedTocFileIsIntact(toc, first, shape))
      return KDRC_FAIL(toc, KDRC_ERROR_SEGMENT_CLIENT_MAPPED_VIRTUAL_MEMORY_HAS_BAD_SIGNATURE);
  }
  KDRCX_Print("%d file headers requires %" PRId64 " bytes, %d segments, for shared TOC.\n",
              int(pages), shape.bytes, int(shape.segments));
  KDRCX_Print(" %d file headers are being reserved for shared TOC.\n", int(shape.pages));
  for (int32_t n = 0; n < shape.pages; ++n) {
    if (int rc = KRDCFile_LockPage(toc, KDRCX_PageAt(toc, n))) return KDRC_PASS(rc);
  }

  uint8_t* area = seg->pSegment0;
  auto* shared = reinterpret_cast<KDRC_FILESHARED_T*>(area);
  // The signature goes last, after the name: a client still attached under an earlier owner's
  // name must never find the record open with that name in it.
  const int32_t signature = sh->signature;
  sh->signature = KDRC_FILESHARED_T_CLOSED_SIG;
  std::memcpy(shared, sh, sizeof *shared);
  std::free(sh);
  toc->pShared = shared;
  toc->pDateHead = &shared->dateFirst;
  size_t words = size_t(pages) * sizeof(int32_t);
  auto* times = reinterpret_cast<int32_t*>(area + kSharedRecordBytes);
  auto* next = reinterpret_cast<int32_t*>(area + kSharedRecordBytes + words);
  auto* prev = reinterpret_cast<int32_t*>(area + kSharedRecordBytes + 2 * words);
  std::memcpy(times, toc->lastFileAccess, words);
  std::memcpy(next, toc->dateNext, words);
  std::memcpy(prev, toc->datePrev, words);
  std::free(toc->lastFileAccess);
  std::free(toc->dateNext);
  std::free(toc->datePrev);
  toc->lastFileAccess = times;
  toc->dateNext = next;
  toc->datePrev = prev;
  char* name = reinterpret_cast<char*>(area + kSharedRecordBytes + 3 * words);
  std::memset(name, 0, kNameBytes);
  const char* wellKnown = toc->wellKnownName != nullptr ? toc->wellKnownName : "";
  std::memcpy(name, wellKnown, strnlen(wellKnown, kNameBytes - 1));
  std::atomic_ref<int32_t>(shared->signature).store(signature, std::memory_order_release);
  toc->sharedStructs = 1;
  return EveryCallCheck(toc, __func__);
}

int KDRCIF_UseStructsInSharedMemory(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr || seg->pSegment0 == nullptr)
    return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  if (seg->mappedBytes < uint64_t(kSharedRecordBytes)) return KDRC_FAIL(pToc, KDRC_ERROR_IF_BAD_LENGTH);
  uint8_t* area = seg->pSegment0;
  auto* shared = reinterpret_cast<KDRC_FILESHARED_T*>(area);
  // An owner still checking kept blocks: the open goes on to see whether this client reads
  // checked blocks only (the trusted bits), and refuses it otherwise (KDRCIF_OpenS).
  if (shared->signature != KDRC_FILESHARED_T_SIG &&
      shared->signature != KDRC_FILESHARED_T_CHECKING_SIG)
    return KDRC_FAIL(pToc, KDRC_ERROR_IF_BAD_LENGTH);
  // The owner's record must describe this very metafile, and its arrays must lie inside the
  // mapped segment file: nothing read from shared memory is trusted as an index otherwise.
  int32_t pages = pToc->pageCount;
  if (shared->filePages != pages ||
      uint64_t(KDRCX_SharedTocBytes(pages)) > seg->mappedBytes)
    return KDRC_FAIL_VALUE(pToc, shared->filePages,
                           KDRC_ERROR_SEGMENT_CLIENT_MAPPED_VIRTUAL_MEMORY_HAS_BAD_SIGNATURE);
  size_t words = size_t(pages) * sizeof(int32_t);
  char* name = reinterpret_cast<char*>(area + kSharedRecordBytes + 3 * words);
  char copy[kNameBytes];
  std::memcpy(copy, name, kNameBytes);
  copy[kNameBytes - 1] = '\0';
  char* wellKnown = KDRCX_StrDup(copy);
  if (wellKnown == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "pToc->wellKnownName");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  if (!pToc->sharedStructs && !pToc->client) {
    std::free(pToc->pShared);
    std::free(pToc->lastFileAccess);
    std::free(pToc->dateNext);
    std::free(pToc->datePrev);
  }
  pToc->pShared = shared;
  pToc->pDateHead = &shared->dateFirst;
  pToc->lastFileAccess = reinterpret_cast<int32_t*>(area + kSharedRecordBytes);
  pToc->dateNext = reinterpret_cast<int32_t*>(area + kSharedRecordBytes + words);
  pToc->datePrev = reinterpret_cast<int32_t*>(area + kSharedRecordBytes + 2 * words);
  std::free(pToc->wellKnownName);
  pToc->wellKnownName = wellKnown;
  pToc->client = 1;
  // Checked after attaching only: before it, a client has no date list of its own to check.
  return EveryCallCheck(pToc, __func__);
}

int KDRCIF_OpenS(KDRCIF_OPEN_PARAMS* pParams, KDRC_FILETOC_T** ppToc) {
  if (pParams == nullptr) return KDRCX_NullPointer("pParams", KDRC_HERE);
  if (ppToc == nullptr) return KDRCX_NullPointer("ppToc", KDRC_HERE);
  *ppToc = nullptr;
  int mode = pParams->mode;
  if (mode != KDRC_MODE_STANDALONE && mode != KDRC_MODE_OWNER && mode != KDRC_MODE_CLIENT)
    return KDRCX_BadSig("KDRCIF_OPEN_PARAMS mode", KDRC_HERE);
  KDRC_CACHE_PARAMS c{pParams->filePages,  pParams->segments, pParams->hashBlocks,
                      pParams->totalExtentMB, pParams->extentMB, pParams->maxExtentFiles};
  KDRCX_ClampCacheParameters(&c, mode);
  pParams->filePages = c.filePages;
  pParams->segments = c.segments;
  pParams->hashBlocks = c.hashBlocks;
  pParams->totalExtentMB = c.totalExtentMB;
  pParams->extentMB = c.extentMB;
  pParams->maxExtentFiles = c.maxExtentFiles;
  if (const char* t = kdr::platform::GetEnv("KDRC_CACHE_TRACE"); t != nullptr && std::strcmp(t, "1") == 0)
    pParams->trace = 1;
  // The separator of the cache directory is already the native one; the view granularity is
  // known process-wide (KDRCX_AllocationGranularity).
  int attach = mode == KDRC_MODE_CLIENT;
  int newCache = 0;
  // The owner's liveness mark goes first: a second owner of the same names stops here,
  // before it touches any file; a client without a live owner has nothing to attach to.
  kdr::platform::OwnerMark* mark = nullptr;
  if (mode != KDRC_MODE_STANDALONE) {
    const char* name = pParams->mapName != nullptr ? pParams->mapName : "kdr";
    int os = mode == KDRC_MODE_OWNER ? kdr::platform::CreateOwnerMark(name, &mark)
                                     : kdr::platform::OpenOwnerMark(name, &mark);
    if (os != 0) {
      KDRCX_NoteOSError(os);
      return KDRCX_Traceback(__func__, mode == KDRC_MODE_OWNER
                                           ? KDRC_ERROR_FILE_MAPPING_OBJECT_ALREADY_EXISTS
                                           : KDRC_ERROR_IF_BAD_LENGTH);
    }
  }
  KDRC_FILETOC_T* toc = nullptr;
  int rc = KDRCFile_Open(&toc, pParams->cacheDir, pParams->mapName, c.filePages, c.segments,
                         c.hashBlocks, c.maxExtentFiles, c.extentMB, pParams->create,
                         pParams->deleteFirst, attach, pParams->trace, mode, &newCache,
                         pParams->recover);
  if (rc != 0) {
    kdr::platform::CloseOwnerMark(mark);
    return KDRC_PASS(rc);
  }
  toc->hOwnerMark = mark;  // closed with the TOC from here on

  bool markedOpen = false;
  const char* const self = __func__;
  // A store being made that cannot be finished (a full disk) is not left half made: the next
  // open makes it anew instead of refusing what is there.
  std::string madeMetafile =
      (newCache || pParams->deleteFirst) && toc->metaFilePath != nullptr ? toc->metaFilePath : "";
  auto fail = [&](int code) {
    KDRCX_Traceback(self, code);
    if (toc->sharedStructs && toc->pShared != nullptr)
      toc->pShared->signature = KDRC_FILESHARED_T_CLOSED_SIG;
    if (markedOpen && toc->pHeader != nullptr) toc->pHeader->cleanMarker = meta::kCleanMarker;
    if (toc->numExtentMaps > 0) KDRCX_WipeMappings(toc);
    KDRCFile_Close(toc);
    if (!madeMetafile.empty()) kdr::platform::DeleteFile(madeMetafile.c_str());
    return code;
  };

  if (mode != KDRC_MODE_CLIENT && toc->pHeader->cleanMarker != meta::kCleanMarker &&
      !toc->recovering) {
    PrintCodeLine(KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
    return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED));
  }
  if (mode != KDRC_MODE_CLIENT) {
    // The open mark, with the boot it is made in, is on the disk before anything changes: a
    // crash of the system from here on leaves a store the next open does not take as whole.
    meta::Header* h = toc->pHeader;
    std::string boot = kdr::platform::BootId();
    std::memset(h->bootId, 0, sizeof h->bootId);
    std::memcpy(h->bootId, boot.data(), std::min(boot.size(), sizeof h->bootId - 1));
    h->cleanMarker = meta::kOpenMarker;
    markedOpen = true;
    if (!toc->recovering) kdr::platform::SyncMapped(h, sizeof *h);  // else done before the repair
  }
  // A new metafile starts a blank store: segment, extent and hash files of an earlier store
  // would otherwise be taken over (a stale hash file names pages that are free now).
  int blank = pParams->deleteFirst || newCache;
  if ((rc = KDRCSegment_Open(toc, pParams->cacheDir, pParams->mapName, pParams->create, blank,
                             attach)))
    return fail(rc);
  if (mode != KDRC_MODE_CLIENT && (rc = KDRCFile_CheckMetaFile(toc, KDRC_CHECK_HEADER)))
    return fail(rc);
  if ((rc = KDRCHash_Open(toc, pParams->cacheDir, pParams->mapName, pParams->create, blank,
                          attach)))
    return fail(rc);
  int pageCheck = -1;  // the result of the page and hash check, once run here
  bool checkOnFirstRead = false;  // no block checked here: each is when it is first read
  if (mode != KDRC_MODE_CLIENT) {
    int filled = 0;
    if ((rc = KDRCX_OpenSums(toc, blank, 0, &filled))) return fail(rc);
    // Pages or a hash file damaged while no owner had the store open are repaired too.
    if (!blank && pParams->recover && !toc->recovering &&
        (pageCheck = KDRCX_CheckOpenedPages(toc, kOpenCheckMask)) != 0) {
      if ((rc = KDRCX_SalvagePages(toc)) || (rc = KDRCFile_GetFreeSegmentMap(toc))) return fail(rc);
      toc->recovering = 1;
    }
    if (toc->recovering && (rc = KDRCX_RebuildHash(toc))) return fail(rc);
    // Every block is checked against its checksum by a repairing owner; one that fails goes.
    // A store closed cleanly is not read whole: the owner checks each block it kept on the
    // block's first read (see pTrusted), and its clients leave such blocks to it meanwhile.
    if (!blank && filled && pParams->recover && !toc->recovering && mode == KDRC_MODE_OWNER) {
      checkOnFirstRead = true;
    } else if (!blank && filled && pParams->recover) {
      int64_t checked = 0, bad = 0;
      if ((rc = KDRCX_VerifyBlocks(toc, 1, &checked, &bad))) return fail(rc);
      toc->recoveredKept = checked - bad;
      toc->recoveredDropped += bad;
      if (toc->recovering == 0 && bad > 0) toc->recovering = 1;
    } else if (!blank && !filled && (rc = KDRCX_FillSums(toc))) {
      return fail(rc);
    }
    if (toc->recovering == 2 || toc->recoveredDropped > 0)
      KDRCX_Print("***** Store in '%s' %s: repaired, %" PRId64 " blocks kept, %" PRId64
                  " dropped. *****\n",
                  toc->cacheDir != nullptr ? toc->cacheDir : "",
                  toc->recovering == 2 ? "was not closed cleanly" : "was damaged",
                  toc->recoveredKept, toc->recoveredDropped);
  }
  if (mode != KDRC_MODE_CLIENT && pageCheck != 0 &&
      (rc = KDRCX_CheckOpenedPages(toc, kOpenCheckMask)))
    return fail(rc);
  if (checkOnFirstRead) {
    // Clients that know only 4321 would read any block the pages name, checked or not: they
    // are kept out (and read through the server) until every kept block is checked
    // (KDRCIF_CheckKeptBlocks). The record is published with this signature from the start.
    toc->pShared->signature = KDRC_FILESHARED_T_CHECKING_SIG;
    toc->keptCheckCursor = 0;
  }
  if (mode == KDRC_MODE_OWNER && pParams->holdBack) {
    toc->pShared->signature = KDRC_FILESHARED_T_CHECKING_SIG;
    toc->holdBack = 1;
  }
  if (mode == KDRC_MODE_OWNER && (rc = KRDCFile_AllocateSharedMemoryForStructs(&toc, newCache)))
    return fail(rc);
  if (mode == KDRC_MODE_CLIENT) {
    if ((rc = KDRCIF_UseStructsInSharedMemory(toc)) || (rc = MapGenerations(toc, false, false)))
      return fail(rc);
    if (!KDRCX_SharedOpen(toc, toc->pShared->signature))
      return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_IF_BAD_LENGTH));
  }

  if ((rc = KDRCFile_LockCache(toc))) return fail(rc);
  KDRC_FILESHARED_T* sh = toc->pShared;
  if (mode == KDRC_MODE_CLIENT) {
    // Checked again under the lock: the owner may have closed since the first look.
    if (!KDRCX_SharedOpen(toc, sh->signature)) {
      KDRCFile_UnLockCache(toc);
      return fail(KDRCX_SetError(toc->pErr, KDRC_HERE, KDRC_ERROR_IF_BAD_LENGTH));
    }
    sh->clients += 1;
  } else {
    sh->hitsLow = sh->hitsHigh = 0;
    sh->missesLow = sh->missesHigh = 0;
    sh->clients = 0;
  }
  rc = KDRCX_InitMappings(toc);
  int unlock = KDRCFile_UnLockCache(toc);
  if (rc == 0) rc = unlock;
  if (rc != 0) {
    if (mode == KDRC_MODE_CLIENT && sh->clients > 0) sh->clients -= 1;
    return fail(rc);
  }
  Trace(toc, "OpenS,%s,%d,%d,%d,%d,%d,%d\n", pParams->cacheDir != nullptr ? pParams->cacheDir : "",
        int(pParams->filePages), int(pParams->segments), int(pParams->hashBlocks),
        int(pParams->totalExtentMB), int(pParams->create), int(pParams->deleteFirst));
  if (toc->checkEveryCall && (rc = KDRCFile_CheckMetaFile(toc, kCheckMask))) {
    PrintCodeLine(rc);
    if (mode == KDRC_MODE_CLIENT && KDRCFile_LockCache(toc) == 0) {
      if (sh->clients > 0) sh->clients -= 1;
      KDRCFile_UnLockCache(toc);
    }
    return fail(rc);
  }
  if (mode == KDRC_MODE_OWNER && (rc = MapGenerations(toc, true, checkOnFirstRead)))
    return fail(rc);
  *ppToc = toc;
  return 0;
}

int KDRCIF_EndHoldBack(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (pToc->client || !pToc->sharedStructs) return 0;
  pToc->holdBack = 0;
  if (pToc->keptCheckCursor >= 0) return 0;  // the check of kept blocks opens the record
  std::atomic_ref<int32_t>(pToc->pShared->signature)
      .store(KDRC_FILESHARED_T_SIG, std::memory_order_release);
  return 1;
}

int KDRCIF_OwnerAlive(KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr || pToc->signature != KDRC_FILETOC_T_SIG) return 0;
  if (pToc->mode != KDRC_MODE_CLIENT) return 1;
  // A closed store, or one another owner has opened since under its own names: memory reads.
  const KDRC_FILESHARED_T* sh = pToc->pShared;
  if (sh == nullptr || !KDRCX_SharedOpen(pToc, sh->signature)) return 0;
  const KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr || seg->pSegment0 == nullptr || pToc->wellKnownName == nullptr) return 0;
  const char* name = reinterpret_cast<const char*>(seg->pSegment0) + kSharedRecordBytes +
                     3 * size_t(pToc->pageCount) * sizeof(int32_t);
  if (strncmp(name, pToc->wellKnownName, kNameBytes) != 0) return 0;
  // A dead owner (its mark no longer held): one system call, made at most every
  // KDRC_OWNER_CHECK_MS. The next owner repairs a killed owner's files in place, but marks
  // the shared record read above closed first (KDRCFile_Open), so this handle lets go.
  int32_t now = kdr::platform::MonotonicMs();
  if (pToc->ownerCheckedMs != 0 &&
      uint32_t(now) - uint32_t(pToc->ownerCheckedMs) < uint32_t(KDRC_OWNER_CHECK_MS))
    return 1;
  if (!kdr::platform::OwnerMarkHeld(pToc->hOwnerMark)) return 0;
  pToc->ownerCheckedMs = now != 0 ? now : 1;
  return 1;
}

int KDRCIF_Close(KDRC_FILETOC_T** ppToc) {
  if (ppToc == nullptr || *ppToc == nullptr) return 0;
  KDRC_FILETOC_T* toc = *ppToc;
  if (toc->signature != KDRC_FILETOC_T_SIG) return KDRCX_BadSig("KDRC_FILETOC_T_SIG", KDRC_HERE);
  Trace(toc, "Close\n");
  if (!toc->lockHeld) KDRCFile_LockCache(toc);  // taken even when it times out: close anyway
  int first = KDRCX_TermMappings(toc);
  if (first != 0) KDRCX_Traceback(__func__, first);
  KDRC_FILESHARED_T* sh = toc->pShared;
  if (sh != nullptr) {
    if (toc->mode == KDRC_MODE_CLIENT) {
      if (sh->clients > 0) sh->clients -= 1;
    } else if (toc->pHeader != nullptr) {
      // Everything on the disk first, then the mark that says so.
      int sync = KDRCX_SyncStore(toc);
      if (sync != 0) {
        KDRCX_Print("***** The store could not be flushed to the disk (error %d): it stays "
                    "marked open. *****\n", sync);
      } else {
        toc->pHeader->cleanMarker = meta::kCleanMarker;
        kdr::platform::SyncMapped(toc->pHeader, sizeof *toc->pHeader);
      }
    }
    if (toc->mode == KDRC_MODE_OWNER && toc->sharedStructs) {
      sh->signature = KDRC_FILESHARED_T_CLOSED_SIG;
      if (sh->clients != 0) {
        KDRCX_Print("***** WARNING: Closing KDRCache with client(s) attached! *****\n");
      }
    }
  }
  int rc = KDRCFile_Close(toc);  // frees the TOC in every case
  *ppToc = nullptr;
  if (rc != 0) KDRCX_Traceback(__func__, rc);
  return first != 0 ? first : rc;
}

int KDRCIF_AddFile(KDRC_FILETOC_T* pToc, const char* guid, uint32_t sizeLow, uint32_t sizeHigh,
                   KDRC_PAGE_T** ppFirst) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (guid == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "guid");
  if (ppFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "ppFirst");
  *ppFirst = nullptr;
  if (int rc = RefuseClient(pToc, __func__, __LINE__)) return rc;
  Trace(pToc, "AddFile,%.36s,%d\n", guid, int(sizeLow));
  if (int rc = EveryCallCheck(pToc, __func__)) return rc;
  if (int rc = KDRCHash_AddPage(pToc, guid, sizeLow, sizeHigh, ppFirst)) return KDRC_PASS(rc);
  return EveryCallCheck(pToc, __func__);
}

int KDRCIF_FindFile(KDRC_FILETOC_T* pToc, const char* guid, int32_t* pSize, KDRC_PAGE_T** ppFirst) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (guid == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "guid");
  if (pSize == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "size");
  if (ppFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "ppFirst");
  *ppFirst = nullptr;
  Trace(pToc, "FindFile,%s\n", guid);
  if (int rc = EveryCallCheck(pToc, __func__)) return rc;
  if (int rc = KDRCHash_FindFile(pToc, guid, ppFirst)) return KDRC_PASS(rc);
  KDRC_FILESHARED_T* sh = pToc->pShared;
  if (*ppFirst == nullptr) {
    if (!pToc->client) Add64(&sh->missesLow, &sh->missesHigh);
  } else {
    pSize[0] = int32_t((*ppFirst)->sizeLow);
    pSize[1] = int32_t((*ppFirst)->sizeHigh);
  }
  return EveryCallCheck(pToc, __func__);
}

int KDRCIF_ReadBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block, void* buffer,
                     int32_t* pLength) {
  if (int rc = KDRCIF_ReadBlockPart(pToc, pFirst, block, 0, kSegmentSize, buffer, pLength))
    return KDRC_PASS(rc);
  return 0;
}

int KDRCIF_ReadBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                         int32_t offset, int32_t count, void* buffer, int32_t* pLength) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  char guid[meta::kGuidLength + 1];
  PageGuid(KDRCX_PageNumber(pToc, pFirst) >= 0 ? pFirst : nullptr, guid);
  Trace(pToc, "ReadBlock,%s,%d\n", guid, int(block));
  if (int rc = EveryCallCheck(pToc, __func__)) return rc;
  if (int rc = KDRCFile_ReadBlockPart(pToc, pFirst, block, offset, count, buffer, pLength))
    return KDRC_PASS(rc);
  CountLookup(pToc, *pLength);
  return EveryCallCheck(pToc, __func__);
}

int KDRCIF_LocateBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                           int32_t offset, int32_t count, const uint8_t** ppData,
                           int32_t* pLength, int* pStable) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (pToc->log != nullptr) {
    char guid[meta::kGuidLength + 1];
    PageGuid(KDRCX_PageNumber(pToc, pFirst) >= 0 ? pFirst : nullptr, guid);
    Trace(pToc, "ReadBlock,%s,%d\n", guid, int(block));
  }
  if (int rc = EveryCallCheck(pToc, __func__)) return rc;
  if (int rc = KDRCFile_LocateBlockPart(pToc, pFirst, block, offset, count, ppData, pLength,
                                        pStable))
    return KDRC_PASS(rc);
  CountLookup(pToc, *pLength);
  return EveryCallCheck(pToc, __func__);
}

int KDRCX_DeleteAPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T** ppFirst) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (ppFirst == nullptr || *ppFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "file");
  if (KDRCX_PageNumber(pToc, *ppFirst) < 0) return KDRC_FAIL(pToc, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  if (int rc = RefuseClient(pToc, __func__, __LINE__)) return rc;
  if (int rc = EveryCallCheck(pToc, __func__)) return rc;
  char guid[meta::kGuidLength + 1];
  PageGuid(*ppFirst, guid);
  uint32_t sizeLow = (*ppFirst)->sizeLow;
  uint32_t sizeHigh = (*ppFirst)->sizeHigh;
  if (int rc = KRDCFile_DeleteOldest(pToc)) return KDRC_PASS(rc);
  KDRC_PAGE_T* first = nullptr;
  int32_t size[2] = {int32_t(sizeLow), int32_t(sizeHigh)};
  if (int rc = KDRCIF_FindFile(pToc, guid, size, &first)) return KDRC_PASS(rc);
  if (first == nullptr) {
    if (int rc = KDRCIF_AddFile(pToc, guid, sizeLow, sizeHigh, &first)) return KDRC_PASS(rc);
  }
  *ppFirst = first;
  return EveryCallCheck(pToc, __func__);
}

int KDRCIF_WriteBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T** ppFirst, int32_t block,
                      const void* bytes, int32_t length) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (ppFirst == nullptr || *ppFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "file");
  if (bytes == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "bytes");
  char guid[meta::kGuidLength + 1];
  PageGuid(KDRCX_PageNumber(pToc, *ppFirst) >= 0 ? *ppFirst : nullptr, guid);
  Trace(pToc, "WriteBlock,%s,%d,%d\n", guid, int(block), int(length));
  if (int rc = RefuseClient(pToc, __func__, __LINE__)) return rc;
  if (KDRCX_PageNumber(pToc, *ppFirst) < 0) return KDRC_FAIL(pToc, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  if (block < 0) return KDRC_FAIL_VALUE(pToc, block, KDRC_ERROR_IF_BAD_FILE_OFFSET);
  if (length < 0 || length > kSegmentSize) return KDRC_FAIL_VALUE(pToc, length, KDRC_ERROR_IF_BAD_LENGTH);
  if (int rc = EveryCallCheck(pToc, __func__)) return rc;
  KDRC_FILESHARED_T* sh = pToc->pShared;

  if (pToc->freeSegCount < 1) {
    // A growth that finds no disk space is no failure of the write: the store goes on in the
    // space it has, evicting, and tries to grow again a while later.
    uint32_t now = uint32_t(kdr::platform::MonotonicMs());
    bool mayGrow = pToc->growRetryMs == 0 || int32_t(now - uint32_t(pToc->growRetryMs)) >= 0;
    if (mayGrow &&
        int64_t(sh->extentSegments) < int64_t(sh->totalExtentMB) * meta::kSegmentsPerMegabyte) {
      if (int rc = KDRC_SegmentExpandExtents(pToc)) {
        if (pToc->pDateHead[0] == -1) return KDRC_PASS(rc);
        pToc->growRetryMs = int32_t((now + kGrowRetryMs) | 1);
      } else {
        pToc->growRetryMs = 0;
      }
    }
    // Evict until a segment is free. Each round evicts one page; the bound ends the loop when
    // nothing evictable holds a segment (everything left is pinned, or is this file's own empty
    // first page, which would only come back).
    for (int32_t round = 0; pToc->freeSegCount < 1; ++round) {
      int32_t oldest = pToc->pDateHead[0];
      bool onlyOwnEmptyPage = oldest == KDRCX_PageNumber(pToc, *ppFirst) &&
                              (*ppFirst)->used == 0 && (*ppFirst)->next == -1;
      if (oldest == -1 || onlyOwnEmptyPage || round > pToc->pageCount)
        return KDRC_FAIL(pToc, KDRC_ERROR_OUT_OF_DATA_SEGMENTS);
      if (int rc = KDRCX_DeleteAPage(pToc, ppFirst)) return KDRC_PASS(rc);
    }
  }
  int32_t segment = -1;
  if (int rc = KDRCFile_GetFreeSegment(pToc, &segment)) return KDRC_PASS(rc);
  // From here a failure gives the segment back, so that it is not lost until the next open,
  // but only when no entry of the file's pages names it: a failure after the entry was
  // recorded (an access-time update that finds a damaged date list) leaves the block stored,
  // and freeing its segment would hand it out again under a live entry. Every entry is
  // looked at, not the block's first: a block stored before has an older entry too. When the
  // file's pages cannot be walked the segment stays taken (the next open rebuilds the free
  // list from the pages).
  auto giveBack = [&](int code) {
    bool named = true;
    KDRC_PAGE_T* p = KDRCX_PageNumber(pToc, *ppFirst) >= 0 ? *ppFirst : nullptr;
    for (int32_t steps = 0; p != nullptr && steps <= pToc->pageCount; ++steps) {
      int32_t used = p->used < 0 ? 0 : std::min<int32_t>(p->used, kdrc::meta::kEntriesPerPage);
      bool hit = false;
      for (int32_t i = 0; i < used && !hit; ++i) hit = p->entries[i].segment == segment;
      if (hit) break;
      if (p->next == -1) {
        named = false;
        break;
      }
      p = KDRCX_PageAt(pToc, p->next);
    }
    if (!named) KDRCSegment_FreeThisSegment(pToc, *ppFirst, segment);
    return code;
  };
  if (int rc = KDRCSegment_WriteSegmentData(pToc, bytes, segment, length))
    return giveBack(KDRC_PASS(rc));
  KDRCX_SetBlockSum(pToc, segment, KDRCX_BlockSum(*ppFirst, block, bytes, length));
  int noPage = 0;
  if (int rc = KDRCFile_AllocateSegment(pToc, *ppFirst, block, segment, length, &noPage))
    return giveBack(KDRC_PASS(rc));
  if (noPage) {
    if (int rc = KDRCX_DeleteAPage(pToc, ppFirst)) return giveBack(KDRC_PASS(rc));
    if (int rc = KDRCFile_AllocateSegment(pToc, *ppFirst, block, segment, length, &noPage))
      return giveBack(KDRC_PASS(rc));
    // Still no page (nothing could be evicted): the block is not stored, and saying so is
    // better than a success that leaves the segment unrecorded.
    if (noPage) return giveBack(KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_OUT_OF_FREE_PAGES));
  }
  return EveryCallCheck(pToc, __func__);
}

int KDRCIF_LockCache(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  pToc->lockPinned = 1;
  Trace(pToc, "LockCache\n");
  if (int rc = KDRCFile_LockCache(pToc)) {
    pToc->lockPinned = 0;  // no lock to keep
    return KDRC_PASS(rc);
  }
  return 0;
}

int KDRCIF_UnLockCache(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  pToc->lockPinned = 0;
  Trace(pToc, "UnLockCache\n");
  if (int rc = KDRCFile_UnLockCache(pToc)) return KDRC_PASS(rc);
  return 0;
}

int KDRCIF_ClearCache(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (int rc = RefuseClient(pToc, __func__, __LINE__)) return rc;
  Trace(pToc, "ClearCache\n");
  bool took = !pToc->lockHeld;
  if (took) {
    if (int rc = KDRCFile_LockCache(pToc)) return KDRC_PASS(rc);
  }
  int rc = EveryCallCheck(pToc, __func__);
  // Each round evicts the least recently used page; pinned pages are not in the list.
  for (int32_t round = 0; rc == 0 && pToc->pDateHead[0] != -1; ++round) {
    if (round > pToc->pageCount) {
      rc = KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
      break;
    }
    if ((rc = KRDCFile_DeleteOldest(pToc))) KDRC_PASS(rc);
  }
  if (rc == 0) rc = EveryCallCheck(pToc, __func__);
  if (took) {
    int unlock = KDRCFile_UnLockCache(pToc);
    if (rc == 0 && unlock != 0) rc = KDRC_PASS(unlock);
  }
  return rc;
}

int64_t KDRCIF_RecoveredBlocks(const KDRC_FILETOC_T* pToc) {
  return pToc != nullptr && pToc->recovering == 2 ? pToc->recoveredKept : 0;
}

int64_t KDRCIF_DroppedBlocks(const KDRC_FILETOC_T* pToc) {
  return pToc != nullptr && pToc->recovering ? pToc->recoveredDropped : 0;
}

void KDRCIF_CountClientRead(KDRC_FILETOC_T* pToc, uint64_t bytes) {
  if (pToc == nullptr || pToc->pClientReads == nullptr) return;
  __atomic_fetch_add(&pToc->pClientReads[0], 1, __ATOMIC_RELAXED);
  __atomic_fetch_add(&pToc->pClientReads[1], bytes, __ATOMIC_RELAXED);
}

void KDRCIF_CountClientHits(KDRC_FILETOC_T* pToc, uint64_t hits, uint64_t reads, uint64_t bytes) {
  if (pToc == nullptr || pToc->pShared == nullptr) return;
  KDRC_FILESHARED_T* sh = pToc->pShared;
  uint64_t v = (uint64_t(sh->hitsHigh) << 32 | sh->hitsLow) + hits;
  sh->hitsLow = uint32_t(v);
  sh->hitsHigh = uint32_t(v >> 32);
  if (pToc->pClientReads == nullptr) return;
  __atomic_fetch_add(&pToc->pClientReads[0], reads, __ATOMIC_RELAXED);
  __atomic_fetch_add(&pToc->pClientReads[1], bytes, __ATOMIC_RELAXED);
}

void KDRCIF_ClientReads(const KDRC_FILETOC_T* pToc, uint64_t* reads, uint64_t* bytes) {
  const bool counted = pToc != nullptr && pToc->pClientReads != nullptr;
  *reads = counted ? __atomic_load_n(&pToc->pClientReads[0], __ATOMIC_RELAXED) : 0;
  *bytes = counted ? __atomic_load_n(&pToc->pClientReads[1], __ATOMIC_RELAXED) : 0;
}

int64_t KDRCIF_FirstReadDropped(const KDRC_FILETOC_T* pToc) {
  return pToc != nullptr ? pToc->firstReadDropped : 0;
}
