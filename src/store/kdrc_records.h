// Records of the cache store engine: the error record, the file TOC (root of one open store),
// the shared parameters record, the segment TOC, the hash TOC, the extent record and the
// extent mapping slots. Every record starts with a 32-bit signature that each function
// receiving it tests before use.
//
// Concurrency: nothing here is locked. One TOC serves one thread at a time; the cache mutex
// (KDRCFile_LockCache) serialises processes that share a store's files.
#ifndef KDR_STORE_KDRC_RECORDS_H_
#define KDR_STORE_KDRC_RECORDS_H_

#include <cstdint>
#include <cstdio>

#include "store/kdrc_errors.h"
#include "store/metafile_format.h"

namespace kdr::platform {
struct MappingObject;
struct MappedView;
struct NamedMutex;
struct OwnerMark;
}  // namespace kdr::platform

using KDRC_MAPHANDLE = kdr::platform::MappingObject*;
using KDRC_VIEW = kdr::platform::MappedView*;
using KDRC_MUTEX = kdr::platform::NamedMutex*;
using KDRC_OSFILE = int;  // a descriptor; KDRC_NO_FILE when none
inline constexpr KDRC_OSFILE KDRC_NO_FILE = -1;

// Signatures.
inline constexpr int32_t KDRC_ERROR_T_SIG = 123;
inline constexpr int32_t KDRC_FILETOC_T_SIG = 123;
inline constexpr int32_t KDRC_FILESHARED_T_SIG = 4321;
inline constexpr int32_t KDRC_FILESHARED_T_CLOSED_SIG = 24589;  // the owner closed the store
// Open, but blocks kept from before the owner's open are not all checked yet: only clients
// that know the trusted-segment bits (which read checked blocks only) attach; a client that
// knows only 4321 refuses the store (61) and reads through the server (see KDRCIF_OpenS).
inline constexpr int32_t KDRC_FILESHARED_T_CHECKING_SIG = 17185;  // 0x4321
inline constexpr int32_t KDRC_SEGMENTTOC_T_SIG = 126;
inline constexpr int32_t KDRC_HASHTOC_T_SIG = 127;
inline constexpr int32_t KDRC_EXTENT_T_SIG = 129;

inline constexpr int KDRC_OS_TEXT_SIZE = 256;
inline constexpr int KDRC_CACHE_TEXT_SIZE = 512;
inline constexpr int KDRC_PATH_BUFFER = 8192;  // buffer for KDRCX_MakeFullPath

// Open modes of a store.
inline constexpr int KDRC_MODE_STANDALONE = 0;
inline constexpr int KDRC_MODE_OWNER = 1;
inline constexpr int KDRC_MODE_CLIENT = 2;

struct KDRC_ERROR_T {
  int32_t signature;   // KDRC_ERROR_T_SIG
  const char* method;  // function that recorded the error (static text, not owned)
  const char* file;    // module that recorded it (static text, not owned)
  int32_t line;
  uint32_t osError;    // errno of the failing system call, 0 when none
  int32_t cacheError;  // KDRC_ERROR_CODE
  char osErrorText[KDRC_OS_TEXT_SIZE];
  char cacheErrorText[KDRC_CACHE_TEXT_SIZE];
};

// Shared parameters record: 19 words, placed at the start of segment 0 by an owner that
// shares its structures (so its layout is a file format too).
struct KDRC_FILESHARED_T {
  int32_t signature;          //  0  KDRC_FILESHARED_T_SIG, or _CLOSED_SIG
  // 1  change count: bumped by every change of a page chain, a page's entries or a segment's
  // owner, never 0 in a store of this version. Older versions leave the word 0 and never
  // read it, so a reader that finds 0 must not trust any block index it keeps.
  uint32_t changes;
  uint32_t hitsLow;           //  2  blocks read from the store (64-bit with word 3)
  uint32_t hitsHigh;          //  3
  uint32_t missesLow;         //  4  lookups that found nothing
  uint32_t missesHigh;        //  5
  int32_t extentSegments;     //  6  X
  int32_t extentFiles;        //  7  E
  int32_t filePages;          //  8  P
  int32_t segments;           //  9  N
  int32_t totalExtentMB;      // 10
  int32_t maxExtentFiles;     // 11  M
  int32_t segsPerExtent;      // 12  S (extent megabytes * 64)
  int32_t hashBlocks;         // 13
  int32_t sharedTocSegments;  // 14
  int32_t dateFirst;          // 15  date list: least recently used page, -1 none
  int32_t dateLast;           // 16  most recently used page, -1 none
  int32_t dateCount;          // 17
  int32_t clients;            // 18  attached clients
};
static_assert(sizeof(KDRC_FILESHARED_T) == 76);

