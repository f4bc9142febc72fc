// Watching directories for names that come and go: a file created, renamed into, or removed
// from a watched directory is reported with its name, within milliseconds of the change.
//
// A watch sees changes made by any process, but only of the directory's own entries (not of
// subdirectories), and only while it lives; events that overflow the system's queue are
// reported as one event with the id kDirWatchOverflow. Nothing here prints.
//
// Thread-safe: DirWatchAdd may run while another thread waits in DirWatchWait on the same
// watcher.
#ifndef KDR_PLATFORM_DIR_WATCH_H_
#define KDR_PLATFORM_DIR_WATCH_H_

#include <string>
#include <vector>

namespace kdr::platform {

struct DirWatcher;  // owned by the caller; DirWatchClose frees it

// The id of the event that stands for "events were lost: look at everything".
inline constexpr int kDirWatchOverflow = -1;

struct DirEvent {
  int id;            // as DirWatchAdd returned it, or kDirWatchOverflow
  std::string name;  // the entry's name in the directory (empty for an overflow)
};

// 0 and a new watcher in *out, or the errno value (the system may refuse: ENOSYS, EMFILE).
int DirWatchOpen(DirWatcher** out);

// Watches `dir`. 0 and the watch's id in *id (the same id for a directory already watched),
// or the errno value (ENOENT: no such directory; ENOSPC: the system's limit of watches).
int DirWatchAdd(DirWatcher* w, const char* dir, int* id);

// Waits up to `timeout_ms` for changes and appends them to *events. 0 (also when none came),
// or the errno value of the failing wait.
int DirWatchWait(DirWatcher* w, int timeout_ms, std::vector<DirEvent>* events);

// Ends every watch and frees the watcher. A null watcher is ignored.
void DirWatchClose(DirWatcher* w);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_DIR_WATCH_H_
