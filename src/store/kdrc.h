// The cache store engine (KDRCache): functions of its modules.
//
// Error discipline, shared by every function here: each returns 0 on success or a positive
// cache error code (kdrc_errors.h). Null pointers and bad record signatures print one line
// ("***Error: Null Pointer: ..." / "***Error: BadSig: ...") and return 2 / 36 at once. Any other
// failure is recorded once in the TOC's error record, which prints itself; then every level the
// failure passes prints "***TRACEBACK: <function>\n" and returns the code unchanged. Nothing
// here stops the process, and every index read from a store file is bounded before use: a
// corrupt file gives a code, never an access outside the mapped files.
//
// Concurrency: one TOC is used by one thread at a time. Callers hold the cache lock
// (KDRCFile_LockCache) around every operation that reads or changes pages, chains or lists of
// a store shared with other processes.
#ifndef KDR_STORE_KDRC_H_
#define KDR_STORE_KDRC_H_

#include <cstdint>

#include "store/kdrc_errors.h"
#include "store/kdrc_records.h"

using KDRC_PAGE_T = kdrc::meta::Page;

// ---- KDRCUtil: printers and the error record ----------------------------------------------

// Each prints its "***Error: ..." line (name:module:function:line) and flushes.
int KDRCX_NullPointer(const char* name, const char* module, const char* function, int line);  // 2
int KDRCX_BadSig(const char* sigName, const char* module, const char* function, int line);    // 36
int KDRCX_NullParameter(KDRC_ERROR_T* err, const char* module, const char* function, int line,
                        const char* name);                                                     // 2
int KDRCX_OutOfMemory(const char* module, const char* function, int line, const char* name);  // 1

int KDRCX_Error_Create(KDRC_ERROR_T** ppErr);
int KDRCX_Error_Destroy(KDRC_ERROR_T* pErr);
int KDRCX_SetError(KDRC_ERROR_T* pErr, const char* module, const char* function, int line,
                   int code);
int KDRCX_SetErrorValue(KDRC_ERROR_T* pErr, const char* module, const char* function, int line,
                        int value, int code);
int KDRCX_GetOSErrorText(uint32_t osCode, char* message);  // message: 256 bytes
int KDRCX_PrintError(KDRC_ERROR_T* pErr);

// Where the engine's printed lines (errors, notices, tracebacks) go: standard output unless a
// sink is set; a server sets one that writes them to its log. The sink gets one formatted
// piece of text at a time, which may hold several lines or end without a newline. Set it
// before any store is opened; nullptr restores standard output.
typedef void (*KDRC_PRINT_SINK)(const char* text);
void KDRCX_SetPrintSink(KDRC_PRINT_SINK sink);
void KDRCX_Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The "last OS error" that KDRCX_SetError records: the errno of the system call whose failure
// is being recorded. Set just before recording; KDRCX_SetError takes it and resets it to 0, so
// a failure that is not a system call's prints no OS line. Per thread.
void KDRCX_NoteOSError(int err);

// ---- KDRCFileTOC, KDRCSegmentTOC, KDRCHashToc: record lifetimes ----------------------------

int KDRCTOC_Open(KDRC_FILETOC_T** ppToc, int mode);
int KDRCTOC_Close(KDRC_FILETOC_T* pToc);
int KDRCSegmentTOC_Open(KDRC_FILETOC_T* pToc);
int KDRCSegmentTOC_Close(KDRC_FILETOC_T* pToc);
int KDRCHashTOC_Open(KDRC_FILETOC_T* pToc);
int KDRCHashTOC_Close(KDRC_FILETOC_T* pToc);

// ---- KDRCUtil: OS mappings, extent windows, paths -----------------------------------------

// Maps the window of segments [firstSegment, firstSegment + segmentsPerMap) of a file, or the
// whole file when firstSegment < 0; by path (creating the mapping object `mapName`) or, with
// openExisting, through the existing object `mapName` (then *phFile stays KDRC_NO_FILE).
// *pView is the view, *plpvMem the byte at the window's start.
int KDRCX_MapOSFile(KDRC_FILETOC_T* pToc, const char* filePath, const char* mapName,
                    int openExisting, int32_t firstSegment, KDRC_VIEW* pView, void** plpvMem,
                    KDRC_OSFILE* phFile, KDRC_MAPHANDLE* phMap);
