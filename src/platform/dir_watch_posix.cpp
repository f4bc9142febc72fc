// Directory watches on Linux: inotify.
#include "platform/dir_watch.h"

#include <cerrno>
#include <cstddef>
#include <new>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace kdr::platform {

struct DirWatcher {
  int fd = -1;
};

namespace {
constexpr uint32_t kEntryChanges = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
}  // namespace

int DirWatchOpen(DirWatcher** out) {
  if (out == nullptr) return EINVAL;
  *out = nullptr;
  int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return errno;
  auto* w = new (std::nothrow) DirWatcher;
  if (w == nullptr) {
    close(fd);
    return ENOMEM;
  }
  w->fd = fd;
  *out = w;
  return 0;
}

int DirWatchAdd(DirWatcher* w, const char* dir, int* id) {
  if (w == nullptr || dir == nullptr || id == nullptr) return EINVAL;
  int wd = inotify_add_watch(w->fd, dir, kEntryChanges | IN_ONLYDIR);
  if (wd < 0) return errno;
  *id = wd;
  return 0;
}

int DirWatchWait(DirWatcher* w, int timeout_ms, std::vector<DirEvent>* events) {
  if (w == nullptr || events == nullptr) return EINVAL;
  pollfd p{w->fd, POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  if (n == 0) return 0;
  alignas(inotify_event) char buf[16384];
  for (;;) {
    ssize_t got = read(w->fd, buf, sizeof buf);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? 0 : errno;
    }
    if (got == 0) return 0;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      if (e->mask & IN_Q_OVERFLOW) {
        events->push_back({kDirWatchOverflow, std::string()});
      } else if (e->len > 0) {
        events->push_back({e->wd, std::string(e->name)});
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

void DirWatchClose(DirWatcher* w) {
  if (w == nullptr) return;
  if (w->fd >= 0) close(w->fd);
  delete w;
}

}  // namespace kdr::platform
