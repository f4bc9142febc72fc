// Per-thread state of the proxy: the ThreadRecord of each calling thread, the 100-slot
// thread table, and the thread's last error text.
//
// Concurrency contract.
//  - A record's fields are written by its owner thread only, except by the two reclaimers
//    (the idle monitor's pass, KdrMonitorPass, and the release at termination,
//    KdrReleaseAllThreadRecords), which both run under lock C and so never overlap.
//  - The owner finds its record without a lock (only the owner ever writes its own id into a
//    slot). Finding it "touches" the record: `idleTicks` goes back to 0 by compare-and-swap.
//    The monitor reclaims a record only by a compare-and-swap of `idleTicks` from the value
//    it counted to kIdleReclaiming, so a touch and a reclaim cannot both succeed: a thread
//    that looks its record up while the monitor frees it gets a fresh record instead. The
//    owner remembers its slot between calls and trusts it only while the slot holds its id,
//    so a slot freed, or made again for another thread, is never taken for its own.
//  - `busy` is the owner's pin. The owner pins its record (KdrPinRecord, or the scopes
//    PinnedRecord / BusyScope) before it reads or writes the record's buffers, pipe or texts,
//    and a reclaimer claims a record only by a compare-and-swap of `busy` from 0 to
//    kBusyReleased. Pin and claim are therefore one atomic step each, and exactly one of them
//    wins: a pinned record is never freed, and a pin on a claimed record fails (the owner then
//    waits for the reclaimer and makes a fresh record). `busy` stays kBusyReleased while the
//    slot is free.
//  - Lock C guards making records, the monitor's pass and the release of all records.
#ifndef KDR_PROXY_THREAD_STATE_H_
#define KDR_PROXY_THREAD_STATE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "iface/interface.h"

namespace kdr {

// Handle of a thread's secondary pipe to the cache server (a descriptor on POSIX).
typedef intptr_t PipeHandle;
inline constexpr PipeHandle kInvalidPipe = -1;  // all bits set: not connected

inline constexpr int kThreadSlots = 100;
inline constexpr uint32_t kFreeSlot = 0xFFFFFFFFu;  // `threadId` of a free slot
inline constexpr size_t kRequestBufferSize = 2072;
inline constexpr size_t kReplyBufferSize = 16408;
inline constexpr int kIdleTimeoutPasses = 10;          // reclaimed when idleTicks passes this
inline constexpr int32_t kIdleReclaiming = INT32_MIN;  // `idleTicks` of a record being freed
inline constexpr int32_t kBusyReleased = -1;  // `busy` of a record claimed for freeing, or free
inline constexpr int32_t kBusyPinning = 2;    // `busy` for the instant a pin checks the owner

struct ThreadRecord {
  std::atomic<uint32_t> threadId;  // owner's OS thread id; kFreeSlot when free
  PipeHandle pipe;                 // secondary pipe, or kInvalidPipe
  uint16_t seqNum;                 // sequence number of the next request
  unsigned char* requestBuffer;    // kRequestBufferSize bytes, configured allocator
  unsigned char* replyBuffer;      // kReplyBufferSize bytes, configured allocator
  char* errorText;                 // last error text (C heap), or null
  char* savedErrorText;            // text put aside by KdrSaveErrorText (C heap), or null
  std::atomic<int32_t> busy;       // 1 while its owner works in it; see the contract above
  int32_t errorTextLocalized;      // 1 once errorText went through localization
  std::atomic<int32_t> idleTicks;  // monitor passes since the owner last looked it up
  uint64_t serverInstance;         // instance id of the server `pipe` leads to; 0 unknown
};

// The configured allocator pair (malloc/free until the lifecycle installs another with
// KdrSetAllocator). Buffers, ticket copies, open-file records and texts handed to callers
// come from it; error texts do not.
void* KdrAllocate(size_t size);
void KdrRelease(void* p);
void KdrSetAllocator(VXNAllocFn allocFn, VXNFreeFn freeFn);
VXNAllocFn KdrAllocFn();
VXNFreeFn KdrFreeFn();

// The calling thread's record, making one when needed, or nullptr when all 100 slots are
// owned (callers then fail with ERR_KDRCP_THREAD_COUNT) or its buffers cannot be allocated.
ThreadRecord* KdrThreadRecord();

// The calling thread's record if it has one; never makes one and does not touch it.
ThreadRecord* KdrFindThreadRecord();

// Pins `r` for the calling thread: `busy` becomes 1 unless a reclaimer has claimed the record
// or it is not the caller's. Returns false then (nothing changed). *saved receives the value
// to give back to KdrUnpinRecord (1 when the caller had pinned it already, else 0).
bool KdrPinRecord(ThreadRecord* r, int32_t* saved);
void KdrUnpinRecord(ThreadRecord* r, int32_t saved);

// KdrThreadRecord() pinned. When the record found is claimed by a reclaimer at that moment,
// waits for the reclaimer (lock C) and pins a fresh record. nullptr as KdrThreadRecord().
ThreadRecord* KdrPinnedThreadRecord(int32_t* saved);

// The calling thread's record, pinned for the life of the scope (nullptr as KdrThreadRecord).
class PinnedRecord {
 public:
  PinnedRecord() : record_(KdrPinnedThreadRecord(&saved_)) {}
  ~PinnedRecord() {
    if (record_ != nullptr) KdrUnpinRecord(record_, saved_);
  }
  PinnedRecord(const PinnedRecord&) = delete;
  PinnedRecord& operator=(const PinnedRecord&) = delete;
  ThreadRecord* get() const { return record_; }

