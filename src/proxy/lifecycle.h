// Start and end of the built-in proxy: VXN_Init and VXN_Term with their use count, the test
// VXN_IsVXNEnabled, the small entries VXN_SetLocale, VXN_GetLastError, VXN_Echo and
// KdrClearCache (all seven interface entries, declared in iface/interface.h), the idle-thread
// monitor, and the closing of every thread's connection at termination.
//
// Concurrency contract.
//  - Lock B serialises VXN_Init, VXN_Term and VXN_IsVXNEnabled; under it they take lock A
//    (connecting, the early fast-cache attach, CloseAllProxies) and, through those, lock C.
//  - `initialized` and `lastInitResult` are atomics written under lock B; every other entry
//    reads them without a lock (KdrProxyInitialized()).
//  - The idle monitor is one thread of our own. It works under lock C (one pass a second) and
//    takes lock A only to lower its running count as it ends. StopIdleMonitor waits for it
//    without holding A or C.
//  - The allocator pair changes only under lock B, while the proxy is not initialised, and
//    only after every thread record made with the old pair has been released.
#ifndef KDR_PROXY_LIFECYCLE_H_
#define KDR_PROXY_LIFECYCLE_H_

#include <cstdint>

#include "iface/runtime.h"

namespace kdr {

// Version and build date printed by the start-up banner and the termination line.
inline constexpr const char kVersionName[] = "1.3";
inline constexpr const char kBuildDate[] = "20090224";

// Environment variables read by the real initialisation.
inline constexpr const char kProxyLogVariable[] = "KDR_VXNPROXYLOG";
inline constexpr const char kOpenCacheEarlyVariable[] = "VXN_PROXY_OPEN_CACHE_EARLY";

// The idle monitor makes one pass over the thread table every kMonitorPassMs; StopIdleMonitor
// gives up waiting for it after kMonitorStopTimeoutMs.
inline constexpr int kMonitorPassMs = 1000;
inline constexpr int kMonitorStopTimeoutMs = 15000;

// Whether the proxy is initialised (a real VXN_Init succeeded and the matching VXN_Term has
// not run). Operations that need the proxy return ERR_KDRCP_NOT_INITIALIZED when it is not.
bool KdrProxyInitialized();

// The `lastInitResult`: ERR_KDRCP_NOT_INITIALIZED before the first and after the last real
// initialisation, the code of a failed one, 0 after a successful one.
int KdrLastInitResult();

// Number of VXN_Init calls not yet balanced by a VXN_Term.
int32_t KdrInitCount();

// Opens the proxy log (when none is open and KDR_VXNPROXYLOG names one), frees every slot of
// the thread table and starts the idle monitor unless it runs already. REQUIRES: lock B.
void StartProxyServices() REQUIRES(KDR_LOCK_B);

// Stops the idle monitor: asks it to end and waits up to kMonitorStopTimeoutMs for it; then
// forgets it (its handle is released once it has ended, else left to end by itself).
// REQUIRES: lock B, and neither lock A nor lock C (the monitor needs them to end).
void StopIdleMonitor() REQUIRES(KDR_LOCK_B);

// Number of idle monitor threads running (0 or 1). For tests and diagnostics.
int32_t KdrIdleMonitorCount();

// Closes every thread's pipe and releases every ThreadRecord (a record whose owner is inside
// an exchange is left to the owner and to the idle monitor). Takes lock A, then lock C.
void CloseAllProxies();

// The idle monitor's thread routine (VXNStartThread): ignores its argument, runs the monitor
// until it is told to stop, returns 0.
uint32_t IdleMonitorThread(void* param);

// ---- Hooks into the units whose state the lifecycle starts or releases ----
// Each runs at one step of VXN_Init or VXN_Term. lifecycle_hooks.cpp connects those of this
// room and the one below; the fast cache, a room above, defines its own three
// (fastcache/fast_cache_hooks.cpp), so nothing here includes it.

// VXN_Term: release every open-file handle, reporting the ones still open. Under lock B.
void LifecycleReleaseOpenFiles();
// VXN_Term: release every registered ticket. Under lock B.
void LifecycleReleaseTickets();
// VXN_Init, every real one: connect the fast cache to the open-file code and to the
// clear-cache exchange (InstallFastCache). Under lock B.
void LifecycleInstallFastCache();
// VXN_Init with VXN_PROXY_OPEN_CACHE_EARLY: attach the fast cache; 0 when attached, else a
// negative code (pipe-only mode). Under locks B and A.
int LifecycleOpenFastCache();
// VXN_Term: detach the fast cache; the result is ignored. Under lock B.
int LifecycleCloseFastCache();
// VXN_SetLocale: send the configured locale to the cache server; 0 or a code.
int LifecycleSendLocale();
// The idle monitor: whether thread `threadId` owns an open-file handle (its record is then
// kept). Called under lock C: must not take lock A.
bool LifecycleThreadOwnsOpenFile(uint32_t threadId);

}  // namespace kdr

#endif  // KDR_PROXY_LIFECYCLE_H_
