// KDRCUtil, second half: OS file mappings, the extent window cache, paths and file tests.
//
// Views start at a multiple of the allocation granularity; a window's pointer is advanced
// past the alignment gap (the shared-objects layer does the rounding and returns both).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/shared_objects.h"
#include "store/kdrc_internal.h"
#include "store/segment_format.h"

static const char kModule[] = "KDRCUtil";

namespace plat = kdr::platform;
using kdrc::seg::kSegmentSize;

uint64_t KDRCX_AllocationGranularity() { return plat::AllocationGranularity(); }

uint64_t KDRCX_ExtentObjectSize(const KDRC_FILETOC_T* pToc) {
  if (pToc == nullptr || pToc->pShared == nullptr || pToc->pShared->segsPerExtent < 1) return 0;
  return kdrc::seg::SegmentOffset(pToc->pShared->segsPerExtent);
}

int KDRCX_MapOSFile(KDRC_FILETOC_T* pToc, const char* filePath, const char* mapName,
                    int openExisting, int32_t firstSegment, KDRC_VIEW* pView, void** plpvMem,
                    KDRC_OSFILE* phFile, KDRC_MAPHANDLE* phMap) {
  return KDRCX_MapOSFileSized(pToc, filePath, mapName, openExisting, firstSegment, 0, pView,
                              plpvMem, phFile, phMap);
}

int KDRCX_MapOSFileSized(KDRC_FILETOC_T* pToc, const char* filePath, const char* mapName,
                         int openExisting, int32_t firstSegment, uint64_t objectSize,
                         KDRC_VIEW* pView, void** plpvMem, KDRC_OSFILE* phFile,
                         KDRC_MAPHANDLE* phMap) {
  KDRC_CHECK_TOC(pToc);
  if (filePath == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "filepath");
  if (mapName == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "mapname");
  if (pView == nullptr || plpvMem == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "plpvMem");
  if (phFile == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "phFile");
  if (phMap == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "phMap");

  uint64_t offset = 0;
  size_t length = 0;  // 0: the whole object
  if (firstSegment >= 0) {
    int32_t perMap = pToc->segmentsPerMap > 0 ? pToc->segmentsPerMap : 1;
    offset = kdrc::seg::SegmentOffset(firstSegment);
    length = size_t(perMap) * kSegmentSize;
  }

  KDRC_OSFILE file = KDRC_NO_FILE;
  KDRC_MAPHANDLE map = nullptr;
  int code = 0;
  int os = 0;
  if (openExisting) {
    os = plat::OpenMappingObject(mapName, &map);
    if (os != 0) code = KDRC_ERROR_CLIENT_CANNOT_MAP_VM_FILE;
  } else {
    os = plat::OpenFile(filePath, plat::FileMode::kReadWrite, &file);
    if (os != 0) {
      code = KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING;
    } else {
      uint64_t fileSize = 0;
      if (objectSize != 0 && plat::StatPath(filePath, &fileSize) == 0 && fileSize > objectSize)
        objectSize = 0;  // never smaller than the file: the whole file stays reachable
      os = plat::CreateMappingObject(mapName, filePath, objectSize, &map);
      if (os == plat::kErrorAlreadyExists) {
        code = KDRC_ERROR_FILE_MAPPING_OBJECT_ALREADY_EXISTS;
      } else if (os != 0) {
        code = KDRC_ERROR_CANNOT_CREATE_MAPPING_OBJECT;
      }
    }
  }
  KDRC_VIEW view = nullptr;
  void* data = nullptr;
  if (code == 0) {
    os = plat::MapView(map, offset, length, true, &view, &data);
    if (os != 0) code = KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING;
  }
  if (code != 0) {
    KDRCX_NoteOSError(os);
    KDRCX_SetError(pToc->pErr, KDRC_HERE, code);
    KDRC_PASS(code);
    plat::CloseMappingObject(map);
    if (file != KDRC_NO_FILE) plat::CloseFile(file);
    return code;
  }
  *pView = view;
  *plpvMem = data;
  *phFile = file;
  *phMap = map;
  return 0;
}