int KDRCX_UnMapOSFile(KDRC_FILETOC_T* pToc, KDRC_VIEW* pView, KDRC_OSFILE* phFile,
                      KDRC_MAPHANDLE* phMap, uint64_t size);
int KDRCX_MapOSExtentFile(KDRC_FILETOC_T* pToc, const char* filePath, const char* mapName,
                          int readOnly, int32_t firstSegment, KDRC_VIEW* pView, void** plpvMem,
                          KDRC_OSFILE* phFile, KDRC_MAPHANDLE* phMap);
int KDRCX_UnMapOSExtentFile(KDRC_FILETOC_T* pToc, int client, KDRC_VIEW* pView, void** plpvMem);
int KDRCX_InitMappings(KDRC_FILETOC_T* pToc);
int KDRCX_WipeMappings(KDRC_FILETOC_T* pToc);
int KDRCX_TermMappings(KDRC_FILETOC_T* pToc);
int KDRCX_GetExtentMapping(KDRC_FILETOC_T* pToc, int32_t extent, int32_t segment,
                           KDRC_EXTENTMAP_T** ppMapping);

// 1 when the file exists, 0 when it does not, else a cache error code (taken as existing).
int KDRCX_OSFileExists(KDRC_ERROR_T* pError, const char* filename);
int KDRCX_DeleteOSFile(KDRC_ERROR_T* pError, const char* filename);
int KDRCX_getGetEnv(KDRC_FILETOC_T* pToc, const char* value, const char* envName,
                    const char* defaultValue, char** pEnv);
int KDRCX_MakeFullPath(KDRC_ERROR_T* pError, const char* dir, const char* fileName, char* buf);
int KDRCX_getFilePath(KDRC_FILETOC_T* pToc, const char* dir, const char* fileName,
                      const char* envName, const char* defaultName, char** path);

// The view granularity the mapping windows align to (the system page size).
uint64_t KDRCX_AllocationGranularity();

// ---- KDRCSegment ---------------------------------------------------------------------------

int KDRCSegment_Open(KDRC_FILETOC_T* pToc, const char* cacheDir, const char* wellKnownName,
                     int create, int newCache, int openExisting);
int KDRCX_WriteNewSegmentFile(KDRC_FILETOC_T* pToc, KDRC_OSFILE segFile);
int KDRCXSegment_OpenExtentFile(KDRC_FILETOC_T* pToc, const char* wellKnownName, int create,
                                int newCache, int openExisting);
int KDRCSegment_AddExtentFileRecord(KDRC_FILETOC_T* pToc, const char* wellKnownName,
                                    int openExisting, int32_t extent);
int KDRCX_SegmentCreateInitialExtFile(KDRC_FILETOC_T* pToc, int32_t extent);
int KDRCX_SegmentCloseExtentFile(KDRC_FILETOC_T* pToc, int32_t extent);
int KDRCX_SegmentAddExtents(KDRC_FILETOC_T* pToc, int32_t extent);
int KDRC_SegmentExpandExtents(KDRC_FILETOC_T* pToc);
int KDRCSegment_FreeThisSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, int32_t segment);
int KDRCSegment_WriteSegmentData(KDRC_FILETOC_T* pToc, const void* bytes, int32_t segment,
                                 int32_t length);
int KDRC_SegmentWriteExtent(KDRC_FILETOC_T* pToc, const void* bytes, int32_t segment,
                            int32_t length);

// Names of extent file k: "<base>%03d" below 1000, "<base>%07d" from 1000 on.
// buf must hold strlen(base) + 12 bytes.
void KDRCX_ExtentName(char* buf, const char* base, int32_t k);

// ---- KDRCFile: the metafile ----------------------------------------------------------------

struct KDRC_CACHE_PARAMS {
  int32_t filePages;
  int32_t segments;
  int32_t hashBlocks;
  int32_t totalExtentMB;
  int32_t extentMB;
  int32_t maxExtentFiles;
};
void KDRCX_ClampCacheParameters(KDRC_CACHE_PARAMS* p, int mode);

// recover: an owner or stand-alone open of a store not closed cleanly repairs its pages
// (KDRCX_SalvagePages) when its checksums are usable and it was left open in this boot.
int KDRCFile_Open(KDRC_FILETOC_T** ppToc, const char* cacheDir, const char* mapName,
                  int32_t filePages, int32_t segments, int32_t hashBlocks,
                  int32_t maxExtentFiles, int32_t extentMB, int create, int deleteFirst,
                  int attach, int logFlag, int mode, int* pNewCache, int recover = 0);
