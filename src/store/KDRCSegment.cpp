// KDRCSegment: the segment file, the numbered extent files, segment writes and the free list.
//
// Segment g < N is at g * 16384 of the segment file (mapped whole); g >= N is in extent file
// (g - N) / S, reached through a window of the extent mapping cache. The free-segment list is
// kept ascending, so the lowest free segment is always handed out first.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/durable.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/shared_objects.h"
#include "store/kdrc_internal.h"
#include "store/segment_format.h"

static const char kModule[] = "KDRCSegment";

namespace meta = kdrc::meta;

namespace plat = kdr::platform;
using kdrc::seg::kSegmentSize;

void KDRCX_ExtentName(char* buf, const char* base, int32_t k) {
  std::sprintf(buf, k < kdrc::seg::kThreeDigitLimit ? "%s%03d" : "%s%07d", base, int(k));
}

namespace {

// A store made anew replaces the segment file of the one before, which clients of a server
// that died may still have mapped: they find its shared record (at the file's start) open, so
// those that know only that record would go on reading the old file, which nobody keeps in
// step with the vault any more. The record is marked closed before the file goes, as a
// closing owner marks it; such a client's next lock then fails and it reads through the server.
void CloseEarlierRecord(const char* path) {
  int fd = KDRC_NO_FILE;
  if (plat::OpenFile(path, plat::FileMode::kReadWrite, &fd) != 0) return;  // none, or unusable
  int32_t signature = 0;
  size_t got = 0;
  if (plat::ReadFileAt(fd, 0, &signature, sizeof signature, &got) == 0 && got == sizeof signature &&
      (signature == KDRC_FILESHARED_T_SIG || signature == KDRC_FILESHARED_T_CHECKING_SIG)) {
    const int32_t closed = KDRC_FILESHARED_T_CLOSED_SIG;
    (void)plat::WriteFileAt(fd, 0, &closed, sizeof closed);
  }
  plat::CloseFile(fd);
}

constexpr int64_t kSharedGrowSegments = 4096;
constexpr int32_t kPrepareBelow = 64;  // free segments left when the next growth is prepared

// Mapping-object name of extent file k. Every extent file gets its own name, also without a
// well-known name (one name for all of them would make the second file's mapping collide).
char* ExtentMapName(const char* wellKnownName, int32_t k) {
  const char* base = wellKnownName;
  std::string_view suffix = "_EXT";
  if (base == nullptr) {
    base = plat::GetEnv(kdrc::seg::kExtentMapNameEnv);
    if (base == nullptr) base = kdrc::seg::kDefaultExtentMapName;
    suffix = "";
  }
  size_t n = std::strlen(base) + suffix.size() + 12;
  auto* name = static_cast<char*>(std::malloc(n));
  if (name == nullptr) return nullptr;
  std::snprintf(name, n, "%s%.*s", base, int(suffix.size()), suffix.data());
  KDRCX_ExtentName(name + std::strlen(name), "", k);
  return name;
}

// Path of extent file k in the TOC's cache directory; *path is owned by the caller.
int ExtentPath(KDRC_FILETOC_T* toc, int32_t k, char** path) {
  char* base = nullptr;
  if (int rc = KDRCX_getFilePath(toc, toc->cacheDir, nullptr, kdrc::seg::kExtentBaseEnv,
                                 kdrc::seg::kDefaultExtentBase, &base))
    return rc;
  size_t n = std::strlen(base) + 12;
  *path = static_cast<char*>(std::malloc(n));
  if (*path == nullptr) {
    std::free(base);
    return KDRCX_OutOfMemory(kModule, "ExtentPath", __LINE__, "extentFile");
  }
  KDRCX_ExtentName(*path, base, k);
  std::free(base);
  return 0;
}

// Forgets every cached window of extent file k (its view is going away).
void ForgetWindows(KDRC_FILETOC_T* toc, int32_t k) {
  for (int32_t i = 0; i < toc->numExtentMaps && toc->pExtentMaps != nullptr; ++i) {
    if (toc->pExtentMaps[i].extent == k) {
      toc->pExtentMaps[i].extent = -1;
      toc->pExtentMaps[i].firstSegment = -1;
    }
  }
}

void FreeExtent(KDRC_EXTENT_T* ext) {
  if (ext == nullptr) return;
  std::free(ext->path);
  std::free(ext->mapName);
  ext->signature = 0;
  std::free(ext);
}

// A new record for extent slot `extent`: its path and mapping-object name, no file or
// mapping yet. On failure nothing stays allocated and the code comes back without a traceback
// frame of its own; an out-of-memory report names `func` (the caller) and `what` or
// `nameWhat` (the record or its map name).
int NewExtentRecord(KDRC_FILETOC_T* toc, const char* wellKnownName, int32_t extent,
                    const char* func, const char* what, const char* nameWhat,
                    KDRC_EXTENT_T** out) {
  auto* ext = static_cast<KDRC_EXTENT_T*>(std::calloc(1, sizeof(KDRC_EXTENT_T)));
  if (ext == nullptr) {
    KDRCX_OutOfMemory(kModule, func, __LINE__, what);
    return KDRC_ERROR_OUT_OF_MEMORY;
  }
  ext->signature = KDRC_EXTENT_T_SIG;
  ext->hFile = KDRC_NO_FILE;
  if (int rc = ExtentPath(toc, extent, &ext->path)) {
    FreeExtent(ext);
    return rc;
  }
  ext->mapName = ExtentMapName(wellKnownName, extent);
  if (ext->mapName == nullptr) {
    FreeExtent(ext);
    KDRCX_OutOfMemory(kModule, func, __LINE__, nameWhat);
    return KDRC_ERROR_OUT_OF_MEMORY;
  }
  *out = ext;
  return 0;
}

// How many segments the next growth of extent file `extent` takes: a shared store 4096 at a
// time (64 MB; the extent file's mapping object already spans the whole file), a stand-alone
// one 256; never more than the file has left. False when the file is full.
bool GrowthStep(const KDRC_FILETOC_T* toc, int32_t extent, int64_t* n) {
  const KDRC_FILESHARED_T* sh = toc->pShared;
  int64_t room = int64_t(sh->segsPerExtent) * (extent + 1) - sh->extentSegments;
  *n = toc->sharedStructs ? kSharedGrowSegments : kdrc::seg::kGrowSegments;
  if (*n > room) *n = room;
  if (*n < 1) *n = 0;
  return *n > 0;
}

// Allocates the disk space of extent segments [from, from + n) (counted over all extent
// files) in extent file `extent` at `path`, which is made when missing.
int AllocateSegments(KDRC_FILETOC_T* toc, const char* path, int32_t extent, int64_t from,
                     int64_t n) {
  int64_t inFile = from - int64_t(toc->pShared->segsPerExtent) * extent;
  int fd = KDRC_NO_FILE;
  int os = plat::OpenFile(path, plat::FileMode::kReadWrite, &fd);
  if (os == ENOENT) os = plat::OpenFile(path, plat::FileMode::kCreatePrivate, &fd);
  if (os != 0) return KDRC_FAIL_OS(toc, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE, os);
  os = plat::AllocateFile(fd, kdrc::seg::SegmentOffset(int32_t(inFile)),
                          uint64_t(n) * kSegmentSize);
  int closed = plat::CloseFile(fd);
  if (os == 0) os = closed;
  if (os != 0) return KDRC_FAIL_OS(toc, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, os);
  if (from + n > toc->preparedSegments) toc->preparedSegments = int32_t(from + n);
  return 0;
}

}  // namespace

