#include "platform/durable.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fault.h"
#include "platform/fs.h"

namespace kdr::platform {

int AllocateFile(int fd, uint64_t offset, uint64_t len) {
  if (FaultHit(Sys::kFallocate)) return errno;
  if (len == 0) return 0;
  int rc;
  do {
    rc = ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(len));
  } while (rc == EINTR);
  return rc;
}

int SyncFile(int fd) {
  if (FaultHit(Sys::kFsync)) return errno;
  return ::fsync(fd) == 0 ? 0 : errno;
}

void StartWriteback(int fd, uint64_t offset, uint64_t len) {
  ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
}

int SyncDirectory(const std::string& dir) {
  if (FaultHit(Sys::kFsync)) return errno;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

int SyncMapped(void* addr, size_t len) {
  if (FaultHit(Sys::kFsync)) return errno;
  if (addr == nullptr || len == 0) return 0;
  auto at = reinterpret_cast<uintptr_t>(addr);
  uintptr_t start = at - at % PageSize();
  return ::msync(reinterpret_cast<void*>(start), len + (at - start), MS_SYNC) == 0 ? 0 : errno;
}

std::string BootId() {
  int fd = kNoFile;
  if (OpenFile("/proc/sys/kernel/random/boot_id", FileMode::kReadOnly, &fd) != 0) return {};
  char buf[64];
  size_t done = 0;
  int rc = ReadFileAt(fd, 0, buf, sizeof buf, &done);
  CloseFile(fd);
  if (rc != 0) return {};
  std::string id(buf, done);
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

}  // namespace kdr::platform
