// KDRCHashToc: the hash TOC.
#include <cstdlib>

#include "store/kdrc_internal.h"

static const char kModule[] = "KDRCHashToc";

int KDRCHashTOC_Open(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  auto* hash = static_cast<KDRC_HASHTOC_T*>(std::calloc(1, sizeof(KDRC_HASHTOC_T)));
  if (hash == nullptr) return KDRCX_OutOfMemory(KDRC_HERE, "pHash");
  hash->signature = KDRC_HASHTOC_T_SIG;
  hash->hFile = KDRC_NO_FILE;
  pToc->pHashToc = hash;
  return 0;
}

int KDRCHashTOC_Close(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_HASHTOC_T* hash = pToc->pHashToc;
  if (hash == nullptr) return KDRCX_NullPointer("pSegmentToc", KDRC_HERE);
  if (hash->signature != KDRC_HASHTOC_T_SIG)
    return KDRCX_BadSig("KDRC_FILE_HashTOC_T_SIG", KDRC_HERE);
  if (int rc = KDRCX_UnMapOSFile(pToc, &hash->view, &hash->hFile, &hash->hMap, 0))
    return KDRC_PASS(rc);
  hash->pBuckets = nullptr;
  hash->buckets = 0;
  std::free(hash->path);
  std::free(hash->mapName);
  hash->signature = 0;
  std::free(hash);
  pToc->pHashToc = nullptr;
  return 0;
}
