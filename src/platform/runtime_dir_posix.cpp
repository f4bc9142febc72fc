#include "platform/runtime_dir.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/env.h"
#include "platform/fault.h"
#include "platform/fs.h"

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

namespace {

// R as named by the environment; *named: by KDR_RUNTIME_DIR.
std::string RuntimeDirPath(bool* named) {
  std::string path;
  *named = GetEnvNonEmpty("KDR_RUNTIME_DIR", &path);
  if (!*named) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "/tmp/kdr-%u", static_cast<unsigned>(geteuid()));
    path = buf;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string RuntimeDirAdvice(int err) {
  if (err == 0) return "";
  bool named = false;
  std::string path = RuntimeDirPath(&named);
  const std::string instead =
      named ? "or set KDR_RUNTIME_DIR to a directory of your own with mode 0700"
            : "or set KDR_RUNTIME_DIR to a directory of your own with mode 0700 (the default "
              "is /tmp/kdr-<uid>)";
  char text[1024];
  struct stat st;
  int rc = named ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
  unsigned me = static_cast<unsigned>(geteuid());
  if (rc == 0 && !S_ISDIR(st.st_mode)) {
    std::snprintf(text, sizeof text,
                  "the runtime directory %s is not a directory%s: remove it, %s", path.c_str(),
                  S_ISLNK(st.st_mode) ? " but a symbolic link (another user may have planted it)"
                                      : "",
                  instead.c_str());
  } else if (rc == 0 && st.st_uid != geteuid()) {
    std::snprintf(text, sizeof text,
                  "the runtime directory %s belongs to user %u, not to this user (%u), who "
                  "must not put pipes where another user controls them: have it removed (by "
                  "its owner or root), %s",
                  path.c_str(), static_cast<unsigned>(st.st_uid), me, instead.c_str());
  } else if (rc == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::snprintf(text, sizeof text,
                  "the runtime directory %s has mode %04o, which lets other users write in "
                  "it: make it private with 'chmod 700 %s', %s",
                  path.c_str(), static_cast<unsigned>(st.st_mode & 07777), path.c_str(),
                  instead.c_str());
  } else {
    char reason[256];
    if (!SystemErrorText(rc != 0 ? errno : err, reason, sizeof reason)) {
      std::snprintf(reason, sizeof reason, "error %d", rc != 0 ? errno : err);
    }
    std::snprintf(text, sizeof text, "the runtime directory %s cannot be made or used (%s): "
                  "check the directory above it, %s", path.c_str(), reason, instead.c_str());
  }
  return text;
}

int RuntimeDir(std::string* dir) {
  if (dir == nullptr) return EINVAL;
  bool named = false;
  std::string path = RuntimeDirPath(&named);

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