int KDRCIF_PrepareGrowth(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (pToc->client || pToc->pSegmentToc == nullptr) return 0;
  KDRC_FILESHARED_T* sh = pToc->pShared;
  // Only when the free segments run low and the next step is not ready yet.
  if (pToc->freeSegCount >= kPrepareBelow || sh->segsPerExtent < 1) return 0;
  if (pToc->growRetryMs != 0 &&
      int32_t(uint32_t(plat::MonotonicMs()) - uint32_t(pToc->growRetryMs)) < 0)
    return 0;
  if (int64_t(sh->extentSegments) >= int64_t(sh->totalExtentMB) * meta::kSegmentsPerMegabyte)
    return 0;
  if (pToc->preparedSegments > sh->extentSegments) return 0;
  int32_t k = sh->extentFiles - 1;
  if (k < 0 || int64_t(sh->extentSegments) >= int64_t(sh->extentFiles) * sh->segsPerExtent) {
    if (sh->extentFiles >= sh->maxExtentFiles) return 0;
    k = sh->extentFiles;
  }
  int64_t n = 0;
  if (!GrowthStep(pToc, k, &n)) return 0;
  char* path = nullptr;
  if (int rc = ExtentPath(pToc, k, &path)) return KDRC_PASS(rc);
  int rc = AllocateSegments(pToc, path, k, sh->extentSegments, n);
  std::free(path);
  if (rc == 0) rc = KDRCX_AllocateSums(pToc, int64_t(sh->segments) + sh->extentSegments + n);
  if (rc != 0) {
    pToc->growRetryMs = int32_t((uint32_t(plat::MonotonicMs()) + 2000u) | 1u);
    return KDRC_PASS(rc);
  }
  return 0;
}

