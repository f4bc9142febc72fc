#include "platform/runtime_dir.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/env.h"
#include "platform/fault.h"

namespace kdr::platform {
namespace {

constexpr size_t kMaxComponent = 255;  // NAME_MAX of the common Linux file systems

// Checks that `dir` is a directory of ours that nobody else may write. `follow`: a symbolic
// link is accepted (and its target checked) only for a directory the user named himself; at
// the default path in /tmp a link could be another user's plant.
int CheckDir(const std::string& dir, bool follow) {
  struct stat st;
  if (FaultHit(Sys::kStat)) return errno;
  int rc = follow ? stat(dir.c_str(), &st) : lstat(dir.c_str(), &st);
  if (rc != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != geteuid()) return EACCES;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EACCES;
  return 0;
}

}  // namespace

std::string MangleRuntimeName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '/' || c == '\\') c = '_';
  }
  return out;
}

int RuntimeDir(std::string* dir) {
  if (dir == nullptr) return EINVAL;
  std::string path;
  bool named = GetEnvNonEmpty("KDR_RUNTIME_DIR", &path);
  if (!named) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "/tmp/kdr-%u", static_cast<unsigned>(geteuid()));
    path = buf;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();

  int err = CheckDir(path, named);
  if (err == ENOENT) {
    // Missing: make it. A racing process may make it first; then check what is there.
    if (FaultHit(Sys::kMkdir)) return errno;
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    err = CheckDir(path, named);
  }
  if (err != 0) return err;
  *dir = std::move(path);
  return 0;
}

int RuntimePath(std::string_view prefix, std::string_view name, size_t max_len,
                std::string* path) {
  if (path == nullptr || name.empty() || name.find('\0') != std::string_view::npos) {
    return EINVAL;
  }
  if (prefix.size() + name.size() > kMaxComponent) return ENAMETOOLONG;
  std::string dir;
  int err = RuntimeDir(&dir);
  if (err != 0) return err;
  std::string full = dir;
  full += '/';
  full += prefix;
  full += MangleRuntimeName(name);
  if (full.size() > max_len) return ENAMETOOLONG;
  *path = std::move(full);
  return 0;
}

}  // namespace kdr::platform
