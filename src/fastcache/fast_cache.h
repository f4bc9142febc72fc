// The fast cache: reads of open files served straight out of the cache server's store, which
// this process maps as a client (KDRC_MODE_CLIENT), with the pipe taking over for everything
// the store does not hold. The contract in short (the details, and why they hold, are at the
// top of fast_cache.cpp):
//  - Nothing here fails a caller: an absent, gone or locked store, or a block it does not
//    hold, gives 0 bytes (reads) or a negative size (opens), and the pipe serves the call.
//  - One handle, one volume: a handle reads from the store only blocks named with the stamp
//    of the volume it was opened on; everything else goes to the pipe.
//  - One attach per cycle: its result (0 attached, negative pipe-only) stands until
//    closeFastCache. VXN_PROXY_PIPEONLY makes every cycle pipe-only.
//  - Locks: every function takes lock A, then the store's cache lock around each lookup
//    (order B -> A -> cache lock), except a hit on blocks the thread looked up this second,
//    which takes no lock and no system call (checked by the store's change count).
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
