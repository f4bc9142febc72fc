#include "platform/fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/durable.h"
#include "platform/fault.h"

namespace kdr::platform {
namespace {

// strerror_r comes in two shapes (XSI: int, GNU: char*); these pick the text out of either.
[[maybe_unused]] const char* PickText(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* PickText(const char* text, const char*) { return text; }

// 64 bits nobody else can predict: the kernel's random source, else (no getrandom) the clock
// and a counter mixed, which still differs for every call of this process.
uint64_t RandomBits() {
  uint64_t v = 0;
  ssize_t n;
  do {
    n = ::getrandom(&v, sizeof v, GRND_NONBLOCK);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof v)) return v;
  static std::atomic<uint64_t> counter{0};
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  v = (static_cast<uint64_t>(ts.tv_sec) << 30) ^ static_cast<uint64_t>(ts.tv_nsec) ^
      (static_cast<uint64_t>(::getpid()) << 48) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  v ^= v >> 31;
  return v * 0xBF58476D1CE4E5B9ull;
}

}  // namespace

int OpenFile(const char* path, FileMode mode, int* fd) {
  *fd = kNoFile;
  if (FaultHit(Sys::kOpen)) return errno;
  int flags = O_CLOEXEC;
  switch (mode) {
    case FileMode::kReadWrite: flags |= O_RDWR; break;
    case FileMode::kReadOnly: flags |= O_RDONLY; break;
    case FileMode::kCreateTruncate:
    case FileMode::kCreatePrivate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case FileMode::kAppend: flags |= O_WRONLY | O_APPEND; break;
    case FileMode::kAppendPrivate: flags |= O_WRONLY | O_APPEND | O_CREAT; break;
    // Non-blocking, so that opening a FIFO nobody writes returns at once; the type is checked
    // on the open descriptor, so a name swapped in between cannot pass.
    case FileMode::kReadRegular: flags |= O_RDONLY | O_NONBLOCK | O_NOCTTY; break;
  }
  bool priv = mode == FileMode::kCreatePrivate || mode == FileMode::kAppendPrivate;
  int f;
  do {
    f = ::open(path, flags, priv ? 0600 : 0644);
  } while (f < 0 && errno == EINTR);
  if (f < 0) return errno;
  if (mode == FileMode::kReadRegular) {
    struct stat st;
    int err = FaultHit(Sys::kFstat) ? errno : (::fstat(f, &st) != 0 ? errno : 0);
    if (err == 0 && !S_ISREG(st.st_mode)) err = EINVAL;
    if (err == 0 && ::fcntl(f, F_SETFL, O_RDONLY) != 0) err = errno;  // reads block as usual
    if (err != 0) {
      ::close(f);
      return err;
    }
  }
  *fd = f;
  return 0;
}

int CreateTempFile(const std::string& dir, const std::string& prefix, FileMode mode,
                   std::string* path, int* fd) {
  *fd = kNoFile;
  if (mode != FileMode::kCreatePrivate && mode != FileMode::kCreateTruncate) return EINVAL;
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  std::string base = dir;
  if (base.empty() || base.back() != '/') base += '/';
  base += prefix;
  // A clash with a name that exists (planted or not) draws another name; a handful of draws
  // of 64 bits each fail together only when something else is wrong.
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(RandomBits()));
    std::string name = base + suffix;
    if (FaultHit(Sys::kOpen)) return errno;
    int f;
    do {
      f = ::open(name.c_str(), flags, mode == FileMode::kCreatePrivate ? 0600 : 0644);
    } while (f < 0 && errno == EINTR);
    if (f >= 0) {
      *fd = f;
      *path = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int MakeFilePrivate(int fd) {
  // Only a regular file: a log sent to /dev/null or a FIFO must not change a shared node.
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) return 0;
  return ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
}

int CloseFile(int fd) {
  if (FaultHit(Sys::kClose)) return errno;
  // POSIX leaves the state of fd unspecified after EINTR and Linux always closes it:
  // never retry, report only real errors.
  if (::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

int ReadFileAt(int fd, uint64_t offset, void* buf, size_t len, size_t* done) {
  *done = 0;
  auto* p = static_cast<char*>(buf);
  while (*done < len) {
    if (FaultHit(Sys::kPread)) return errno;
    ssize_t n = ::pread(fd, p + *done, len - *done, static_cast<off_t>(offset + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    *done += static_cast<size_t>(n);
  }
  return 0;
}

int WriteFileAt(int fd, uint64_t offset, const void* buf, size_t len) {
  auto* p = static_cast<const char*>(buf);
  size_t put = 0;
  while (put < len) {
    if (FaultHit(Sys::kPwrite)) return errno;
    ssize_t n = ::pwrite(fd, p + put, len - put, static_cast<off_t>(offset + put));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    put += static_cast<size_t>(n);
  }
  return 0;
}

int AppendFile(int fd, const void* buf, size_t len) {
  auto* p = static_cast<const char*>(buf);
  size_t put = 0;
  while (put < len) {
    if (FaultHit(Sys::kWrite)) return errno;
    ssize_t n = ::write(fd, p + put, len - put);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    put += static_cast<size_t>(n);
  }
  return 0;
}

int FileSize(int fd, uint64_t* size) {
  *size = 0;
  if (FaultHit(Sys::kFstat)) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int StatPath(const char* path, uint64_t* size) {
  *size = 0;
  if (FaultHit(Sys::kStat)) return errno;
  struct stat st;
  if (::stat(path, &st) != 0) return errno;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int SetFileSize(int fd, uint64_t size) {
  if (FaultHit(Sys::kFtruncate)) return errno;
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

int DeleteFile(const char* path) {
  if (FaultHit(Sys::kUnlink)) return errno;
  return ::unlink(path) == 0 ? 0 : errno;
}

int ReplaceFile(const char* path, const void* data, size_t len, FileMode mode, bool durable) {
  std::string whole(path);
  size_t slash = whole.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : whole.substr(0, slash));
  std::string name = slash == std::string::npos ? whole : whole.substr(slash + 1);
  std::string tmp;
  int fd = kNoFile;
  // ".tmp.<pid>.": whoever finds it after a crash can tell whether its writer still runs.
  int rc = CreateTempFile(dir, ".tmp." + std::to_string(::getpid()) + "." + name + ".", mode, &tmp,
                          &fd);
  if (rc != 0) return rc;
  rc = WriteFileAt(fd, 0, data, len);
  // On the disk before its name: a power cut must never leave the new name on lost bytes.
  if (rc == 0 && durable) rc = SyncFile(fd);
  int crc = CloseFile(fd);
  if (rc == 0) rc = crc;
  if (rc == 0) rc = RenamePath(tmp.c_str(), path);
  if (rc != 0) {
    ::unlink(tmp.c_str());
    return rc;
  }
  // The name is in place now, whatever follows: the flush of the directory is a best effort
  // (a failure here must not report a replaced file as not replaced).
  if (durable) SyncDirectory(dir);
  return 0;
}

int StatFileId(const char* path, FileId* id) {
  *id = FileId{};
  if (FaultHit(Sys::kStat)) return errno;
  struct stat st;
  if (::stat(path, &st) != 0) return errno;
  id->size = static_cast<uint64_t>(st.st_size);
  id->inode = static_cast<uint64_t>(st.st_ino);
  id->device = static_cast<uint64_t>(st.st_dev);
  id->mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id->mode = static_cast<unsigned>(st.st_mode & 07777);
  return 0;
}

int SetFileMode(int fd, unsigned mode) {
  if (FaultHit(Sys::kFstat)) return errno;
  return ::fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int RenamePath(const char* from, const char* to) {
  if (FaultHit(Sys::kRename)) return errno;
  return ::rename(from, to) == 0 ? 0 : errno;
}

int MakeDirectory(const char* path, unsigned mode) {
  if (FaultHit(Sys::kMkdir)) return errno;
  if (::mkdir(path, static_cast<mode_t>(mode)) == 0) return 0;
  int err = errno;
  struct stat st;
  if (err == EEXIST && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return err;
}

int LockFileExclusive(const char* path, int* fd, long* holder) {
  *fd = kNoFile;
  *holder = 0;
  int f = kNoFile;
  int rc = OpenFile(path, FileMode::kReadWrite, &f);
  if (rc == ENOENT) {
    do {
      f = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (f < 0 && errno == EINTR);
    rc = f < 0 ? errno : 0;
  }
  if (rc != 0) return rc;
  int lr = 0;
  if (FaultHit(Sys::kFlock)) {
    lr = errno;
  } else {
    while (::flock(f, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      lr = errno;
      break;
    }
  }
  if (lr != 0) {
    char text[32] = {0};
    size_t n = 0;
    if (lr == EWOULDBLOCK && ReadFileAt(f, 0, text, sizeof text - 1, &n) == 0) {
      *holder = std::strtol(text, nullptr, 10);
    }
    ::close(f);
    return lr;
  }
  std::string self = std::to_string(static_cast<long>(::getpid())) + "\n";
  rc = SetFileSize(f, 0);
  if (rc == 0) rc = WriteFileAt(f, 0, self.data(), self.size());
  if (rc != 0) {
    ::close(f);
    return rc;
  }
  *fd = f;
  return 0;
}

int MapFile(int fd, uint64_t offset, size_t length, bool writable, void** addr) {
  *addr = nullptr;
  if (FaultHit(Sys::kMmap)) return errno;
  if (length == 0) return EINVAL;
  int prot = PROT_READ | (writable ? PROT_WRITE : 0);
  void* p = ::mmap(nullptr, length, prot, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (p == MAP_FAILED) return errno;
  *addr = p;
  return 0;
}

int UnmapFile(void* addr, size_t length) {
  if (FaultHit(Sys::kMunmap)) return errno;
  return ::munmap(addr, length) == 0 ? 0 : errno;
}

size_t PageSize() {
  static const size_t page = [] {
    long v = ::sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<size_t>(v) : size_t{4096};
  }();
  return page;
}

bool SystemErrorText(int err, char* buf, size_t len) {
  if (buf == nullptr || len == 0) return false;
  buf[0] = '\0';
  char tmp[512];
  tmp[0] = '\0';
  const char* text = PickText(::strerror_r(err, tmp, sizeof tmp), tmp);
  // glibc answers unknown numbers with "Unknown error N": that is no message.
  if (text == nullptr || *text == '\0' || std::strncmp(text, "Unknown error", 13) == 0) return false;
  std::strncpy(buf, text, len - 1);
  buf[len - 1] = '\0';
  return true;
}

std::string ErrorString(int err) {
  char buf[256];
  if (!SystemErrorText(err, buf, sizeof buf)) std::snprintf(buf, sizeof buf, "error %d", err);
  return buf;
}

}  // namespace kdr::platform
