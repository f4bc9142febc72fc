// Helpers shared by the engine's modules to follow the error discipline in few words.
// Each module defines `static const char kModule[]` (its name as printed) before using them.
#ifndef KDR_STORE_KDRC_INTERNAL_H_
#define KDR_STORE_KDRC_INTERNAL_H_

#include "store/kdrc.h"

// Prints "***TRACEBACK: <function>\n" and returns `code`.
int KDRCX_Traceback(const char* function, int code);

// Records `code` (with `value` appended for the Value form) in the error record, prints the
// traceback line of `function` and returns `code`. A missing error record still returns code.
int KDRCX_Fail(KDRC_ERROR_T* err, const char* module, const char* function, int line, int code);
int KDRCX_FailValue(KDRC_ERROR_T* err, const char* module, const char* function, int line,
                    int value, int code);

// Null and signature checks of the TOC ("pToc", "KDRC_FILETOC_T_SIG") and of its shared
// record ("pShared", "KDRC_FILESHARED_T_SIG"; closedOk also accepts the closed signature, and
// an owner's checking one from any TOC).
int KDRCX_CheckToc(const KDRC_FILETOC_T* toc, const char* module, const char* function, int line);
int KDRCX_CheckShared(const KDRC_FILETOC_T* toc, bool closedOk, const char* module,
                      const char* function, int line);
// Whether a shared record's signature `sig` says open to this TOC: 4321, or the signature of
// an owner still checking kept blocks, for the owner itself and for clients that have the
// trusted-segment bits.
bool KDRCX_SharedOpen(const KDRC_FILETOC_T* toc, int32_t sig);

// KDRCX_MapOSFile with the size of a created mapping object: objectSize bytes (the file grows
// to it, sparse) or, when 0 or smaller than the file, the file's size. Ignored when opening an
// existing object.
int KDRCX_MapOSFileSized(KDRC_FILETOC_T* pToc, const char* filePath, const char* mapName,
                         int openExisting, int32_t firstSegment, uint64_t objectSize,
                         KDRC_VIEW* pView, void** plpvMem, KDRC_OSFILE* phFile,
                         KDRC_MAPHANDLE* phMap);

// The size every extent file's mapping object is created with: the extent file's full size
// (segments per extent file * 16384), 0 when unknown. An extent file's mapping object is made
// once, for the file's maximum, and never re-created while the store is open: clients attached
// to the store hold it by name, so a re-created object of the same name could not be made
// (23) and a smaller one would leave later segments out of their views.
uint64_t KDRCX_ExtentObjectSize(const KDRC_FILETOC_T* pToc);

// Copies a string into malloc'd storage; nullptr when out of memory.
char* KDRCX_StrDup(const char* s);

// The metafile's pages in ascending order, read from the file through a small reused buffer:
// the first touch of each 4 KiB page of a large mapping costs a fault, several times what a
// read of the same bytes costs, and a pass over every page would touch them all. Where the
// file cannot be read (a client, which has no descriptor; a failed read) the mapped pages are
// handed out instead. The bytes are a copy as of the read: changes go through KDRCX_PageAt.
class KDRCX_PageStream {
 public:
  explicit KDRCX_PageStream(KDRC_FILETOC_T* toc);
  ~KDRCX_PageStream();
  KDRCX_PageStream(const KDRCX_PageStream&) = delete;
  KDRCX_PageStream& operator=(const KDRCX_PageStream&) = delete;
  // Page n. REQUIRES: 0 <= n < pageCount, n not below the n of the call before.
  const KDRC_PAGE_T* At(int32_t n);

 private:
  static constexpr int32_t kChunk = 512;  // pages per read (256 KiB)
  KDRC_FILETOC_T* toc_;
  KDRC_PAGE_T* buffer_;  // kChunk pages, null: the mapping
  int32_t first_ = 0;    // page number of buffer_[0]
  int32_t count_ = 0;    // pages in the buffer
};

// The record of the pass over every page at an open (below), kept on the TOC (pPageScan) until
// the open's check uses it; a repair relinks the hash chains from it (KDRCX_RebuildHash).
struct KDRC_PAGESCAN_T {
  // One page as the check needs it, in one cache line's share: the bucket walk of the hash
  // check visits pages in bucket order, and each visit costs one miss, not three.
  struct Entry {
    int32_t link;  // free page: next; allocated page: hash link
    int32_t aux;   // free page: previous; first page: bucket of its GUID, else -1
    uint8_t kind;  // the page's kind (1 to 3, 0 for any other), with the flags below
  };
  static constexpr uint8_t kKindMask = 0x0F;
  static constexpr uint8_t kFirst = 0x10;    // a first page
  static constexpr uint8_t kFound = 0x20;    // on the chain of its own GUID's bucket
  static constexpr uint8_t kPlaced = 0x40;   // relinked (only while KDRCX_RebuildHash runs)
  static constexpr uint8_t kEntries = 0x80;  // an allocated page with entries
  Entry* pages;                              // P entries (mapped memory)
  size_t bytes;                              // of pages
  int32_t scanned;                           // pages noted so far, in order
  int32_t buckets;                           // the bucket count the buckets were computed for
  uint32_t changes;                          // the store's change count when the pass began
  int32_t kinds[4];                          // pages of each kind (index 0: any other)
};

// The pass over every page that KDRCFile_GetFreeSegmentMap makes checks each page (`copy`, page
// n as a KDRCX_PageStream gave it) as KDRCFile_CheckPageConsistency does against its own kind
// and returns 0 or that check's code; it also notes in `scan` what the open's store check
// needs of the page. KDRCX_StartPageScan drops any earlier record and starts one (null when
// there is no memory for it: the check then reads the mapping).
KDRC_PAGESCAN_T* KDRCX_StartPageScan(KDRC_FILETOC_T* pToc);
int KDRCX_ScanPage(KDRC_FILETOC_T* pToc, KDRC_PAGESCAN_T* scan, int32_t n, const KDRC_PAGE_T* copy,
                   int32_t now);

#define KDRC_HERE kModule, __func__, __LINE__
#define KDRC_CHECK_TOC(toc)                                             \
  do {                                                                  \
    if (int rc_ = KDRCX_CheckToc((toc), KDRC_HERE)) return rc_;         \
  } while (0)
#define KDRC_CHECK_SHARED(toc)                                                 \
  do {                                                                         \
    if (int rc_ = KDRCX_CheckShared((toc), false, KDRC_HERE)) return rc_;      \
  } while (0)
#define KDRC_FAIL(toc, code) KDRCX_Fail((toc)->pErr, KDRC_HERE, (code))
#define KDRC_FAIL_VALUE(toc, value, code) KDRCX_FailValue((toc)->pErr, KDRC_HERE, (value), (code))
#define KDRC_FAIL_OS(toc, code, oserr) (KDRCX_NoteOSError(oserr), KDRC_FAIL(toc, code))
#define KDRC_PASS(rc) KDRCX_Traceback(__func__, (rc))
// A required parameter is null: its line, then code 76 recorded (no traceback line).
#define KDRC_NULL_PARAM(err, name)                                        \
  (KDRCX_NullParameter((err), KDRC_HERE, (name)),                         \
   KDRCX_SetError((err), KDRC_HERE, KDRC_EROR_NULL_PARAMETER), KDRC_EROR_NULL_PARAMETER)

#endif  // KDR_STORE_KDRC_INTERNAL_H_