int KDRCX_UnMapOSFile(KDRC_FILETOC_T* pToc, KDRC_VIEW* pView, KDRC_OSFILE* phFile,
                      KDRC_MAPHANDLE* phMap, uint64_t) {
  KDRC_CHECK_TOC(pToc);
  // The platform releases each handle even when its close reports an error, so each value is
  // cleared as soon as it is given back: a second close never touches a released handle.
  if (pView != nullptr && *pView != nullptr) {
    int os = plat::UnmapView(*pView);
    *pView = nullptr;
    if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CANNOT_UNMAP_METAFILE, os);
  }
  if (phMap != nullptr && *phMap != nullptr) {
    int os = plat::CloseMappingObject(*phMap);
    *phMap = nullptr;
    if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CANNOT_CLOSE_MEMORY_MAP, os);
  }
  if (phFile != nullptr && *phFile != KDRC_NO_FILE) {
    int os = plat::CloseFile(*phFile);
    *phFile = KDRC_NO_FILE;
    if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_METAFILE_CANNOT_CLOSE_METAFILE, os);
  }
  return 0;
}

int KDRCX_MapOSExtentFile(KDRC_FILETOC_T* pToc, const char* filePath, const char* mapName,
                          int readOnly, int32_t firstSegment, KDRC_VIEW* pView, void** plpvMem,
                          KDRC_OSFILE* phFile, KDRC_MAPHANDLE* phMap) {
  KDRC_CHECK_TOC(pToc);
  if (pToc->pShared == nullptr) return KDRCX_NullPointer("pShared", KDRC_HERE);
  if (!KDRCX_SharedOpen(pToc, pToc->pShared->signature))
    return KDRCX_BadSig("KDRC_FILESHARED_T_SIG", KDRC_HERE);
  if (filePath == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "filepath");
  if (mapName == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "mapname");
  if (pView == nullptr || plpvMem == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "plpvMem");
  if (phFile == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "phFile");
  if (phMap == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "phMap");

  if (*phMap == nullptr) {
    return KDRCX_MapOSFileSized(pToc, filePath, mapName, readOnly, firstSegment,
                                KDRCX_ExtentObjectSize(pToc), pView, plpvMem, phFile, phMap);
  }
  // Exactly one window per extent file: the old view goes whether or not the segment file
  // is mapped (keeping it would leak the view).
  if (*pView != nullptr) {
    int os = plat::UnmapView(*pView);
    *pView = nullptr;
    *plpvMem = nullptr;
    if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_SEGMENT_CANNOT_UNMAP_FILE, os);
  }
  int32_t perMap = pToc->segmentsPerMap > 0 ? pToc->segmentsPerMap : 1;
  int32_t perExtent = pToc->pShared->segsPerExtent;
  if (perExtent > 0 && perExtent < perMap) perMap = perExtent;
  void* data = nullptr;
  int os = plat::MapView(*phMap, kdrc::seg::SegmentOffset(firstSegment),
                         size_t(perMap) * kSegmentSize, !readOnly, pView, &data);
  if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING, os);
  *plpvMem = data;
  return 0;
}

int KDRCX_UnMapOSExtentFile(KDRC_FILETOC_T* pToc, int, KDRC_VIEW* pView, void** plpvMem) {
  KDRC_CHECK_TOC(pToc);
  if (pView == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pView");
  if (plpvMem == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "plpvMem");
  *plpvMem = nullptr;
  if (*pView != nullptr) {
    int os = plat::UnmapView(*pView);
    *pView = nullptr;
    if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_SEGMENT_CANNOT_UNMAP_FILE, os);
  }
  return 0;
}

