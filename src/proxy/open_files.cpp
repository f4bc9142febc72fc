#include "proxy/open_files.h"

#include <cinttypes>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/export.h"
#include "iface/runtime.h"
#include "protocol/data_messages.h"
#include "proxy/lifecycle.h"
#include "proxy/tickets.h"

namespace kdr {

namespace {

// The registry. Plain storage, constant-initialised, never destroyed. Lock A and the leaf mutex
// guard it as open_files.h describes.
struct Registry {
  OpenFileRecord* openHead;
  OpenFileRecord* freeHead;
  int openCount;
};
Registry g_registry{nullptr, nullptr, 0};
// The leaf mutex: made once, never destroyed (it may be used while the process exits).
std::mutex& Leaf() {
  static std::mutex* const leaf = new std::mutex();
  return *leaf;
}

// The fast cache's side; null members mean "no fast cache".
std::atomic<int (*)(OpenFileRecord*)> g_fastSize{nullptr};
std::atomic<int (*)(OpenFileRecord*, unsigned char*, int32_t)> g_fastRead{nullptr};

// REQUIRES: lock A and the leaf mutex.
void PushFront(OpenFileRecord** head, OpenFileRecord* r) {
  r->prev = nullptr;
  r->next = *head;
  if (*head != nullptr) (*head)->prev = r;
  *head = r;
}

// REQUIRES: lock A and the leaf mutex; `r` is on the list that starts at *head.
void Unlink(OpenFileRecord** head, OpenFileRecord* r) {
  if (r->prev != nullptr) r->prev->next = r->next;
  else *head = r->next;
  if (r->next != nullptr) r->next->prev = r->prev;
  r->next = nullptr;
  r->prev = nullptr;
}

// Records are made in chunks that are never given back while the library is loaded: chunk k
// holds kFirstChunkRecords << k records. So a pointer that falls on a record of a chunk can
// always be read, whatever became of the record, and a handle is checked without a lock:
// IsRecordSlot by address, then the record's `openOwner` word. Chunks are only added (under
// lock A), each published once its records are made.
constexpr int kChunkCount = 24;
constexpr size_t kFirstChunkRecords = 64;
std::atomic<OpenFileRecord*> g_chunks[kChunkCount] = {};

size_t ChunkRecords(int k) { return kFirstChunkRecords << k; }

// Whether `p` is the address of a record of one of the chunks. Never dereferences `p`.
bool IsRecordSlot(const void* p) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  for (int k = 0; k < kChunkCount; ++k) {
    const OpenFileRecord* base = g_chunks[k].load(std::memory_order_acquire);
    if (base == nullptr) return false;
    const uintptr_t b = reinterpret_cast<uintptr_t>(base);
    if (a >= b && a - b < ChunkRecords(k) * sizeof(OpenFileRecord)) {
      return (a - b) % sizeof(OpenFileRecord) == 0;
    }
  }
  return false;
}

// Adds a chunk of released records, with no read buffer, to the free list. False when the
// chunks are all made or the memory cannot be had. REQUIRES: lock A.
bool AddChunk() {
  int k = 0;
  while (k < kChunkCount && g_chunks[k].load(std::memory_order_relaxed) != nullptr) ++k;
  if (k == kChunkCount) return false;
  const size_t n = ChunkRecords(k);
  void* mem = ::operator new(n * sizeof(OpenFileRecord), std::nothrow);
  if (mem == nullptr) return false;
  OpenFileRecord* chunk = static_cast<OpenFileRecord*>(mem);
  std::lock_guard<std::mutex> leaf(Leaf());
  for (size_t i = n; i-- > 0;) {
    OpenFileRecord* r = new (&chunk[i]) OpenFileRecord();
    r->signature = kReleasedSignature;
    r->openOwner.store(kNoOwnerThread, std::memory_order_relaxed);
    PushFront(&g_registry.freeHead, r);
  }
  g_chunks[k].store(chunk, std::memory_order_release);
  return true;
}

// Whether `handle` is on the open list: exact under lock A, which every change of the open
// bit holds; a snapshot without it.
bool OnOpenList(const OpenFileRecord* handle) {
  return handle != nullptr && IsRecordSlot(handle) &&
         (handle->openOwner.load(std::memory_order_acquire) & kOpenBit) != 0;
}

void FreeText(char** text) {
  KdrRelease(*text);
  *text = nullptr;
}

bool SizeKnownPositive(const OpenFileRecord* f) { return f->fileSize > 0; }

// Moves `position` to `target`, keeping the read buffer when the target falls inside it.
void MoveTo(OpenFileRecord* f, int64_t target) {
  int64_t diff = target - f->position;  // both are 0 or more: no overflow
  int64_t at = static_cast<int64_t>(f->bufferPos) + diff;
  if (diff >= -static_cast<int64_t>(f->bufferPos) && at < f->bufferedBytes) {
    f->bufferPos = static_cast<int32_t>(at);
  } else {
    f->bufferedBytes = 0;
    f->bufferPos = 0;
  }
  f->position = target;
}

int FastCacheFileSize(OpenFileRecord* f) {
  int (*fn)(OpenFileRecord*) = g_fastSize.load(std::memory_order_acquire);
  return fn != nullptr ? fn(f) : -1;
}

int FastCacheRead(OpenFileRecord* f, unsigned char* destination, int32_t count) {
  auto fn = g_fastRead.load(std::memory_order_acquire);
  return fn != nullptr ? fn(f, destination, count) : 0;
}

// Acquires `handle` for an entry and gives it back when the entry returns.
class Acquired {
 public:
  explicit Acquired(OpenFileRecord* handle) : handle_(handle), result_(AcquireFileHandle(handle)) {}
  ~Acquired() {
    if (result_ == 0) UnacquireFileHandle(handle_);
  }
  int result() const { return result_; }
  Acquired(const Acquired&) = delete;
  Acquired& operator=(const Acquired&) = delete;

