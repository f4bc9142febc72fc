#include "iface/runtime.h"

#include <atomic>
#include <cassert>
#include <cstring>

#include "iface/export.h"
#include "iface/result_codes.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace kdr {
namespace {

// Lock setup state: 0 not set up, 1 being set up, 2 ready. Changed only atomically.
constexpr int kLocksNone = 0;
constexpr int kLocksBusy = 1;
constexpr int kLocksReady = 2;
std::atomic<int> g_lock_state{kLocksNone};

// Plain storage, never destroyed: the locks may be used while exit() runs.
platform::RecursiveLock g_lock_a;
platform::RecursiveLock g_lock_b;
platform::RecursiveLock g_lock_c;

// How often the calling thread holds each lock, in ProxyLock order (B, A, C).
thread_local int t_held[3];

platform::RecursiveLock* LockOf(ProxyLock lock) {
  switch (lock) {
    case ProxyLock::kA:
      return &g_lock_a;
    case ProxyLock::kB:
      return &g_lock_b;
    case ProxyLock::kC:
      break;
  }
  return &g_lock_c;
}

}  // namespace

void KdrInitLocks() {
  if (g_lock_state.load(std::memory_order_acquire) == kLocksReady) return;
  int expected = kLocksNone;
  if (g_lock_state.compare_exchange_strong(expected, kLocksBusy)) {
    // Initialising a recursive mutex cannot fail on Linux (no resources are taken).
    platform::RecursiveLockInit(&g_lock_a);
    platform::RecursiveLockInit(&g_lock_b);
    platform::RecursiveLockInit(&g_lock_c);
    g_lock_state.exchange(kLocksReady);
  }
  while (g_lock_state.load(std::memory_order_acquire) != kLocksReady) platform::SleepMs(10);
}

bool KdrLocksReady() { return g_lock_state.load(std::memory_order_acquire) == kLocksReady; }

void KdrEnterLock(ProxyLock lock) {
  // Every path into the proxy sets the locks up first; this makes a stray early caller safe
  // too, at the cost of one atomic load.
  KdrInitLocks();
  int i = static_cast<int>(lock);
  // Lock order B -> A -> C: a lock not yet held may not be taken while a later one is held.
  if (t_held[i] == 0) {
    for (int later = i + 1; later < 3; ++later) assert(t_held[later] == 0);
  }
  platform::RecursiveLockEnter(LockOf(lock));
  ++t_held[i];
}

void KdrLeaveLock(ProxyLock lock) {
  int i = static_cast<int>(lock);
  assert(t_held[i] > 0);
  --t_held[i];
  platform::RecursiveLockLeave(LockOf(lock));
}

bool KdrHoldsLock(ProxyLock lock) { return t_held[static_cast<int>(lock)] > 0; }

ProxyLockName& ProxyLockCapability(ProxyLock lock) {
  static ProxyLockName names[3];
  return names[static_cast<int>(lock)];
}

void KdrReleaseThreadHandle(void* thread, bool wait) {
  if (thread == nullptr || thread == kInvalidThreadHandle) return;
  auto* t = static_cast<platform::Thread*>(thread);
  if (wait) {
    platform::ThreadJoin(t, nullptr);
  } else {
    platform::ThreadRelease(t);
  }
}

bool IsValidTicket(const char* ticket) {
  if (ticket == nullptr) return false;
  // The length is bounded first so that a short text is never read past its NUL.
  size_t len = strnlen(ticket, kTicketMaxLength + 1);
  if (len < static_cast<size_t>(kTicketMinLength) || len > static_cast<size_t>(kTicketMaxLength)) {
    return false;
  }
  char type = ticket[kTicketTypeIndex];
  if (type != 'v' && type != 'M' && type != 'F') return false;
  for (int i = kTicketTypeIndex + 1; i <= kTicketTypeIndex + 3; ++i) {
    if (ticket[i] < '0' || ticket[i] > '9') return false;
  }
  return true;
}

bool IsTicketEntry(const void* entry) {
  if (entry == nullptr) return false;
  uint32_t signature;
  std::memcpy(&signature, entry, sizeof signature);
  return signature == kTicketEntrySignature;
}

int TicketKeyHash(const char* key) {
  if (key == nullptr) return 0;
  int32_t sum = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != 0; ++p) {
    // Wraps like the 32-bit accumulator it mirrors (only keys of millions of bytes reach it).
    sum = static_cast<int32_t>(static_cast<uint32_t>(sum) + *p);
  }
  int32_t r = sum % kTicketHashBuckets;
  return r < 0 ? -r : r;
}

int TextSize(const char* text) {
  if (text == nullptr) return 1;
  return static_cast<int>(std::strlen(text)) + 1;
}

}  // namespace kdr

// ---- Interface-table entries ----

KDR_EXPORT void synchronize(void) { kdr::KdrEnterLock(kdr::ProxyLock::kA); }

KDR_EXPORT void endSynchronize(void) { kdr::KdrLeaveLock(kdr::ProxyLock::kA); }

KDR_EXPORT void* VXNStartThread(VXNThreadRoutine routine, void* param, uint32_t* threadId) {
  return kdr::platform::ThreadStart(routine, param, threadId);
}

KDR_EXPORT void VXNTerminateThread(void* thread, uint32_t exitCode) {
  if (thread == nullptr || thread == kdr::kInvalidThreadHandle) return;
  kdr::platform::ThreadCancel(static_cast<kdr::platform::Thread*>(thread), exitCode);
}

KDR_EXPORT KdrClockValue KdrClock(void) { return kdr::platform::MonotonicMs(); }

KDR_EXPORT int KdrDeltaMs(KdrClockValue later, KdrClockValue earlier) {
  // Signed 32-bit arithmetic that wraps, done in unsigned so the wrap is defined.
  int32_t d = static_cast<int32_t>(static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier));
  int32_t p = static_cast<int32_t>(static_cast<uint32_t>(d) * 1000u);
  return p / 1000;
}

KDR_EXPORT uint32_t ThreadId(void) { return kdr::platform::CurrentThreadId(); }

KDR_EXPORT void KdrSleepMs(uint32_t ms) { kdr::platform::SleepMs(ms); }

KDR_EXPORT int GUIDLength(const char* ticket) {
  // A text shorter than the type index has no type letter (and must not be read past).
  if (ticket == nullptr || strnlen(ticket, kdr::kTicketTypeIndex + 1) <= kdr::kTicketTypeIndex) {
    return kdr::ERR_KDRCP_BAD_TICKET;
  }
  char type = ticket[kdr::kTicketTypeIndex];
  if (type == 'v' || type == 'F') return 32;
  if (type == 'M') return 36;
  return kdr::ERR_KDRCP_BAD_TICKET;
}