int KDRCX_InitMappings(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_SHARED(pToc);
  if (pToc->numExtentMaps != 0) return 0;
  int32_t slots = 3;
  int32_t perMap = 1;
  if (pToc->sharedStructs) {
    if (const char* v = plat::GetEnv("KDRC_SEGMENTS_PER_MAP")) {
      long n = std::atol(v);
      perMap = n < 1 ? 1 : (n > 0x7FFFFFFFL ? 0x7FFFFFFF : int32_t(n));
    }
  }
  int32_t perExtent = pToc->pShared->segsPerExtent;
  if (perExtent > 0 && perMap > perExtent) perMap = perExtent;
  pToc->segmentsPerMap = perMap;
  if (const char* v = plat::GetEnv("KDRC_EXTENT_MAPS")) {
    long n = std::atol(v);
    slots = n < 1 ? 3 : (n > 0x7FFFFFFFL ? 0x7FFFFFFF : int32_t(n));
  }
  if (slots > pToc->pShared->maxExtentFiles) slots = pToc->pShared->maxExtentFiles;
  if (slots < 1) {
    pToc->numExtentMaps = 0;
    pToc->mapHead = -1;
    return 0;
  }
  auto* maps = static_cast<KDRC_EXTENTMAP_T*>(std::calloc(size_t(slots), sizeof(KDRC_EXTENTMAP_T)));
  if (maps == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "pToc->pExtentMaps");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  for (int32_t k = 0; k < slots; ++k) {
    maps[k].prev = k - 1;
    maps[k].next = k + 1 < slots ? k + 1 : -1;
    maps[k].extent = -1;
    maps[k].firstSegment = -1;
  }
  pToc->pExtentMaps = maps;
  pToc->numExtentMaps = slots;
  pToc->mapHead = 0;
  return 0;
}

int KDRCX_WipeMappings(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (pToc->numExtentMaps < 1) {
    pToc->mapHead = -1;
    return 0;
  }
  if (pToc->pExtentMaps == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "pToc->pExtentMaps");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  int32_t n = pToc->numExtentMaps;
  for (int32_t k = 0; k < n; ++k) {
    KDRC_EXTENTMAP_T& m = pToc->pExtentMaps[k];
    m.firstSegment = -1;
    if (m.extent >= 0) {
      int32_t e = m.extent;
      m.extent = -1;
      if (seg != nullptr && e < seg->extentSlots && seg->pExtents[e] != nullptr) {
        KDRC_EXTENT_T* ext = seg->pExtents[e];
        void* window = ext->pWindow;
        int rc = KDRCX_UnMapOSExtentFile(pToc, pToc->client, &ext->view, &window);
        ext->pWindow = nullptr;
        if (rc != 0) return KDRC_PASS(rc);
      }
    }
    // Rebuild the chain in array order so that every slot stays reachable from the head.
    m.prev = k - 1;
    m.next = k + 1 < n ? k + 1 : -1;
  }
  pToc->mapHead = 0;
  return 0;
}

int KDRCX_TermMappings(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  if (int rc = KDRCX_WipeMappings(pToc)) return KDRC_PASS(rc);
  std::free(pToc->pExtentMaps);
  pToc->pExtentMaps = nullptr;
  pToc->mapHead = -1;
  pToc->numExtentMaps = 0;
  pToc->segmentsPerMap = 1;
  return 0;
}