int KDRCFile_Close(KDRC_FILETOC_T* pToc);
int KDRCX_WriteNewMetaFile(KDRC_FILETOC_T* pToc, KDRC_OSFILE metaFile);
int KDRCFile_GetFreePage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T** ppPage);
int KDRCFile_SetFileGuid(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, const char* guid,
                         uint32_t sizeLow, uint32_t sizeHigh);
int KDRCFile_AllocatePage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, KDRC_PAGE_T* pPage);
int KDRCFile_AllocateSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                             int32_t segment, int32_t length, int* pOutOfFileBlocks);
int KDRCFile_FindSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                         KDRC_PAGE_T** ppHit, int32_t* pSegment, int32_t* pLength);
int KDRCFile_ReadBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block, void* buffer,
                       int32_t* pLength);
// Notes a change of the store that can move a block to another segment or page (a chain, a
// page's entries, a page's kind or GUID, a segment given back): bumps the shared change count,
// so every block index of every process sharing the store is rebuilt before its next use.
// Called by each function that makes such a change; the caller holds the cache lock.
void KDRCX_NoteStoreChange(KDRC_FILETOC_T* pToc);
// Drops the TOC's block indexes (at close).
void KDRCX_FreeBlockIndex(KDRC_FILETOC_T* pToc);
// KDRCFile_ReadBlock of only bytes [offset, offset + count) of the block (0 <= offset <=
// 16384, count >= 0), cut at the block's length; buffer holds count bytes. *pLength is the
// whole block's length, or -1 when it is not cached.
int KDRCFile_ReadBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                           int32_t offset, int32_t count, void* buffer, int32_t* pLength);
// KDRCFile_ReadBlockPart without the copy: *ppData is where the block's bytes are in this
// process's mapping (null when it is not cached), *pStable (when not null) 1 when that address
// stays valid while the TOC is open (the segment file), 0 when a later lookup may move it (an
// extent's window).
int KDRCFile_LocateBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                             int32_t offset, int32_t count, const uint8_t** ppData,
                             int32_t* pLength, int* pStable);
int KDRCFile_FreeThisPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage);
int KDRCFile_GetFreeSegmentMap(KDRC_FILETOC_T* pToc);
int KDRCFile_GetFreeSegment(KDRC_FILETOC_T* pToc, int32_t* pSegment);
int KDRCFile_LockCache(KDRC_FILETOC_T* pToc);
int KDRCFile_UnLockCache(KDRC_FILETOC_T* pToc);

// The page with number n, or null when n is not a page of this store (n < 0 or n >= P).
KDRC_PAGE_T* KDRCX_PageAt(const KDRC_FILETOC_T* pToc, int32_t n);
// The number of a page inside the mapped metafile.
int32_t KDRCX_PageNumber(const KDRC_FILETOC_T* pToc, const KDRC_PAGE_T* pPage);

// ---- Checks (beside the metafile) ----------------------------------------------------------

// Mask bits of KDRCFile_CheckMetaFile; a client TOC keeps only KDRC_CHECK_DATE_LIST.
inline constexpr int KDRC_CHECK_PAGES = 1;
inline constexpr int KDRC_CHECK_FREE_LIST = 2;
inline constexpr int KDRC_CHECK_DATE_LIST = 4;
inline constexpr int KDRC_CHECK_HASH = 8;
inline constexpr int KDRC_CHECK_FREE_SEGMENT_ORDER = 16;
inline constexpr int KDRC_CHECK_SEGMENT_MAP = 32;
inline constexpr int KDRC_CHECK_HEADER = 64;

// The mask run around each interface operation when the check-every-call flag is set, and by
// the owner's open once the hash file is open.
inline constexpr int KDRC_CHECK_EVERY_CALL_MASK =
    KDRC_CHECK_PAGES | KDRC_CHECK_FREE_LIST | KDRC_CHECK_DATE_LIST | KDRC_CHECK_HASH;  // 15
inline constexpr int KDRC_CHECK_ALL = 127;

