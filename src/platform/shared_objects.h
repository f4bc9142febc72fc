// Named objects shared between processes: mapping objects and mutexes.
//
// A named object exists while any handle to it is open, in any process, and vanishes with the
// last handle; a process that dies closes its handles. Each name lives in the runtime
// directory R (runtime_dir.h): "R/map.<name>" for a mapping object, "R/mutex.<name>" for a
// mutex. Create and open are atomic with respect to each other across all processes of the
// user, so exactly one of two racing creators gets a new object.
//
// Results. Functions return 0 on success, one of the Windows-compatible numbers below where
// the callers test for them, or else the errno value of the failing call, so that a caller can
// print strerror() of it. The two Windows numbers lie outside errno's range or mean the same
// (ENOENT == 2).
//
// Handles are opaque and owned by the caller; close each exactly once. A null handle or
// out-parameter is refused with EINVAL (kWaitFailed for a wait), never dereferenced. One handle may be used
// by one thread at a time; different handles to one object may be used concurrently. A view
// stays valid after its mapping object's handle is closed, until it is unmapped.
#ifndef KDR_PLATFORM_SHARED_OBJECTS_H_
#define KDR_PLATFORM_SHARED_OBJECTS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kdr::platform {

// Object names (Windows ERROR_FILE_NOT_FOUND, ERROR_ALREADY_EXISTS).
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorAlreadyExists = 183;

// Results of WaitNamedMutex (Windows WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT, WAIT_FAILED).
inline constexpr int kWaitObject0 = 0;
inline constexpr int kWaitAbandoned = 128;
inline constexpr int kWaitTimeout = 258;
inline constexpr int kWaitFailed = -1;

// Time-out meaning "wait for ever" (Windows INFINITE).
inline constexpr uint32_t kInfiniteWait = 0xFFFFFFFFu;

struct MappingObject;  // a handle to a named mapping object
struct MappedView;     // one view mapped into this process
struct NamedMutex;     // a handle to a named mutex

// The alignment a view's start must have: the page size. Never fails.
size_t AllocationGranularity();

// ---- Mapping objects ----------------------------------------------------------------------

// Creates the mapping object `name` over the existing file `file_path`, `size` bytes long
// (0: the file's current size; a size beyond the end of the file grows the file to it).
// On success returns 0 and sets *out to a new handle.
// On failure returns, and leaves *out null:
//   kErrorAlreadyExists  a live handle (of any process) already holds an object of that name;
//   EINVAL               empty name, null file_path, or both size and the file's size are 0;
//   ENAMETOOLONG         the name does not fit in R;
//   other errno          opening the file, R or the object failed (ENOENT: no such file).
// A leftover of processes that died holding the name is reclaimed as if it were absent.
int CreateMappingObject(std::string_view name, const char* file_path, uint64_t size,
                        MappingObject** out);

// Opens the existing mapping object `name` for reading and writing (read-only when the
// backing file may only be read; writable views then fail with EACCES).
// On success returns 0 and sets *out to a new handle.
// On failure returns, and leaves *out null:
//   kErrorFileNotFound   no live handle holds an object of that name, or R is refused;
//   other errno          as CreateMappingObject.
int OpenMappingObject(std::string_view name, MappingObject** out);

// The object's size in bytes, as fixed by its creator.
uint64_t MappingObjectSize(const MappingObject* obj);

// Closes the handle; when it was the last handle of the object, the name vanishes.
// Views mapped through it stay valid. A null handle is ignored. Returns 0, or the errno of a
// failing close (the handle is released in every case).
int CloseMappingObject(MappingObject* obj);

// Maps `length` bytes of the object from byte `offset` (length 0: up to the end of the
// object), writable or read-only. The view starts at `offset` rounded down to the allocation
// granularity, so a view is shared with every other view of the same bytes in any process.
// On success returns 0, sets *view to the new view and *data to the byte at `offset` (view
// start + offset % AllocationGranularity()).
// On failure returns, and leaves *view and *data null:
//   EINVAL  offset beyond the object's end, or the range reaches past it, or an empty range;
//   EACCES  a writable view of an object opened read-only;
//   other   the errno of mmap.
int MapView(MappingObject* obj, uint64_t offset, size_t length, bool writable,
            MappedView** view, void** data);

// The start of the mapped range (the aligned start, at or below the data pointer).
void* ViewBase(const MappedView* view);

// Unmaps the view and frees it. A null view is ignored. Returns 0, or the errno of munmap
// (the view record is freed in every case).
int UnmapView(MappedView* view);