 private:
  OpenFileRecord* handle_;
  int result_;
};

}  // namespace

int CopyOpenFileText(const char* text, char** copy) {
  *copy = nullptr;
  if (text == nullptr) return 0;
  size_t n = std::strlen(text) + 1;
  char* c = static_cast<char*>(KdrAllocate(n));
  if (c == nullptr) return ERR_KDRCP_OUT_OF_MEMORY;
  std::memcpy(c, text, n);
  *copy = c;
  return 0;
}

OpenFileRecord* NewFileHandle() {
  ProxyLockGuard lock(ProxyLock::kA);
  int32_t want = gProxyConfig.bufferSize > 0 ? gProxyConfig.bufferSize : kDefaultBufferSize;
  if (g_registry.freeHead == nullptr && !AddChunk()) {
    KdrErrorCode(ERR_KDRCP_OUT_OF_MEMORY);
    return nullptr;
  }
  OpenFileRecord* r = g_registry.freeHead;
  if (r->bufferCapacity < want) {
    // A new record, or the buffer size grew since the record's buffer was made.
    unsigned char* b = static_cast<unsigned char*>(KdrAllocate(static_cast<size_t>(want)));
    if (b == nullptr) {
      KdrErrorCode(ERR_KDRCP_OUT_OF_MEMORY);
      return nullptr;
    }
    KdrRelease(r->readBuffer);
    r->readBuffer = b;
    r->bufferCapacity = want;
  }
  {
    std::lock_guard<std::mutex> leaf(Leaf());
    Unlink(&g_registry.freeHead, r);
  }
  r->serverHandle = kNoServerHandle;
  r->serverInstance = 0;
  r->volumeStamp = 0;
  r->volumeChanged = false;
  r->fileSize = -1;
  r->bufferedBytes = 0;
  r->bufferPos = 0;
  r->position = 0;
  r->ticket = nullptr;
  r->guid = nullptr;
  r->ticketKey = nullptr;
  r->ticketHold = nullptr;
  uint32_t me = ThreadId();
  std::lock_guard<std::mutex> leaf(Leaf());
  // Owned by its maker until handed out, so that termination on another thread never frees a
  // record that is still being set up or carries a transfer.
  r->openOwner.store(kOpenBit | me, std::memory_order_release);
  r->signature = kOpenFileSignature;
  PushFront(&g_registry.openHead, r);
  ++g_registry.openCount;
  return r;
}