// One open extent file and its current window.
struct KDRC_EXTENT_T {
  int32_t signature;     // KDRC_EXTENT_T_SIG
  char* path;            // owned
  char* mapName;         // owned
  uint8_t* pWindow;      // first segment of the current window, null when none
  KDRC_VIEW view;        // the window's view, null when none
  KDRC_OSFILE hFile;
  KDRC_MAPHANDLE hMap;
};

struct KDRC_SEGMENTTOC_T {
  int32_t signature;     // KDRC_SEGMENTTOC_T_SIG
  char* path;            // owned
  char* mapName;         // owned
  uint8_t* pSegment0;    // segment 0 in the view, null when the file is not mapped
  KDRC_OSFILE hFile;
  KDRC_MAPHANDLE hMap;
  KDRC_VIEW view;
  uint64_t mappedBytes;  // bytes of the segment file reachable through the view
  int32_t extentSlots;   // entries of pExtents (the maximum number of extent files, at least 1)
  KDRC_EXTENT_T** pExtents;  // owned array; slot k holds extent file k's record or null
};

struct KDRC_HASHTOC_T {
  int32_t signature;     // KDRC_HASHTOC_T_SIG
  char* path;            // owned
  char* mapName;         // owned
  KDRC_VIEW view;
  KDRC_OSFILE hFile;
  KDRC_MAPHANDLE hMap;
  int32_t* pBuckets;     // the bucket table (the view's data), null until mapped
  int32_t buckets;       // H, entries of pBuckets
};

// One slot of the extent mapping cache: a window of consecutive segments of one extent file.
struct KDRC_EXTENTMAP_T {
  int32_t prev;          // slot index, -1 at the head
  int32_t next;          // slot index, -1 at the tail
  int32_t extent;        // extent file index, -1 when empty
  int32_t firstSegment;  // first segment of the window in that file, -1 when empty
};
static_assert(sizeof(KDRC_EXTENTMAP_T) == 16);

struct KDRC_FILETOC_T {
  int32_t signature;     // KDRC_FILETOC_T_SIG
  int32_t version;
  int32_t mode;          // KDRC_MODE_*, as given to KDRCTOC_Open
  char* wellKnownName;   // owned; base of mapping names, name of the cache mutex
  char* metaFilePath;    // owned
  char* cacheDir;        // owned; also the directory of the extent files
  char* metaMapName;     // owned
  char* logPath;         // owned
  kdrc::meta::Header* pHeader;  // start of the metafile view
  kdrc::meta::Page* pPages;     // page 0 (view + 512)
  KDRC_OSFILE hFile;
  KDRC_MAPHANDLE hMap;
  KDRC_VIEW view;
  // Pages reachable through the view, fixed at open: every page number read from the file is
  // bounded by this, never by a value other processes can change.
  int32_t pageCount;

  // Free-segment list, ascending by segment number; next[g] == -1 ends it.
  int32_t* freeSegNext;  // owned, freeSegCapacity entries
  int32_t freeSegCapacity;
  int32_t freeSegHead;
  int32_t freeSegTail;
  int32_t freeSegCount;

