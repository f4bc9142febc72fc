#include "platform/dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fault.h"

namespace kdr::platform {
namespace {

EntryKind KindOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return EntryKind::kOther;
  if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
  return S_ISREG(st.st_mode) ? EntryKind::kFile : EntryKind::kOther;
}

// The first error of a walk is the one reported.
void Keep(int* first, int err) {
  if (*first == 0) *first = err;
}

}  // namespace

int ListDirectory(const std::string& dir, std::vector<DirEntry>* entries) {
  entries->clear();
  if (FaultHit(Sys::kOpendir)) return errno;
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    int err = errno;
    ::close(fd);
    return err;
  }
  int err = 0;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) {
      err = errno;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry{e->d_name, EntryKind::kOther};
    if (e->d_type == DT_DIR) {
      entry.kind = EntryKind::kDirectory;
    } else if (e->d_type == DT_REG) {
      entry.kind = EntryKind::kFile;
    } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      const std::string path = dir + "/" + entry.name;
      struct stat st;
      entry.link = e->d_type == DT_LNK || (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
      entry.kind = KindOf(path);
    }
    entries->push_back(std::move(entry));
  }
  ::closedir(d);
  if (err != 0) entries->clear();
  return err;
}

bool IsDirectory(const std::string& path) { return KindOf(path) == EntryKind::kDirectory; }

int MakeDirectories(const std::string& path, unsigned mode, bool* made) {
  if (made != nullptr) *made = false;
  if (path.empty()) return ENOENT;
  if (IsDirectory(path)) return 0;
  // Each missing level from the top down; a level another process makes meanwhile is fine.
  size_t at = 0;
  for (;;) {
    size_t slash = path.find('/', at + 1);
    std::string level = path.substr(0, slash);
    at = slash;
    bool last =
        slash == std::string::npos || path.find_first_not_of('/', slash) == std::string::npos;
    if (!level.empty() && !IsDirectory(level)) {
      if (FaultHit(Sys::kMkdir)) return errno;
      if (::mkdir(level.c_str(), static_cast<mode_t>(mode)) == 0) {
        if (last && made != nullptr) *made = true;
      } else if (errno != EEXIST || !IsDirectory(level)) {
        return errno == EEXIST ? ENOTDIR : errno;
      }
    }
    if (last) return 0;
  }
}

int RemovePath(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) {
    if (FaultHit(Sys::kRmdir)) return errno;
    return ::rmdir(path.c_str()) == 0 ? 0 : errno;
  }
  if (FaultHit(Sys::kUnlink)) return errno;
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  int first = 0;
  if (S_ISDIR(st.st_mode)) {
    std::vector<DirEntry> entries;
    int rc = ListDirectory(path, &entries);
    if (rc != 0) Keep(&first, rc);
    for (const DirEntry& e : entries) {
      rc = RemoveTree(path + "/" + e.name);
      if (rc != 0) Keep(&first, rc);
    }
  }
  int rc = RemovePath(path);
  if (rc != 0 && rc != ENOENT) Keep(&first, rc);
  return first;
}

int SetPathMode(const std::string& path, unsigned mode) {
  if (FaultHit(Sys::kChmod)) return errno;
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int TouchPath(const std::string& path) {
  if (FaultHit(Sys::kUtime)) return errno;
  const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 ? 0 : errno;
}

int64_t WallClockNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int CurrentDirectory(std::string* dir) {
  dir->clear();
  if (FaultHit(Sys::kStat)) return errno;
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return errno;
  *dir = buf;
  return 0;
}

}  // namespace kdr::platform