int KDRCX_SyncStore(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  int first = 0;
  auto note = [&](int os) {
    if (first == 0) first = os;
  };
  if (pToc->pHeader != nullptr && pToc->pShared != nullptr)
    note(plat::SyncMapped(pToc->pHeader, size_t(meta::FileSizeFor(pToc->pageCount))));
  KDRC_HASHTOC_T* ht = pToc->pHashToc;
  if (ht != nullptr && ht->pBuckets != nullptr)
    note(plat::SyncMapped(ht->pBuckets, size_t(ht->buckets) * sizeof(int32_t)));
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg != nullptr && seg->pSegment0 != nullptr)
    note(plat::SyncMapped(seg->pSegment0, size_t(seg->mappedBytes)));
  for (int32_t k = 0; seg != nullptr && k < seg->extentSlots; ++k) {
    KDRC_EXTENT_T* ext = seg->pExtents[k];
    if (ext == nullptr || ext->path == nullptr) continue;
    int fd = KDRC_NO_FILE;
    if (plat::OpenFile(ext->path, plat::FileMode::kReadOnly, &fd) == 0) {
      note(plat::SyncFile(fd));
      plat::CloseFile(fd);
    }
  }
  note(KDRCX_SyncSums(pToc));
  return first;
}

int KDRCSegment_Open(KDRC_FILETOC_T* pToc, const char* cacheDir, const char* wellKnownName,
                     int create, int newCache, int openExisting) {
  KDRC_CHECK_TOC(pToc);
  char* dir = nullptr;
  char* path = nullptr;
  char* mapName = nullptr;
  int fd = KDRC_NO_FILE;
  int rc = 0;
  auto cleanup = [&](int code) {
    if (fd != KDRC_NO_FILE) plat::CloseFile(fd);
    std::free(dir);
    std::free(path);
    std::free(mapName);
    return code;
  };

  if ((rc = KDRCX_getGetEnv(pToc, cacheDir, "KDRC_DEFAULT_CACHE_DIR", ".", &dir))) return cleanup(KDRC_PASS(rc));
  if ((rc = KDRCX_getFilePath(pToc, dir, nullptr, kdrc::seg::kFileEnv, kdrc::seg::kDefaultFile,
                              &path)))
    return cleanup(KDRC_PASS(rc));
  if (wellKnownName != nullptr) {
    size_t n = std::strlen(wellKnownName) + 8;
    mapName = static_cast<char*>(std::malloc(n));
    if (mapName != nullptr) std::snprintf(mapName, n, kdrc::seg::kMapSuffix, wellKnownName);
  } else {
    const char* env = plat::GetEnv(kdrc::seg::kMapNameEnv);
    mapName = KDRCX_StrDup(env != nullptr ? env : kdrc::seg::kDefaultMapName);
  }
  if (mapName == nullptr) return cleanup(KDRC_PASS(KDRCX_OutOfMemory(KDRC_HERE, "aMapName")));

  if (!openExisting) {
    if (newCache) {
      CloseEarlierRecord(path);
      if ((rc = KDRCX_DeleteOSFile(pToc->pErr, path))) return cleanup(KDRC_PASS(rc));
      char* base = nullptr;
      if ((rc = KDRCX_getFilePath(pToc, pToc->cacheDir ? pToc->cacheDir : dir, nullptr,
                                  kdrc::seg::kExtentBaseEnv, kdrc::seg::kDefaultExtentBase,
                                  &base)))
        return cleanup(KDRC_PASS(rc));
      rc = KDRCX_DeleteOSFile(pToc->pErr, base);
      std::free(base);
      if (rc) return cleanup(KDRC_PASS(rc));
    }
    if (KDRCX_OSFileExists(pToc->pErr, path) == 0) {
      if (!create)
        return cleanup(KDRC_FAIL(pToc,
                              KDRC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED));
      int os = plat::OpenFile(path, plat::FileMode::kCreatePrivate, &fd);
      if (os != 0) return cleanup(KDRC_FAIL_OS(pToc, KDRC_ERROR_SEGMENT_KDRC_CANNOT_CREATE_SEGMENT_FILE, os));
      if ((rc = KDRCX_WriteNewSegmentFile(pToc, fd))) return cleanup(KDRC_PASS(rc));
      os = plat::CloseFile(fd);
      fd = KDRC_NO_FILE;
      if (os != 0) return cleanup(KDRC_FAIL_OS(pToc, KDRC_ERROR_SEGMENT_CANNOT_CLOSE_SEGMENT_FILE, os));
    }
  }
  if (KDRCX_OSFileExists(pToc->pErr, path) == 0)
    return cleanup(KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST));
  if ((rc = KDRCX_CheckShared(pToc, false, KDRC_HERE))) return cleanup(rc);

  uint64_t size = 0;
  int os = plat::StatPath(path, &size);
  int32_t n = pToc->pShared->segments;
  uint64_t need = kdrc::seg::SegmentOffset(n < 0 ? 0 : n);
  if (os != 0 || n < 1 || size < need) {
    KDRCX_Print("***ERROR(%d): %s\n", KDRC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE,
                KDRCX_ErrorName(KDRC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE));
    KDRCX_NoteOSError(os);
    return cleanup(KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE));
  }

  if ((rc = KDRCSegmentTOC_Open(pToc))) return cleanup(KDRC_PASS(rc));
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  void* mem = nullptr;
  if ((rc = KDRCX_MapOSFile(pToc, path, mapName, openExisting, -1, &seg->view, &mem, &seg->hFile,
                            &seg->hMap)))
    return cleanup(KDRC_PASS(rc));
  seg->mappedBytes = plat::MappingObjectSize(seg->hMap);
  if (seg->mappedBytes < need) {
    // A client maps whatever the owner's object holds: it must cover all N segments too.
    return cleanup(KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE));
  }
  seg->path = path;
  seg->mapName = mapName;
  path = mapName = nullptr;
  seg->pSegment0 = static_cast<uint8_t*>(mem);
  // The space of an existing file is allocated again (a no-op where it is): a file the system
  // crashed over may have lost its allocation, and a hole is a SIGBUS on a full disk.
  if (!openExisting && seg->hFile != KDRC_NO_FILE) {
    if (int os2 = plat::AllocateFile(seg->hFile, 0, need))
      return cleanup(KDRC_FAIL_OS(pToc, KDRC_ERROR_SEGMENT_FILE_CANNOT_WRITE_BLANK_SEGMENT_FILE, os2));
  }

  if ((rc = KDRCXSegment_OpenExtentFile(pToc, wellKnownName, create, newCache, openExisting)))
    return cleanup(KDRC_PASS(rc));
  std::free(dir);
  return 0;
}