 private:
  int32_t saved_ = 0;
  ThreadRecord* const record_;
};

// Error texts of the calling thread. All do nothing when the thread has no record (and
// cannot get one).
//   KdrSetErrorText      replaces the text with a copy of `text` (none for nullptr).
//   KdrSaveErrorText     moves the text aside (replacing what was aside) when there is one.
//   KdrRestoreErrorText  moves the text put aside back, when there is one.
//   KdrLocalizedErrorText  the text, localized once through the installed localizer; the
//                        record keeps ownership. nullptr when there is none.
//   KdrCacheErrorCode    records the cache-store error name of `code` (either sign) unless a
//                        text is recorded; returns the code as a non-positive number.
// KdrErrorCode and KdrClearLastError are interface entries (interface.h).
void KdrSetErrorText(const char* text);
void KdrSaveErrorText();
void KdrRestoreErrorText();
const char* KdrLocalizedErrorText();
int KdrCacheErrorCode(int code);

// Translates `text` through the cache server; returns a new C-heap string or nullptr.
typedef char* (*ErrorTextLocalizer)(const char* text);
// Installed by the control messages; without one, texts stay as they are.
void KdrSetErrorTextLocalizer(ErrorTextLocalizer localizer);

// --- Thread table, for the lifecycle and the idle monitor ---

// Closes a pipe handle (does nothing for kInvalidPipe).
typedef void (*PipeCloser)(PipeHandle pipe);
// Whether thread `threadId` currently owns an open-file handle. Called under lock C: it must
// not take lock A.
typedef bool (*OpenFileOwnerTest)(uint32_t threadId);

struct MonitorHooks {
  PipeCloser closePipe;            // may be null: pipes are then only forgotten
  OpenFileOwnerTest ownsOpenFile;  // may be null: no thread owns a handle
};

// Marks all 100 slots free and resets `highWater` and `nextSlot`. A slot still owned is
// released first (pipe closed through `hooks`, buffers and texts freed), so nothing leaks.
// Takes lock C.
void KdrResetThreadTable(const MonitorHooks& hooks);

// One pass of the idle monitor over slots 0 to highWater - 1, under lock C: a busy record
// starts counting again; an idle one counts one pass and is reclaimed (pipe closed, buffers
// and texts freed, slot freed) when its count passes 10, unless its thread owns an open-file
// handle. Writes the countdown and timeout lines to the proxy log when it is open.
void KdrMonitorPass(const MonitorHooks& hooks);

// Releases every record (pipe closed, buffers and texts freed, slot freed) and sets
// `highWater` and `nextSlot` to 0, under lock C. Serialised with KdrMonitorPass by lock C,
// so a record is freed exactly once whichever comes first.
void KdrReleaseAllThreadRecords(const MonitorHooks& hooks);

// For tests and diagnostics.
int KdrThreadTableHighWater();
ThreadRecord* KdrThreadSlot(int index);  // nullptr outside 0..99

}  // namespace kdr

#endif  // KDR_PROXY_THREAD_STATE_H_