// 0 when `pPage` is a sound page of the required kind (1 free, 2 allocated, 3 floating), else
// the code of the first rule it breaks (recorded, except 17 and 15 for an own page number
// outside the store, which are only returned).
int KDRCFile_CheckPageConsistency(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, int kind);
// Runs the passes `mask` selects in the order header, pages, free list, date list, hash
// coverage, free-segment order, segment map, and returns 0 or the code of the first violation
// (recorded in the TOC's error record). Never repairs. A client TOC keeps only the date-list
// bit. REQUIRES: the hash file is open when the mask has KDRC_CHECK_HASH.
int KDRCFile_CheckMetaFile(KDRC_FILETOC_T* pToc, int mask);
// KDRCFile_CheckMetaFile(pToc, mask) as an open runs it: from the record that the pass over
// every page (KDRCFile_GetFreeSegmentMap) kept, with the same results, where it can (the
// header, pages, free-list and hash-coverage passes); a page is read through the mapping only
// where the record cannot tell (a page whose file is not found on its own GUID's hash chain,
// a damaged chain). The record is used up; without one, or once the store changed since the
// pass, this is KDRCFile_CheckMetaFile. KDRCX_ForgetPageScan drops the record (pages are
// about to change: a repair, a rebuilt hash file).
int KDRCX_CheckOpenedPages(KDRC_FILETOC_T* pToc, int mask);
void KDRCX_ForgetPageScan(KDRC_FILETOC_T* pToc);
// The check-every-call run: when the TOC's flag is set (KDRC_CHECK_EVERY_CALL or KDRC_DEBUG
// "1" at open), KDRCFile_CheckMetaFile with KDRC_CHECK_EVERY_CALL_MASK; a failure prints
// "***ERROR(code): name" and the traceback line of `function`, and is returned. 0 otherwise.
int KDRCX_CheckEveryCall(KDRC_FILETOC_T* pToc, const char* function);

// ---- Date list (beside the metafile) -------------------------------------------------------

int KDRCX_InitEmptyDateList(KDRC_FILETOC_T* pToc);
int KRDCX_InsertPageInDateList(KDRC_FILETOC_T* pToc, int32_t page, int32_t time);
int KDRCX_RecordPageDate(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage);
int KDRCX_UpdatePageAccessTime(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage);
// Relinks the date list from what a process that died holding the cache lock left of it:
// the members its forward links reach, in order, then a page it was moving to the end.
// REQUIRES: the cache lock.
int KDRCX_RepairDateList(KDRC_FILETOC_T* pToc);
// For tests: when set, called after each of the five writes that move a page to the end of
// the date list (step 1 to 5), so a test process can die at any of them. Null otherwise.
extern void (*KDRCX_DateMoveStepHook)(int step);
int KRDCX_SortTheDateList(KDRC_FILETOC_T* pToc);
// Eviction of the least recently used page (the list's first member), of one member, the
// unlinking of a page from its file's chain and hash bucket, and pinning (leaving the list).
int KRDCFile_DeleteOldest(KDRC_FILETOC_T* pToc);
int KRDCFile_DeleteThisPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage);
int KRDCX_RemovePageFromFilePageList(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage);
int KRDCFile_LockPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage);

// ---- KDRCHash ------------------------------------------------------------------------------

int KDRCHash_Open(KDRC_FILETOC_T* pToc, const char* cacheDir, const char* mapName, int create,
                  int deleteFirst, int attach);
int KDRCX_WriteNewHashFile(KDRC_FILETOC_T* pToc, KDRC_OSFILE hashFile);
int KDRCHash_Entry(KDRC_FILETOC_T* pToc, const char* guid, int32_t* pBucket);
int KDRCHash_FindFile(KDRC_FILETOC_T* pToc, const char* guid, KDRC_PAGE_T** ppFirst);
int KDRCHash_AddPage(KDRC_FILETOC_T* pToc, const char* guid, uint32_t sizeLow,
                     uint32_t sizeHigh, KDRC_PAGE_T** ppFirst);
int KDRCHash_DeleteEntry(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst);

// ---- KDRCRecover: block checksums and the repair of a store not closed cleanly ------------

