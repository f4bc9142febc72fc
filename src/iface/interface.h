// The interface table: 40 entry points in a fixed order, each with a fixed signature.
//
// The table is the contract between the Java binding and whatever implements the proxy: an
// installed client-proxy library (KDR_HOME/lib/libVXNClientProxyDll.so) that exports all 40
// names, or this library's own built-in implementation (self-proxying mode). It is filled
// once per process by LoadInterface() and only read afterwards.
//
// Open files. A handle from VXN_OpenFile reads one volume of the file, the one current at the
// open, and only that one, whatever happens meanwhile (a new volume or a roll-back, eviction
// or clearing of the cache, a restart or crash of the cache server); VXN_FileSize never
// changes for it. Once the server can no longer serve that volume, every later read of the
// handle fails with ERR_KDRCP_BAD_FILE and the text "The file was changed since it was
// opened ...". A read never fails for a change that did not happen, and never with a code of
// the cache store.
//
// Calling convention: every entry is a plain C function (the caller removes the arguments).
// Texts are NUL-terminated 8-bit strings, valid only for the duration of a call.
#ifndef KDR_IFACE_INTERFACE_H_
#define KDR_IFACE_INTERFACE_H_

#include <cstddef>
#include <cstdint>

// The record behind an open-file handle. Declared at global scope because handles cross the
// C interface; its layout belongs to the open-file registry and is opaque to callers.
struct OpenFileRecord;
typedef struct OpenFileRecord* VXNFileHandle;

// Allocator pair handed to VXN_Init: what the implementation hands to the caller (paths,
// volume ids, GUID copies) is allocated with the first and released with the second.
typedef void* (*VXNAllocFn)(size_t size);
typedef void (*VXNFreeFn)(void* p);

// The routine of a thread started by VXNStartThread.
typedef uint32_t (*VXNThreadRoutine)(void* arg);

// Clock value of KdrClock: milliseconds, signed 32 bits, wrapping.
typedef int32_t KdrClockValue;

// Progress callback of the transfer entries (slots 12 to 17). Called on the caller's thread,
// during the call, each time the cache server reports progress on the file being transferred:
//   key        the ticket key of the file (owned by the ticket registry),
//   context    the pointer the caller passed beside the callback, unchanged,
//   done       bytes transferred so far, as the server reports them,
//   total      the file's size in bytes as the proxy knows it,
//   keepGoing  set to 0 by the entry before each call.
// A negative result fails the transfer (the value is sent to the server as the failure
// status). Otherwise *keepGoing decides: left at 0 the transfer is cancelled, non-zero it
// continues.
typedef int (*ProgressCallback)(const char* key, void* context, int64_t done, int64_t total,
                                int* keepGoing);