  KDRC_SEGMENTTOC_T* pSegmentToc;
  KDRC_HASHTOC_T* pHashToc;
  KDRC_ERROR_T* pErr;            // owned
  KDRC_FILESHARED_T* pShared;    // private (owned) until placed in shared memory
  int checkEveryCall;
  FILE* log;
  int32_t traceSeq;
  int debug;
  int sharedStructs;     // the owner placed the live structures in shared memory
  int client;            // opened by name from another process
  int lockHeld;
  int lockPinned;
  KDRC_MUTEX hMutex;
  // The owner's liveness mark, named like the cache mutex: held by an owner for as long as
  // its store is open, watched by a client (KDRCIF_OwnerAlive). Null for a stand-alone store.
  kdr::platform::OwnerMark* hOwnerMark;
  int32_t ownerCheckedMs;  // when a client last found the mark held (monotonic ms), 0 never
  // Change counters shared by an owner with its clients (KDRCIF_FileGeneration): a view of
  // the owner's generation file, or null (stand-alone, or an owner that has none).
  uint32_t* pGenerations;
  // The volume stamps that follow the counters in that file (KDRCIF_VolumeStamp), or null.
  uint64_t* pStamps;
  // One bit per segment after the stamps: set once the block the segment holds is known good
  // in this owner's run, checked against its checksum or written by the owner. A client
  // serves only such blocks; the owner checks any other on its first read (a store closed
  // cleanly is not read whole at its open). Null without the table (stand-alone, earlier make).
  uint8_t* pTrusted;
  int64_t trustedSegments;   // segments the bits cover
  int64_t firstReadDropped;  // owner: blocks that failed that check and were dropped
  // Owner: the next page the check of kept blocks looks at (KDRCIF_CheckKeptBlocks), -1 when
  // none is to be checked (the shared record then says 4321).
  int32_t keptCheckCursor;
  // Owner: the record stays KDRC_FILESHARED_T_CHECKING_SIG until KDRCIF_EndHoldBack.
  int32_t holdBack;
  // After the bits: the reads the owner's clients served from the store themselves since its
  // open, and their bytes, added to by every client (null without them).
  uint64_t* pClientReads;
  KDRC_VIEW genView;
  KDRC_OSFILE genFile;
  KDRC_MAPHANDLE genMap;

  // Date list (least recently used first), one entry per page; private unless shared.
  int32_t* lastFileAccess;
  int32_t* dateNext;
  int32_t* datePrev;
  int32_t* pDateHead;    // &pShared->dateFirst: first, last, count

  // Extent mapping cache.
  int32_t mapHead;       // most recently used slot, -1 when none
  KDRC_EXTENTMAP_T* pExtentMaps;
  int32_t numExtentMaps;
  int32_t segmentsPerMap;

  // Block indexes of the files most recently read (private memory), valid while the shared
  // change count has not moved. Owned; null until the first lookup.
  struct KDRC_BLOCKINDEX_T* pBlockIndex;
  // What the pass over every page at an open learned for the open's store check (see
  // KDRCX_CheckOpenedPages). Owned; null when none is kept.
  struct KDRC_PAGESCAN_T* pPageScan;
  // Block checksums of an owner or stand-alone store ("kdr.crc", see KDRCRecover.cpp): the
  // writable view of the whole file, null when the TOC keeps none (a client, a tool).
  uint8_t* pSums;
  uint64_t sumsBytes;       // bytes of the view
  uint64_t sumsAllocated;   // bytes of the file with disk space allocated
  KDRC_OSFILE sumsFile;
  // Extent segments whose disk space is allocated ahead of their use (KDRCIF_PrepareGrowth),
  // counted like the header's extentSegments; and when a growth that found no space may be
  // tried again (monotonic ms, 0: now).
  int32_t preparedSegments;
  int32_t growRetryMs;
  // Set by an owner open that repairs the store (KDRCFile_Open's recover): 1 for a store
  // closed cleanly (a check), 2 for one its owner did not close.
  int recovering;
  int64_t recoveredDropped;  // blocks the repair and the checksum pass dropped
  int64_t recoveredKept;     // blocks they kept
};

#endif  // KDR_STORE_KDRC_RECORDS_H_
