// Consistency checks of the metafile: the page check run on every page an operation touches,
// and the store check selected by a mask. A check never repairs: the first violation is
// recorded and its code returned.
//
// The store check reads values that a damaged file (or another process) controls: every page
// number is bounded by the page count fixed at open, every segment number by the size of the
// map it indexes, and every walk stops after as many steps as the structure can hold, so a
// corrupt store gives a code, never a hang or an access outside the mapping.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/shared_objects.h"
#include "store/hash_format.h"
#include "store/kdrc_internal.h"
#include "store/metafile_format.h"
#include "store/segment_format.h"

static const char kModule[] = "KDRCFile";

namespace meta = kdrc::meta;

namespace {

bool Printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

int KDRCFile_CheckPageConsistency(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, int kind) {
  KDRC_CHECK_TOC(pToc);
  if (pPage == nullptr) return KDRCX_NullPointer("pPage", KDRC_HERE);
  int32_t position = KDRCX_PageNumber(pToc, pPage);
  if (position < 0) return KDRC_FAIL(pToc, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  if (pPage->kind != kind)
    return KDRC_FAIL_VALUE(pToc, position, KDRC_ERROR_METAFILE_PAGE_TYPE_DOES_NOT_MATCH_REQUIRED_TYPE);
  switch (kind) {
    case meta::kFree:
      break;
    case meta::kAllocated: {
      if (pPage->accessTime > static_cast<int32_t>(std::time(nullptr)))
        return KDRC_FAIL_VALUE(pToc, position, KDRC_ERROR_METAFILE_BAD_TIME_FIELD);
      for (int i = 0; i < meta::kGuidLength; ++i) {
        auto c = static_cast<unsigned char>(pPage->guid[i]);
        bool ok = i < kdrc::hash::kMinGuidLength ? Printable(c) : (c == 0 || Printable(c));
        if (!ok) return KDRC_FAIL_VALUE(pToc, position, KDRC_ERROR_METAFILE_BAD_GUID_FIELD);
      }
      // The entry count indexes the page's 36 entries: it must fit them.
      if (pPage->used < 0 || pPage->used > meta::kEntriesPerPage)
        return KDRC_FAIL_VALUE(pToc, pPage->used, KDRC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG);
      for (int32_t i = 0; i < pPage->used; ++i) {
        const meta::SegmentEntry& e = pPage->entries[i];
        if (e.segment < 0) return KDRC_FAIL_VALUE(pToc, e.segment, KDRC_ERROR_METAFILE_SEGMENT_OFFSET);
        if (e.block < 0) return KDRC_FAIL_VALUE(pToc, e.block, KDRC_ERROR_METAFILE_FILE_OFFSET);
        if (e.length < -1 || e.length > kdrc::seg::kSegmentSize)
          return KDRC_FAIL_VALUE(pToc, e.length, KDRC_ERROR_METAFILE_SEGMENT_LENGTH);
      }
      break;
    }
    case meta::kFloating:
      if (pPage->next != -1)
        return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_SUCCESSORS);
      if (pPage->prev != -1)
        return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_PREDECESSORS);
      break;
    default:
      return KDRC_FAIL_VALUE(pToc, kind, KDRC_ERROR_METAFILE_INVALID_PAGE_TYPE_OR_OUT_OF_DISK_SPACE);
  }
  if (pPage->self < -1)
    return KDRC_PASS(KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO);
  if (pPage->self >= pToc->pageCount)
    return KDRC_PASS(KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  if (pPage->self != position)
    return KDRC_FAIL_VALUE(pToc, pPage->self, KDRC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET);
  return 0;
}


namespace {

constexpr char kCheckFn[] = "KDRCFile_CheckMetaFile";

// Records a violation found by the store check (value: the page or segment at fault).
int Finding(KDRC_FILETOC_T* t, int line, int value, int code) {
  return KDRCX_SetErrorValue(t->pErr, kModule, kCheckFn, line, value, code);
}
#define KDRC_FINDING(value, code) Finding(pToc, __LINE__, (value), (code))

bool ValidPage(const KDRC_FILETOC_T* t, int32_t n) { return n >= 0 && n < t->pageCount; }

// 64: the header against the shared parameters record and against itself.
int CheckHeader(KDRC_FILETOC_T* pToc) {
  const meta::Header* h = pToc->pHeader;
  const KDRC_FILESHARED_T* sh = pToc->pShared;
  constexpr int kBeyond = KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE;
  if (h->extentFiles < 0 || h->extentSegments < 0 || h->extentFiles > h->maxExtentFiles)
    return KDRC_FINDING(h->extentFiles, kBeyond);
  // No store is made with more extent files or bigger ones than the parameters are clamped
  // to; the open sizes its tables by these numbers.
  if (h->maxExtentFiles > meta::kMaxExtentFiles) return KDRC_FINDING(h->maxExtentFiles, kBeyond);
  if (h->segsPerExtent < 0 ||
      h->segsPerExtent > meta::kMaxExtentMegabytes * meta::kSegmentsPerMegabyte)
    return KDRC_FINDING(h->segsPerExtent, kBeyond);
  if (int64_t(h->totalExtentMB) !=
      int64_t(h->segsPerExtent) * h->maxExtentFiles / meta::kSegmentsPerMegabyte)
    return KDRC_FINDING(h->totalExtentMB, kBeyond);
  if (h->extentSegments / meta::kSegmentsPerMegabyte > h->totalExtentMB)
    return KDRC_FINDING(h->extentSegments, kBeyond);
  // The page count every walk is bounded by was fixed at open: the header must still say so.
  if (h->filePages != sh->filePages || h->filePages != pToc->pageCount)
    return KDRC_FINDING(h->filePages, KDRC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG);
  if (h->hashBlocks != sh->hashBlocks)
    return KDRC_FINDING(h->hashBlocks, KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
  if (h->segments != sh->segments) return KDRC_FINDING(h->segments, KDRC_ERROR_SEGMENT_BAD_OFFSET);
  if (h->maxExtentFiles < 0 || h->maxExtentFiles != sh->maxExtentFiles)
    return KDRC_FINDING(h->maxExtentFiles, kBeyond);
  if (h->segsPerExtent != sh->segsPerExtent) return KDRC_FINDING(h->segsPerExtent, kBeyond);
  if (h->totalExtentMB != sh->totalExtentMB) return KDRC_FINDING(h->totalExtentMB, kBeyond);
  if (h->extentSegments != sh->extentSegments) return KDRC_FINDING(h->extentSegments, kBeyond);
  if (h->extentFiles != sh->extentFiles) return KDRC_FINDING(h->extentFiles, kBeyond);
  return 0;
}

// 1: every page against its own kind, and the kinds against the header's free count.
int CheckPages(KDRC_FILETOC_T* pToc) {
  int32_t free = 0, allocated = 0, floating = 0;
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    meta::Page* p = KDRCX_PageAt(pToc, n);
    if (int rc = KDRCFile_CheckPageConsistency(pToc, p, p->kind)) return rc;
    if (p->kind == meta::kFree) ++free;
    if (p->kind == meta::kAllocated) ++allocated;
    if (p->kind == meta::kFloating) ++floating;
  }
  if (free != pToc->pHeader->freeCount)
    return KDRC_FINDING(free, KDRC_ERROR_METAFILE_NUMBER_OF_FREE_PAGES_DOESNT_MATCH_HEADER_COUNT);
  if (int64_t(free) + allocated + floating != pToc->pageCount)
    return KDRC_FINDING(free + allocated + floating,
                        KDRC_ERROR_METAFILE_SOME_PAGE_IS_NOT_FREE_ALLOCATED_OR_FLOATING);
  return 0;
}

// What the free-list walk reads of a page.
struct FreeLinks {
  uint8_t kind;
  int32_t next;
  int32_t prev;
};

// 2: the free page list walked both ways. A walk stops at -1 or once it has counted more
// pages than the header's free count (or than the store holds), so a loop ends as a count.
// `links(n)` gives page n's kind and links (from the mapping, or from the record of a pass).
template <class Links>
int WalkFreeList(KDRC_FILETOC_T* pToc, bool forward, Links links) {
  const meta::Header* h = pToc->pHeader;
  int64_t limit = h->freeCount < pToc->pageCount ? h->freeCount : pToc->pageCount;
  int32_t count = 0;
  for (int32_t n = forward ? h->freeHead : h->freeTail; n != -1;) {
    if (n < -1) return KDRC_FINDING(n, KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO);
    if (n >= pToc->pageCount)
      return KDRC_FINDING(n, KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
    const FreeLinks p = links(n);
    // A list that runs into a page of another kind would hand that page out as free.
    if (p.kind != meta::kFree) return KDRC_FINDING(n, KDRC_ERROR_CORRUPT_FREE_PAGE_LIST);
    if (++count > limit) break;
    n = forward ? p.next : p.prev;
  }
  if (count != h->freeCount)
    return KDRC_FINDING(count, KDRC_ERROR_METAFILE_LINKED_FREEPAGE_COUNT_DOES_NOT_EQUAL_HEADER_COUNT);
  return 0;
}

FreeLinks MappedLinks(const KDRC_FILETOC_T* t, int32_t n) {
  const meta::Page* p = KDRCX_PageAt(t, n);
  return FreeLinks{p->kind, p->next, p->prev};
}

// 4: the date list: no free page in it, sorted by time both ways, as many members as counted.
int CheckDateList(KDRC_FILETOC_T* pToc) {
  const int32_t* when = pToc->lastFileAccess;
  const int32_t* next = pToc->dateNext;
  const int32_t* prev = pToc->datePrev;
  if (pToc->pDateHead == nullptr || when == nullptr || next == nullptr || prev == nullptr)
    return KDRCX_NullPointer("pToc->lastFileAccess", kModule, kCheckFn, __LINE__);
  const int32_t first = pToc->pDateHead[0];
  const int32_t last = pToc->pDateHead[1];
  const int32_t count = pToc->pDateHead[2];
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    if (KDRCX_PageAt(pToc, n)->kind != meta::kFree) continue;
    if (first == n || last == n || next[n] != -1 || prev[n] != -1)
      return KDRC_FINDING(n, KDRC_ERROR_METAFILE_FREEPAGE_ALSO_IN_DATELIST);
  }
  int64_t limit = count < pToc->pageCount ? count : pToc->pageCount;
  int32_t members = 0;
  int32_t at = first;
  int32_t end = -1;
  while (at != -1) {
    if (!ValidPage(pToc, at)) return KDRC_FINDING(at, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
    int32_t after = next[at];
    if (after == at) return KDRC_FINDING(at, KDRC_ERROR_METAFILE_DATELIST_SELFLINK);
    if (after != -1 && !ValidPage(pToc, after))
      return KDRC_FINDING(after, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
    if (when[at] <= 0 || (after != -1 && when[after] <= 0))
      return KDRC_FINDING(when[at] <= 0 ? at : after, KDRC_ERROR_METAFILE_DATE_LIST_BAD_DATE);
    if (after != -1 && when[at] > when[after])
      return KDRC_FINDING(after, KDRC_ERROR_METAFILE_DATE_LIST_IS_NOT_SORTED);
    end = at;
    if (++members > limit) break;
    at = after;
  }
  if (members != count) return KDRC_FINDING(members, KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
  // Insertion appends after the recorded last member: it must be where the list really ends.
  if (end != last) return KDRC_FINDING(last, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
  members = 0;
  for (at = last; at != -1;) {
    if (!ValidPage(pToc, at)) return KDRC_FINDING(at, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
    int32_t before = prev[at];
    if (before == at) return KDRC_FINDING(at, KDRC_ERROR_METAFILE_DATELIST_SELFLINK);
    if (before != -1 && !ValidPage(pToc, before))
      return KDRC_FINDING(before, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
    if (when[at] <= 0) return KDRC_FINDING(at, KDRC_ERROR_METAFILE_DATE_LIST_BAD_DATE);
    if (before != -1 && when[at] < when[before])
      return KDRC_FINDING(at, KDRC_ERROR_METAFILE_DATE_LIST_IS_NOT_SORTED);
    if (++members > limit) break;
    at = before;
  }
  if (members != count) return KDRC_FINDING(members, KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
  return 0;
}

// Whether the file of allocated page n can be found by its GUID. `found` is the GUID found
// last (a file's pages mostly lie one after the other: it is not looked up again).
int CoverPage(KDRC_FILETOC_T* pToc, int32_t n, char (&found)[meta::kGuidLength + 1]) {
  const meta::Page* p = KDRCX_PageAt(pToc, n);
  if (found[0] != '\0' && std::memcmp(found, p->guid, meta::kGuidLength) == 0) return 0;
  char guid[meta::kGuidLength + 1] = {};
  std::memcpy(guid, p->guid, meta::kGuidLength);
  KDRC_PAGE_T* first = nullptr;
  if (int rc = KDRCHash_FindFile(pToc, guid, &first)) return rc;
  if (first == nullptr) return KDRC_FINDING(n, KDRC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST);
  std::memcpy(found, guid, sizeof found);
  return 0;
}

// 8: every allocated page's file can be found by its GUID.
int CheckHashCoverage(KDRC_FILETOC_T* pToc) {
  char found[meta::kGuidLength + 1] = {};
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    if (KDRCX_PageAt(pToc, n)->kind != meta::kAllocated) continue;
    if (int rc = CoverPage(pToc, n, found)) return rc;
  }
  return 0;
}

// Segments the store can address: the segment file's and the extents' in use.
int SegmentsInUse(KDRC_FILETOC_T* pToc, int32_t* out) {
  int64_t u = int64_t(pToc->pShared->segments) + pToc->pShared->extentSegments;
  if (pToc->pShared->segments < 0 || pToc->pShared->extentSegments < 0 || u > INT32_MAX)
    return KDRC_FINDING(int32_t(u > INT32_MAX ? INT32_MAX : u), KDRC_ERROR_SEGMENT_BAD_OFFSET);
  *out = int32_t(u);
  return 0;
}

// Follows the free-segment list: the entry after `g` (the head for g == -1).
int32_t NextFreeSegment(const KDRC_FILETOC_T* t, int32_t g) {
  return g == -1 ? t->freeSegHead : t->freeSegNext[g];
}

// 16: the free-segment list holds `count` valid segments in ascending order.
int CheckFreeSegmentOrder(KDRC_FILETOC_T* pToc) {
  int32_t u = 0;
  if (int rc = SegmentsInUse(pToc, &u)) return rc;
  int32_t g = -1;
  for (int32_t i = 0; i < pToc->freeSegCount; ++i) {
    int32_t h = NextFreeSegment(pToc, g);
    // Ascending values below u: a list can pass this at most u times, so the walk is bounded.
    if (h < 0 || h >= u || h >= pToc->freeSegCapacity || h <= g)
      return KDRC_FINDING(h, KDRC_ERROR_METAFILE_INVALID_SEGMENT_OFFSET_IN_FREELIST);
    g = h;
  }
  return 0;
}

// 32: every segment is held by at most one page entry, and no held segment is free.
int CheckSegmentMap(KDRC_FILETOC_T* pToc) {
  int32_t u = 0;
  if (int rc = SegmentsInUse(pToc, &u)) return rc;
  auto* map = static_cast<uint16_t*>(std::calloc(size_t(u > 0 ? u : 1), sizeof(uint16_t)));
  if (map == nullptr) return KDRCX_OutOfMemory(kModule, kCheckFn, __LINE__, "allocated");
  struct Release {
    uint16_t* m;
    ~Release() { std::free(m); }
  } release{map};

  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    const meta::Page* p = KDRCX_PageAt(pToc, n);
    if (p->kind != meta::kAllocated) continue;
    if (p->used < 0 || p->used > meta::kEntriesPerPage)
      return KDRC_FINDING(n, KDRC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG);
    for (int32_t i = 0; i < p->used; ++i) {
      int32_t g = p->entries[i].segment;
      // A segment number the store cannot address is corrupt, not an index.
      if (g < 0 || g >= u) return KDRC_FINDING(g, KDRC_ERROR_METAFILE_SEGMENT_OFFSET);
      if (map[g]++ != 0) return KDRC_FINDING(g, KDRC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_MORE_THAN_ONCE);
    }
  }
  if ((pToc->freeSegHead == -1) != (pToc->freeSegTail == -1))
    return KDRC_FINDING(pToc->freeSegHead, KDRC_ERROR_METAFILE_SEGMENT_FIRST_AND_LAST_OUT_OF_SYNC);
  int32_t count = pToc->freeSegCount;
  if (count < 0 || count > u) return KDRC_FINDING(count, KDRC_ERROR_METAFILE_SEGMENT_BAD_FREE_LIST_COUNT);
  int32_t g = -1;
  for (int32_t i = 0; i < count; ++i) {
    int32_t h = NextFreeSegment(pToc, g);
    if (h < 0 || h >= u || h >= pToc->freeSegCapacity)
      return KDRC_FINDING(h, KDRC_ERROR_METAFILE_INVALID_SEGMENT_OFFSET_IN_FREELIST);
    if (map[h] != 0) return KDRC_FINDING(h, KDRC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_AND_IN_THE_FREE_LIST);
    g = h;
  }
  // The list must end where the count says, at the recorded tail.
  if (NextFreeSegment(pToc, g) != -1)
    return KDRC_FINDING(g, KDRC_ERROR_METAFILE_SEGMENT_BAD_FREE_LIST_COUNT);
  if (g != pToc->freeSegTail)
    return KDRC_FINDING(pToc->freeSegTail, KDRC_ERROR_METAFILE_ALLOCATED_PAGE_SIZE_IS_WRONG);
  return 0;
}

}  // namespace

int KDRCFile_CheckMetaFile(KDRC_FILETOC_T* pToc, int mask) {
  KDRC_CHECK_SHARED(pToc);
  if (pToc->client) mask &= KDRC_CHECK_DATE_LIST;
  if (pToc->pHeader == nullptr || pToc->pPages == nullptr)
    return KDRCX_NullPointer("pToc->pHeader", KDRC_HERE);
  if ((mask & (KDRC_CHECK_FREE_SEGMENT_ORDER | KDRC_CHECK_SEGMENT_MAP)) &&
      pToc->freeSegNext == nullptr && pToc->freeSegCount > 0)
    return KDRCX_NullPointer("pToc->freeSegNext", KDRC_HERE);
  struct Pass {
    int bit;
    int (*run)(KDRC_FILETOC_T*);
  };
  static constexpr Pass kPasses[] = {
      {KDRC_CHECK_HEADER, CheckHeader},
      {KDRC_CHECK_PAGES, CheckPages},
      {KDRC_CHECK_FREE_LIST,
       [](KDRC_FILETOC_T* t) {
         auto links = [t](int32_t n) { return MappedLinks(t, n); };
         int rc = WalkFreeList(t, true, links);
         return rc != 0 ? rc : WalkFreeList(t, false, links);
       }},
      {KDRC_CHECK_DATE_LIST, CheckDateList},
      {KDRC_CHECK_HASH, CheckHashCoverage},
      {KDRC_CHECK_FREE_SEGMENT_ORDER, CheckFreeSegmentOrder},
      {KDRC_CHECK_SEGMENT_MAP, CheckSegmentMap},
  };
  for (const Pass& pass : kPasses) {
    if ((mask & pass.bit) == 0) continue;
    if (int rc = pass.run(pToc)) return KDRC_PASS(rc);
  }
  return 0;
}

int KDRCX_CheckEveryCall(KDRC_FILETOC_T* pToc, const char* function) {
  KDRC_CHECK_TOC(pToc);
  if (!pToc->checkEveryCall) return 0;
  int rc = KDRCFile_CheckMetaFile(pToc, KDRC_CHECK_EVERY_CALL_MASK);
  if (rc == 0) return 0;
  KDRCX_Print("***ERROR(%d): %s\n", rc, KDRCX_ErrorName(rc));
  return KDRCX_Traceback(function != nullptr ? function : __func__, rc);
}

// ---- The pass over every page at an open, and the open's check from its record ------------

namespace {

void FreeScan(KDRC_PAGESCAN_T* scan) {
  if (scan == nullptr) return;
  kdr::platform::UnmapMemory(scan->pages, scan->bytes);
  std::free(scan);
}

// Exactly the rules KDRCFile_CheckPageConsistency applies to a page against its own kind, on a
// copy; false whenever that check might fail (`now` is no later than its clock).
bool LooksSound(const meta::Page* p, int32_t n, int32_t now, int32_t pages) {
  switch (p->kind) {
    case meta::kFree:
      break;
    case meta::kAllocated: {
      if (p->accessTime > now) return false;
      // Whole loops without an early exit, which the compiler does many bytes at a step.
      bool sound = true;
      for (int i = 0; i < kdrc::hash::kMinGuidLength; ++i)
        sound &= Printable(static_cast<unsigned char>(p->guid[i]));
      for (int i = kdrc::hash::kMinGuidLength; i < meta::kGuidLength; ++i) {
        auto c = static_cast<unsigned char>(p->guid[i]);
        sound &= c == 0 || Printable(c);
      }
      if (!sound || p->used < 0 || p->used > meta::kEntriesPerPage) return false;
      for (int32_t i = 0; i < p->used; ++i) {
        const meta::SegmentEntry& e = p->entries[i];
        sound &=
            e.segment >= 0 && e.block >= 0 && e.length >= -1 && e.length <= kdrc::seg::kSegmentSize;
      }
      if (!sound) return false;
      break;
    }
    case meta::kFloating:
      if (p->next != -1 || p->prev != -1) return false;
      break;
    default:
      return false;
  }
  return p->self == n && n < pages;
}

// Powers of the hash's multiplier: kPowers[k] is 17^k, modulo 2^32 as the hash computes.
constexpr auto kPowers = [] {
  std::array<uint32_t, meta::kGuidLength> p{};
  uint32_t v = 1;
  for (uint32_t& x : p) {
    x = v;
    v *= kdrc::hash::kMultiplier;
  }
  return p;
}();

// The bucket of a GUID as KDRCHash_Entry computes it; -1 for a GUID too short to have one.
// h = h * 17 + c over the characters is the sum of each character times 17 to the power of
// the characters after it, whose terms do not wait for each other.
int32_t BucketOf(const char* guid, int32_t buckets) {
  const int len = int(strnlen(guid, meta::kGuidLength));
  if (len < kdrc::hash::kMinGuidLength || buckets < 1) return -1;
  uint32_t h = 0;
  for (int i = 0; i < len; ++i)
    h += static_cast<unsigned char>(guid[i]) * kPowers[size_t(len - 1 - i)];
  return static_cast<int32_t>(h % static_cast<uint32_t>(buckets));
}

// 1 from the record: the pages were checked one by one by the pass; the kinds are counted.
int CheckScannedPages(KDRC_FILETOC_T* pToc, const KDRC_PAGESCAN_T& s) {
  const int32_t free = s.kinds[meta::kFree];
  const int32_t sound = free + s.kinds[meta::kAllocated] + s.kinds[meta::kFloating];
  if (free != pToc->pHeader->freeCount)
    return KDRC_FINDING(free, KDRC_ERROR_METAFILE_NUMBER_OF_FREE_PAGES_DOESNT_MATCH_HEADER_COUNT);
  if (sound != pToc->pageCount)
    return KDRC_FINDING(sound, KDRC_ERROR_METAFILE_SOME_PAGE_IS_NOT_FREE_ALLOCATED_OR_FLOATING);
  return 0;
}

// 8 from the record: each bucket's chain is walked once over the record, marking the first
// pages found on their own GUID's chain (KDRCHash_FindFile finds those: it walks the same
// chain from the same bucket, through the same links). Every other allocated page is looked
// up as CheckHashCoverage does, through the mapping, which also reports a chain broken before
// it; so are the rest when the walks run into what the record does not hold (a link into a
// page that is not allocated) or take more steps than a sound hash can need (a loop).
int CheckScannedHash(KDRC_FILETOC_T* pToc, KDRC_PAGESCAN_T* s) {
  const KDRC_HASHTOC_T* ht = pToc->pHashToc;
  if (ht == nullptr || ht->pBuckets == nullptr || ht->buckets != s->buckets)
    return CheckHashCoverage(pToc);
  using Entry = KDRC_PAGESCAN_T::Entry;
  int64_t budget = int64_t(pToc->pageCount) + 1;
  for (int32_t b = 0; b < ht->buckets && budget > 0; ++b) {
    for (int32_t m = ht->pBuckets[b]; m != -1; --budget) {
      if (m < 0 || m >= pToc->pageCount || budget <= 0) break;
      Entry& e = s->pages[m];
      if ((e.kind & KDRC_PAGESCAN_T::kKindMask) != meta::kAllocated) break;
      if (e.aux == b) e.kind |= KDRC_PAGESCAN_T::kFound;
      m = e.link;
    }
  }
  char found[meta::kGuidLength + 1] = {};
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    const uint8_t k = s->pages[n].kind;
    if ((k & KDRC_PAGESCAN_T::kKindMask) != meta::kAllocated || (k & KDRC_PAGESCAN_T::kFound))
      continue;
    if (int rc = CoverPage(pToc, n, found)) return rc;
  }
  return 0;
}

}  // namespace

KDRC_PAGESCAN_T* KDRCX_StartPageScan(KDRC_FILETOC_T* pToc) {
  KDRCX_ForgetPageScan(pToc);
  if (pToc->client || pToc->pageCount < 1) return nullptr;
  auto* scan = static_cast<KDRC_PAGESCAN_T*>(std::calloc(1, sizeof(KDRC_PAGESCAN_T)));
  if (scan == nullptr) return nullptr;
  // Mapped with huge pages asked for: tens of megabytes for the largest store, which would
  // otherwise fault in a small page at a time as the pass writes them.
  scan->bytes = sizeof(KDRC_PAGESCAN_T::Entry) * size_t(pToc->pageCount);
  void* pages = nullptr;
  if (kdr::platform::MapMemory(scan->bytes, &pages) != 0) {
    std::free(scan);
    return nullptr;
  }
  scan->pages = static_cast<KDRC_PAGESCAN_T::Entry*>(pages);
  scan->buckets = pToc->pShared->hashBlocks > 0
                      ? int32_t(int64_t(pToc->pShared->hashBlocks) * kdrc::hash::kBucketsPerBlock)
                      : 0;
  scan->changes = pToc->pShared->changes;
  pToc->pPageScan = scan;
  return scan;
}

int KDRCX_ScanPage(KDRC_FILETOC_T* pToc, KDRC_PAGESCAN_T* scan, int32_t n, const KDRC_PAGE_T* copy,
                   int32_t now) {
  if (!LooksSound(copy, n, now, pToc->pageCount)) {
    // The check itself, on the mapped page, records what is wrong.
    meta::Page* p = KDRCX_PageAt(pToc, n);
    if (int rc = KDRCFile_CheckPageConsistency(pToc, p, p->kind)) return rc;
  }
  if (scan == nullptr || n != scan->scanned) return 0;
  KDRC_PAGESCAN_T::Entry& e = scan->pages[n];
  const uint8_t kind = copy->kind >= meta::kFree && copy->kind <= meta::kFloating ? copy->kind : 0;
  e.kind = kind;
  scan->kinds[kind] += 1;
  if (kind == meta::kAllocated) {
    e.link = copy->hashLink;
    e.aux = -1;
    if (copy->used != 0) e.kind |= KDRC_PAGESCAN_T::kEntries;
    if (copy->firstPage) {
      e.kind |= KDRC_PAGESCAN_T::kFirst;
      e.aux = BucketOf(copy->guid, scan->buckets);
    }
  } else {
    e.link = copy->next;
    e.aux = copy->prev;
  }
  scan->scanned = n + 1;
  return 0;
}

void KDRCX_ForgetPageScan(KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr) return;
  FreeScan(pToc->pPageScan);
  pToc->pPageScan = nullptr;
}

int KDRCX_CheckOpenedPages(KDRC_FILETOC_T* pToc, int mask) {
  KDRC_CHECK_SHARED(pToc);
  KDRC_PAGESCAN_T* scan = pToc->pPageScan;
  pToc->pPageScan = nullptr;
  struct Release {
    KDRC_PAGESCAN_T* s;
    ~Release() { FreeScan(s); }
  } release{scan};
  constexpr int kFromRecord =
      KDRC_CHECK_HEADER | KDRC_CHECK_PAGES | KDRC_CHECK_FREE_LIST | KDRC_CHECK_HASH;
  if (scan == nullptr || pToc->client || (mask & ~kFromRecord) != 0 ||
      scan->scanned != pToc->pageCount || scan->changes != pToc->pShared->changes ||
      pToc->pHeader == nullptr || pToc->pPages == nullptr)
    return KDRCFile_CheckMetaFile(pToc, mask);
  // In the order of KDRCFile_CheckMetaFile's passes.
  if (mask & KDRC_CHECK_HEADER) {
    if (int rc = CheckHeader(pToc)) return KDRC_PASS(rc);
  }
  if (mask & KDRC_CHECK_PAGES) {
    if (int rc = CheckScannedPages(pToc, *scan)) return KDRC_PASS(rc);
  }
  if (mask & KDRC_CHECK_FREE_LIST) {
    auto links = [scan](int32_t n) {
      const KDRC_PAGESCAN_T::Entry& e = scan->pages[n];
      return FreeLinks{uint8_t(e.kind & KDRC_PAGESCAN_T::kKindMask), e.link, e.aux};
    };
    int rc = WalkFreeList(pToc, true, links);
    if (rc == 0) rc = WalkFreeList(pToc, false, links);
    if (rc != 0) return KDRC_PASS(rc);
  }
  if (mask & KDRC_CHECK_HASH) {
    if (int rc = CheckScannedHash(pToc, scan)) return KDRC_PASS(rc);
  }
  return 0;
}