void FreeFileHandle(OpenFileRecord* handle) {
  ProxyLockGuard lock(ProxyLock::kA);
  if (!OnOpenList(handle)) return;
  {
    std::lock_guard<std::mutex> leaf(Leaf());
    Unlink(&g_registry.openHead, handle);
    handle->signature = kReleasedSignature;
    handle->openOwner.store(kNoOwnerThread, std::memory_order_release);
    --g_registry.openCount;
  }
  // Off the open list, nobody else can reach the record: its fields are ours.
  FreeText(&handle->ticket);
  FreeText(&handle->guid);
  handle->ticketKey = nullptr;
  handle->serverHandle = kNoServerHandle;
  handle->bufferedBytes = 0;
  handle->bufferPos = 0;
  if (handle->ticketHold != nullptr) {
    ReleaseTicket(handle->ticketHold);
    handle->ticketHold = nullptr;
  }
  std::lock_guard<std::mutex> leaf(Leaf());
  PushFront(&g_registry.freeHead, handle);
}

bool IsFileHandle(const OpenFileRecord* handle) { return OnOpenList(handle); }

int AcquireFileHandle(OpenFileRecord* handle) {
  if (handle == nullptr || !IsRecordSlot(handle)) return ERR_KDRCP_BAD_FILE;
  const uint64_t me = ThreadId();
  uint64_t word = handle->openOwner.load(std::memory_order_acquire);
  for (;;) {
    if ((word & kOpenBit) == 0) return ERR_KDRCP_BAD_FILE;
    const uint64_t owner = word & kNoOwnerThread;
    if (owner == me) return 0;
    if (owner != kNoOwnerThread) return ERR_KDRCP_FILE_BUSY;
    // Claimed only while open and free: a close or termination that took the open bit first
    // makes this fail, and then the handle reads as closed.
    if (handle->openOwner.compare_exchange_weak(word, kOpenBit | me, std::memory_order_acq_rel,
                                                std::memory_order_acquire)) {
      return 0;
    }
  }
}

void UnacquireFileHandle(OpenFileRecord* handle) {
  if (handle == nullptr || !IsRecordSlot(handle)) return;
  // Only while open and ours: a record termination took off the list keeps its owner.
  uint64_t mine = kOpenBit | ThreadId();
  handle->openOwner.compare_exchange_strong(mine, kOpenBit | kNoOwnerThread,
                                            std::memory_order_release, std::memory_order_relaxed);
}

bool IsOpenFileOwner(uint32_t threadId) {
  std::lock_guard<std::mutex> leaf(Leaf());
  for (const OpenFileRecord* r = g_registry.openHead; r != nullptr; r = r->next) {
    if ((r->openOwner.load(std::memory_order_acquire) & kNoOwnerThread) == threadId) return true;
  }
  return false;
}

int OpenFileCount() {
  std::lock_guard<std::mutex> leaf(Leaf());
  return g_registry.openCount;
}

void SetFastCacheReader(const FastCacheReader* reader) {
  g_fastSize.store(reader != nullptr ? reader->fileSize : nullptr, std::memory_order_release);
  g_fastRead.store(reader != nullptr ? reader->read : nullptr, std::memory_order_release);
}

int FetchFileBytes(OpenFileRecord* handle, const char* tag, unsigned char* destination,
                   int32_t count) {
  if (handle == nullptr || destination == nullptr || count <= 0) return ERR_KDRCP_BAD_ARG;
  if (handle->volumeChanged) {
    KdrSetErrorText(kFileChangedText);
    return ERR_KDRCP_BAD_FILE;
  }
  int r = FastCacheRead(handle, destination, count);
  if (r < 0) return r;
  if (r >= count) return count;
  if (handle->fileSize >= 0 && handle->position + r >= handle->fileSize) {
    return r > 0 ? r : ERR_KDRCP_EOF;
  }
  if (handle->serverHandle == kNoServerHandle) {
    // From the store, when it was opened there.
    const int64_t knownSize = handle->fileSize;
    const uint64_t knownStamp = handle->volumeStamp;
    int h = OpenMsg(handle);
    if (h < 0) return h;
    handle->serverHandle = static_cast<uint16_t>(h);
    if (int c = CheckSameVolume(handle, knownSize, knownStamp); c < 0) return c;
    // The open is what may have told the server of a newer volume, and then it has dropped
    // the file's blocks: a handle opened through the fast cache learns it here, before the
    // pipe serves it bytes of the newer volume. So the store is asked once more.
    r = FastCacheRead(handle, destination, count);
    if (r < 0) return r;
    if (r >= count) return count;
    // The open told the size: a range that starts at the end needs no request.
    if (handle->fileSize >= 0 && handle->position + r >= handle->fileSize) {
      return r > 0 ? r : ERR_KDRCP_EOF;
    }
  }
  int got = GetDataMsg(handle, tag, destination, count, r);
  // A series the server ends before its first byte means the file ends here.
  return got == 0 ? ERR_KDRCP_EOF : got;
}

