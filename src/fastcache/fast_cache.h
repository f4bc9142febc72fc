// The fast cache: reads of open files served straight out of the cache server's store, which
// this process maps as a client (KDRC_MODE_CLIENT), with the pipe taking over for everything
// the store does not hold.
//
// Attach cycle. The first fast-cache operation after start (or after closeFastCache) attaches
// once: the server's version check, the store's parameters (KDR_GET_CACHE_INIT_INFO), then the
// store opened as a client. Its result is remembered for the whole cycle: 0 = attached, a
// negative code = pipe-only mode, in which no further attempt is made and every operation
// falls through to the pipe. The attach warnings are printed once per cycle. Setting
// VXN_PROXY_PIPEONLY (to anything) makes every cycle pipe-only without any exchange.
//
// What never fails a caller: an absent store, a file the store does not hold, an uncached or
// incomplete block, and a store whose owner is gone all give 0 bytes (reads) or a negative
// size result (opens), so the pipe serves the call. Every operation checks, under the cache
// lock, that the process that owns the store still has it open (it closed it, or died, or a
// restarted server took the same files over under new names; a death is asked of the system
// at most every KDRC_OWNER_CHECK_MS, 20 ms, to keep reads free of system calls; the files of a
// killed owner are never reused, so what is read meanwhile is whole): if not, the store is detached
// before anything of it is used, and the next operation starts a new attach cycle (with the
// store of whichever server then serves the pipe).
//
// Versions. An open through the fast cache sends nothing to the server, so the fast cache is
// only as fresh as the store: the server drops a file's blocks as soon as it learns of a newer
// volume (see server/server.h for the window), so an open after that misses the store and is
// made at the server, on the newest volume. A handle opened through the fast cache is pinned
// to the file's change count in the store (KDRCIF_FileGeneration) at its open; once the count
// moves, the handle's reads fail with ERR_KDRCP_BAD_FILE and the text "The file was changed
// since it was opened ...", rather than go on with bytes of another volume. One gap is left:
// a read that misses the store before the server has noticed a change opens the file at the
// server there and then, on the newer volume (the proxy opens lazily); and pins taken under an
// earlier attach (before a server restart) are not checked.
//
// Concurrency contract.
//  - Lock A guards the store handle, the attach-attempted flag and the remembered result;
//    every function here takes it (checkInitKDRC requires it held), so one thread at a time
//    uses the store handle.
//  - Inside, the store's cache lock (a mutex shared with the owner process) is held around
//    each lookup, so the owner does not change pages meanwhile. Order: B -> A -> cache lock.
//    Pipe exchanges of the attach run under lock A, never under the cache lock.
//  - A read copies the bytes the segment file holds after letting go of both locks, so readers
//    of different threads copy at once; the copy counts only when the store's change count did
//    not move meanwhile (else the read is done again under the locks). Closing the store waits
//    for such copies to end.
//  - The calling thread's `busy` is 1 for the length of a size lookup or a read, so the idle
//    monitor leaves its record alone.
#ifndef KDR_FASTCACHE_FAST_CACHE_H_
#define KDR_FASTCACHE_FAST_CACHE_H_

#include <cstdint>

struct OpenFileRecord;

namespace kdr {

// Environment variables of the fast cache.
inline constexpr char kPipeOnlyVariable[] = "VXN_PROXY_PIPEONLY";
inline constexpr char kStoreLogVariable[] = "KDRC_DEFAULT_LOGFILE";

// Attaches once per cycle (see above). Returns 0 when the store is attached, else the
// cycle's negative code: -1 for pipe-only mode by request, the version check's code, or the
// code of the failed open (a store code negated, with its name as the thread's error text).
// REQUIRES: lock A.
int checkInitKDRC();

// Asks the server for the store's parameters and opens the store as a client. 0 when it is
// open (or was already), else a negative code; the store handle stays null on failure.
// REQUIRES: lock A.
int openFastCache();

// Fills file->fileSize from the store when the store holds the file, and pins the handle (see
// "Versions"). Returns 0 when it does (the file can then be opened without the server), and
// also at once for a file already open at the server or of known size; otherwise a negative code and the file is opened at the
// server: ERR_KDRCP_BAD_ARG (null record), ERR_KDRCP_BAD_FILE (no GUID, or not in the store),
// ERR_KDRCP_THREAD_COUNT, the cycle's code in pipe-only mode, -1 with no store, or a store
// failure negated (no error text: the open goes on at the server).
int fastCacheFileSize(OpenFileRecord* file);

// Copies into buffer as many bytes as the store holds contiguously from file->position on
// (file->position itself does not move; file->fileSize is set from the store). Returns that
// count (0 to length; 0 when the store cannot help), ERR_KDRCP_EOF when the position is the
// exact end of the file's short last block, or a negative code: ERR_KDRCP_BAD_FILE (the file
// changed since the handle was opened through the fast cache), ERR_KDRCP_BAD_ARG (null
// record or buffer, negative length, a position past a block's end beyond the file's size),
// ERR_KDRCP_THREAD_COUNT, or a store failure of the cache lock or lookup negated (with its
// name as the thread's error text).
int fastCacheRead(OpenFileRecord* file, unsigned char* buffer, int32_t length);

// Closes the store (when open) and clears the attach state, so the next operation attaches
// again. Returns 0 or the close's code negated (with its name as the thread's error text).
// Takes lock A.
int closeFastCache();

// Connects the fast cache to the open-file code (SetFastCacheReader) and to the clear-cache
// exchange (SetFastCacheDetach). Called by every real initialisation.
void InstallFastCache();

}  // namespace kdr

#endif  // KDR_FASTCACHE_FAST_CACHE_H_