// The checksum of a block: CRC32C of its `length` bytes, extended over its identity (block
// number, length, the page's file size and GUID).
uint32_t KDRCX_BlockSum(const KDRC_PAGE_T* page, int32_t block, const void* data, int32_t length);
// Records the checksum of the block segment g holds (owner and stand-alone TOCs; no effect
// without the checksum file). Called after the bytes are written and before the entry is.
void KDRCX_SetBlockSum(KDRC_FILETOC_T* pToc, int32_t segment, uint32_t sum);
// 1 when the store's checksum file exists and was made for this store's size.
int KDRCX_SumsUsable(KDRC_FILETOC_T* pToc);
// Maps the checksum file: a new one when `fresh` or when none is usable (then *pFilled is 0:
// the words of blocks already stored are not set), else the existing one (*pFilled 1).
// readOnly maps an existing file for checking only, and maps nothing when there is none.
int KDRCX_OpenSums(KDRC_FILETOC_T* pToc, int fresh, int readOnly, int* pFilled);
// Allocates the disk space of the words of the first `segments` segments.
int KDRCX_AllocateSums(KDRC_FILETOC_T* pToc, int64_t segments);
void KDRCX_CloseSums(KDRC_FILETOC_T* pToc);
int KDRCX_SyncSums(KDRC_FILETOC_T* pToc);
// Sets the word of every stored block from its bytes (a store whose file was missing).
int KDRCX_FillSums(KDRC_FILETOC_T* pToc);
// Repairs the pages of a store its owner did not close, before its free-segment map is built:
// keeps the sound chains and entries, frees every other page, rebuilds the free page list.
// It reads the pages from the file and writes only what it changes. The caller sets
// pToc->recovering. The hash file must then be rebuilt (KDRCX_RebuildHash, after the
// free-segment map, whose record of the pages it relinks from) and the blocks verified
// (KDRCX_VerifyBlocks).
int KDRCX_SalvagePages(KDRC_FILETOC_T* pToc);
// Relinks every first page into its bucket's chain, keeping the chains' order as far as they
// hold and writing only the links and buckets that change; other pages link nowhere.
int KDRCX_RebuildHash(KDRC_FILETOC_T* pToc);
// Checks every stored block against its word; with `drop` a block that fails is removed
// (its entry, then its segment). *pChecked and *pBad count the blocks.
int KDRCX_VerifyBlocks(KDRC_FILETOC_T* pToc, int drop, int64_t* pChecked, int64_t* pBad);
// Removes entry i of the page and gives its segment back. Under the cache lock.
int KDRCX_DropEntry(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, int32_t i);
// The segments a store of these sizes can address (the segment file's and every extent's).
int64_t KDRCX_SegmentCapacity(const KDRC_FILESHARED_T* sh);
// Whether the block in segment g is known good in this owner's run (see pTrusted); without
// the table, 1 for an owner or stand-alone TOC and 0 for a client. KDRCX_TrustSegment marks it
// so.
int KDRCX_SegmentTrusted(const KDRC_FILETOC_T* pToc, int32_t g);
void KDRCX_TrustSegment(KDRC_FILETOC_T* pToc, int32_t g);
// Checks the block `block` held in segment g (its entry in `page`) against its checksum: good,
// it is trusted from now on; bad, *pBad is 1 and it is dropped. Under the cache lock.
int KDRCX_CheckSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* page, int32_t block, int32_t g,
                       int32_t length, int* pBad);
// Where segment g's bytes are in this process's mappings.
int KDRCX_SegmentAddress(KDRC_FILETOC_T* pToc, int32_t g, const uint8_t** out);
// Flushes every file of an owner or stand-alone store to the disk.
int KDRCX_SyncStore(KDRC_FILETOC_T* pToc);

// ---- KDRCIF: the store interface ---------------------------------------------------------
//
// A store is opened in one of three modes: KDRC_MODE_STANDALONE (one process, no mutex),
// KDRC_MODE_OWNER (creates the cache mutex and publishes the shared TOC at the start of the
// segment file) or KDRC_MODE_CLIENT (attaches by mapping name to a store an owner process has
// open; only finds files and reads blocks). The handle is the file TOC.
//
// Concurrency: one handle serves one thread at a time. In a shared store every operation that
// touches pages, lists or counters must run between KDRCIF_LockCache and KDRCIF_UnLockCache
// (the cache mutex, shared by the owner and all clients, waited for at most 5000 ms); open and
// close take it themselves. A lock taken with KDRCIF_LockCache stays held until
// KDRCIF_UnLockCache, whatever unlocks the engine does inside.