int KDRCX_WriteNewSegmentFile(KDRC_FILETOC_T* pToc, KDRC_OSFILE segFile) {
  KDRC_CHECK_SHARED(pToc);
  if (segFile == KDRC_NO_FILE) return KDRC_NULL_PARAM(pToc->pErr, "segFile");
  int32_t n = pToc->pShared->segments;
  if (n < 1) return 0;
  // Disk space allocated, not written: the segments read as zeros, and a write through the
  // mapping never meets a hole of a full disk.
  if (int os = plat::AllocateFile(segFile, 0, kdrc::seg::SegmentOffset(n)))
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_SEGMENT_FILE_CANNOT_WRITE_BLANK_SEGMENT_FILE, os);
  return 0;
}

int KDRCXSegment_OpenExtentFile(KDRC_FILETOC_T* pToc, const char* wellKnownName, int create,
                                int newCache, int openExisting) {
  KDRC_CHECK_SHARED(pToc);
  if (pToc->segmentsPerMap == 0) {
    if (int rc = KDRCX_InitMappings(pToc)) return KDRC_PASS(rc);
    if (pToc->segmentsPerMap == 0) return 0;
  }
  KDRC_FILESHARED_T* sh = pToc->pShared;
  if (!openExisting && create && newCache) {
    char* base = nullptr;
    if (int rc = KDRCX_getFilePath(pToc, pToc->cacheDir, nullptr, kdrc::seg::kExtentBaseEnv,
                                   kdrc::seg::kDefaultExtentBase, &base))
      return KDRC_PASS(rc);
    auto* name = static_cast<char*>(std::malloc(std::strlen(base) + 12));
    if (name == nullptr) {
      std::free(base);
      KDRCX_OutOfMemory(KDRC_HERE, "extentFile");
      return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
    }
    int rc = 0;
    for (int32_t k = 0; k < kdrc::seg::kMaxExtentNamesTried; ++k) {
      KDRCX_ExtentName(name, base, k);
      if (KDRCX_OSFileExists(pToc->pErr, name) == 0) break;
      if ((rc = KDRCX_DeleteOSFile(pToc->pErr, name))) break;
    }
    std::free(name);
    std::free(base);
    if (rc) return KDRC_PASS(rc);
    sh->extentFiles = 0;
    sh->extentSegments = 0;
    if (pToc->pHeader != nullptr) {
      pToc->pHeader->extentFiles = 0;
      pToc->pHeader->extentSegments = 0;
    }
  }
  int32_t e = sh->extentFiles;
  if (e < 1) return 0;
  if (pToc->pSegmentToc == nullptr || e > pToc->pSegmentToc->extentSlots)
    return KDRC_FAIL_VALUE(pToc, e, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE);
  for (int32_t k = 0; k < e; ++k) {
    if (int rc = KDRCSegment_AddExtentFileRecord(pToc, wellKnownName, openExisting, k))
      return KDRC_PASS(rc);
    KDRC_EXTENT_T* ext = pToc->pSegmentToc->pExtents[k];
    int64_t inUse = int64_t(sh->extentSegments) - int64_t(sh->segsPerExtent) * k;
    if (inUse > sh->segsPerExtent) inUse = sh->segsPerExtent;
    if (!openExisting && ext->hFile != KDRC_NO_FILE && inUse > 0) {
      if (int os = plat::AllocateFile(ext->hFile, 0, uint64_t(inUse) * kSegmentSize))
        return KDRC_FAIL_OS(pToc, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, os);
    }
  }
  pToc->preparedSegments = sh->extentSegments;
  return 0;
}