void ReleaseAllFileHandles() {
  const uint32_t me = ThreadId();
  for (;;) {
    OpenFileRecord* r = nullptr;
    uint64_t word = 0;
    {
      ProxyLockGuard lock(ProxyLock::kA);
      std::lock_guard<std::mutex> leaf(Leaf());
      r = g_registry.openHead;
      if (r == nullptr) break;
      Unlink(&g_registry.openHead, r);
      --g_registry.openCount;
      r->signature = kReleasedSignature;
      // The open bit goes in one step with reading the owner, so a thread that claims the
      // record at the same moment either got it first (and keeps it) or finds it closed.
      word = r->openOwner.load(std::memory_order_acquire);
      while (!r->openOwner.compare_exchange_weak(word, word & ~kOpenBit, std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
      }
    }
    const uint32_t owner = static_cast<uint32_t>(word & kNoOwnerThread);
    uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(r));
    if (owner != kNoOwnerThread && owner != me) {
      // Another thread is inside a call on it: leave the record to that thread.
      KdrLogPrintf("APPLICATION ERROR: File 0x%" PRIX64 " leaked, in use by thread ID %" PRId64
                   " when thread ID %" PRId64 " called VXN_Term.\n",
                   address, static_cast<int64_t>(owner), static_cast<int64_t>(me));
      continue;
    }
    if (r->serverHandle < kNoServerHandle) {
      KdrLogPrintf("WARNING: File 0x%" PRIX64 " was open when VXN_Term was called.\n", address);
      CloseMsg(r);
      r->serverHandle = kNoServerHandle;
    }
    if (r->ticketHold != nullptr) ReleaseTicket(r->ticketHold);
    r->ticketHold = nullptr;
    FreeText(&r->ticket);
    FreeText(&r->guid);
    r->ticketKey = nullptr;
    ProxyLockGuard lock(ProxyLock::kA);
    r->openOwner.store(kNoOwnerThread, std::memory_order_release);
    std::lock_guard<std::mutex> leaf(Leaf());
    PushFront(&g_registry.freeHead, r);
  }
  // The records stay (a late call on a stale handle reads them); their read buffers go, as
  // they came from the allocator of this initialisation.
  ProxyLockGuard lock(ProxyLock::kA);
  for (OpenFileRecord* r = g_registry.freeHead; r != nullptr; r = r->next) {
    KdrRelease(r->readBuffer);
    r->readBuffer = nullptr;
    r->bufferCapacity = 0;
    r->bufferedBytes = 0;
    r->bufferPos = 0;
  }
}

}  // namespace kdr

using namespace kdr;

