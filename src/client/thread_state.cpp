#include "client/thread_state.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "iface/export.h"
#include "iface/runtime.h"
#include "store/kdrc_errors.h"

namespace kdr {
namespace {

// The thread table, in plain static storage (trivially destructible).
ThreadRecord g_slots[kThreadSlots];
std::atomic<int32_t> g_high_water{0};  // written under lock C; read by owners without it
int32_t g_next_slot GUARDED_BY(KDR_LOCK_C) = 0;

void* DefaultAlloc(size_t size) { return std::malloc(size); }
void DefaultFree(void* p) { std::free(p); }

std::atomic<VXNAllocFn> g_alloc{&DefaultAlloc};
std::atomic<VXNFreeFn> g_free{&DefaultFree};
std::atomic<ErrorTextLocalizer> g_localizer{nullptr};

// What a thread remembers of its own record, so that a look-up costs one load instead of a
// scan of the table. `record` is only a hint: it points into the static table (never at
// freed memory) and is used only while the slot still holds this thread's id, which no other
// live thread writes. A slot freed by the monitor or by termination holds kFreeSlot, and a
// slot made again for another thread holds that thread's id; either sends the look-up back to
// the scan. A slot freed and made again for this same thread is this thread's record, as the
// scan would have found.
//   `mayHaveText` is false only while the record is known to hold no error text and no
// localized mark: only the owner sets either, so the owner alone can know; a reclaimer only
// clears them. It starts true, since a thread can inherit the record of a dead thread that
// had the same id.
struct OwnRecord {
  ThreadRecord* record = nullptr;
  uint32_t id = 0;
  bool mayHaveText = true;
};
thread_local OwnRecord t_own;

char* CopyText(const char* text) { return text != nullptr ? strdup(text) : nullptr; }

// Marks the record as in use by its owner: its idle count goes back to 0, unless the monitor
// has already claimed it for reclaiming (then the caller must make a fresh record). A count
// already at 0 needs no write: the monitor reclaims only after counting past
// kIdleTimeoutPasses, so a record seen at 0 is as safe as one just set to 0.
bool Touch(ThreadRecord* r) {
  int32_t t = r->idleTicks.load(std::memory_order_acquire);
  if (t == 0) return true;
  for (;;) {
    if (t == kIdleReclaiming) return false;
    if (r->idleTicks.compare_exchange_weak(t, 0, std::memory_order_acq_rel)) return true;
  }
}

// Publishes the owner's latest writes to the record (its error texts) to a later reclaimer,
// which reads `idleTicks` with acquire ordering before it frees them.
void Publish(ThreadRecord* r) { r->idleTicks.fetch_add(0, std::memory_order_release); }

// Frees what the record owns and marks its slot free. REQUIRES: lock C, and the record is
// claimed (its owner cannot touch it any more).
void FreeRecord(ThreadRecord* r, const MonitorHooks& hooks) REQUIRES(KDR_LOCK_C) {
  if (r->pipe != kInvalidPipe && hooks.closePipe != nullptr) hooks.closePipe(r->pipe);
  r->pipe = kInvalidPipe;
  KdrRelease(r->requestBuffer);
  KdrRelease(r->replyBuffer);
  r->requestBuffer = nullptr;
  r->replyBuffer = nullptr;
  std::free(r->errorText);
  std::free(r->savedErrorText);
  r->errorText = nullptr;
  r->savedErrorText = nullptr;
  r->errorTextLocalized = 0;
  // `busy` stays kBusyReleased: a late pin through a stale pointer fails.
  r->threadId.store(kFreeSlot, std::memory_order_release);
}

// The reclaimer's side of the pin: claims an unpinned record for freeing. False when its owner
// has it pinned (or a pin is checking it). REQUIRES: lock C.
bool ClaimUnpinned(ThreadRecord* r) {
  int32_t idle = 0;
  return r->busy.compare_exchange_strong(idle, kBusyReleased, std::memory_order_acq_rel);
}

// Frees every record whose owner is not inside an exchange. A busy record is left to its
// owner (freeing its buffers or closing its pipe under a running exchange would corrupt it);
// the idle monitor reclaims it once it is idle. REQUIRES: lock C.
void ReleaseIdleRecords(const MonitorHooks& hooks) REQUIRES(KDR_LOCK_C) {
  int32_t keep = 0;
  int32_t hw = g_high_water.load(std::memory_order_relaxed);
  for (int32_t i = 0; i < hw; ++i) {
    ThreadRecord* r = &g_slots[i];
    if (r->threadId.load(std::memory_order_acquire) == kFreeSlot) continue;
    // Checking `busy` and then freeing would let an owner that looked its record up in
    // between write into freed buffers: the claim is one compare-and-swap.
    if (!ClaimUnpinned(r)) {
      keep = i + 1;
      continue;
    }
    r->idleTicks.exchange(kIdleReclaiming, std::memory_order_acq_rel);
    FreeRecord(r, hooks);
  }
  g_high_water.store(keep, std::memory_order_release);
  g_next_slot = keep < kThreadSlots ? keep : 0;
}

}  // namespace

void* KdrAllocate(size_t size) { return g_alloc.load()(size); }
void KdrRelease(void* p) {
  if (p != nullptr) g_free.load()(p);
}
void KdrSetAllocator(VXNAllocFn allocFn, VXNFreeFn freeFn) {
  if (allocFn == nullptr && freeFn == nullptr) {
    allocFn = &DefaultAlloc;
    freeFn = &DefaultFree;
  }
  if (allocFn == nullptr || freeFn == nullptr) return;
  g_alloc.store(allocFn);
  g_free.store(freeFn);
}
VXNAllocFn KdrAllocFn() { return g_alloc.load(); }
VXNFreeFn KdrFreeFn() { return g_free.load(); }

ThreadRecord* KdrFindThreadRecord() {
  OwnRecord& own = t_own;
  if (own.record != nullptr && own.record->threadId.load(std::memory_order_acquire) == own.id) {
    return own.record;
  }
  uint32_t me = ThreadId();
  int32_t hw = g_high_water.load(std::memory_order_acquire);
  for (int32_t i = 0; i < hw; ++i) {
    if (g_slots[i].threadId.load(std::memory_order_acquire) == me) return &g_slots[i];
  }
  return nullptr;
}

bool KdrPinRecord(ThreadRecord* r, int32_t* saved) {
  const uint32_t me = ThreadId();
  for (;;) {
    int32_t v = r->busy.load(std::memory_order_acquire);
    if (v == kBusyReleased) return false;
    if (v == kBusyPinning) {
      // A stale pointer of another thread is checking this slot; it puts 0 back at once.
      std::this_thread::yield();
      continue;
    }
    if (v != 0) {
      // Pinned: by the caller (a nested pin), or by another owner of a reused slot.
      if (r->threadId.load(std::memory_order_acquire) != me) return false;
      *saved = v;
      return true;
    }
    if (!r->busy.compare_exchange_weak(v, kBusyPinning, std::memory_order_acq_rel)) continue;
    // While `busy` is kBusyPinning no reclaimer can claim the slot, so the owner seen now is
    // the owner for as long as the pin lasts.
    if (r->threadId.load(std::memory_order_acquire) == me) {
      r->busy.store(1, std::memory_order_release);
      *saved = 0;
      return true;
    }
    r->busy.store(0, std::memory_order_release);
    return false;
  }
}

void KdrUnpinRecord(ThreadRecord* r, int32_t saved) {
  r->busy.store(saved, std::memory_order_release);
}

ThreadRecord* KdrPinnedThreadRecord(int32_t* saved) {
  for (;;) {
    ThreadRecord* r = KdrThreadRecord();
    if (r == nullptr) return nullptr;
    if (KdrPinRecord(r, saved)) return r;
    // Claimed between the look-up and the pin: the reclaimer holds lock C until the slot is
    // free, and the next look-up makes a fresh record.
    KdrInitLocks();
    ProxyLockGuard wait(ProxyLock::kC);
  }
}

ThreadRecord* KdrThreadRecord() {
  OwnRecord& own = t_own;
  ThreadRecord* cached = own.record;
  if (cached != nullptr && cached->threadId.load(std::memory_order_acquire) == own.id &&
      Touch(cached)) {
    return cached;
  }
  uint32_t me = ThreadId();
  // Only this thread ever writes `me` into a slot, so the scan needs no lock.
  int32_t hw = g_high_water.load(std::memory_order_acquire);
  for (int32_t i = 0; i < hw; ++i) {
    ThreadRecord* r = &g_slots[i];
    if (r->threadId.load(std::memory_order_acquire) != me) continue;
    if (Touch(r)) {
      own.record = r;
      own.id = me;
      return r;
    }
    break;  // being reclaimed by the monitor: wait for it below, then start afresh
  }

  KdrInitLocks();
  ProxyLockGuard guard(ProxyLock::kC);
  hw = g_high_water.load(std::memory_order_relaxed);
  int32_t start = g_next_slot;
  int32_t i = start;
  for (;;) {
    if (i >= hw) {
      g_slots[i].threadId.store(kFreeSlot, std::memory_order_relaxed);
      hw = i + 1;
    }
    if (g_slots[i].threadId.load(std::memory_order_relaxed) == kFreeSlot) break;
    i = i + 1 < kThreadSlots ? i + 1 : 0;
    if (i == start) {
      g_high_water.store(hw, std::memory_order_release);
      return nullptr;
    }
  }
  g_high_water.store(hw, std::memory_order_release);

  ThreadRecord* r = &g_slots[i];
  auto* request = static_cast<unsigned char*>(KdrAllocate(kRequestBufferSize));
  auto* reply = static_cast<unsigned char*>(KdrAllocate(kReplyBufferSize));
  if (request == nullptr || reply == nullptr) {
    // The slot stays free; the caller fails as it would with a full table.
    KdrRelease(request);
    KdrRelease(reply);
    return nullptr;
  }
  g_next_slot = i + 1 < kThreadSlots ? i + 1 : 0;
  r->pipe = kInvalidPipe;
  r->serverInstance = 0;
  r->requestBuffer = request;
  r->replyBuffer = reply;
  r->seqNum = 0;
  r->errorText = nullptr;
  r->savedErrorText = nullptr;
  r->busy.store(0, std::memory_order_relaxed);
  r->errorTextLocalized = 0;
  r->idleTicks.store(0, std::memory_order_relaxed);
  r->threadId.store(me, std::memory_order_release);
  own.record = r;
  own.id = me;
  return r;
}

void KdrSetErrorText(const char* text) {
  t_own.mayHaveText = true;
  PinnedRecord pin;
  ThreadRecord* r = pin.get();
  if (r == nullptr) return;
  char* copy = CopyText(text);  // before freeing: `text` may be the record's own text
  std::free(r->errorText);
  r->errorText = copy;
  Publish(r);
}

void KdrSaveErrorText() {
  PinnedRecord pin;
  ThreadRecord* r = pin.get();
  if (r == nullptr || r->errorText == nullptr) return;
  std::free(r->savedErrorText);
  r->savedErrorText = r->errorText;
  r->errorText = nullptr;
  Publish(r);
}

void KdrRestoreErrorText() {
  t_own.mayHaveText = true;
  PinnedRecord pin;
  ThreadRecord* r = pin.get();
  if (r == nullptr || r->savedErrorText == nullptr) return;
  std::free(r->errorText);
  r->errorText = r->savedErrorText;
  r->savedErrorText = nullptr;
  Publish(r);
}

const char* KdrLocalizedErrorText() {
  t_own.mayHaveText = true;
  PinnedRecord pin;
  ThreadRecord* r = pin.get();
  if (r == nullptr) return nullptr;
  if (r->errorTextLocalized == 0 && r->errorText != nullptr) {
    ErrorTextLocalizer localize = g_localizer.load();
    char* localized = localize != nullptr ? localize(r->errorText) : nullptr;
    if (localized != nullptr) {
      std::free(r->errorText);
      r->errorText = localized;
    }
    r->errorTextLocalized = 1;
    Publish(r);
  }
  return r->errorText;
}

int KdrCacheErrorCode(int code) {
  t_own.mayHaveText = true;
  PinnedRecord pin;
  ThreadRecord* r = pin.get();
  if (r != nullptr && r->errorText == nullptr) {
    r->errorTextLocalized = 0;
    int64_t m = code < 0 ? -static_cast<int64_t>(code) : code;
    if (m >= 1 && m <= KDRC_MAX_ERROR_CODE) {
      r->errorText = CopyText(KDRCX_ErrorName(static_cast<int>(m)));
    }
    Publish(r);
  }
  // -INT_MIN does not exist; INT_MIN is already non-positive.
  return code > 0 ? -code : code;
}

void KdrSetErrorTextLocalizer(ErrorTextLocalizer localizer) { g_localizer.store(localizer); }

void KdrResetThreadTable(const MonitorHooks& hooks) { KdrReleaseAllThreadRecords(hooks); }

void KdrReleaseAllThreadRecords(const MonitorHooks& hooks) {
  KdrInitLocks();
  ProxyLockGuard guard(ProxyLock::kC);
  ReleaseIdleRecords(hooks);
}

void KdrMonitorPass(const MonitorHooks& hooks) {
  KdrInitLocks();
  ProxyLockGuard guard(ProxyLock::kC);
  // highWater is read again after each slot: owners may add records during the pass.
  for (int32_t i = 0; i < g_high_water.load(std::memory_order_acquire); ++i) {
    ThreadRecord* r = &g_slots[i];
    uint32_t tid = r->threadId.load(std::memory_order_acquire);
    if (tid == kFreeSlot) continue;
    int32_t t = r->idleTicks.load(std::memory_order_acquire);
    if (t == kIdleReclaiming) continue;
    if (r->busy.load(std::memory_order_acquire) != 0) {
      // A failed exchange means the owner has just touched it: 0 either way.
      r->idleTicks.compare_exchange_strong(t, 0, std::memory_order_acq_rel);
      continue;
    }
    int32_t next = t < INT32_MAX ? t + 1 : t;
    if (next <= kIdleTimeoutPasses) {
      if (r->idleTicks.compare_exchange_strong(t, next, std::memory_order_acq_rel)) {
        KdrLogPrintf(">>>THREAD %u (ID %u) IDLE COUNTDOWN %d...\n", static_cast<unsigned>(i), tid,
                     kIdleTimeoutPasses + 1 - next);
      }
      continue;
    }
    if (hooks.ownsOpenFile != nullptr && hooks.ownsOpenFile(tid)) {
      r->idleTicks.compare_exchange_strong(t, next, std::memory_order_acq_rel);
      continue;
    }
    // Claim it; failing means the owner came back between the load and now.
    if (!r->idleTicks.compare_exchange_strong(t, kIdleReclaiming, std::memory_order_acq_rel)) {
      continue;
    }
    if (!ClaimUnpinned(r)) {
      // Pinned since the check above: its owner is back.
      r->idleTicks.store(0, std::memory_order_release);
      continue;
    }
    KdrLogPrintf(">>>THREAD %u (ID %u) TIMEOUT...\n", static_cast<unsigned>(i), tid);
    FreeRecord(r, hooks);
  }
}

int KdrThreadTableHighWater() { return g_high_water.load(std::memory_order_acquire); }

ThreadRecord* KdrThreadSlot(int index) {
  if (index < 0 || index >= kThreadSlots) return nullptr;
  return &g_slots[index];
}

}  // namespace kdr

// ---- Interface-table entries ----

KDR_EXPORT int KdrErrorCode(int code) {
  kdr::t_own.mayHaveText = true;
  kdr::PinnedRecord pin;
  kdr::ThreadRecord* r = pin.get();
  if (r == nullptr || r->errorText != nullptr) return code;  // the first text recorded wins
  r->errorTextLocalized = 0;
  r->errorText = kdr::CopyText(kdr::KdrErrorText(code));
  kdr::Publish(r);
  return code;
}

KDR_EXPORT void KdrClearLastError(void) {
  // Every interface entry starts here, a cache hit included: when the thread has recorded no
  // text since its last clear, the look-up (which makes the record and touches it, as
  // always) is all there is to do.
  if (!kdr::t_own.mayHaveText) {
    kdr::KdrThreadRecord();
    return;
  }
  kdr::PinnedRecord pin;
  kdr::ThreadRecord* r = pin.get();
  if (r == nullptr) return;
  if (r->errorText != nullptr || r->errorTextLocalized != 0) {
    std::free(r->errorText);
    r->errorText = nullptr;
    r->errorTextLocalized = 0;
    kdr::Publish(r);
  }
  kdr::t_own.mayHaveText = false;
}