int KDRCSegment_AddExtentFileRecord(KDRC_FILETOC_T* pToc, const char* wellKnownName,
                                    int openExisting, int32_t extent) {
  KDRC_CHECK_TOC(pToc);
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr) return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  if (seg->signature != KDRC_SEGMENTTOC_T_SIG)
    return KDRCX_BadSig("KDRC_FILE_SEGMENTTOC_T_SIG", KDRC_HERE);
  if (extent < 0 || extent >= seg->extentSlots)
    return KDRC_FAIL_VALUE(pToc, extent, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  if (seg->pExtents[extent] != nullptr) return 0;

  KDRC_EXTENT_T* ext = nullptr;
  if (int rc = NewExtentRecord(pToc, wellKnownName, extent, __func__, "extent", "thisMapName",
                               &ext))
    return KDRC_PASS(rc);
  void* window = nullptr;
  if (int rc = KDRCX_MapOSFileSized(pToc, ext->path, ext->mapName, openExisting, 0,
                                    KDRCX_ExtentObjectSize(pToc), &ext->view, &window,
                                    &ext->hFile, &ext->hMap)) {
    FreeExtent(ext);
    return KDRC_PASS(rc);
  }
  ext->pWindow = static_cast<uint8_t*>(window);
  seg->pExtents[extent] = ext;
  // The window just mapped starts at segment 0; make the cache know it so it is reused.
  ForgetWindows(pToc, extent);
  return 0;
}

int KDRCX_SegmentCreateInitialExtFile(KDRC_FILETOC_T* pToc, int32_t extent) {
  KDRC_CHECK_TOC(pToc);
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr) return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  if (extent < 0 || extent >= seg->extentSlots)
    return KDRC_FAIL_VALUE(pToc, extent, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  if (seg->pExtents[extent] != nullptr) return 0;
  KDRC_EXTENT_T* ext = nullptr;
  if (int rc = NewExtentRecord(pToc, pToc->wellKnownName, extent, __func__, "ptr", "mapName",
                               &ext))
    return KDRC_PASS(rc);
  // An existing file is kept: its space may have been allocated ahead (KDRCIF_PrepareGrowth).
  int fd = KDRC_NO_FILE;
  int os = plat::OpenFile(ext->path, plat::FileMode::kReadWrite, &fd);
  if (os == ENOENT) os = plat::OpenFile(ext->path, plat::FileMode::kCreatePrivate, &fd);
  if (os != 0) {
    FreeExtent(ext);  // the slot is left empty: no record with a freed path stays behind
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE, os);
  }
  os = plat::CloseFile(fd);
  if (os != 0) {
    FreeExtent(ext);
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, os);
  }
  seg->pExtents[extent] = ext;
  return 0;
}

