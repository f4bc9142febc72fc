// Named objects on POSIX: one file per name in the runtime directory R.
//
// Existence. Every open handle holds a shared flock() on its own open file description of the
// object's file; the kernel drops it when the process dies. "Some handle holds the object" is
// therefore "an exclusive flock cannot be had". A file whose exclusive lock can be had is a
// leftover of handles that are all gone: create reclaims it, open removes it and answers
// "not found", and the last close removes it.
//
// Atomicity. The test above and what follows it (initialising, taking the shared lock,
// removing) run under the guard lock, an exclusive flock on R/.objects held by the creating,
// opening or closing handle, so two processes never both see a name as free. It is held only
// inside one create, open or close call, never while a thread waits for a named mutex, so it
// cannot take part in a deadlock.
//
// File layouts (native byte order; the files never leave the machine):
//   R/map.<name>:   MapRecord, then path_len bytes of the backing file's absolute path.
//   R/mutex.<name>: MutexRecord, its pthread mutex mapped MAP_SHARED by every handle.
// The magic word is written last, so a record with a good magic is complete.

#include "platform/shared_objects.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <dirent.h>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/runtime_dir.h"

#if defined(KDR_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace kdr::platform {
namespace {

constexpr char kMapPrefix[] = "map.";
constexpr char kMutexPrefix[] = "mutex.";
constexpr char kGuardFile[] = "/.objects";

constexpr uint32_t kMapMagic = 0x4D52444Bu;    // "KDRM"
constexpr uint32_t kMutexMagic = 0x5852444Bu;  // "KDRX"

struct MapRecord {
  uint32_t magic;
  uint32_t path_len;  // bytes of the path that follows, without a NUL
  uint64_t size;      // the object's size in bytes
};

struct MutexRecord {
  uint32_t magic;
  uint32_t reserved;
  pthread_mutex_t mutex;
};

// ---- System calls, each behind the fault seam ----------------------------------------------

int OpenFd(const char* path, int flags, int* fd) {
  *fd = -1;
  if (FaultHit(Sys::kOpen)) return errno;
  int r;
  do {
    r = open(path, flags | O_CLOEXEC, 0600);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return errno;
  *fd = r;
  return 0;
}

// Closes once; POSIX leaves the descriptor closed after EINTR, so it is never retried.
int CloseFd(int fd) {
  if (fd < 0) return 0;
  return close(fd) == 0 ? 0 : errno;
}

int Flock(int fd, int op) {
  if (FaultHit(Sys::kFlock)) return errno;
  int r;
  do {
    r = flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : errno;
}

int Truncate(int fd, off_t size) {
  if (FaultHit(Sys::kFtruncate)) return errno;
  int r;
  do {
    r = ftruncate(fd, size);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : errno;
}

int FileSizeOf(int fd, uint64_t* size) {
  if (FaultHit(Sys::kFstat)) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int WriteAll(int fd, const void* buf, size_t len, off_t offset) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    if (FaultHit(Sys::kPwrite)) return errno;
    ssize_t n = pwrite(fd, p, len, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    len -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

// Reads exactly `len` bytes; a short file is EINVAL (a damaged record).
int ReadAll(int fd, void* buf, size_t len, off_t offset) {
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    if (FaultHit(Sys::kPread)) return errno;
    ssize_t n = pread(fd, p, len, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EINVAL;
    p += n;
    len -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

int Map(size_t len, bool writable, int fd, off_t offset, void** addr) {
  *addr = nullptr;
  if (FaultHit(Sys::kMmap)) return errno;
  void* p = mmap(nullptr, len, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd,
                 offset);
  if (p == MAP_FAILED) return errno;
  *addr = p;
  return 0;
}

int Unmap(void* addr, size_t len) { return munmap(addr, len) == 0 ? 0 : errno; }

int Unlink(const std::string& path) {
  if (FaultHit(Sys::kUnlink)) return errno;
  return unlink(path.c_str()) == 0 ? 0 : errno;
}

// Asked of the kernel once per thread (every wait and release of a mutex asks for it).
uint32_t ThreadTag() {
  static thread_local uint32_t tag = 0;
  if (tag == 0) tag = static_cast<uint32_t>(gettid());
  return tag;
}

// Whether thread `tag` of this process still runs (a reused id counts as running).
bool ThreadAlive(uint32_t tag) {
  return tgkill(getpid(), static_cast<pid_t>(tag), 0) == 0 || errno != ESRCH;
}

// ---- The guard lock and the object files ---------------------------------------------------

// Holds the exclusive guard lock of the directory that contains `object_path`.
class GuardLock {
 public:
  GuardLock() = default;
  GuardLock(const GuardLock&) = delete;
  GuardLock& operator=(const GuardLock&) = delete;
  ~GuardLock() { CloseFd(fd_); }  // closing drops the lock

  int Acquire(const std::string& object_path) {
    std::string guard = object_path.substr(0, object_path.rfind('/')) + kGuardFile;
    int err = OpenFd(guard.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, &fd_);
    if (err != 0) return err;
    err = Flock(fd_, LOCK_EX);
    if (err != 0) {
      CloseFd(fd_);
      fd_ = -1;
    }
    return err;
  }

 private:
  int fd_ = -1;
};

// What a create or open found under the guard lock.
struct Claim {
  int fd = -1;
  bool fresh = false;  // true: no live handle held the file; this descriptor holds it exclusively
};

// Opens the object file at `path` (creating it when `create`) and finds out whether a live
// handle holds it. REQUIRES: the guard lock is held.
int ClaimObjectFile(const std::string& path, bool create, Claim* claim) {
  int err = OpenFd(path.c_str(), O_RDWR | O_NOFOLLOW | (create ? O_CREAT : 0), &claim->fd);
  if (err != 0) return err;
  err = Flock(claim->fd, LOCK_EX | LOCK_NB);
  if (err == 0) {
    claim->fresh = true;
    return 0;
  }
  if (err == EWOULDBLOCK) return 0;  // held by another handle
  CloseFd(claim->fd);
  claim->fd = -1;
  return err;
}

// Turns the exclusive lock of a freshly set-up object into the shared lock every handle holds.
// REQUIRES: the guard lock is held, so nobody can observe the moment between the two locks.
int HoldShared(int fd) { return Flock(fd, LOCK_SH | LOCK_NB); }

// Drops a claimed file that must not stay: removes its name when this descriptor holds it
// exclusively (nobody else has it), then closes it. REQUIRES: the guard lock is held.
void Abandon(const std::string& path, const Claim& claim) {
  if (claim.fresh) Unlink(path);
  CloseFd(claim.fd);
}

// Closes one handle's descriptor; when no other handle holds the object, removes its name.
int ReleaseObjectFile(const std::string& path, int fd) {
  GuardLock guard;
  if (guard.Acquire(path) == 0) {
    // Converting the shared lock may drop it before failing; the descriptor is closed next
    // anyway, and the guard keeps every create and open out meanwhile.
    if (Flock(fd, LOCK_EX | LOCK_NB) == 0) Unlink(path);
  }
  return CloseFd(fd);
}

// A refused or unusable runtime directory makes an open fail as an absent object would.
int OpenPathError(int err) {
  return (err == EACCES || err == ENOTDIR || err == ENOENT) ? kErrorFileNotFound : err;
}

// Creates (`create`) or opens a named object of the kind `prefix` and hands it out in *out:
// its runtime path, the guard lock held throughout, its object file claimed (when creating it
// must be fresh, else kErrorAlreadyExists; when opening a live handle must hold it, else
// kErrorFileNotFound), then `setup` (initialise or attach) and the shared hold. On failure the
// claim is abandoned, `release` frees the object and *out is left alone.
template <typename Object, typename Setup>
int ClaimNamedObject(std::string_view prefix, std::string_view name, bool create, Setup setup,
                     void (*release)(Object*), Object** out) {
  auto* obj = new (std::nothrow) Object;
  if (obj == nullptr) return ENOMEM;
  int err = RuntimePath(prefix, name, kMaxRuntimePath, &obj->path);
  if (err != 0 && !create) {
    release(obj);
    return OpenPathError(err);
  }
  GuardLock guard;
  if (err == 0) err = guard.Acquire(obj->path);
  if (err != 0) {
    release(obj);
    return err;
  }
  Claim claim;
  err = ClaimObjectFile(obj->path, create, &claim);
  if (err == 0 && create && !claim.fresh) err = kErrorAlreadyExists;
  // Opening a file nobody holds finds a leftover, not an object.
  if (err == 0 && !create && claim.fresh) err = kErrorFileNotFound;
  if (err == 0) {
    obj->fd = claim.fd;
    err = setup(obj);
    if (err == 0) err = HoldShared(claim.fd);
  }
  if (err != 0) {
    if (claim.fd >= 0) Abandon(obj->path, claim);
    release(obj);
    return !create && err == ENOENT ? kErrorFileNotFound : err;
  }
  *out = obj;
  return 0;
}

size_t PageSize() {
  long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(page) : 4096;
}

}  // namespace

// ---- Mapping objects ----------------------------------------------------------------------

struct MappingObject {
  int fd = -1;          // the object file, holding the shared lock
  int file_fd = -1;     // the backing file
  uint64_t size = 0;
  bool writable = false;
  std::string path;     // of the object file
};

struct MappedView {
  void* base = nullptr;
  size_t length = 0;
};

size_t AllocationGranularity() {
  static const size_t page = PageSize();
  return page;
}

namespace {

void FreeMapping(MappingObject* obj) {
  CloseFd(obj->file_fd);
  delete obj;
}

// Opens the backing file, fixes the object's size and writes the record.
int InitMapping(MappingObject* obj, const char* file_path, uint64_t size) {
  int err = OpenFd(file_path, O_RDWR, &obj->file_fd);
  if (err != 0) return err;
  obj->writable = true;
  uint64_t file_size = 0;
  err = FileSizeOf(obj->file_fd, &file_size);
  if (err != 0) return err;
  if (size == 0) size = file_size;
  if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) return EINVAL;
  if (size > file_size) {
    err = Truncate(obj->file_fd, static_cast<off_t>(size));
    if (err != 0) return err;
  }
  obj->size = size;

  char* abs = realpath(file_path, nullptr);
  if (abs == nullptr) return errno;
  std::string backing(abs);
  free(abs);

  MapRecord rec{0, static_cast<uint32_t>(backing.size()), size};
  err = Truncate(obj->fd, 0);
  if (err == 0) err = WriteAll(obj->fd, &rec, sizeof rec, 0);
  if (err == 0) err = WriteAll(obj->fd, backing.data(), backing.size(), sizeof rec);
  rec.magic = kMapMagic;
  if (err == 0) err = WriteAll(obj->fd, &rec.magic, sizeof rec.magic, 0);
  return err;
}

// Reads the record of a live object and opens its backing file.
int AttachMapping(MappingObject* obj) {
  MapRecord rec;
  int err = ReadAll(obj->fd, &rec, sizeof rec, 0);
  if (err != 0) return err;
  if (rec.magic != kMapMagic || rec.path_len == 0 || rec.path_len >= PATH_MAX ||
      rec.size == 0 || rec.size > static_cast<uint64_t>(INT64_MAX)) {
    return EINVAL;
  }
  std::string backing(rec.path_len, '\0');
  err = ReadAll(obj->fd, backing.data(), backing.size(), sizeof rec);
  if (err != 0) return err;
  obj->size = rec.size;
  err = OpenFd(backing.c_str(), O_RDWR, &obj->file_fd);
  obj->writable = err == 0;
  if (err == EACCES || err == EROFS) err = OpenFd(backing.c_str(), O_RDONLY, &obj->file_fd);
  return err;
}

}  // namespace

int CreateMappingObject(std::string_view name, const char* file_path, uint64_t size,
                        MappingObject** out) {
  if (out == nullptr) return EINVAL;
  *out = nullptr;
  if (file_path == nullptr) return EINVAL;
  return ClaimNamedObject(
      kMapPrefix, name, /*create=*/true,
      [&](MappingObject* obj) { return InitMapping(obj, file_path, size); }, FreeMapping, out);
}

int OpenMappingObject(std::string_view name, MappingObject** out) {
  if (out == nullptr) return EINVAL;
  *out = nullptr;
  return ClaimNamedObject(kMapPrefix, name, /*create=*/false, AttachMapping, FreeMapping, out);
}

uint64_t MappingObjectSize(const MappingObject* obj) { return obj == nullptr ? 0 : obj->size; }

int CloseMappingObject(MappingObject* obj) {
  if (obj == nullptr) return 0;
  int err = ReleaseObjectFile(obj->path, obj->fd);
  int err2 = CloseFd(obj->file_fd);
  delete obj;
  return err != 0 ? err : err2;
}

int MapView(MappingObject* obj, uint64_t offset, size_t length, bool writable,
            MappedView** view, void** data) {
  if (view == nullptr || data == nullptr) return EINVAL;
  *view = nullptr;
  *data = nullptr;
  if (obj == nullptr) return EINVAL;
  if (offset >= obj->size) return EINVAL;
  if (length == 0) length = static_cast<size_t>(obj->size - offset);
  if (length > obj->size - offset) return EINVAL;
  if (writable && !obj->writable) return EACCES;
  uint64_t extra = offset % AllocationGranularity();
  auto* v = new (std::nothrow) MappedView;
  if (v == nullptr) return ENOMEM;
  v->length = length + static_cast<size_t>(extra);
  int err = Map(v->length, writable, obj->file_fd, static_cast<off_t>(offset - extra), &v->base);
  if (err != 0) {
    delete v;
    return err;
  }
  *view = v;
  *data = static_cast<char*>(v->base) + extra;
  return 0;
}

void* ViewBase(const MappedView* view) { return view == nullptr ? nullptr : view->base; }

int UnmapView(MappedView* view) {
  if (view == nullptr) return 0;
  int err = Unmap(view->base, view->length);
  delete view;
  return err;
}

int MapMemory(size_t length, void** addr, bool hugePages) {
  *addr = nullptr;
  if (length == 0) return EINVAL;
  if (FaultHit(Sys::kMmap)) return errno;
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return errno;
  if (hugePages) (void)madvise(p, length, MADV_HUGEPAGE);  // a hint: fails where they are off
  *addr = p;
  return 0;
}

void UnmapMemory(void* addr, size_t length) {
  if (addr != nullptr) (void)Unmap(addr, length);
}

// ---- Named mutexes ------------------------------------------------------------------------

struct NamedMutex {
  int fd = -1;
  MutexRecord* rec = nullptr;
  std::string path;
  // Ownership taken through this handle: the owner thread's tag (0: none) and its depth. Only
  // the owner thread changes them, while it owns the mutex; CloseNamedMutex reads them.
  std::atomic<uint32_t> owner{0};
  int depth = 0;
};

namespace {

void FreeMutex(NamedMutex* m) {
  if (m->rec != nullptr) Unmap(m->rec, sizeof(MutexRecord));
  delete m;
}

// Gives a fresh (or reclaimed) file a new mutex that nobody owns.
int InitMutex(NamedMutex* m) {
  // Emptying first throws away whatever a dead holder left, including a locked mutex.
  int err = Truncate(m->fd, 0);
  if (err == 0) err = Truncate(m->fd, sizeof(MutexRecord));
  void* p = nullptr;
  if (err == 0) err = Map(sizeof(MutexRecord), true, m->fd, 0, &p);
  if (err != 0) return err;
  m->rec = static_cast<MutexRecord*>(p);

  pthread_mutexattr_t attr;
  err = pthread_mutexattr_init(&attr);
  if (err != 0) return err;
  err = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (err == 0) err = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (err == 0) err = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (err == 0) err = pthread_mutex_init(&m->rec->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (err != 0) return err;
  // Openers read the record only after taking the guard lock this creator still holds.
  m->rec->magic = kMutexMagic;
  return 0;
}

int AttachMutex(NamedMutex* m) {
  uint64_t size = 0;
  int err = FileSizeOf(m->fd, &size);
  if (err != 0) return err;
  if (size < sizeof(MutexRecord)) return EINVAL;
  void* p = nullptr;
  err = Map(sizeof(MutexRecord), true, m->fd, 0, &p);
  if (err != 0) return err;
  m->rec = static_cast<MutexRecord*>(p);
  return m->rec->magic == kMutexMagic ? 0 : EINVAL;
}

// Counts one more level owned by the calling thread. A count left by another thread is void:
// that thread let the mutex go or died holding it (the wait then reported it abandoned).
void NoteOwned(NamedMutex* m) {
  uint32_t self = ThreadTag();
  if (m->owner.load(std::memory_order_relaxed) != self) {
    m->depth = 0;
    m->owner.store(self, std::memory_order_relaxed);
  }
  ++m->depth;
}

#if defined(KDR_TSAN)
// A timed wait that finds the owner dead. When that owner was a thread of this process,
// ThreadSanitizer still counts the mutex as its and calls this lock a double lock; it has no
// annotation for the repair its own interceptor does. tests/tsan.supp names this function.
__attribute__((noinline)) void TsanAbandonedLock(pthread_mutex_t* mu) {
  __tsan_mutex_post_lock(mu, __tsan_mutex_try_lock, 0);
}
#endif

}  // namespace

int CreateNamedMutex(std::string_view name, NamedMutex** out) {
  if (out == nullptr) return EINVAL;
  *out = nullptr;
  return ClaimNamedObject(kMutexPrefix, name, /*create=*/true, InitMutex, FreeMutex, out);
}

int OpenNamedMutex(std::string_view name, NamedMutex** out) {
  if (out == nullptr) return EINVAL;
  *out = nullptr;
  return ClaimNamedObject(kMutexPrefix, name, /*create=*/false, AttachMutex, FreeMutex, out);
}

int WaitNamedMutex(NamedMutex* mutex, uint32_t timeout_ms, int* error) {
  if (mutex == nullptr) {
    if (error != nullptr) *error = EINVAL;
    return kWaitFailed;
  }
  if (FaultHit(Sys::kMutexLock)) {
    if (error != nullptr) *error = errno;
    return kWaitFailed;
  }
  pthread_mutex_t* mu = &mutex->rec->mutex;
  int rc;
  if (timeout_ms == kInfiniteWait) {
    // The plain lock, not a far deadline: ThreadSanitizer models only this one.
    rc = pthread_mutex_lock(mu);
  } else {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
#if defined(KDR_TSAN)
    // ThreadSanitizer does not intercept the timed lock; tell it what happened, or it takes
    // the release for an unlock of an unlocked mutex and misses the ordering it gives.
    __tsan_mutex_pre_lock(mu, __tsan_mutex_try_lock);
#endif
    rc = pthread_mutex_clocklock(mu, CLOCK_MONOTONIC, &deadline);
#if defined(KDR_TSAN)
    if (rc == EOWNERDEAD) {
      TsanAbandonedLock(mu);
    } else {
      __tsan_mutex_post_lock(
          mu, rc == 0 ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
          0);
    }
#endif
  }
  switch (rc) {
    case 0:
      NoteOwned(mutex);
      return kWaitObject0;
    case EOWNERDEAD:
      // The holder died. Mark the mutex usable again; the caller owns it and must be told.
      pthread_mutex_consistent(mu);
      NoteOwned(mutex);
      return kWaitAbandoned;
    case ETIMEDOUT:
      return kWaitTimeout;
    default:
      if (error != nullptr) *error = rc;
      return kWaitFailed;
  }
}

int ReleaseNamedMutex(NamedMutex* mutex) {
  if (mutex == nullptr) return EINVAL;
  // Ownership is checked on the handle first: a thread that does not own the mutex through
  // it (another thread, another process, or nobody) is refused without touching the mutex.
  if (mutex->owner.load(std::memory_order_relaxed) != ThreadTag() || mutex->depth == 0) {
    return EPERM;
  }
  int rc = pthread_mutex_unlock(&mutex->rec->mutex);
  if (rc != 0) return rc;
  if (--mutex->depth == 0) mutex->owner.store(0, std::memory_order_relaxed);
  return 0;
}

int CloseNamedMutex(NamedMutex* mutex) {
  if (mutex == nullptr) return 0;
  uint32_t owner = mutex->owner.load(std::memory_order_relaxed);
  if (owner == ThreadTag()) {
    while (mutex->depth > 0 && ReleaseNamedMutex(mutex) == 0) {
    }
    owner = 0;
  }
  if (owner != 0 && ThreadAlive(owner)) {
    // Another live thread of this process owns it (a misuse of the handle). Its robust list
    // points into this mapping, so the mapping must outlive it: keep it rather than unmap.
    mutex->rec = nullptr;
  }
  int err = ReleaseObjectFile(mutex->path, mutex->fd);
  FreeMutex(mutex);
  return err;
}

// ---- Owner marks ---------------------------------------------------------------------------

struct OwnerMark {
  int fd = -1;
  bool creator = false;
  std::string path;
};

namespace {
constexpr char kOwnerPrefix[] = "owner.";
}  // namespace

int CreateOwnerMark(std::string_view name, OwnerMark** out) {
  if (out == nullptr) return EINVAL;
  *out = nullptr;
  auto* mark = new (std::nothrow) OwnerMark;
  if (mark == nullptr) return ENOMEM;
  mark->creator = true;
  int err = RuntimePath(kOwnerPrefix, name, kMaxRuntimePath, &mark->path);
  GuardLock guard;
  if (err == 0) err = guard.Acquire(mark->path);
  Claim claim;
  if (err == 0) err = ClaimObjectFile(mark->path, true, &claim);
  if (err == 0 && !claim.fresh) err = kErrorAlreadyExists;
  if (err != 0) {
    CloseFd(claim.fd);
    delete mark;
    return err;
  }
  mark->fd = claim.fd;  // keeps the exclusive lock
  *out = mark;
  return 0;
}

int OpenOwnerMark(std::string_view name, OwnerMark** out) {
  if (out == nullptr) return EINVAL;
  *out = nullptr;
  auto* mark = new (std::nothrow) OwnerMark;
  if (mark == nullptr) return ENOMEM;
  int err = RuntimePath(kOwnerPrefix, name, kMaxRuntimePath, &mark->path);
  if (err == 0) err = OpenFd(mark->path.c_str(), O_RDONLY | O_NOFOLLOW, &mark->fd);
  if (err == 0 && !OwnerMarkHeld(mark)) err = kErrorFileNotFound;
  if (err != 0) {
    CloseFd(mark->fd);
    delete mark;
    return OpenPathError(err);
  }
  *out = mark;
  return 0;
}

bool OwnerMarkHeld(OwnerMark* mark) {
  if (mark == nullptr || mark->fd < 0) return false;
  if (mark->creator) return true;
  int err = Flock(mark->fd, LOCK_SH | LOCK_NB);
  if (err == EWOULDBLOCK) return true;
  if (err == 0) Flock(mark->fd, LOCK_UN);
  return false;
}

void CloseOwnerMark(OwnerMark* mark) {
  if (mark == nullptr) return;
  if (mark->creator) {
    GuardLock guard;
    if (guard.Acquire(mark->path) == 0) Unlink(mark->path);
  }
  CloseFd(mark->fd);
  delete mark;
}

namespace {

// The file names in R (`dir`) of the mappings, mutexes and owner marks whose names start with
// `prefix`. False when R cannot be listed.
bool ListNamedObjects(const std::string& dir, std::string_view prefix,
                      std::vector<std::string>* names) {
  const std::string mangled = MangleRuntimeName(prefix);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (dirent* e = readdir(d)) {
    std::string_view name = e->d_name;
    for (std::string_view kind : {kMapPrefix, kMutexPrefix, kOwnerPrefix}) {
      if (name.starts_with(kind) && name.substr(kind.size()).starts_with(mangled))
        names->emplace_back(name);
    }
  }
  closedir(d);
  return true;
}

}  // namespace

int SweepNamedObjects(std::string_view prefix) {
  std::string dir;
  if (RuntimeDir(&dir) != 0) return 0;
  std::vector<std::string> names;
  ListNamedObjects(dir, prefix, &names);
  int removed = 0;
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    GuardLock guard;
    if (guard.Acquire(path) != 0) continue;
    int fd = -1;
    if (OpenFd(path.c_str(), O_RDONLY | O_NOFOLLOW, &fd) != 0) continue;
    if (Flock(fd, LOCK_EX | LOCK_NB) == 0 && Unlink(path) == 0) ++removed;
    CloseFd(fd);
  }
  return removed;
}

int HeldNamedObjects(std::string_view prefix, std::string_view own) {
  std::string dir;
  if (RuntimeDir(&dir) != 0) return 1;
  const std::string mine = MangleRuntimeName(own);
  std::vector<std::string> names, objects, marks;  // file names in R
  if (!ListNamedObjects(dir, prefix, &names)) return 1;
  for (std::string& name : names) {
    (std::string_view(name).starts_with(kOwnerPrefix) ? marks : objects).push_back(std::move(name));
  }
  // One look under the guard lock: no object or mark is made, opened or closed meanwhile.
  GuardLock guard;
  if (guard.Acquire(dir + kGuardFile) != 0) return 1;
  // A mark's creator holds it exclusively; watchers only ever test it with a shared lock.
  std::vector<std::string> live;
  for (const std::string& mark : marks) {
    int fd = -1;
    if (OpenFd((dir + "/" + mark).c_str(), O_RDONLY | O_NOFOLLOW, &fd) != 0) continue;
    if (Flock(fd, LOCK_SH | LOCK_NB) == EWOULDBLOCK)
      live.push_back(mark.substr(sizeof kOwnerPrefix - 1));
    CloseFd(fd);
  }
  int held = 0;
  for (const std::string& object : objects) {
    std::string_view name = object;
    name.remove_prefix(name.find('.') + 1);  // the kind ends at the first dot
    if (name.starts_with(mine)) continue;
    bool owned = false;
    for (const std::string& l : live) owned = owned || name.starts_with(l);
    if (owned) continue;
    int fd = -1;
    int err = OpenFd((dir + "/" + object).c_str(), O_RDONLY | O_NOFOLLOW, &fd);
    if (err == ENOENT) continue;  // its last handle closed
    if (err == 0) err = Flock(fd, LOCK_EX | LOCK_NB);
    if (err != 0) ++held;
    CloseFd(fd);
  }
  return held;
}

}  // namespace kdr::platform
