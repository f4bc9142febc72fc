// Plain files of the local file system: open, positioned reads and writes, size, stat,
// unlink, and memory maps of a whole file or of a window of it.
//
// Every function returns 0 on success or the errno value of the failing system call
// (translated once, where it failed); nothing here prints. Descriptors are opened with
// O_CLOEXEC. Every call passes through the fault seam (platform/fault.h) first, so tests can
// make the Nth open, pwrite, mmap ... fail with a chosen errno.
//
// Thread-safe: the functions keep no state of their own (PageSize() caches a constant).
#ifndef KDR_PLATFORM_FS_H_
#define KDR_PLATFORM_FS_H_

#include <cstddef>
#include <cstdint>

namespace kdr::platform {

// A descriptor value that names no open file.
inline constexpr int kNoFile = -1;

enum class FileMode {
  kReadWrite,       // existing file, read and write
  kReadOnly,        // existing file, read only
  kCreateTruncate,  // read and write; created when missing, emptied when present (mode 0644)
  kCreatePrivate,   // as kCreateTruncate, but a file it creates is readable by its owner only
                    // (0600): cached copies of the user's documents
  kAppend,          // existing file, every write goes to its end
};

// On success stores an open descriptor in *fd and returns 0. On failure *fd is kNoFile.
int OpenFile(const char* path, FileMode mode, int* fd);

// Closes `fd` once (never retried, as POSIX leaves the descriptor closed after EINTR).
int CloseFile(int fd);

// Reads up to `len` bytes at `offset`; *done is the number read (short only at end of file).
int ReadFileAt(int fd, uint64_t offset, void* buf, size_t len, size_t* done);

// Writes all `len` bytes at `offset`, looping over partial writes.
int WriteFileAt(int fd, uint64_t offset, const void* buf, size_t len);

// Writes all `len` bytes at the current end of a file opened with kAppend.
int AppendFile(int fd, const void* buf, size_t len);

// The size of an open file.
int FileSize(int fd, uint64_t* size);

// The size of the file at `path`. A missing file returns ENOENT (or ENOTDIR).
int StatPath(const char* path, uint64_t* size);

// Sets the size of an open file: extends with zeros or truncates.
int SetFileSize(int fd, uint64_t size);

// Removes the name `path`.
int DeleteFile(const char* path);

// Makes `len` bytes of `data` the whole content of `path`: written under a temporary name
// beside it (`path` + ".tmp"), then renamed over it, so a reader finds the old content or the
// new, never a part. `mode` is kCreateTruncate or kCreatePrivate, for a file it creates.
// Returns 0 or an errno value; on failure the temporary name is removed.
int ReplaceFile(const char* path, const void* data, size_t len, FileMode mode);

// What StatFileId tells of a file: enough to notice that it was replaced or written to.
struct FileId {
  uint64_t size = 0;
  uint64_t inode = 0;
  uint64_t device = 0;
  int64_t mtimeNs = 0;  // last modification, nanoseconds since the epoch
  unsigned mode = 0;    // permission bits
};

// The identity of the file at `path` (following symbolic links). ENOENT when missing.
int StatFileId(const char* path, FileId* id);

// Sets the permission bits of the open file `fd`.
int SetFileMode(int fd, unsigned mode);

// Renames `from` to `to`, replacing `to` when it exists.
int RenamePath(const char* from, const char* to);

// Makes the directory `path` (mode 0700). An existing directory is success.
int MakeDirectory(const char* path);

// Takes an exclusive lock on `path` (made with mode 0600 when missing) without waiting, and
// writes this process's id into it. Each call opens the file anew, so a second call fails
// also within one process. On success *fd holds the lock until it is closed. EWOULDBLOCK when
// someone else holds it: *holder is then the process id the holder wrote (0 when unknown).
int LockFileExclusive(const char* path, int* fd, long* holder);

// Maps `length` bytes of `fd` from `offset` (a multiple of PageSize()) shared with every other
// mapping of the file; writable or read-only. On success *addr is the start of the view.
int MapFile(int fd, uint64_t offset, size_t length, bool writable, void** addr);

// Unmaps a view made by MapFile with the same `length`.
int UnmapFile(void* addr, size_t length);

// The granularity of view offsets (the system page size).
size_t PageSize();

// Puts the system's text for error `err` in buf (NUL-terminated, cut to len - 1 bytes).
// Returns false, leaving buf empty, when the system has no text for it.
bool SystemErrorText(int err, char* buf, size_t len);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_FS_H_