// Private read-write memory of `length` bytes (zero until written), not shared with any
// other process, with transparent huge pages asked for when `hugePages` (a hint, taken where
// the system allows). Returns 0 and sets *addr, or the errno of mmap (*addr null).
int MapMemory(size_t length, void** addr, bool hugePages = true);

// Gives back memory MapMemory returned (`length` as asked for). A null addr is ignored.
void UnmapMemory(void* addr, size_t length);

// ---- Named mutexes ------------------------------------------------------------------------
//
// A recursive mutex shared between processes, not owned when created. When its owner thread
// or process dies holding it, the next waiter gets kWaitAbandoned and owns it.

// Creates the mutex `name`.
// On success returns 0 and sets *out to a new handle.
// On failure returns, and leaves *out null:
//   kErrorAlreadyExists  a live handle already holds a mutex of that name;
//   EINVAL / ENAMETOOLONG / other errno  as CreateMappingObject.
int CreateNamedMutex(std::string_view name, NamedMutex** out);

// Opens the existing mutex `name`.
// On failure returns kErrorFileNotFound when no live handle holds it (or R is refused), else
// an errno value; *out stays null.
int OpenNamedMutex(std::string_view name, NamedMutex** out);

// Waits at most `timeout_ms` milliseconds (kInfiniteWait: no limit) to own the mutex. The
// owner may wait again (recursion); each successful wait needs its own release.
// Returns:
//   kWaitObject0    the calling thread owns the mutex;
//   kWaitAbandoned  the previous owner died holding it; the mutex was made consistent and the
//                   calling thread owns it (once), but what it guards may be half-changed;
//   kWaitTimeout    not owned within the time-out;
//   kWaitFailed     any other failure; *error (when not null) gets the errno value.
// Wait and release through the same handle.
int WaitNamedMutex(NamedMutex* mutex, uint32_t timeout_ms, int* error = nullptr);

// Releases one level of ownership. Returns 0, or EPERM when the calling thread does not own
// the mutex through this handle, or another errno value.
int ReleaseNamedMutex(NamedMutex* mutex);

// Closes the handle; when it was the last handle, the name vanishes. Ownership the calling
// thread still holds through this handle is released first. A null handle is ignored.
// Returns 0, or the errno of a failing close (the handle is released in every case).
int CloseNamedMutex(NamedMutex* mutex);

// ---- Owner marks ---------------------------------------------------------------------------
//
// A mark says "the process that created it is alive and has not closed it": the creator holds
// an exclusive lock on "R/owner.<name>" for as long as its handle is open (a process that dies
// drops it). Others open the mark and ask whether it is still held. A mark is not inherited
// and never comes back to life: once its creator is gone, a later creator of the same name
// makes a new file, which handles opened before never see.

struct OwnerMark;  // a handle to an owner mark

// Creates the mark `name`, held by the calling process until CloseOwnerMark.
// On failure returns, and leaves *out null: kErrorAlreadyExists when a live creator holds
// it; EINVAL / ENAMETOOLONG / other errno as CreateMappingObject.
int CreateOwnerMark(std::string_view name, OwnerMark** out);

// Opens the mark `name` to watch it. kErrorFileNotFound when no live creator holds it (or R
// is refused); *out stays null then.
int OpenOwnerMark(std::string_view name, OwnerMark** out);

// Whether the mark's creator still holds it (always true for the creator's own handle).
// One system call; any failure to tell counts as "not held".
bool OwnerMarkHeld(OwnerMark* mark);

// Closes the handle; the creator's close gives the mark up and removes its name. A null
// handle is ignored.
void CloseOwnerMark(OwnerMark* mark);

// ---- Leftovers ----------------------------------------------------------------------------

// Removes the files of mapping objects, mutexes and owner marks whose names start with
// `prefix` and that no live handle holds: what processes that died left behind (a name is
// otherwise only reclaimed by a new object of the same name). Returns how many went.
int SweepNamedObjects(std::string_view prefix);

// How many mapping objects and mutexes whose names start with `prefix` but not with `own` a
// live handle still holds while no live owner mark covers them (no mark whose name starts
// theirs is held by its creator): objects of owners that are gone, which their clients still
// use. Such a count only falls: nobody can open an object no handle holds. An object whose
// state cannot be told (a failing system call, R refused) counts as held.
int HeldNamedObjects(std::string_view prefix, std::string_view own);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_SHARED_OBJECTS_H_