int KDRCX_GetExtentMapping(KDRC_FILETOC_T* pToc, int32_t extent, int32_t segment,
                           KDRC_EXTENTMAP_T** ppMapping) {
  KDRC_CHECK_SHARED(pToc);
  if (ppMapping == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "ppMapping");
  *ppMapping = nullptr;
  int32_t n = pToc->numExtentMaps;
  KDRC_EXTENTMAP_T* maps = pToc->pExtentMaps;
  if (maps == nullptr || pToc->mapHead < 0 || pToc->mapHead >= n)
    return KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  KDRC_SEGMENTTOC_T* seg = pToc->pSegmentToc;
  if (seg == nullptr || seg->signature != KDRC_SEGMENTTOC_T_SIG || extent < 0 ||
      extent >= seg->extentSlots)
    return KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  int32_t perExtent = pToc->pShared->segsPerExtent;
  int32_t perMap = pToc->segmentsPerMap > 0 ? pToc->segmentsPerMap : 1;
  if (segment < 0 || segment >= perExtent)
    return KDRC_FAIL_VALUE(pToc, segment, KDRC_ERROR_SEGMENT_BAD_OFFSET);

  // Walk from the most recently used slot to the first empty one or one of this file; off the
  // tail, the last slot visited (the least recently used) is taken. The walk is bounded by the
  // slot count, so a damaged chain cannot loop.
  int32_t k = pToc->mapHead;
  int32_t last = k;
  for (int32_t steps = 0; k >= 0 && k < n && steps < n; ++steps) {
    last = k;
    if (maps[k].extent < 0 || maps[k].extent == extent) break;
    k = maps[k].next;
  }
  if (k < 0 || k >= n) k = last;
  KDRC_EXTENTMAP_T* m = &maps[k];

  bool covered = m->extent == extent && segment - m->firstSegment >= 0 &&
                 segment - m->firstSegment < perMap && seg->pExtents[extent] != nullptr &&
                 seg->pExtents[extent]->pWindow != nullptr;
  if (!covered) {
    if (m->extent >= 0) {
      int32_t old = m->extent;
      if (old < seg->extentSlots && seg->pExtents[old] != nullptr) {
        KDRC_EXTENT_T* ext = seg->pExtents[old];
        void* window = ext->pWindow;
        int rc = KDRCX_UnMapOSExtentFile(pToc, pToc->client, &ext->view, &window);
        ext->pWindow = nullptr;
        if (rc != 0) return KDRC_PASS(rc);
      }
      m->extent = -1;
      m->firstSegment = -1;
    }
    int32_t start = segment;
    if (start > perExtent - perMap) start = perExtent - perMap;
    if (start < 0) start = 0;
    if (pToc->client && seg->pExtents[extent] == nullptr) {
      if (int rc = KDRCSegment_AddExtentFileRecord(pToc, pToc->wellKnownName, 1, extent))
        return KDRC_PASS(rc);
    }
    KDRC_EXTENT_T* ext = seg->pExtents[extent];
    if (ext == nullptr || ext->signature != KDRC_EXTENT_T_SIG)
      return KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
    void* window = nullptr;
    int rc = KDRCX_MapOSExtentFile(pToc, ext->path, ext->mapName, pToc->client, start,
                                   &ext->view, &window, &ext->hFile, &ext->hMap);
    if (rc != 0) return KDRC_PASS(rc);
    ext->pWindow = static_cast<uint8_t*>(window);
    m->extent = extent;
    m->firstSegment = start;
  }
  int32_t d = segment - m->firstSegment;
  if (d < 0 || d >= perExtent || d >= perMap)
    return KDRC_FAIL_VALUE(pToc, d, KDRC_ERROR_SEGMENT_BAD_OFFSET);

  // Move the slot to the head.
  if (pToc->mapHead != k) {
    if (m->prev >= 0 && m->prev < n) maps[m->prev].next = m->next;
    if (m->next >= 0 && m->next < n) maps[m->next].prev = m->prev;
    m->next = pToc->mapHead;
    maps[pToc->mapHead].prev = k;
    pToc->mapHead = k;
  }
  m->prev = -1;
  *ppMapping = m;
  return 0;
}

int KDRCX_OSFileExists(KDRC_ERROR_T* pError, const char* filename) {
  if (pError == nullptr) return KDRCX_NullPointer("pError", KDRC_HERE);
  if (pError->signature != KDRC_ERROR_T_SIG) return KDRCX_BadSig("KDRC_ERROR_T", KDRC_HERE);
  if (filename == nullptr) return KDRC_NULL_PARAM(pError, "filename");
  uint64_t size = 0;
  int os = plat::StatPath(filename, &size);
  if (os == 0) return 1;
  if (os == ENOENT || os == ENOTDIR) return 0;
  KDRCX_NoteOSError(os);
  return KDRCX_Fail(pError, KDRC_HERE, KDRC_ERROR_UTIL_CANNOT_STAT_FILE);
}

int KDRCX_DeleteOSFile(KDRC_ERROR_T* pError, const char* filename) {
  if (pError == nullptr) return KDRCX_NullPointer("pError", KDRC_HERE);
  if (pError->signature != KDRC_ERROR_T_SIG) return KDRCX_BadSig("KDRC_ERROR_T", KDRC_HERE);
  if (filename == nullptr) return KDRC_NULL_PARAM(pError, "filename");
  if (KDRCX_OSFileExists(pError, filename) == 0) return 0;
  int os = plat::DeleteFile(filename);
  if (os != 0 && os != ENOENT) {
    KDRCX_NoteOSError(os);
    return KDRCX_Fail(pError, KDRC_HERE, KDRC_ERROR_METAFILE_CANNOT_DELETE_FILE);
  }
  return 0;
}