// Parameters of KDRCIF_OpenS, in this order; the sizes are clamped in place.
struct KDRCIF_OPEN_PARAMS {
  char* cacheDir;         // 0  directory of the store files (null: KDRC_DEFAULT_CACHE_DIR, ".")
  char* mapName;          // 1  base of the mapping-object names and the mutex name (null: "kdr")
  int32_t filePages;      // 2
  int32_t segments;       // 3
  int32_t hashBlocks;     // 4
  int32_t totalExtentMB;  // 5
  int32_t extentMB;       // 6  size of one extent file
  int32_t maxExtentFiles; // 7
  int32_t create;         // 8  create missing files
  int32_t deleteFirst;    // 9  delete the files and start blank
  int32_t mode;           // 10 KDRC_MODE_*
  int32_t trace;          // 11 write the trace file (also when KDRC_CACHE_TRACE is "1")
  int32_t recover;        // 12 owner or stand-alone: repair a store not closed cleanly
                          //    (instead of refusing it with 103), see KDRCIF_OpenS
  int32_t holdBack;       // 13 owner: the shared record says KDRC_FILESHARED_T_CHECKING_SIG
                          //    until KDRCIF_EndHoldBack, see there
};

// The pseudo-file that backs the shared TOC in a store opened by an owner.
inline constexpr const char* KDRC_SHARED_TOC_GUID = "CBA81E5BC44A4bb18B5E93035DA083B7";
// Bytes of the shared TOC for P pages: the shared record, three words per page, the name.
inline constexpr int64_t KDRCX_SharedTocBytes(int32_t pages) { return 12 * int64_t(pages) + 337; }