KDR_EXPORT int VXN_OpenFile(const char* key, VXNFileHandle* handle) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (key == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  if (handle == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  *handle = nullptr;
  TicketEntry* entry = LookupTicket(key);
  if (entry == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  OpenFileRecord* f = NewFileHandle();
  if (f == nullptr) {
    ReleaseTicket(entry);
    return KdrErrorCode(ERR_KDRCP_TOO_MANY);
  }
  char* ticket = nullptr;
  char* guid = nullptr;
  if (CopyOpenFileText(entry->ticket, &ticket) != 0 ||
      CopyOpenFileText(entry->guid, &guid) != 0) {
    KdrRelease(ticket);
    KdrRelease(guid);
    FreeFileHandle(f);
    ReleaseTicket(entry);
    return ERR_KDRCP_OUT_OF_MEMORY;
  }
  {
    // VXN_GetFileGUID reads `guid` under lock A.
    ProxyLockGuard lock(ProxyLock::kA);
    f->ticket = ticket;
    f->guid = guid;
  }
  // The record keeps the registry's hold for as long as it references the entry's key.
  f->ticketKey = entry->key;
  f->ticketHold = entry;

  // The fast cache first: a file it holds is opened without the server.
  int r = FastCacheFileSize(f);
  if (r < 0) r = OpenMsg(f);
  if (r < 0) {
    KdrErrorCode(r);
    FreeFileHandle(f);
    return r;
  }
  UnacquireFileHandle(f);  // handed out: between calls a handle has no owner
  *handle = f;
  return 0;
}

KDR_EXPORT int VXN_RefreshFileTicket(VXNFileHandle handle, const char* ticket) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (!IsFileHandle(handle)) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  if (ticket == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  int r = AcquireFileHandle(handle);
  if (r != 0) return KdrErrorCode(r);
  if (!IsValidTicket(ticket)) {
    UnacquireFileHandle(handle);
    return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  }
  char* copy = nullptr;
  if (CopyOpenFileText(ticket, &copy) != 0) {
    UnacquireFileHandle(handle);
    return ERR_KDRCP_OUT_OF_MEMORY;
  }
  KdrRelease(handle->ticket);
  handle->ticket = copy;
  r = CloseMsg(handle);
  if (r < 0) {
    UnacquireFileHandle(handle);
    return KdrErrorCode(r);
  }
  handle->serverHandle = kNoServerHandle;
  const int64_t knownSize = handle->fileSize;
  const uint64_t knownStamp = handle->volumeStamp;
  r = OpenMsg(handle);
  if (r < 0) {
    KdrErrorCode(r);
    FreeFileHandle(handle);  // still ours: no other thread can be inside a call on it
    return r;
  }
  handle->serverHandle = static_cast<uint16_t>(r);
  // The ticket is new, the volume is not: a handle that now finds another volume keeps its
  // size, and its reads fail from here on.
  CheckSameVolume(handle, knownSize, knownStamp);
  KdrClearLastError();
  UnacquireFileHandle(handle);
  return 0;
}

KDR_EXPORT int VXN_FileSize(VXNFileHandle handle, int64_t* size) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (!IsFileHandle(handle)) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  if (size == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  *size = -1;
  Acquired owned(handle);
  if (owned.result() != 0) return KdrErrorCode(owned.result());
  if (handle->fileSize < 0) handle->fileSize = GetSizeMsg(handle);
  if (handle->fileSize >= 0) {
    *size = handle->fileSize;
    return 0;
  }
  // A failure code is kept as the size, so the next call asks again. A negative size the
  // server sent that is no code of ours reads as an unknown size.
  int64_t s = handle->fileSize;
  int code = s >= std::numeric_limits<int32_t>::min() ? static_cast<int>(s)
                                                       : ERR_KDRCP_UNKNOWN_FILE_SIZE;
  return KdrErrorCode(code);
}

KDR_EXPORT int VXN_GetSeekPointer(VXNFileHandle handle, int64_t* position) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (!IsFileHandle(handle)) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  if (position == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  Acquired owned(handle);
  if (owned.result() != 0) return KdrErrorCode(owned.result());
  *position = handle->position;
  return 0;
}

KDR_EXPORT int VXN_SeekRelative(VXNFileHandle handle, int64_t distance) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (!IsFileHandle(handle)) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  Acquired owned(handle);
  if (owned.result() != 0) return KdrErrorCode(owned.result());
  int64_t target = 0;
  if (__builtin_add_overflow(handle->position, distance, &target) || target < 0 ||
      (SizeKnownPositive(handle) && target > handle->fileSize)) {
    return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  }
  MoveTo(handle, target);
  return 0;
}

KDR_EXPORT int VXN_SeekAbsolute(VXNFileHandle handle, int64_t position) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  // One check of the handle, which also claims it: a closed or foreign handle fails first, a
  // busy one only after the arguments (the order of the codes callers see).
  Acquired owned(handle);
  if (owned.result() == ERR_KDRCP_BAD_FILE) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  if (position < 0) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  if (owned.result() != 0) return KdrErrorCode(owned.result());
  if (SizeKnownPositive(handle) && position > handle->fileSize) {
    return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  }
  MoveTo(handle, position);
  return 0;
}

