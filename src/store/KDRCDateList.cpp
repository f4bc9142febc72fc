// The date list: allocated pages in order of last access, least recently used first. Its links
// are the TOC's next/prev arrays (one entry per page), its head is words 15 to 17 of the
// shared parameters record, and each member's time is in lastFileAccess.
//
// Eviction takes the first member: it is unlinked from the list, from its file's page chain
// and hash bucket, and freed with its segments. Pinned pages are kept out of the list.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "store/kdrc_internal.h"

static const char kModule[] = "KDRCFile";

void (*KDRCX_DateMoveStepHook)(int step) = nullptr;

namespace {

void Step(int step) {
  if (KDRCX_DateMoveStepHook != nullptr) KDRCX_DateMoveStepHook(step);
}

int32_t& First(KDRC_FILETOC_T* t) { return t->pDateHead[0]; }
int32_t& Last(KDRC_FILETOC_T* t) { return t->pDateHead[1]; }
int32_t& Count(KDRC_FILETOC_T* t) { return t->pDateHead[2]; }

bool ValidPage(const KDRC_FILETOC_T* t, int32_t n) { return n >= 0 && n < t->pageCount; }

// Puts member n, which is not the last, at the end of the list. The page's own links change
// only once no other link leads to it, and its back link names its new predecessor before
// its forward link goes, so a process killed at any step leaves a page that
// KDRCX_RepairDateList finds (see there).
int MoveToEnd(KDRC_FILETOC_T* t, int32_t n) {
  int32_t* next = t->dateNext;
  int32_t* prev = t->datePrev;
  int32_t last = t->pDateHead[1];
  int32_t before = prev[n];
  int32_t after = next[n];
  if (!ValidPage(t, last) || !ValidPage(t, after) ||
      (before == -1 ? t->pDateHead[0] != n : !ValidPage(t, before)))
    return KDRC_FAIL(t, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
  if (before == -1) {
    t->pDateHead[0] = after;
  } else {
    next[before] = after;
  }
  Step(1);
  prev[after] = before;
  Step(2);
  prev[n] = last;
  Step(3);
  next[n] = -1;
  Step(4);
  next[last] = n;
  Step(5);
  t->pDateHead[1] = n;
  return 0;
}

int CheckList(KDRC_FILETOC_T* t, const char* function) {
  if (t->pDateHead == nullptr || t->lastFileAccess == nullptr || t->dateNext == nullptr ||
      t->datePrev == nullptr)
    return KDRCX_NullPointer("pToc->lastFileAccess", kModule, function, __LINE__);
  return 0;
}

// Orders `keys` (a time above a page number, made in ascending page order) by time, keeping
// the page order among equal times: counting passes of 11 bits over the time, a pass skipped
// where every key has the same digit. Two million keys take a fifth of what a comparison sort
// takes. Without room for the second array, a comparison sort does the same.
void SortByTime(uint64_t* keys, size_t count) {
  auto* spare = static_cast<uint64_t*>(std::malloc(count * sizeof(uint64_t)));
  if (spare == nullptr) {
    std::sort(keys, keys + count);
    return;
  }
  constexpr int kBits = 11;
  constexpr size_t kBuckets = size_t(1) << kBits;
  uint64_t* from = keys;
  uint64_t* to = spare;
  for (int shift = 32; shift < 64; shift += kBits) {
    auto digit = [&](uint64_t k) { return size_t(k >> shift) & (kBuckets - 1); };
    size_t start[kBuckets + 1] = {};
    for (size_t i = 0; i < count; ++i) ++start[digit(from[i]) + 1];
    if (start[digit(from[0]) + 1] == count) continue;
    for (size_t b = 1; b <= kBuckets; ++b) start[b] += start[b - 1];
    for (size_t i = 0; i < count; ++i) to[start[digit(from[i])]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys) std::memcpy(keys, from, count * sizeof(uint64_t));
  std::free(spare);
}

}  // namespace

int KDRCX_InitEmptyDateList(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (pToc->sharedStructs || pToc->client) {
    // The arrays live in shared memory: empty them in place.
    if (int rc = CheckList(pToc, __func__)) return rc;
  } else {
    std::free(pToc->lastFileAccess);
    std::free(pToc->dateNext);
    std::free(pToc->datePrev);
    size_t n = size_t(pToc->pageCount > 0 ? pToc->pageCount : 1);
    pToc->lastFileAccess = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    pToc->dateNext = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    pToc->datePrev = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    if (pToc->lastFileAccess == nullptr || pToc->dateNext == nullptr || pToc->datePrev == nullptr) {
      const char* what = pToc->lastFileAccess == nullptr ? "lastFileAccess"
                         : pToc->dateNext == nullptr     ? "next"
                                                         : "prev";
      std::free(pToc->lastFileAccess);
      std::free(pToc->dateNext);
      std::free(pToc->datePrev);
      pToc->lastFileAccess = pToc->dateNext = pToc->datePrev = nullptr;
      KDRCX_OutOfMemory(KDRC_HERE, what);
      return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
    }
  }
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    pToc->lastFileAccess[n] = 0;
    pToc->dateNext[n] = -1;
    pToc->datePrev[n] = -1;
  }
  if (pToc->pDateHead == nullptr) return KDRCX_NullPointer("pToc->pDateHead", KDRC_HERE);
  First(pToc) = Last(pToc) = -1;
  Count(pToc) = 0;
  return 0;
}

int KRDCX_InsertPageInDateList(KDRC_FILETOC_T* pToc, int32_t page, int32_t time) {
  KDRC_CHECK_TOC(pToc);
  if (int rc = CheckList(pToc, __func__)) return rc;
  if (!ValidPage(pToc, page))
    return KDRC_FAIL_VALUE(pToc, page, KDRC_ERROR_METAFILE_PAGE_IS_NOT_IN_THE_DATELIST);
  int32_t* next = pToc->dateNext;
  int32_t* prev = pToc->datePrev;
  int32_t* when = pToc->lastFileAccess;
  if (First(pToc) == page || Last(pToc) == page || next[page] != -1 || prev[page] != -1)
    return KDRC_FAIL_VALUE(pToc, page, KDRC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST);
  when[page] = time;
  int32_t first = First(pToc);
  int32_t last = Last(pToc);
  if (first == -1 || last == -1) {
    if (Count(pToc) != 0 || first != last) return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
    First(pToc) = Last(pToc) = page;
  } else if (!ValidPage(pToc, first) || !ValidPage(pToc, last)) {
    return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
  } else if (time >= when[last]) {
    next[last] = page;
    prev[page] = last;
    Last(pToc) = page;
  } else if (when[first] <= time) {
    int32_t at = first;
    for (int32_t steps = 0;; ++steps) {
      int32_t after = next[at];
      if (steps > pToc->pageCount || !ValidPage(pToc, after))
        return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
      if (when[after] > time) break;
      at = after;
    }
    int32_t after = next[at];
    next[page] = after;
    prev[page] = at;
    next[at] = page;
    prev[after] = page;
  } else {
    next[page] = first;
    prev[first] = page;
    First(pToc) = page;
  }
  Count(pToc) += 1;
  return 0;
}

int KDRCX_RecordPageDate(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage) {
  KDRC_CHECK_TOC(pToc);
  if (pPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pPage");
  if (int rc = CheckList(pToc, __func__)) return rc;
  int32_t n = KDRCX_PageNumber(pToc, pPage);
  if (n < 0) return KDRC_FAIL(pToc, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  int32_t now = static_cast<int32_t>(std::time(nullptr));
  pPage->accessTime = now;
  pToc->lastFileAccess[n] = now;
  return 0;
}

int KDRCX_UpdatePageAccessTime(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage) {
  if (int rc = KDRCX_RecordPageDate(pToc, pPage)) return KDRC_PASS(rc);
  int32_t n = KDRCX_PageNumber(pToc, pPage);
  int32_t* next = pToc->dateNext;
  int32_t* prev = pToc->datePrev;
  int32_t last = Last(pToc);
  if (last == n) return 0;
  // Only members move: a page that is not in the list (a pinned one) keeps its links as they
  // are rather than being unlinked through a -1 link.
  bool member = First(pToc) == n || prev[n] != -1 || next[n] != -1;
  if (!member || !ValidPage(pToc, last)) return 0;
  if (int rc = MoveToEnd(pToc, n)) return KDRC_PASS(rc);
  return 0;
}

int KDRCX_RepairDateList(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (int rc = CheckList(pToc, __func__)) return rc;
  const int32_t pages = pToc->pageCount;
  if (pages <= 0) return 0;
  int32_t* next = pToc->dateNext;
  int32_t* prev = pToc->datePrev;
  auto* order = static_cast<int32_t*>(std::malloc(size_t(pages) * sizeof(int32_t)));
  auto* seen = static_cast<uint8_t*>(std::calloc(size_t(pages), 1));
  if (order == nullptr || seen == nullptr) {
    std::free(order);
    std::free(seen);
    KDRCX_OutOfMemory(KDRC_HERE, "order");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  // The members the forward links still reach, in their order; then a page that has links but
  // is not reached: the one a killed process was moving to the end, where it goes now. A
  // page without links is not a member (pinned, or on its way out of the store).
  int32_t count = 0;
  for (int32_t n = First(pToc); ValidPage(pToc, n) && !seen[n]; n = next[n]) {
    seen[n] = 1;
    order[count++] = n;
  }
  for (int32_t n = 0; n < pages; ++n) {
    if (!seen[n] && (next[n] != -1 || prev[n] != -1)) order[count++] = n;
  }
  for (int32_t i = 0; i < count; ++i) {
    prev[order[i]] = i > 0 ? order[i - 1] : -1;
    next[order[i]] = i + 1 < count ? order[i + 1] : -1;
  }
  First(pToc) = count > 0 ? order[0] : -1;
  Last(pToc) = count > 0 ? order[count - 1] : -1;
  Count(pToc) = count;
  std::free(order);
  std::free(seen);
  return 0;
}

int KRDCX_SortTheDateList(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (int rc = CheckList(pToc, __func__)) return rc;
  const int32_t* when = pToc->lastFileAccess;
  // Inserting the pages one by one in ascending page order, each behind every member whose
  // time is not later, gives the pages ordered by (time, page number). Into an empty list
  // that order is built directly by sorting: P log P instead of P * P / 2 steps, which is
  // what makes opening a store of two million pages take seconds rather than hours. A list
  // that is not empty (or pages that already carry links) takes the insertion path, which
  // also reports those pages as 106.
  bool empty = First(pToc) == -1 && Last(pToc) == -1 && Count(pToc) == 0;
  for (int32_t n = 0; empty && n < pToc->pageCount; ++n)
    if (when[n] != 0 && (pToc->dateNext[n] != -1 || pToc->datePrev[n] != -1)) empty = false;
  if (!empty) {
    for (int32_t n = 0; n < pToc->pageCount; ++n) {
      if (when[n] == 0) continue;
      if (int rc = KRDCX_InsertPageInDateList(pToc, n, when[n])) return KDRC_PASS(rc);
    }
    return 0;
  }
  size_t members = 0;
  for (int32_t n = 0; n < pToc->pageCount; ++n) members += when[n] != 0;
  if (members == 0) return 0;
  // Key: the time made unsigned in its order (sign bit flipped) above the page number.
  auto* keys = static_cast<uint64_t*>(std::malloc(members * sizeof(uint64_t)));
  if (keys == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "keys");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  size_t k = 0;
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    if (when[n] == 0) continue;
    uint64_t t = uint64_t(uint32_t(when[n]) ^ 0x80000000u);
    keys[k++] = (t << 32) | uint32_t(n);
  }
  SortByTime(keys, members);
  int32_t* next = pToc->dateNext;
  int32_t* prev = pToc->datePrev;
  int32_t before = -1;
  for (size_t i = 0; i < members; ++i) {
    int32_t n = int32_t(uint32_t(keys[i]));
    prev[n] = before;
    if (before != -1) next[before] = n;
    before = n;
  }
  next[before] = -1;
  First(pToc) = int32_t(uint32_t(keys[0]));
  Last(pToc) = before;
  Count(pToc) = int32_t(members);
  std::free(keys);
  return 0;
}

int KRDCX_RemovePageFromFilePageList(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage) {
  KDRC_CHECK_TOC(pToc);
  if (pPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pPage");
  int32_t n = KDRCX_PageNumber(pToc, pPage);
  if (n < 0) return KDRC_FAIL(pToc, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  KDRCX_NoteStoreChange(pToc);
  if (pPage->firstPage) {
    int32_t next = pPage->next;
    if (int rc = KDRCHash_DeleteEntry(pToc, pPage)) return KDRC_PASS(rc);
    // The promoted page heads the chain now: it has no predecessor.
    if (KDRC_PAGE_T* successor = KDRCX_PageAt(pToc, next)) successor->prev = -1;
    return 0;
  }
  char guid[kdrc::meta::kGuidLength + 1] = {};
  std::memcpy(guid, pPage->guid, kdrc::meta::kGuidLength);
  KDRC_PAGE_T* first = nullptr;
  if (int rc = KDRCHash_FindFile(pToc, guid, &first)) return KDRC_PASS(rc);
  if (first == nullptr) return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST);
  if (first->next == -1) return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_FILE_NOT_IN_FILE_PAGE_LIST);
  // Walk to the page's predecessor; a chain that ends (or loops) without it gives 72.
  KDRC_PAGE_T* before = first;
  for (int32_t steps = 0;; ++steps) {
    if (steps > pToc->pageCount || before->next == -1)
      return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_FILE_NOT_IN_FILE_PAGE_LIST);
    if (before->next == n) break;
    before = KDRCX_PageAt(pToc, before->next);
    if (before == nullptr) return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_FILE_NOT_IN_FILE_PAGE_LIST);
  }
  before->next = pPage->next;
  if (KDRC_PAGE_T* after = KDRCX_PageAt(pToc, pPage->next)) after->prev = KDRCX_PageNumber(pToc, before);
  return 0;
}

int KRDCFile_DeleteThisPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage) {
  KDRC_CHECK_TOC(pToc);
  if (pPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pPage");
  if (int rc = CheckList(pToc, __func__)) return rc;
  int32_t n = KDRCX_PageNumber(pToc, pPage);
  if (n < 0) return KDRC_FAIL(pToc, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  int32_t* next = pToc->dateNext;
  int32_t* prev = pToc->datePrev;
  bool member = First(pToc) == n || prev[n] != -1;
  if (Count(pToc) < 1 || !member || (Count(pToc) == 1 && First(pToc) != n))
    return KDRC_FAIL_VALUE(pToc, n, KDRC_ERROR_METAFILE_PAGE_IS_NOT_IN_THE_DATELIST);
  int32_t before = prev[n];
  int32_t after = next[n];
  if ((before != -1 && !ValidPage(pToc, before)) || (after != -1 && !ValidPage(pToc, after)))
    return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
  if (before == -1)
    First(pToc) = after;
  else
    next[before] = after;
  if (after == -1)
    Last(pToc) = before;
  else
    prev[after] = before;
  next[n] = prev[n] = -1;
  Count(pToc) -= 1;
  if (int rc = KRDCX_RemovePageFromFilePageList(pToc, pPage)) return KDRC_PASS(rc);
  pPage->kind = kdrc::meta::kFloating;
  pPage->next = pPage->prev = -1;
  if (int rc = KDRCFile_FreeThisPage(pToc, pPage)) return KDRC_PASS(rc);
  return 0;
}

int KRDCFile_DeleteOldest(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (int rc = CheckList(pToc, __func__)) return rc;
  int32_t first = First(pToc);
  if (first == -1) return 0;
  if (first < -1) return KDRC_PASS(KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO);
  if (first >= pToc->pageCount)
    return KDRC_PASS(KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  if (int rc = KRDCFile_DeleteThisPage(pToc, KDRCX_PageAt(pToc, first))) return KDRC_PASS(rc);
  return 0;
}

int KRDCFile_LockPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage) {
  if (int rc = KDRCX_UpdatePageAccessTime(pToc, pPage)) return KDRC_PASS(rc);
  int32_t n = KDRCX_PageNumber(pToc, pPage);
  if (Last(pToc) != n)
    return KDRC_FAIL_VALUE(pToc, n, KDRC_ERROR_FILE_LOCK_PAGE_IS_NOT_LAST_IN_DATE_LIST);
  int32_t before = pToc->datePrev[n];
  if (First(pToc) == n) {
    First(pToc) = Last(pToc) = -1;
  } else {
    if (!ValidPage(pToc, before)) return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_BAD_DATE_LIST);
    pToc->dateNext[before] = -1;
    Last(pToc) = before;
  }
  pToc->dateNext[n] = pToc->datePrev[n] = -1;
  Count(pToc) -= 1;
  return 0;
}