// Opens a store. On success *ppToc is the store. On failure *ppToc is null, everything opened
// is closed again, and the code says why; among others 103 for a store whose last owner or
// stand-alone user did not close it (its files are left as they are), 61 for a client whose
// owner is not there, 79 for an owner open of a store whose segment file does not hold the
// shared TOC (its metafile was not made by an owner, or the shared TOC's pages were lost
// since): such a store is left untouched and must be opened with the delete-first flag.
//
// With `recover`, a store whose owner died (a kill, a crash of the process) is repaired
// instead: what cannot be vouched for (a block being written, a page being moved, a block
// whose checksum fails) is dropped, the rest kept; the counts are printed. A store left open
// in an earlier boot of the system (a power cut: pages not yet on disk are lost), or without
// its checksum file, cannot be vouched for at all and is still refused with 103. An owner
// open flushes the store's open mark to the disk before it changes anything, and a close
// flushes every file before the clean mark, so a store marked clean on disk is whole.
int KDRCIF_OpenS(KDRCIF_OPEN_PARAMS* pParams, KDRC_FILETOC_T** ppToc);
// Blocks the last owner open kept and dropped while repairing the store (0 and 0 when the
// store was closed cleanly).
int64_t KDRCIF_RecoveredBlocks(const KDRC_FILETOC_T* pToc);
int64_t KDRCIF_DroppedBlocks(const KDRC_FILETOC_T* pToc);
// A read of `bytes` a client served from the store itself (its fast cache), added to the
// counts the owner keeps since its open; and those counts. No effect, and 0, without the
// owner's counters file.
void KDRCIF_CountClientRead(KDRC_FILETOC_T* pToc, uint64_t bytes);
void KDRCIF_ClientReads(const KDRC_FILETOC_T* pToc, uint64_t* reads, uint64_t* bytes);
// Adds to the store's hit count and to the clients' counts at once what a client served
// from the store without the cache lock since it last counted (its lock-free hits: `hits`
// blocks in `reads` reads of `bytes` bytes). Under the cache lock.
void KDRCIF_CountClientHits(KDRC_FILETOC_T* pToc, uint64_t hits, uint64_t reads, uint64_t bytes);
// Blocks of a store closed cleanly that failed their check on their first read and were
// dropped since the open (an owner's count).
int64_t KDRCIF_FirstReadDropped(const KDRC_FILETOC_T* pToc);
// Allocates, outside the cache lock, the disk space the next growth of the extent files will
// take (owner and stand-alone; nothing to do most of the time). A growth then finds its space
// ready and costs the lock holder no disk work. Returns 0, or the store error of a failed
// allocation (the disk is full: the store keeps working in the space it has).
int KDRCIF_PrepareGrowth(KDRC_FILETOC_T* pToc);
// Checks block `block` of the file against its checksum; *pBad is 1 when it failed, and the
// block is then dropped. Under the cache lock.
int KDRCIF_CheckBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block, int* pBad);
// The check of the blocks a store closed cleanly kept, which the owner's open does not read
// (each is checked on its first read, see pTrusted): while any is unchecked the shared record
// says KDRC_FILESHARED_T_CHECKING_SIG, so clients that know only 4321 stay out and read
// through the server. Each call checks up to `budget` kept blocks not yet checked, from where
// the last call stopped. A caller that does not hold the cache lock has their bytes read first
// without it (from the disk, if need be), and the lock taken for the check, which finds them
// in memory; one that takes the lock itself first calls KDRCIF_ReadKeptBlocksAhead with the
// same budget, without the lock, for the same effect. A block that fails is dropped and counted
// (*pDropped, KDRCIF_FirstReadDropped). Once every kept block is checked or dropped the record says
// 4321 again (unless held back, see KDRCIF_EndHoldBack) and *pDone is 1 (also when there was
// nothing to check). Owner only, and REQUIRES: no
// other thread uses the TOC meanwhile.
int KDRCIF_CheckKeptBlocks(KDRC_FILETOC_T* pToc, int32_t budget, int* pDone, int64_t* pDropped);
void KDRCIF_ReadKeptBlocksAhead(KDRC_FILETOC_T* pToc, int32_t budget);
// Clients of an earlier owner of the same files may still be attached under that owner's
// names: a client that knows only 4321 takes that owner's cache mutex, so once the record
// says 4321 again its reads would not be serialised with this owner's changes. An owner
// opened with `holdBack` keeps the record at KDRC_FILESHARED_T_CHECKING_SIG (such a client's
// attach and its lock refuse it) until this is called, once none of those clients holds an
// object of the earlier owner any more. The record says 4321 from here
// on, or once every kept block is checked. Returns 1 when it says 4321 now, else 0. Owner
// only, under the cache lock.
int KDRCIF_EndHoldBack(KDRC_FILETOC_T* pToc);
// Whether the owner of the store still has it open: 1 for an owner or stand-alone handle; for
// a client, 1 while its shared record says open under the name the client attached to, and
// the process that opened it as owner lives (checked at most every KDRC_OWNER_CHECK_MS: one
// system call), else 0 (the owner closed it, died, another owner took the files over, or a
// null or foreign TOC). A client that sees 0 must close its handle: another owner may use
// the files it maps under other names and another cache mutex. Call under the cache lock.
inline constexpr int KDRC_OWNER_CHECK_MS = 20;
int KDRCIF_OwnerAlive(KDRC_FILETOC_T* pToc);
// Change counters. An owner keeps, beside the store (file "kdr.gen", 0600, made anew by each
// owner open, mapped by its clients), a table of counters: one for the whole store and one
// per group of GUIDs (by hash). KDRCIF_FileGeneration(guid) changes whenever blocks of `guid`
// may have been dropped or replaced since it was read (a reader of the same store compares
// two reads; across two stores the numbers mean nothing). The owner calls
// KDRCIF_NoteFileChange before it drops or replaces a file's blocks because the file
// changed (guid null: every file; emptying the store to make room is no change). Both under
// the cache lock; 0 and no effect without a table. The counters are shared by GUIDs of one
// slot, so a client that stops a handle on them may stop it for another file's change;
// clients of this make check the volume stamps below instead, and the counters are kept for
// clients of earlier makes.
uint32_t KDRCIF_FileGeneration(const KDRC_FILETOC_T* pToc, const char* guid);
void KDRCIF_NoteFileChange(KDRC_FILETOC_T* pToc, const char* guid);
// Volume stamps. The same file holds, after the counters, a table that names for a file the
// volume its blocks in the store were read from: an opaque, non-zero 64-bit stamp the owner
// chooses per volume. The owner sets a file's stamp before it writes blocks of that volume
// (stamp 0 drops the entry); an entry may also go when another GUID needs its place. So
// when KDRCIF_VolumeStamp(guid) is S, every block of `guid` the store holds is of volume S;
// 0 tells nothing (no entry, an owner of an earlier make, or a stand-alone store). Unlike
// the counters, stamps are comparable across owners and restarts. Both under the cache
// lock; setting is for owners only (returns 1 when the table took it, else 0).
uint64_t KDRCIF_VolumeStamp(const KDRC_FILETOC_T* pToc, const char* guid);
int KDRCIF_SetVolumeStamp(KDRC_FILETOC_T* pToc, const char* guid, uint64_t stamp);
// Closes the store and sets *ppToc to null. A null pointer or null store returns 0.
int KDRCIF_Close(KDRC_FILETOC_T** ppToc);
// Finds the file or adds it with the given size (an existing file keeps its size).
int KDRCIF_AddFile(KDRC_FILETOC_T* pToc, const char* guid, uint32_t sizeLow, uint32_t sizeHigh,
                   KDRC_PAGE_T** ppFirst);
