// Runtime services of the proxy: the three process-wide locks, threads, the clock, sleeps,
// the calling thread's id and the small checks of the ticket registry.
//
// Nine of these are interface-table entries (declared in interface.h, defined here with
// C linkage): VXNStartThread, VXNTerminateThread, KdrDeltaMs, KdrClock, ThreadId,
// KdrSleepMs, GUIDLength, synchronize and endSynchronize. The proxy's own code calls them
// directly, not through the table.
//
// Locks. Each is re-entrant, lives in static storage for the life of the process and is
// never destroyed. Lock order, always: B, then A, then C. Debug builds assert it.
//   Lock B (initialisation): held for the whole of VXN_Init, VXN_Term and VXN_IsVXNEnabled.
//          Outermost: nobody takes B while holding A or C.
//   Lock A (main proxy lock, also the entries synchronize/endSynchronize): the ticket
//          registry, the open-file handles and their ownership, connecting a thread to the
//          cache server, the fast cache.
//   Lock C (thread table): making a thread's record, the idle monitor's pass, the release
//          of all records. Nobody takes A while holding C.
// KdrInitLocks() sets the locks up; entering a lock runs it first in any case.
#ifndef KDR_IFACE_RUNTIME_H_
#define KDR_IFACE_RUNTIME_H_

#include <cstdint>

#include "iface/interface.h"
#include "platform/thread_annotations.h"

namespace kdr {

// One-time setup of locks A, B and C; safe to call from any number of threads at once. The
// first caller initialises A, then B, then C; concurrent callers wait (polling every 10 ms)
// until the locks are ready. Returns only once they are.
void KdrInitLocks();

// Whether KdrInitLocks() has completed.
bool KdrLocksReady();

enum class ProxyLock { kB, kA, kC };  // in lock order

void KdrEnterLock(ProxyLock lock);
void KdrLeaveLock(ProxyLock lock);

// Whether the calling thread holds `lock` (kept per thread; for assertions and tests).
bool KdrHoldsLock(ProxyLock lock);

// The three locks as clang's thread-safety analysis names them: a ProxyLockGuard on
// ProxyLock::kC holds KDR_LOCK_C for the analysis, so data and functions are annotated
// GUARDED_BY(KDR_LOCK_C) or REQUIRES(KDR_LOCK_B). The objects hold no state. The analysis
// does not see re-entry, nor the synchronize/endSynchronize pair (KdrEnterLock/KdrLeaveLock).
class CAPABILITY("proxy lock") ProxyLockName {};
ProxyLockName& ProxyLockCapability(ProxyLock lock);
#define KDR_LOCK_A ::kdr::ProxyLockCapability(::kdr::ProxyLock::kA)
#define KDR_LOCK_B ::kdr::ProxyLockCapability(::kdr::ProxyLock::kB)
#define KDR_LOCK_C ::kdr::ProxyLockCapability(::kdr::ProxyLock::kC)

// Holds one of the three locks for the life of a scope.
class SCOPED_CAPABILITY ProxyLockGuard {
 public:
  explicit ProxyLockGuard(ProxyLock lock) ACQUIRE(ProxyLockCapability(lock)) : lock_(lock) {
    KdrEnterLock(lock_);
  }
  ~ProxyLockGuard() RELEASE() { KdrLeaveLock(lock_); }
  ProxyLockGuard(const ProxyLockGuard&) = delete;
  ProxyLockGuard& operator=(const ProxyLockGuard&) = delete;

 private:
  ProxyLock lock_;
};

// Releases a handle that VXNStartThread returned, once its owner no longer needs it (the
// counterpart of closing a thread handle). Waits for the thread to end when `wait` is true.
// A null handle or the all-ones value is ignored.
void KdrReleaseThreadHandle(void* thread, bool wait);

// The value VXNTerminateThread ignores: all bits set.
inline void* const kInvalidThreadHandle = reinterpret_cast<void*>(~static_cast<uintptr_t>(0));

// Signature of a live ticket-registry entry (its first 32-bit word).
inline constexpr uint32_t kTicketEntrySignature = 0x600DF11E;

// Ticket form, as the registry reads it: the type letter at index 64 ('v', 'F' or 'M'),
// three decimal digits at 65 to 67; the first 64 characters are the ticket key.
inline constexpr int kTicketKeyLength = 64;
inline constexpr int kTicketTypeIndex = 64;
inline constexpr int kTicketMinLength = 225;
inline constexpr int kTicketMaxLength = 2000;
inline constexpr int kTicketHashBuckets = 256;

// True only if `ticket` is not null, has 'v', 'M' or 'F' at index 64 followed by three
// digits, and is 225 to 2000 characters long. Never reads past the ticket's NUL.
bool IsValidTicket(const char* ticket);

// True only if `entry` is not null and its first 32-bit word is kTicketEntrySignature.
// REQUIRES: a non-null `entry` points at 4 readable bytes (a registry lookup's result).
bool IsTicketEntry(const void* entry);

// The registry bucket (0 to 255) of a ticket key: the sum of its bytes, taken as unsigned,
// modulo 256. A null or empty key gives 0.
int TicketKeyHash(const char* key);

// Length of `text` plus one (the size of the text with its NUL); a null text counts as
// empty and gives 1.
int TextSize(const char* text);

}  // namespace kdr

#endif  // KDR_IFACE_RUNTIME_H_