int KDRCX_getGetEnv(KDRC_FILETOC_T* pToc, const char* value, const char* envName,
                    const char* defaultValue, char** pEnv) {
  KDRC_CHECK_TOC(pToc);
  if (pEnv == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pEnv");
  *pEnv = nullptr;
  const char* chosen = value;
  if (chosen == nullptr && envName != nullptr) chosen = plat::GetEnv(envName);
  if (chosen == nullptr) chosen = defaultValue;
  if (chosen == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "env");
  *pEnv = KDRCX_StrDup(chosen);
  if (*pEnv == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "env");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  return 0;
}

int KDRCX_MakeFullPath(KDRC_ERROR_T* pError, const char* dir, const char* fileName, char* buf) {
  if (buf == nullptr) return KDRC_NULL_PARAM(pError, "buf");
  buf[0] = '\0';
  size_t dirLen = dir != nullptr ? std::strlen(dir) : 0;
  size_t nameLen = fileName != nullptr ? std::strlen(fileName) : 0;
  // Callers pass KDRC_PATH_BUFFER bytes; names from the environment can be longer.
  if (dirLen + 1 + nameLen >= size_t(KDRC_PATH_BUFFER)) {
    KDRCX_NoteOSError(ENAMETOOLONG);
    return KDRCX_Fail(pError, KDRC_HERE, KDRC_ERROR_UTIL_CANNOT_OPEN_FILE);
  }
  if (dir != nullptr) {
    std::memcpy(buf, dir, dirLen + 1);
    if (dirLen > 0 && dir[dirLen - 1] != '/') std::strcat(buf, "/");
  }
  if (fileName != nullptr) std::strcat(buf, fileName);
  return 0;
}

int KDRCX_getFilePath(KDRC_FILETOC_T* pToc, const char* dir, const char* fileName,
                      const char* envName, const char* defaultName, char** path) {
  KDRC_CHECK_TOC(pToc);
  if (path == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "path");
  *path = nullptr;
  const char* name = fileName;
  if (name == nullptr && envName != nullptr) name = plat::GetEnv(envName);
  if (name == nullptr) name = defaultName;
  if (name == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "fileName");
  auto* buf = static_cast<char*>(std::malloc(KDRC_PATH_BUFFER));
  if (buf == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "fileName");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  if (int rc = KDRCX_MakeFullPath(pToc->pErr, dir, name, buf)) {
    std::free(buf);
    return KDRC_PASS(rc);
  }
  *path = KDRCX_StrDup(buf);
  std::free(buf);
  if (*path == nullptr) {
    KDRCX_OutOfMemory(KDRC_HERE, "fileName");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  return 0;
}

KDRCX_PageStream::KDRCX_PageStream(KDRC_FILETOC_T* toc) : toc_(toc), buffer_(nullptr) {
  if (toc_->hFile != KDRC_NO_FILE)
    buffer_ = static_cast<KDRC_PAGE_T*>(std::malloc(sizeof(KDRC_PAGE_T) * size_t(kChunk)));
}

KDRCX_PageStream::~KDRCX_PageStream() { std::free(buffer_); }

const KDRC_PAGE_T* KDRCX_PageStream::At(int32_t n) {
  if (buffer_ != nullptr && (n < first_ || n >= first_ + count_)) {
    int32_t want = std::min(kChunk, toc_->pageCount - n);
    size_t done = 0;
    if (want > 0 &&
        plat::ReadFileAt(toc_->hFile, kdrc::meta::PageOffset(n), buffer_,
                         sizeof(KDRC_PAGE_T) * size_t(want), &done) == 0 &&
        done == sizeof(KDRC_PAGE_T) * size_t(want)) {
      first_ = n;
      count_ = want;
    } else {
      // The mapping from here on: it holds the same bytes.
      std::free(buffer_);
      buffer_ = nullptr;
    }
  }
  return buffer_ != nullptr ? &buffer_[n - first_] : KDRCX_PageAt(toc_, n);
}
