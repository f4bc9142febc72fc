// Directories and trees of the local file system: listing a directory, making a path of
// directories, removing a name or a whole tree, and the permission bits and modification time
// of a name.
//
// Every function returns 0 on success or the errno value of the failing call; nothing here
// prints. Each system call that opens a directory or changes the file system (every mkdir,
// unlink, rmdir, chmod, utimensat) passes the fault seam (platform/fault.h) first, so a test
// can fail any one step of a walk. Thread-safe: the functions keep no state of their own.
#ifndef KDR_PLATFORM_DIRS_H_
#define KDR_PLATFORM_DIRS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kdr::platform {

// What a directory entry names, following symbolic links (a link to nothing is kOther).
enum class EntryKind { kFile, kDirectory, kOther };

struct DirEntry {
  std::string name;  // the name alone, never "." or ".."
  EntryKind kind;
  bool link = false;  // a symbolic link; `kind` is what it leads to
};

// Stores in *entries the entries of the directory `dir`, in the order the system lists them.
// ENOENT or ENOTDIR when `dir` is not a directory (then *entries is empty). Sys::kOpendir.
int ListDirectory(const std::string& dir, std::vector<DirEntry>* entries);

// Whether `path` is a directory (following symbolic links); false on any error.
bool IsDirectory(const std::string& path);

// Makes the directory `path` and every missing directory above it (as `mkdir -p`), each with
// permission `mode` less the umask. An existing directory is success; a name on the way that
// is something else gives ENOTDIR or EEXIST. *made (when given) tells whether this call made
// `path` itself. Sys::kMkdir for each directory it makes.
int MakeDirectories(const std::string& path, unsigned mode, bool* made = nullptr);

// Removes the file, symbolic link or empty directory `path`. ENOENT when there is none,
// ENOTEMPTY (or EEXIST) for a directory that holds anything. Sys::kRmdir for a directory,
// Sys::kUnlink for anything else.
int RemovePath(const std::string& path);

// Removes `path` and, when it is a directory, everything in it (symbolic links are removed,
// never followed). A missing `path` is success. A failure does not stop the rest of the walk:
// the first error is returned, and what could be removed is gone.
int RemoveTree(const std::string& path);

// Sets the permission bits of `path` (following symbolic links). Sys::kChmod.
int SetPathMode(const std::string& path, unsigned mode);

// Sets the modification time of `path` to now, leaving its access time. Sys::kUtime.
int TouchPath(const std::string& path);

// The wall clock in nanoseconds since the epoch: the scale of FileId::mtimeNs (platform/fs.h).
int64_t WallClockNs();

// Stores in *dir the process's working directory. Sys::kStat.
int CurrentDirectory(std::string* dir);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_DIRS_H_