int KDRCX_SegmentCloseExtentFile(KDRC_FILETOC_T* pToc, int32_t extent) {
  KDRC_CHECK_TOC(pToc);
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr) return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  if (extent < 0 || extent >= seg->extentSlots || seg->pExtents[extent] == nullptr)
    return KDRC_FAIL_VALUE(pToc, extent, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  KDRC_EXTENT_T* ext = seg->pExtents[extent];
  ForgetWindows(pToc, extent);
  ext->pWindow = nullptr;
  if (int rc = KDRCX_UnMapOSFile(pToc, &ext->view, &ext->hFile, &ext->hMap, 0))
    return KDRC_PASS(rc);
  return 0;
}

int KDRCX_SegmentAddExtents(KDRC_FILETOC_T* pToc, int32_t extent) {
  KDRC_CHECK_SHARED(pToc);
  if (pToc->freeSegHead != -1) return 0;
  KDRC_FILESHARED_T* sh = pToc->pShared;
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr) return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  if (extent < 0 || extent >= seg->extentSlots || seg->pExtents[extent] == nullptr)
    return KDRC_FAIL_VALUE(pToc, extent, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  KDRC_EXTENT_T* ext = seg->pExtents[extent];
  int64_t n = 0;
  GrowthStep(pToc, extent, &n);
  int64_t first = int64_t(sh->segments) + sh->extentSegments;
  if (pToc->freeSegNext == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "newList");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  if (first + n > pToc->freeSegCapacity)
    return KDRC_FAIL_VALUE(pToc, int(first + n), KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE);

  // The new segments' disk space exists before any of them is handed out (a write through a
  // mapping into a hole of a full disk would kill the process); usually it was allocated
  // ahead, outside the cache lock. The file's mapping object, made for the file's full size,
  // stays: clients may hold it, and their views already cover the new segments.
  if (n == 0) return 0;
  if (first + n > int64_t(sh->segments) + pToc->preparedSegments) {
    if (int rc = AllocateSegments(pToc, ext->path, extent, sh->extentSegments, n))
      return KDRC_PASS(rc);
  }
  if (int rc = KDRCX_AllocateSums(pToc, first + n)) return KDRC_PASS(rc);

  int32_t f = int32_t(first);
  int32_t count = int32_t(n);
  for (int32_t i = 0; i < count; ++i) pToc->freeSegNext[f + i] = i + 1 < count ? f + i + 1 : -1;
  pToc->freeSegHead = f;
  pToc->freeSegTail = f + count - 1;
  pToc->freeSegCount = count;
  sh->extentSegments += count;
  if (pToc->pHeader != nullptr) pToc->pHeader->extentSegments = sh->extentSegments;
  return 0;
}

int KDRC_SegmentExpandExtents(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_SHARED(pToc);
  KDRC_FILESHARED_T* sh = pToc->pShared;
  int32_t k = sh->extentFiles - 1;
  if (k < 0 || int64_t(sh->extentSegments) >= int64_t(sh->extentFiles) * sh->segsPerExtent) {
    if (sh->extentFiles >= sh->maxExtentFiles) return 0;
    k = sh->extentFiles;
    sh->extentFiles += 1;
    if (pToc->pHeader != nullptr) pToc->pHeader->extentFiles = sh->extentFiles;
  }
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr) return KDRCX_NullPointer("pToc->pSegmentToc", KDRC_HERE);
  if (k < 0 || k >= seg->extentSlots)
    return KDRC_FAIL_VALUE(pToc, k, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE);
  if (seg->pExtents[k] == nullptr) {
    if (int rc = KDRCX_SegmentCreateInitialExtFile(pToc, k)) return KDRC_PASS(rc);
  }
  if (int rc = KDRCX_SegmentAddExtents(pToc, k)) return KDRC_PASS(rc);
  return 0;
}

