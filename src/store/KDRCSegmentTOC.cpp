// KDRCSegmentTOC: the segment TOC and the extent records it holds.
#include <cstdlib>

#include "store/kdrc_internal.h"

static const char kModule[] = "KDRCSegmentTOC";

int KDRCSegmentTOC_Open(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_SHARED(pToc);
  int32_t slots = pToc->pShared->maxExtentFiles;
  if (slots < 1) slots = 1;
  auto* seg = static_cast<KDRC_SEGMENTTOC_T*>(std::calloc(1, sizeof(KDRC_SEGMENTTOC_T)));
  auto* extents = static_cast<KDRC_EXTENT_T**>(std::calloc(size_t(slots), sizeof(KDRC_EXTENT_T*)));
  if (seg == nullptr || extents == nullptr) {
    std::free(seg);
    std::free(extents);
    KDRCX_OutOfMemory(KDRC_HERE, "pSegmentToc");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  seg->signature = KDRC_SEGMENTTOC_T_SIG;
  seg->hFile = KDRC_NO_FILE;
  seg->extentSlots = slots;
  seg->pExtents = extents;
  pToc->pSegmentToc = seg;
  return 0;
}

int KDRCSegmentTOC_Close(KDRC_FILETOC_T* pToc) {
  if (int rc = KDRCX_CheckShared(pToc, true, KDRC_HERE)) return rc;
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr) return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  if (seg->signature != KDRC_SEGMENTTOC_T_SIG)
    return KDRCX_BadSig("KDRC_FILE_SEGMENTTOC_T_SIG", KDRC_HERE);

  for (int32_t k = 0; k < seg->extentSlots; ++k) {
    KDRC_EXTENT_T* ext = seg->pExtents[k];
    if (ext == nullptr) continue;
    if (int rc = KDRCX_UnMapOSFile(pToc, &ext->view, &ext->hFile, &ext->hMap, 0))
      return KDRC_PASS(rc);
    ext->pWindow = nullptr;
    std::free(ext->path);
    std::free(ext->mapName);
    ext->signature = 0;
    std::free(ext);
    seg->pExtents[k] = nullptr;
  }
  std::free(seg->path);
  std::free(seg->mapName);
  seg->path = seg->mapName = nullptr;
  seg->pSegment0 = nullptr;
  seg->mappedBytes = 0;
  pToc->pShared = nullptr;
  if (int rc = KDRCX_UnMapOSFile(pToc, &seg->view, &seg->hFile, &seg->hMap, 0))
    return KDRC_PASS(rc);
  std::free(seg->pExtents);
  seg->signature = 0;
  std::free(seg);
  pToc->pSegmentToc = nullptr;
  return 0;
}