// *ppFirst: the file's first page, or null when the store does not hold the file. When found,
// pSize[0] and pSize[1] get the size's low and high words; else they are left as they are.
int KDRCIF_FindFile(KDRC_FILETOC_T* pToc, const char* guid, int32_t* pSize, KDRC_PAGE_T** ppFirst);
// Copies block `block` of the file into buffer (16384 bytes); *pLength is its length, or -1
// when the block is not cached.
int KDRCIF_ReadBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block, void* buffer,
                     int32_t* pLength);
// KDRCIF_ReadBlock (same trace line, counters and access time) that copies only bytes
// [offset, offset + count) of the block, cut at its length, straight from the mapping into
// buffer (count bytes). *pLength is the whole block's length, or -1 when it is not cached;
// the bytes copied are max(0, min(*pLength - offset, count)). The fast cache reads so into
// its caller's buffer with no copy in between.
int KDRCIF_ReadBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                         int32_t offset, int32_t count, void* buffer, int32_t* pLength);
// Stores `length` (0 to 16384) bytes as block `block` of the file, growing the store or
// evicting least recently used pages as needed. Eviction may take the file's own first page,
// so *ppFirst is updated: callers must go on with the page handed back.
int KDRCIF_WriteBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T** ppFirst, int32_t block,
                      const void* bytes, int32_t length);
// Evicts the least recently used page; *ppFirst becomes the file's (possibly new) first page.
int KDRCX_DeleteAPage(KDRC_FILETOC_T* pToc, KDRC_PAGE_T** ppFirst);
int KDRCIF_LockCache(KDRC_FILETOC_T* pToc);
int KDRCIF_UnLockCache(KDRC_FILETOC_T* pToc);
// Empties the store in place: every cached file is evicted, under the cache lock (taken here
// unless the caller holds it), so attached clients see either the old or the empty store.
// The shared TOC's pages stay. Not for clients. Traced as "%08d,ClearCache".
int KDRCIF_ClearCache(KDRC_FILETOC_T* pToc);
// The shared TOC: published by an owner's open, attached to by a client's open.
int KRDCFile_AllocateSharedMemoryForStructs(KDRC_FILETOC_T** ppToc, int newCache);
int KDRCIF_UseStructsInSharedMemory(KDRC_FILETOC_T* pToc);

// KDRCIF_ReadBlockPart without the copy (see KDRCFile_LocateBlockPart), with the same checks,
// trace and counts. The bytes at *ppData are the block's while the cache lock is held; a
// reader that copies them after letting go of the lock must see KDRCIF_ChangeCount unchanged
// from before the unlock to after the copy, else the segment may have been given to another
// block meanwhile. Only stable addresses may be used so.
int KDRCIF_LocateBlockPart(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block,
                           int32_t offset, int32_t count, const uint8_t** ppData,
                           int32_t* pLength, int* pStable);
// The store's change count (see KDRCX_NoteStoreChange), read without the cache lock, ordered
// after every memory access before it and before every one after it. 0 for an owner that does not count its changes: then nothing may be copied
// without the lock.
uint32_t KDRCIF_ChangeCount(const KDRC_FILETOC_T* pToc);
// The same pair for a reader that copies without the cache lock, seqlock style, and without
// writing to the shared record: Before reads the count (acquire; 0 for a record its owner let
// go of), UnchangedSince gives 1 when, after every load before it, the count is still
// `before` (non-zero) and the record still open. Neither checks its TOC: the caller holds it
// open (a client TOC whose attach it checked).
uint32_t KDRCIF_ChangeCountBefore(const KDRC_FILETOC_T* pToc);
int KDRCIF_UnchangedSince(const KDRC_FILETOC_T* pToc, uint32_t before);

// Hits and misses of the shared record as 64-bit values.
uint64_t KDRCIF_Hits(const KDRC_FILETOC_T* pToc);
uint64_t KDRCIF_Misses(const KDRC_FILETOC_T* pToc);

#endif  // KDR_STORE_KDRC_H_
