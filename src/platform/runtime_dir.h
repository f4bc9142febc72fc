// The per-user runtime directory R, where pipes and named objects live.
//
// R is $KDR_RUNTIME_DIR when set and not empty, else /tmp/kdr-<uid>. It is created with mode
// 0700 when missing. A directory that is not owned by the calling user, or that its group or
// others may write, is refused: another user could otherwise plant or remove our objects.
//
// Names are placed in R with every '/' and '\' turned into '_', so a name never leaves R.
//
// Thread-safe. Nothing is cached: every call looks at the environment and the directory again,
// so a change of $KDR_RUNTIME_DIR takes effect at the next call.
#ifndef KDR_PLATFORM_RUNTIME_DIR_H_
#define KDR_PLATFORM_RUNTIME_DIR_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace kdr::platform {

// Longest full path of a named object in R (PATH_MAX less the terminating NUL).
inline constexpr size_t kMaxRuntimePath = 4095;

// Returns `name` with every '/' and '\' replaced by '_'.
std::string MangleRuntimeName(std::string_view name);

// On success returns 0 and sets *dir to R (no trailing '/'), creating it with mode 0700 when
// it is missing. On failure returns an errno value and leaves *dir unchanged:
//   EACCES   R is not owned by the calling user, or its group or others may write it;
//   ENOTDIR  R exists and is not a directory (a symbolic link at the default path counts);
//   other    the errno of the failing mkdir/stat.
// A null `dir` is EINVAL.
int RuntimeDir(std::string* dir);

// What is wrong with R after RuntimeDir() failed with `err`, and what to do about it, as one
// sentence for the person who runs the program (the path, its owner or mode, the remedy).
std::string RuntimeDirAdvice(int err);

// On success returns 0 and sets *path to R + "/" + prefix + MangleRuntimeName(name), R being
// made ready as RuntimeDir() does. On failure returns an errno value:
//   EINVAL        `name` is empty or holds a NUL byte, or `path` is null;
//   ENAMETOOLONG  the path would be longer than `max_len` bytes, or its last component longer
//                 than 255 bytes;
//   other         as RuntimeDir().
// Pipes pass the room of sun_path as `max_len`; named objects use kMaxRuntimePath.
int RuntimePath(std::string_view prefix, std::string_view name, size_t max_len,
                std::string* path);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_RUNTIME_DIR_H_