// The 40 entries in slot order: X(slot, name, result type, parameter list).
// Input arrays are `const char* const*`; arrays and texts the entry fills are out-parameters.
#define KDR_INTERFACE_ENTRIES(X)                                                              \
  X(1, VXN_IsVXNEnabled, int, (int* enabled))                                                 \
  X(2, VXN_Init, int, (VXNAllocFn allocFn, VXNFreeFn freeFn))                                 \
  X(3, VXN_Term, int, (void))                                                                 \
  X(4, VXN_SetLocale, int, (const char* locale))                                              \
  X(5, VXN_GetLastError, int, (const char** message))                                         \
  X(6, VXN_Echo, int, (void))                                                                 \
  X(7, VXN_GetFileGUID, int, (VXNFileHandle handle, char** guid))                             \
  X(8, VXN_RegisterTicket, int, (const char* ticket, const char** key))                       \
  X(9, VXN_RegisterTickets, int,                                                              \
    (int count, const char* const* tickets, const char** keys, int* results))                 \
  X(10, VXN_UnRegisterTicket, int, (const char* key))                                         \
  X(11, VXN_UnRegisterTickets, int, (int count, const char* const* keys, int* results))       \
  X(12, VXN_DownloadFileFromPLM, int,                                                         \
    (const char* tag, const char* key, ProgressCallback callback, void* context,              \
     char** path))                                                                            \
  X(13, VXN_DownloadFilesFromPLM, int,                                                        \
    (const char* tag, int count, const char* const* keys, ProgressCallback callback,          \
     void* context, char** paths, int* results))                                              \
  X(14, VXN_DownloadFileToLocation, int,                                                      \
    (const char* tag, const char* key, ProgressCallback callback, void* context,              \
     const char* directory, const char* fileName))                                            \
  X(15, VXN_DownloadFilesToLocation, int,                                                     \
    (const char* tag, int count, const char* const* keys, ProgressCallback callback,          \
     void* context, const char* directory, const char* const* names, int* results))           \
  X(16, VXN_UploadFileToPLM, int,                                                             \
    (const char* key, ProgressCallback callback, void* context, const char* localPath,        \
     char** volumeId))                                                                        \
  X(17, VXN_UploadFilesToPLM, int,                                                            \
    (int count, const char* const* keys, ProgressCallback callback, void* context,            \
     const char* const* paths, int continueOnError, char** volumeIds, int* results))          \
  X(18, VXN_RollbackFileUploadedToPLM, int, (const char* key, const char* volumeId))          \
  X(19, VXN_RollbackFilesUploadedToPLM, int,                                                  \
    (int count, const char* const* keys, const char* const* volumeIds, int* results))         \
  X(20, VXN_OpenFile, int, (const char* key, VXNFileHandle* handle))                          \
  X(21, VXN_RefreshFileTicket, int, (VXNFileHandle handle, const char* ticket))               \
  X(22, VXN_FileSize, int, (VXNFileHandle handle, int64_t* size))                             \
  X(23, VXN_GetSeekPointer, int, (VXNFileHandle handle, int64_t* position))                   \
  X(24, VXN_SeekRelative, int, (VXNFileHandle handle, int64_t distance))                      \
  X(25, VXN_SeekAbsolute, int, (VXNFileHandle handle, int64_t position))                      \
  X(26, VXN_ReadBytes, int,                                                                   \
    (VXNFileHandle handle, const char* tag, int count, int* bytesRead, void* buffer))         \
  X(27, VXN_ScheduleRange, int,                                                               \
    (VXNFileHandle handle, const char* tag, int64_t offset, int length))                      \
  X(28, VXN_CloseFileHandlePointer, int, (VXNFileHandle handle))                              \
  X(29, VXNStartThread, void*, (VXNThreadRoutine routine, void* param, uint32_t* threadId))  \
  X(30, VXNTerminateThread, void, (void* thread, uint32_t exitCode))                          \
  X(31, KdrClearCache, int, (void))                                                           \
  X(32, KdrErrorCode, int, (int code))                                                        \
  X(33, KdrClearLastError, void, (void))                                                      \
  X(34, KdrDeltaMs, int, (KdrClockValue later, KdrClockValue earlier))                        \
  X(35, KdrClock, KdrClockValue, (void))                                                      \
  X(36, ThreadId, uint32_t, (void))                                                           \
  X(37, KdrSleepMs, void, (uint32_t ms))                                                      \
  X(38, GUIDLength, int, (const char* ticket))                                                \
  X(39, synchronize, void, (void))                                                            \
  X(40, endSynchronize, void, (void))

// One function-pointer type per slot: VXN_InitFn, KdrClockFn, ...
#define KDR_X_SLOT_TYPE(slot, name, ret, params) typedef ret(*name##Fn) params;
KDR_INTERFACE_ENTRIES(KDR_X_SLOT_TYPE)
#undef KDR_X_SLOT_TYPE

// The built-in implementation of each entry, defined (with KDR_EXPORT) by the unit that
// implements it. Declaring all 40 here makes a definition with another signature a compile
// error in any unit that includes this header.
#define KDR_X_SLOT_DECL(slot, name, ret, params) extern "C" ret name params;
KDR_INTERFACE_ENTRIES(KDR_X_SLOT_DECL)
#undef KDR_X_SLOT_DECL

