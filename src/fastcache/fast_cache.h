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
// incomplete block, a cache lock that fails (left by a process that died holding it, or not
// had within its wait), a failed lookup, and a store whose owner is gone all give 0 bytes
// (reads) or a negative size result (opens), so the pipe serves the call. Every operation but a
// hit without a lock (below) checks, under the cache lock, that the process that owns the store
// still has it open (it closed it, or died, or a restarted server took the same files over under
// new names; a death is asked of the system at most every KDRC_OWNER_CHECK_MS, 20 ms, to keep
// reads free of system calls; the files of a killed owner are never reused, so what is read
// meanwhile is whole): if not, the store is detached before anything of it is used, and the next
// operation starts a new attach cycle (with the store of whichever server then serves the pipe).
// A hit without a lock sees a closed or taken-over store by its shared record, and a dead owner
// at the latest with the locked lookup each block gets once a second.
//
// Versions: one handle, one volume. Every handle is pinned to the volume it was opened on by
// that volume's stamp (OpenFileRecord::volumeStamp): the open reply carries it for a handle
// opened at the server, and the store names it (KDRCIF_VolumeStamp) for a handle opened here.
// The server names a file's volume in the store before it writes any block of it, and drops
// the name when it drops the file, so a handle reads from the store only blocks of its own
// volume, whatever happened meanwhile (eviction, a clear, a new volume or a roll-back, a
// restarted server with a store of its own). Everything else goes to the pipe: there the
// server serves the handle's volume (a handle it opened keeps its volume), or a handle opened
// here is opened at the server first and the stamp of the reply compared; a reply that names
// another volume (or none, from a server of an earlier make) stops the handle's reads for good
// with ERR_KDRCP_BAD_FILE and the text "The file was changed since it was opened ...". A
// handle's size never changes. A handle without a stamp (opened at a server of an earlier
// make) never reads the store. The stamps are the same in every server instance, so they
// hold across restarts and reattaches. An open through the fast cache sends nothing to the
// server, so an open is only as fresh as the store (see server/server.h for the window).
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
//  - A read of blocks the calling thread looked up under the locks within the current second,
//    with the store's change count unchanged since, takes neither lock nor any system call: it
//    copies from where the lookup found the blocks and checks the count again afterwards
//    (seqlock style; fast_cache.cpp, "Hits without a lock"). Its hits are counted in the store
//    at the thread's next locked lookup, when the thread closes the store, or when it ends.
//  - The calling thread's `busy` is 1 for the length of a size lookup or a locked read, so the
//    idle monitor leaves its record alone.
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

// Fills file->fileSize and file->volumeStamp from the store when the store holds the file and
// names its volume (see "Versions"). Returns 0 when it does (the file can then be opened
// without the server), and also at once for a file already open at the server or of known
// size; otherwise a negative code and the file is opened at the server: ERR_KDRCP_BAD_ARG
// (null record), ERR_KDRCP_BAD_FILE (no GUID, not in the store, or its volume not named),
// ERR_KDRCP_THREAD_COUNT, the cycle's code in pipe-only mode, -1 with no store, or a store
// failure negated (no error text: the open goes on at the server).
int fastCacheFileSize(OpenFileRecord* file);

// Copies into buffer as many bytes of the handle's own volume as the store holds
// contiguously from file->position on, never past file->fileSize (neither position nor size
// moves). Returns that count (0 to length; 0 when the store cannot help: no stamp, a store
// that names another volume or none, the end of the file, a cache lock that fails or a lookup
// that fails, so the pipe serves the read and the store's own codes never reach the caller),
// or a negative code: ERR_KDRCP_BAD_FILE with kFileChangedText (the handle's reads stopped:
// file->volumeChanged), ERR_KDRCP_BAD_ARG (null record or buffer, negative length),
// ERR_KDRCP_THREAD_COUNT.
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
