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
#include <string>

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
  kAppendPrivate,   // as kAppend, but created when missing, readable by its owner only (0600)
  kReadRegular,     // existing regular file, read only. Anything else (a directory, a device,
                    // a FIFO, a socket) is refused with EINVAL, and the open never waits (a
                    // FIFO without a writer does not block it)
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

// Creates a new, empty file in the directory `dir` under the name `prefix` followed by 16
// random hexadecimal digits, and opens it read-write. The name is made exclusively and never
// through a symbolic link (O_EXCL | O_NOFOLLOW): whoever else may write `dir` can neither
// guess the name ahead nor make the write land in another file. `mode` is kCreatePrivate
// (0600) or kCreateTruncate (0644, less the umask). On success returns 0 with *fd open and
// *path the file's full name; on failure an errno value, *fd kNoFile.
int CreateTempFile(const std::string& dir, const std::string& prefix, FileMode mode,
                   std::string* path, int* fd);

// Makes the open file `fd` readable and writable by its owner only (0600), when it is a
// regular file; anything else (a device, a FIFO) is left as it is.
int MakeFilePrivate(int fd);

// Makes `len` bytes of `data` the whole content of `path`: written under a fresh temporary
// name beside it (CreateTempFile, ".tmp.<pid>.<name>.<random>"), then renamed over it, so a
// reader finds the old content or the new, never a part. `mode` is kCreateTruncate or
// kCreatePrivate, for a file it creates. `durable`: the content is on the disk before the rename
// and the directory flushed after it, so a power cut leaves the old content or the new, never the
// name on lost bytes (a file rewritten every few seconds for others to watch need not be). Returns
// 0 or an errno value; on failure the temporary name is removed.
int ReplaceFile(const char* path, const void* data, size_t len, FileMode mode, bool durable = true);

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

// Makes the directory `path` (`mode` less the umask). An existing directory is success.
int MakeDirectory(const char* path, unsigned mode = 0700);

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

// The system's text for error `err`, or "error <err>" when it has none.
std::string ErrorString(int err);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_FS_H_
