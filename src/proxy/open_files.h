// Open files: the registry of handed-out and recycled records (the record itself is in
// protocol/open_file_record.h), the one-thread-at-a-time rule for a handle, the per-handle
// read buffer, and the release of all records at termination.
//
// The interface entries VXN_OpenFile, VXN_RefreshFileTicket, VXN_FileSize, VXN_GetSeekPointer,
// VXN_SeekRelative, VXN_SeekAbsolute, VXN_ReadBytes, VXN_ScheduleRange,
// VXN_CloseFileHandlePointer and VXN_GetFileGUID are declared in iface/interface.h and
// defined in open_files.cpp.
//
// Concurrency contract.
//  - Lock A guards the open list, the free list, `openCount` and every record's `next`,
//    `prev`, `signature` and the open bit of `openOwner`. Those fields are also written under
//    the registry's own leaf mutex, so the idle monitor (which holds lock C and may not take
//    lock A) can ask IsOpenFileOwner safely. Order: B -> A -> C -> leaf; the leaf mutex takes
//    nothing.
//  - The owner half of `openOwner` is claimed and given back by compare-and-swap, without a
//    lock, and only while the open bit is set: the handle checks of every call (IsFileHandle,
//    AcquireFileHandle, UnacquireFileHandle) take no lock and walk no list.
//  - Every other field of a record is touched only by the thread that owns it: the thread
//    that made it (until it hands it out) or the thread that acquired it.
//  - A handle is valid when it is on the open list, which is when its open bit is set.
//    Records are made in chunks that stay allocated while the library is loaded, so a
//    pointer is first matched against the chunks by address alone, and only a record's own
//    address is ever read; a pointer that is not one is never dereferenced.
#ifndef KDR_PROXY_OPEN_FILES_H_
#define KDR_PROXY_OPEN_FILES_H_

#include <cstdint>

#include "iface/interface.h"
#include "protocol/open_file_record.h"

namespace kdr {

// A fresh record at the head of the open list, owned by the calling thread (give it up with
// UnacquireFileHandle when handing it out; FreeFileHandle needs no unacquire): serverHandle
// 0xFFFF, fileSize -1,
// buffer counters and position 0, no ticket, GUID or key, signature kOpenFileSignature. A
// record from the free list is reused with its read buffer when that is large enough for the
// configured buffer size. Returns nullptr after KdrErrorCode(ERR_KDRCP_OUT_OF_MEMORY) when the
// record or its buffer cannot be allocated. Takes lock A.
OpenFileRecord* NewFileHandle();

// Frees the record's ticket and GUID, gives back its `ticketHold`, and moves it from the open list to the free list with
// the released signature. Does nothing for a pointer that is not on the open list. Takes lock A.
void FreeFileHandle(OpenFileRecord* handle);

// Whether `handle` is a record on the open list. Reads `handle` only when it is a record's
// address. Takes no lock.
bool IsFileHandle(const OpenFileRecord* handle);

// Takes the handle for the calling thread: 0 when it had no owner or the caller owns it
// already; ERR_KDRCP_BAD_FILE when it is not on the open list; ERR_KDRCP_FILE_BUSY when
// another thread owns it (at once, without waiting). Takes no lock.
int AcquireFileHandle(OpenFileRecord* handle);

// Gives the handle back when the calling thread owns it; otherwise nothing. Takes no lock.
void UnacquireFileHandle(OpenFileRecord* handle);

// Reads `count` bytes at `position` into destination: what the fast cache holds first, the
// rest from the cache server (opening the file there when needed). Returns the number of bytes
// placed (count, or less at the end of the file), ERR_KDRCP_EOF when none could be because
// `position` is at or beyond a known size, or a negative code. Does not move `position`.
// REQUIRES: the caller owns `handle`; destination holds `count` bytes; count > 0.
int FetchFileBytes(OpenFileRecord* handle, const char* tag, unsigned char* destination,
                   int32_t count);

// Empties the open list at termination. A record with no owner, or owned by the caller, is
// closed at the server when open there (after the "WARNING: File ... was open when VXN_Term
// was called." log line), its texts freed, and put on the free list. A record another thread
// is inside a call on is logged ("APPLICATION ERROR: File ... leaked, ...") and left to that
// thread, off the lists, with the released signature and its owner. Then every free record's
// read buffer is freed; the records themselves stay allocated. Takes lock A for each record.
void ReleaseAllFileHandles();

// Whether thread `threadId` owns a record on the open list. Safe to call with lock C held and
// without lock A (the idle monitor's OpenFileOwnerTest).
bool IsOpenFileOwner(uint32_t threadId);

// Number of records on the open list (`openCount`).
int OpenFileCount();

// Stores in *copy a copy of `text` made with the configured allocator (nullptr for a null
// text). Returns 0 or ERR_KDRCP_OUT_OF_MEMORY (without recording an error text).
int CopyOpenFileText(const char* text, char** copy);

// The fast cache's side of open and read. Until one is installed, no file is in the fast
// cache: fileSize gives -1 and read places 0 bytes.
//   fileSize(file)         0 or more when the fast cache knows the file (it may fill
//                          `fileSize`); negative otherwise; the file is then opened at the
//                          server.
//   read(file, dest, n)    bytes placed at dest from `position` on (0 to n), or a negative code.
struct FastCacheReader {
  int (*fileSize)(OpenFileRecord* file);
  int (*read)(OpenFileRecord* file, unsigned char* destination, int32_t count);
};
// Installs `reader` (copied); nullptr goes back to no fast cache.
void SetFastCacheReader(const FastCacheReader* reader);

}  // namespace kdr

#endif  // KDR_PROXY_OPEN_FILES_H_