int KDRCSegment_FreeThisSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, int32_t segment) {
  KDRC_CHECK_SHARED(pToc);
  if (pPage == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pPage");
  KDRC_FILESHARED_T* sh = pToc->pShared;
  int64_t limit = int64_t(sh->segments) + sh->extentSegments;
  if (segment < 0 || segment >= limit || segment >= pToc->freeSegCapacity ||
      pToc->freeSegNext == nullptr)
    return KDRC_FAIL_VALUE(pToc, segment, KDRC_ERROR_SEGMENT_BAD_OFFSET);
  int32_t* next = pToc->freeSegNext;
  int32_t& head = pToc->freeSegHead;
  int32_t& tail = pToc->freeSegTail;
  // Members of the list are exactly the tail and the entries whose next is set, since taking
  // a segment resets its next to -1: a second free of the same segment is refused here.
  if (head != -1 && (segment == tail || next[segment] != -1))
    return KDRC_FAIL_VALUE(pToc, segment,
                           KDRC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_AND_IN_THE_FREE_LIST);
  KDRCX_NoteStoreChange(pToc);
  if (head == -1) {
    head = tail = segment;
    next[segment] = -1;
  } else if (segment < head) {
    next[segment] = head;
    head = segment;
  } else if (segment > tail) {
    next[tail] = segment;
    tail = segment;
    next[segment] = -1;
  } else {
    int32_t p = segment - 1;
    while (p > head && next[p] == -1) --p;
    next[segment] = next[p];
    next[p] = segment;
  }
  pToc->freeSegCount += 1;
  return 0;
}

int KDRCSegment_WriteSegmentData(KDRC_FILETOC_T* pToc, const void* bytes, int32_t segment,
                                 int32_t length) {
  KDRC_CHECK_SHARED(pToc);
  if (bytes == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "bytes");
  KDRC_FILESHARED_T* sh = pToc->pShared;
  if (segment < 0 || segment >= int64_t(sh->segments) + sh->extentSegments)
    return KDRC_FAIL_VALUE(pToc, segment, KDRC_ERROR_SEGMENT_BAD_OFFSET);
  if (length < 0 || length > kSegmentSize)
    return KDRC_FAIL_VALUE(pToc, length, KDRC_ERROR_IF_BAD_LENGTH);
  // No change count here: the segment is free, so no lookup leads to it; giving it back to
  // the free list counted when it was freed.
  if (segment < sh->segments) {
    KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
    if (seg == nullptr || seg->pSegment0 == nullptr ||
        kdrc::seg::SegmentOffset(segment) + kSegmentSize > seg->mappedBytes)
      return KDRC_FAIL_VALUE(pToc, segment, KDRC_ERROR_SEGMENT_BAD_OFFSET);
    std::memcpy(seg->pSegment0 + kdrc::seg::SegmentOffset(segment), bytes, size_t(length));
    return 0;
  }
  if (int rc = KDRC_SegmentWriteExtent(pToc, bytes, segment, length)) return KDRC_PASS(rc);
  return 0;
}

int KDRC_SegmentWriteExtent(KDRC_FILETOC_T* pToc, const void* bytes, int32_t segment,
                            int32_t length) {
  KDRC_CHECK_SHARED(pToc);
  if (bytes == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "bytes");
  KDRC_FILESHARED_T* sh = pToc->pShared;
  int32_t perExtent = sh->segsPerExtent;
  if (segment < sh->segments || perExtent < 1)
    return KDRC_FAIL_VALUE(pToc, segment, KDRC_ERROR_SEGMENT_BAD_OFFSET);
  if (length < 0 || length > kSegmentSize)
    return KDRC_FAIL_VALUE(pToc, length, KDRC_ERROR_IF_BAD_LENGTH);
  int32_t e = (segment - sh->segments) / perExtent;
  int32_t r = (segment - sh->segments) % perExtent;
  KDRC_EXTENTMAP_T* m = nullptr;
  if (int rc = KDRCX_GetExtentMapping(pToc, e, r, &m)) return KDRC_PASS(rc);
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (m == nullptr || seg == nullptr || seg->pExtents[e] == nullptr ||
      seg->pExtents[e]->pWindow == nullptr)
    return KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  int32_t d = r - m->firstSegment;
  if (d < 0) return KDRC_FAIL_VALUE(pToc, d, KDRC_ERROR_SEGMENT_BAD_OFFSET);
  std::memcpy(seg->pExtents[e]->pWindow + kdrc::seg::SegmentOffset(d), bytes, size_t(length));
  return 0;
}
