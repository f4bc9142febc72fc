// KDRCFileTOC: the file TOC, root record of one open store, and its shared parameters record.
#include <cstdio>
#include <cstdlib>

#include "platform/shared_objects.h"
#include "store/kdrc_internal.h"

static const char kModule[] = "KDRCFileTOC";

int KDRCTOC_Open(KDRC_FILETOC_T** ppToc, int mode) {
  if (ppToc == nullptr) return KDRCX_NullPointer("ppToc", KDRC_HERE);
  *ppToc = nullptr;
  auto* toc = static_cast<KDRC_FILETOC_T*>(std::calloc(1, sizeof(KDRC_FILETOC_T)));
  if (toc == nullptr) return KDRCX_OutOfMemory(KDRC_HERE, "pToc");
  auto* shared = static_cast<KDRC_FILESHARED_T*>(std::calloc(1, sizeof(KDRC_FILESHARED_T)));
  if (shared == nullptr) {
    std::free(toc);
    return KDRCX_OutOfMemory(KDRC_HERE, "pShared");
  }
  toc->signature = KDRC_FILETOC_T_SIG;
  toc->mode = mode;
  toc->hFile = KDRC_NO_FILE;
  toc->genFile = KDRC_NO_FILE;
  toc->sumsFile = KDRC_NO_FILE;
  toc->freeSegHead = toc->freeSegTail = -1;
  toc->mapHead = -1;
  toc->keptCheckCursor = -1;
  shared->signature = KDRC_FILESHARED_T_SIG;
  toc->pShared = shared;
  toc->pDateHead = &shared->dateFirst;
  if (int rc = KDRCX_Error_Create(&toc->pErr)) {
    std::free(shared);
    std::free(toc);
    return KDRC_PASS(rc);
  }
  *ppToc = toc;
  return 0;
}

int KDRCTOC_Close(KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr) return KDRCX_NullPointer("ppToc", KDRC_HERE);
  if (pToc->signature != KDRC_FILETOC_T_SIG) return KDRCX_BadSig("KDRC_ERROR_T", KDRC_HERE);
  if (int rc = KDRCX_CheckShared(pToc, true, KDRC_HERE)) return rc;

  if (pToc->lockHeld) {
    // Closing ends an interface-level lock too: release the mutex for real.
    pToc->lockPinned = 0;
    KDRCFile_UnLockCache(pToc);
  }
  if (pToc->hMutex != nullptr) {
    kdr::platform::CloseNamedMutex(pToc->hMutex);
    pToc->hMutex = nullptr;
  }
  pToc->pGenerations = nullptr;
  pToc->pStamps = nullptr;
  pToc->pTrusted = nullptr;
  pToc->pClientReads = nullptr;
  KDRCX_CloseSums(pToc);
  KDRCX_UnMapOSFile(pToc, &pToc->genView, &pToc->genFile, &pToc->genMap, 0);
  kdr::platform::CloseOwnerMark(pToc->hOwnerMark);
  pToc->hOwnerMark = nullptr;
  if (int rc = KDRCX_UnMapOSFile(pToc, &pToc->view, &pToc->hFile, &pToc->hMap, 0))
    return KDRC_PASS(rc);
  pToc->pHeader = nullptr;
  pToc->pPages = nullptr;
  if (KDRCX_Error_Destroy(pToc->pErr) != 0) {
    return KDRCX_Fail(pToc->pErr, KDRC_HERE, KDRC_ERROR_METAFILE_CANNOT_CLOSE_METAFILE);
  }
  pToc->pErr = nullptr;
  KDRCX_ForgetPageScan(pToc);
  std::free(pToc->freeSegNext);
  pToc->freeSegNext = nullptr;
  pToc->freeSegCapacity = 0;
  pToc->freeSegHead = pToc->freeSegTail = -1;
  pToc->freeSegCount = 0;
  if (!pToc->sharedStructs && !pToc->client) {
    std::free(pToc->lastFileAccess);
    std::free(pToc->dateNext);
    std::free(pToc->datePrev);
  }
  pToc->lastFileAccess = pToc->dateNext = pToc->datePrev = nullptr;
  // The extent windows themselves are unmapped with the segment TOC.
  std::free(pToc->pExtentMaps);
  pToc->pExtentMaps = nullptr;
  pToc->numExtentMaps = 0;
  pToc->mapHead = -1;
  std::free(pToc->wellKnownName);
  std::free(pToc->metaFilePath);
  std::free(pToc->cacheDir);
  std::free(pToc->metaMapName);
  std::free(pToc->logPath);
  pToc->wellKnownName = pToc->metaFilePath = pToc->cacheDir = nullptr;
  pToc->metaMapName = pToc->logPath = nullptr;
  if (pToc->log != nullptr) {
    std::fclose(pToc->log);
    pToc->log = nullptr;
  }
  return 0;
}