KDR_EXPORT int VXN_ReadBytes(VXNFileHandle handle, const char* tag, int count, int* bytesRead,
                             void* buffer) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (bytesRead == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  // One check of the handle, as in VXN_SeekAbsolute.
  Acquired owned(handle);
  if (owned.result() == ERR_KDRCP_BAD_FILE) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  if (tag == nullptr || count < 0) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  if (buffer == nullptr) return KdrErrorCode(ERR_KDRCP_OUT_OF_MEMORY);
  if (owned.result() != 0) return KdrErrorCode(owned.result());
  if (count == 0) return 0;

  OpenFileRecord* f = handle;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  const int64_t start = f->position;
  const int32_t capacity = f->bufferCapacity;
  int32_t got = 0;
  int32_t available = f->bufferedBytes - f->bufferPos;
  if (available > 0 && available >= count) {
    std::memcpy(out, f->readBuffer + f->bufferPos, static_cast<size_t>(count));
    f->bufferPos += count;
    f->position += count;
    *bytesRead = count;
    return 0;
  }
  int32_t remaining = count;
  if (available > 0) {
    std::memcpy(out, f->readBuffer + f->bufferPos, static_cast<size_t>(available));
    f->position += available;
    got = available;
    remaining = count - available;
  }
  f->bufferedBytes = 0;
  f->bufferPos = 0;

  int outcome = 0;
  if (remaining <= capacity && !(SizeKnownPositive(f) && f->position >= f->fileSize)) {
    // What the store holds goes straight into the caller's buffer, whatever the size; the
    // read buffer serves what has to come over the pipe.
    int r = FastCacheRead(f, out + got, remaining);
    if (r > 0) {
      got += r;
      f->position += r;
      remaining -= r;
    }
  }
  if (remaining == 0) {
    // all of it came from the store
  } else if (SizeKnownPositive(f) && f->position >= f->fileSize) {
    outcome = ERR_KDRCP_EOF;
  } else {
    int32_t ask = remaining > capacity ? remaining : capacity;
    if (SizeKnownPositive(f) && ask > f->fileSize - f->position) {
      ask = static_cast<int32_t>(f->fileSize - f->position);
    }
    if (ask > capacity) {
      // Larger than the read buffer (so no more than `remaining`): straight into the caller's.
      int r = FetchFileBytes(f, tag, out + got, ask);
      if (r < 0) {
        outcome = r;
      } else {
        got += r;
        f->position += r;
      }
    } else {
      int r = FetchFileBytes(f, tag, f->readBuffer, ask);
      if (r < 0) {
        outcome = r;
      } else if (r >= remaining) {
        std::memcpy(out + got, f->readBuffer, static_cast<size_t>(remaining));
        f->bufferedBytes = r;
        f->bufferPos = remaining;
        got += remaining;
        f->position += remaining;
      } else if (r > 0) {
        std::memcpy(out + got, f->readBuffer, static_cast<size_t>(r));
        got += r;
        f->position += r;
      }
    }
  }
  *bytesRead = got;
  if (outcome == ERR_KDRCP_EOF && got > 0) return 0;
  if (outcome < 0) {
    f->position = start;
    return KdrErrorCode(outcome);
  }
  return 0;
}

KDR_EXPORT int VXN_ScheduleRange(VXNFileHandle handle, const char* tag, int64_t offset,
                                 int length) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (!IsFileHandle(handle)) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  if (tag == nullptr || offset < 0 || length < 0) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  if (length == 0) return 0;
  Acquired owned(handle);
  if (owned.result() != 0) return KdrErrorCode(owned.result());
  if (SizeKnownPositive(handle) && offset >= handle->fileSize) {
    return KdrErrorCode(ERR_KDRCP_EOF);
  }
  int32_t amount = length > handle->bufferCapacity ? length : handle->bufferCapacity;
  if (SizeKnownPositive(handle) && amount > handle->fileSize - offset) {
    amount = static_cast<int32_t>(handle->fileSize - offset);
  }
  return KdrErrorCode(ReadAheadMsg(handle, tag, offset, amount));
}

KDR_EXPORT int VXN_CloseFileHandlePointer(VXNFileHandle handle) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (!IsFileHandle(handle)) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  int r = AcquireFileHandle(handle);
  if (r != 0) return KdrErrorCode(r);
  CloseMsg(handle);  // nothing to do for a file not open at the server; a failure changes nothing
  handle->serverHandle = kNoServerHandle;
  FreeFileHandle(handle);
  return 0;
}

KDR_EXPORT int VXN_GetFileGUID(VXNFileHandle handle, char** guid) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (handle == nullptr || guid == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  // Not acquired: another thread may be inside a call on the handle. Lock A keeps the record
  // on the open list, and so its GUID alive, while it is copied.
  ProxyLockGuard lock(ProxyLock::kA);
  if (!IsFileHandle(handle)) return KdrErrorCode(ERR_KDRCP_BAD_FILE);
  *guid = nullptr;
  return CopyOpenFileText(handle->guid, guid);
}
