// Consistency checks of the metafile: the page check run on every page an operation touches,
// and the store check selected by a mask. A check never repairs: the first violation is
// recorded and its code returned.
#include <ctime>

#include "store/kdrc_internal.h"
#include "store/hash_format.h"
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

int KDRCFile_CheckMetaFile(KDRC_FILETOC_T* pToc, int mask) {
  KDRC_CHECK_SHARED(pToc);
  if (pToc->client) mask &= KDRC_CHECK_DATE_LIST;
  const meta::Header* h = pToc->pHeader;
  if (h == nullptr) return KDRCX_NullPointer("pToc->pHeader", KDRC_HERE);
  const KDRC_FILESHARED_T* sh = pToc->pShared;
  if (mask & KDRC_CHECK_HEADER) {
    constexpr int kBeyond = KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE;
    if (h->extentFiles < 0 || h->extentSegments < 0 || h->extentFiles > h->maxExtentFiles)
      return KDRC_FAIL(pToc, kBeyond);
    if (int64_t(h->totalExtentMB) != int64_t(h->segsPerExtent) * h->maxExtentFiles / meta::kSegmentsPerMegabyte)
      return KDRC_FAIL(pToc, kBeyond);
    if (h->extentSegments / meta::kSegmentsPerMegabyte > h->totalExtentMB) return KDRC_FAIL(pToc, kBeyond);
    if (h->filePages != sh->filePages) return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG);
    if (h->hashBlocks != sh->hashBlocks)
      return KDRC_FAIL(pToc, KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
    if (h->segments != sh->segments) return KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_BAD_OFFSET);
    if (h->maxExtentFiles < 0 || h->maxExtentFiles != sh->maxExtentFiles ||
        h->segsPerExtent != sh->segsPerExtent || h->totalExtentMB != sh->totalExtentMB ||
        h->extentSegments != sh->extentSegments || h->extentFiles != sh->extentFiles)
      return KDRC_FAIL(pToc, kBeyond);
  }
  // The page, free-list, date-list, hash-coverage and segment-map passes join here with the
  // store checks; the operations above already check every page they touch.
  return 0;
}
