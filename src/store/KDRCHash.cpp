// KDRCHash: the hash file that finds a cached file's first metafile page by its GUID.
//
// Bucket b holds the page number of a first page; further first pages of the bucket chain
// through their pages' hash links. Every page number read from a bucket or a link is bounded
// by the store's page count and every walk by the number of pages, so a damaged hash file or
// metafile gives code 54, never a loop or an access outside the mapping.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/shared_objects.h"
#include "store/hash_format.h"
#include "store/kdrc_internal.h"

static const char kModule[] = "KDRCHash";

namespace plat = kdr::platform;
namespace meta = kdrc::meta;

namespace {

int CheckHashToc(KDRC_FILETOC_T* toc, const char* function, int line) {
  if (int rc = KDRCX_CheckToc(toc, kModule, function, line)) return rc;
  if (toc->pHashToc == nullptr) return KDRCX_NullPointer("pToc->pHashToc", kModule, function, line);
  if (toc->pHashToc->signature != KDRC_HASHTOC_T_SIG)
    return KDRCX_BadSig("KDRC_HASHTOC_T_SIG", kModule, function, line);
  if (toc->pHashToc->pBuckets == nullptr || toc->pHashToc->buckets < 1)
    return KDRCX_NullPointer("pToc->pHashToc->pBuckets", kModule, function, line);
  return 0;
}
#define KDRC_CHECK_HASH(toc)                                                   \
  do {                                                                         \
    if (int rc_ = CheckHashToc((toc), __func__, __LINE__)) return rc_;         \
  } while (0)

// strncmp over at most 36 characters, written out: the page's field is unterminated at 36.
bool SameGuid(const meta::Page* p, const char* guid) {
  if (p == nullptr) return false;
  for (int i = 0; i < meta::kGuidLength; ++i) {
    if (p->guid[i] != guid[i]) return false;
    if (guid[i] == '\0') return true;
  }
  return true;
}

// Resolves a page number found in a bucket or a hash link: null for -1, else the page.
int LinkedPage(KDRC_FILETOC_T* toc, int32_t n, meta::Page** out, const char* function, int line) {
  *out = nullptr;
  if (n == -1) return 0;
  *out = KDRCX_PageAt(toc, n);
  if (*out == nullptr) {
    KDRCX_SetErrorValue(toc->pErr, kModule, function, line, n,
                        KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
    return KDRCX_Traceback(function, KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
  }
  return 0;
}

// Walks bucket `b`: *found is the page with `guid` (or null), *last the chain's last page (or
// null for an empty bucket).
int WalkBucket(KDRC_FILETOC_T* toc, int32_t b, const char* guid, meta::Page** found,
               meta::Page** last, const char* function) {
  *found = *last = nullptr;
  meta::Page* p = nullptr;
  if (int rc = LinkedPage(toc, toc->pHashToc->pBuckets[b], &p, function, __LINE__)) return rc;
  for (int32_t steps = 0; p != nullptr; ++steps) {
    if (steps > toc->pageCount) {
      KDRCX_SetError(toc->pErr, kModule, function, __LINE__,
                     KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
      return KDRCX_Traceback(function, KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
    }
    *last = p;
    if (guid != nullptr && SameGuid(p, guid)) {
      *found = p;
      return 0;
    }
    if (int rc = LinkedPage(toc, p->hashLink, &p, function, __LINE__)) return rc;
  }
  return 0;
}

int PrintAndPass(const char* function, int code) {
  KDRCX_Print("***ERROR(%d): %s\n", code, KDRCX_ErrorName(code));
  return KDRCX_Traceback(function, code);
}

}  // namespace

int KDRCHash_Entry(KDRC_FILETOC_T* pToc, const char* guid, int32_t* pBucket) {
  KDRC_CHECK_HASH(pToc);
  if (guid == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "guid");
  if (pBucket == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pBucket");
  uint32_t h = 0;
  int len = 0;
  for (; len < meta::kGuidLength && guid[len] != '\0'; ++len)
    h = h * kdrc::hash::kMultiplier + static_cast<unsigned char>(guid[len]);
  if (len < kdrc::hash::kMinGuidLength)
    return KDRC_FAIL_VALUE(pToc, len, KDRC_ERROR_METAFILE_BAD_GUID_FIELD);
  *pBucket = static_cast<int32_t>(h % static_cast<uint32_t>(pToc->pHashToc->buckets));
  return 0;
}

int KDRCHash_FindFile(KDRC_FILETOC_T* pToc, const char* guid, KDRC_PAGE_T** ppFirst) {
  KDRC_CHECK_HASH(pToc);
  if (guid == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "guid");
  if (ppFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "ppFirst");
  *ppFirst = nullptr;
  int32_t b = 0;
  if (int rc = KDRCHash_Entry(pToc, guid, &b)) return KDRC_PASS(rc);
  meta::Page* last = nullptr;
  if (int rc = WalkBucket(pToc, b, guid, ppFirst, &last, __func__)) return rc;
  return 0;
}

int KDRCHash_AddPage(KDRC_FILETOC_T* pToc, const char* guid, uint32_t sizeLow,
                     uint32_t sizeHigh, KDRC_PAGE_T** ppFirst) {
  KDRC_CHECK_HASH(pToc);
  if (guid == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "guid");
  if (ppFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "ppFirst");
  *ppFirst = nullptr;
  int32_t b = 0;
  if (int rc = KDRCHash_Entry(pToc, guid, &b)) return KDRC_PASS(rc);
  meta::Page* found = nullptr;
  meta::Page* last = nullptr;
  if (int rc = WalkBucket(pToc, b, guid, &found, &last, __func__)) return rc;
  if (found != nullptr) {
    *ppFirst = found;
    return 0;
  }
  KDRCX_NoteStoreChange(pToc);
  meta::Page* page = nullptr;
  if (int rc = KDRCFile_GetFreePage(pToc, &page)) return PrintAndPass(__func__, rc);
  if (int rc = KDRCFile_SetFileGuid(pToc, page, guid, sizeLow, sizeHigh))
    return PrintAndPass(__func__, rc);
  if (int rc = KDRCFile_AllocatePage(pToc, nullptr, page)) return PrintAndPass(__func__, rc);
  // Taking the page may have evicted pages of this very chain (even its last page, which then
  // comes back as `page`): link the new page to the chain as it stands now.
  page->hashLink = -1;
  if (int rc = WalkBucket(pToc, b, nullptr, &found, &last, __func__)) return rc;
  int32_t n = KDRCX_PageNumber(pToc, page);
  if (last == nullptr)
    pToc->pHashToc->pBuckets[b] = n;
  else
    last->hashLink = n;
  *ppFirst = page;
  return 0;
}

int KDRCHash_DeleteEntry(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst) {
  KDRC_CHECK_HASH(pToc);
  if (pFirst == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pFirst");
  if (KDRCX_PageNumber(pToc, pFirst) < 0) return KDRC_FAIL(pToc, KDRC_ERROR_UTIL_BAD_VM_POINTER);
  if (!pFirst->firstPage)
    return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_REFERENCED_FILE_PAGE_IS_NOT_FIRST);
  char guid[meta::kGuidLength + 1] = {};
  std::memcpy(guid, pFirst->guid, meta::kGuidLength);
  int32_t b = 0;
  if (int rc = KDRCHash_Entry(pToc, guid, &b)) return KDRC_PASS(rc);
  int32_t* buckets = pToc->pHashToc->pBuckets;
  if (buckets[b] == -1) return KDRC_FAIL(pToc, KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST);
  KDRCX_NoteStoreChange(pToc);

  // What takes the deleted page's place in the chain: its next file page, which becomes the
  // file's first page, or else the page's own hash link.
  meta::Page* successor = nullptr;
  if (pFirst->next != -1) {
    successor = KDRCX_PageAt(pToc, pFirst->next);
    if (successor == nullptr || successor == pFirst)
      return KDRC_FAIL_VALUE(pToc, pFirst->next,
                             KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  }
  auto replacement = [&]() -> int32_t {
    if (successor == nullptr) return pFirst->hashLink;
    successor->firstPage = 1;
    successor->hashLink = pFirst->hashLink;
    return pFirst->next;
  };

  meta::Page* p = nullptr;
  if (int rc = LinkedPage(pToc, buckets[b], &p, __func__, __LINE__)) return rc;
  if (SameGuid(p, guid)) {
    buckets[b] = replacement();
  } else {
    meta::Page* found = nullptr;
    for (int32_t steps = 0;; ++steps) {
      if (steps > pToc->pageCount)
        return KDRC_FAIL(pToc, KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
      meta::Page* q = nullptr;
      if (int rc = LinkedPage(pToc, p->hashLink, &q, __func__, __LINE__)) return rc;
      if (q == nullptr) break;
      if (SameGuid(q, guid)) {
        found = q;
        break;
      }
      p = q;
    }
    if (found == nullptr) return KDRC_FAIL(pToc, KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST);
    p->hashLink = replacement();
  }
  pFirst->firstPage = 0;
  return 0;
}

int KDRCX_WriteNewHashFile(KDRC_FILETOC_T* pToc, KDRC_OSFILE hashFile) {
  KDRC_CHECK_SHARED(pToc);
  if (hashFile == KDRC_NO_FILE) return KDRC_NULL_PARAM(pToc->pErr, "hashFile");
  int32_t blocks = pToc->pShared->hashBlocks;
  int32_t empty[kdrc::hash::kBucketsPerBlock];
  for (int32_t& v : empty) v = kdrc::hash::kEmpty;
  for (int32_t i = 0; i < blocks; ++i) {
    int os = plat::WriteFileAt(hashFile, uint64_t(i) * kdrc::hash::kBlockSize, empty, sizeof empty);
    if (os != 0) return KDRC_FAIL_OS(pToc, KDRC_ERROR_HASH_CANNOT_WRITE_BLANK_HASH_FILE, os);
  }
  return 0;
}

int KDRCHash_Open(KDRC_FILETOC_T* pToc, const char* cacheDir, const char* mapName, int create,
                  int deleteFirst, int attach) {
  KDRC_CHECK_SHARED(pToc);
  char* dir = nullptr;
  char* path = nullptr;
  char* mapping = nullptr;
  int fd = KDRC_NO_FILE;
  auto cleanup = [&](int code) {
    if (fd != KDRC_NO_FILE) plat::CloseFile(fd);
    std::free(dir);
    std::free(path);
    std::free(mapping);
    return code;
  };
  int rc = 0;
  if ((rc = KDRCX_getGetEnv(pToc, cacheDir, "KDRC_DEFAULT_CACHE_DIR", ".", &dir)))
    return cleanup(KDRC_PASS(rc));
  if ((rc = KDRCX_getFilePath(pToc, dir, nullptr, kdrc::hash::kFileEnv, kdrc::hash::kDefaultFile,
                              &path)))
    return cleanup(KDRC_PASS(rc));
  if (mapName != nullptr) {
    size_t n = std::strlen(mapName) + 8;
    mapping = static_cast<char*>(std::malloc(n));
    if (mapping != nullptr) std::snprintf(mapping, n, kdrc::hash::kMapSuffix, mapName);
  } else {
    const char* env = plat::GetEnv(kdrc::hash::kMapNameEnv);
    mapping = KDRCX_StrDup(env != nullptr ? env : kdrc::hash::kDefaultMapName);
  }
  if (mapping == nullptr) return cleanup(KDRC_PASS(KDRCX_OutOfMemory(KDRC_HERE, "mapName")));

  if (!attach) {
    if (deleteFirst && (rc = KDRCX_DeleteOSFile(pToc->pErr, path))) return cleanup(KDRC_PASS(rc));
    if (KDRCX_OSFileExists(pToc->pErr, path) == 0) {
      if (!create)
        return cleanup(
            KDRC_FAIL(pToc, KDRC_ERROR_HASH_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED));
      int os = plat::OpenFile(path, plat::FileMode::kCreatePrivate, &fd);
      if (os != 0) return cleanup(KDRC_FAIL_OS(pToc, KDRC_ERROR_HASH_KDRC_CANNOT_CREATE_HASH_FILE, os));
      if ((rc = KDRCX_WriteNewHashFile(pToc, fd))) return cleanup(KDRC_PASS(rc));
      os = plat::CloseFile(fd);
      fd = KDRC_NO_FILE;
      if (os != 0) return cleanup(KDRC_FAIL_OS(pToc, KDRC_ERROR_HASH_CANNOT_CLOSE_HASH_FILE, os));
    }
  }
  if (KDRCX_OSFileExists(pToc->pErr, path) == 0)
    return cleanup(KDRC_FAIL(pToc, KDRC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST));

  int32_t blocks = pToc->pShared->hashBlocks;
  uint64_t need = kdrc::hash::FileSizeFor(blocks);
  uint64_t size = 0;
  int os = plat::StatPath(path, &size);
  if (os != 0 || blocks < 1 || blocks > meta::kMaxHashBlocks || size < need) {
    KDRCX_Print("***ERROR(%d): %s\n", KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST,
                KDRCX_ErrorName(KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST));
    KDRCX_NoteOSError(os);
    return cleanup(KDRC_FAIL(pToc, KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST));
  }
  if ((rc = KDRCHashTOC_Open(pToc))) return cleanup(KDRC_PASS(rc));
  KDRC_HASHTOC_T* hash = pToc->pHashToc;
  void* mem = nullptr;
  if ((rc = KDRCX_MapOSFile(pToc, path, mapping, attach, -1, &hash->view, &mem, &hash->hFile,
                            &hash->hMap)))
    return cleanup(KDRC_PASS(rc));
  if (plat::MappingObjectSize(hash->hMap) < need)
    return cleanup(KDRC_FAIL(pToc, KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST));
  hash->path = path;
  hash->mapName = mapping;
  path = mapping = nullptr;
  hash->pBuckets = static_cast<int32_t*>(mem);
  hash->buckets = blocks * kdrc::hash::kBucketsPerBlock;
  return cleanup(0);
}