namespace kdr {

inline constexpr int kInterfaceSlots = 40;

// Interface version and build date: the loader's banner and the start-up banner print them.
inline constexpr const char kInterfaceVersion[] = "1.3";
inline constexpr const char kInterfaceBuildDate[] = "20090224";

// The table: one member per slot, in slot order, named after its entry. Null is an empty
// slot. All slots are null at process start.
struct InterfaceTable {
#define KDR_X_SLOT_MEMBER(slot, name, ret, params) name##Fn name;
  KDR_INTERFACE_ENTRIES(KDR_X_SLOT_MEMBER)
#undef KDR_X_SLOT_MEMBER
};

// The process-wide table: empty until LoadInterface() has finished, read-only afterwards.
const InterfaceTable& Interface();

// The name of the entry in `slot` (1 to 40), or nullptr for any other number.
const char* InterfaceEntryName(int slot);

// The function in the table's slot `slot` (1 to 40), or nullptr when the slot is empty.
void* InterfaceSlot(int slot);
inline bool InterfaceSlotFilled(int slot) { return InterfaceSlot(slot) != nullptr; }

// The built-in implementation of the entry in `slot` (1 to 40), as UseSelfProxy() stores it,
// or nullptr when this build has none for that slot (the slot then stays empty).
void* BuiltinEntry(int slot);

// Fills the table once per process. Returns 0 when the table is filled or was already tried,
// ERR_KDRCP_NO_HOME (-2998) when KDR_HOME is unset or empty (the table then stays empty for
// good). Prints the banner on standard output and the loader's messages on standard error.
// Safe to call from several threads at once: one of them loads, the others wait for it and
// return 0; until the load has finished every caller sees the empty table.
int LoadInterface();

// Prints the self-proxying warning and fills every slot with its built-in entry (null where
// this build has none). Returns 0.
int UseSelfProxy();

// If a client-proxy library is loaded: releases it and empties every slot. Otherwise nothing.
void UnloadInterface();

// Looks `name` up in the loaded library `lib`; when absent prints
// "Could not find entry point '<name>'\n." on standard error and returns nullptr.
void* FindEntryPoint(void* lib, const char* name);

// The interface wrappers: the entries the Java binding uses. Each calls its slot with its own
// arguments and returns the result; when the slot is empty it answers as follows:
//   If_VXN_IsVXNEnabled, If_VXN_Init  run LoadInterface() first; empty: its result
//   If_VXN_Term                       empty: 0
//   If_VXN_GetLastError               empty: stores null in *message (when given), -2999
//   If_KdrClearLastError              empty: nothing
//   every other wrapper               empty: -2999 (ERR_KDRCP_NOT_INITIALIZED)
int If_VXN_IsVXNEnabled(int* enabled);
int If_VXN_Init(VXNAllocFn allocFn, VXNFreeFn freeFn);
int If_VXN_Term();
int If_VXN_SetLocale(const char* locale);
int If_VXN_GetLastError(const char** message);
int If_VXN_RegisterTickets(int count, const char* const* tickets, const char** keys,
                           int* results);
int If_VXN_UnRegisterTickets(int count, const char* const* keys, int* results);
int If_VXN_DownloadFilesFromPLM(const char* tag, int count, const char* const* keys,
                                ProgressCallback callback, void* context, char** paths,
                                int* results);
int If_VXN_DownloadFilesToLocation(const char* tag, int count, const char* const* keys,
                                   ProgressCallback callback, void* context,
                                   const char* directory, const char* const* names,
                                   int* results);
int If_VXN_UploadFilesToPLM(int count, const char* const* keys, ProgressCallback callback,
                            void* context, const char* const* paths, int continueOnError,
                            char** volumeIds, int* results);
int If_VXN_RollbackFilesUploadedToPLM(int count, const char* const* keys,
                                      const char* const* volumeIds, int* results);
int If_KdrClearCache();
int If_KdrErrorCode(int code);
void If_KdrClearLastError();

}  // namespace kdr

#endif  // KDR_IFACE_INTERFACE_H_
