#include "iface/interface.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "iface/result_codes.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/env.h"

namespace kdr {
namespace {

// Process-wide loader state in static storage. The table and the library handle are written
// only by the one run of LoadInterface that wins g_load_state, and published by its final
// release store; every reader goes through Loaded(), so a caller racing the first load sees
// either the empty table or the finished one, never a half-filled table.
InterfaceTable g_table;
platform::DynLib* g_library = nullptr;
int g_load_attempted = 0;
constexpr int kNotLoaded = 0;
constexpr int kLoading = 1;
constexpr int kLoaded = 2;
std::atomic<int> g_load_state{kNotLoaded};
const InterfaceTable kEmptyTable{};

// The table as callers may use it: the empty table until the load has finished.
const InterfaceTable& Loaded() {
  return g_load_state.load(std::memory_order_acquire) == kLoaded ? g_table : kEmptyTable;
}

constexpr size_t kLibraryPathSize = 1024;
constexpr char kLibraryDir[] = "/lib/libVXNClientProxyDll";
constexpr char kLibrarySuffix[] = ".so";

const char* const kEntryNames[kInterfaceSlots] = {
#define KDR_X_SLOT_NAME(slot, name, ret, params) #name,
    KDR_INTERFACE_ENTRIES(KDR_X_SLOT_NAME)
#undef KDR_X_SLOT_NAME
};

// The built-in implementation of each slot that this build implements. A slot whose entry
// is not built in stays null and its wrapper gives the empty-slot result. A unit that comes
// to implement an entry (defined with KDR_EXPORT) adds its line here; the exports test then
// expects libVXNClientProxyDll.so to export it, and fails on an export missing from here.
struct Builtin {
  InterfaceTable table;
  Builtin() : table{} {
    table.VXN_IsVXNEnabled = &::VXN_IsVXNEnabled;
    table.VXN_Init = &::VXN_Init;
    table.VXN_Term = &::VXN_Term;
    table.VXN_SetLocale = &::VXN_SetLocale;
    table.VXN_GetLastError = &::VXN_GetLastError;
    table.VXN_Echo = &::VXN_Echo;
    table.VXNStartThread = &::VXNStartThread;
    table.VXNTerminateThread = &::VXNTerminateThread;
    table.KdrErrorCode = &::KdrErrorCode;
    table.KdrClearLastError = &::KdrClearLastError;
    table.KdrDeltaMs = &::KdrDeltaMs;
    table.KdrClock = &::KdrClock;
    table.ThreadId = &::ThreadId;
    table.KdrSleepMs = &::KdrSleepMs;
    table.GUIDLength = &::GUIDLength;
    table.synchronize = &::synchronize;
    table.endSynchronize = &::endSynchronize;
    table.VXN_GetFileGUID = &::VXN_GetFileGUID;
    table.VXN_OpenFile = &::VXN_OpenFile;
    table.VXN_RefreshFileTicket = &::VXN_RefreshFileTicket;
    table.VXN_FileSize = &::VXN_FileSize;
    table.VXN_GetSeekPointer = &::VXN_GetSeekPointer;
    table.VXN_SeekRelative = &::VXN_SeekRelative;
    table.VXN_SeekAbsolute = &::VXN_SeekAbsolute;
    table.VXN_ReadBytes = &::VXN_ReadBytes;
    table.VXN_ScheduleRange = &::VXN_ScheduleRange;
    table.VXN_CloseFileHandlePointer = &::VXN_CloseFileHandlePointer;
    table.VXN_RegisterTicket = &::VXN_RegisterTicket;
    table.VXN_RegisterTickets = &::VXN_RegisterTickets;
    table.VXN_UnRegisterTicket = &::VXN_UnRegisterTicket;
    table.VXN_UnRegisterTickets = &::VXN_UnRegisterTickets;
    table.VXN_DownloadFileFromPLM = &::VXN_DownloadFileFromPLM;
    table.VXN_DownloadFilesFromPLM = &::VXN_DownloadFilesFromPLM;
    table.VXN_DownloadFileToLocation = &::VXN_DownloadFileToLocation;
    table.VXN_DownloadFilesToLocation = &::VXN_DownloadFilesToLocation;
    table.VXN_UploadFileToPLM = &::VXN_UploadFileToPLM;
    table.VXN_UploadFilesToPLM = &::VXN_UploadFilesToPLM;
    table.VXN_RollbackFileUploadedToPLM = &::VXN_RollbackFileUploadedToPLM;
    table.VXN_RollbackFilesUploadedToPLM = &::VXN_RollbackFilesUploadedToPLM;
    table.KdrClearCache = &::KdrClearCache;
  }
};

const InterfaceTable& BuiltinTable() {
  // Never destroyed; trivially destructible contents in any case.
  static const Builtin* builtin = new Builtin();
  return builtin->table;
}

void* SlotAddress(const InterfaceTable& t, int slot) {
  switch (slot) {
#define KDR_X_SLOT_GET(n, name, ret, params) \
  case n:                                    \
    return reinterpret_cast<void*>(t.name);
    KDR_INTERFACE_ENTRIES(KDR_X_SLOT_GET)
#undef KDR_X_SLOT_GET
    default:
      return nullptr;
  }
}

void ErrLine(const char* format, const char* arg) {
  std::fprintf(stderr, format, arg);
  std::fflush(stderr);
}

}  // namespace

const InterfaceTable& Interface() { return Loaded(); }

const char* InterfaceEntryName(int slot) {
  if (slot < 1 || slot > kInterfaceSlots) return nullptr;
  return kEntryNames[slot - 1];
}

void* InterfaceSlot(int slot) { return SlotAddress(Loaded(), slot); }

void* BuiltinEntry(int slot) { return SlotAddress(BuiltinTable(), slot); }

void* FindEntryPoint(void* lib, const char* name) {
  void* p = platform::DynLibSymbol(static_cast<platform::DynLib*>(lib), name);
  if (p == nullptr) ErrLine("Could not find entry point '%s'\n.", name != nullptr ? name : "");
  return p;
}

int UseSelfProxy() {
  std::fputs("***** WARNING: The VXN Client Proxy shared library is not installed. *****\n",
             stderr);
  std::fputs("*****   Reverting to self-proxying mode. *****\n", stderr);
  std::fputs("***** (Installing an KDR client update will silence this warning.) *****\n\n",
             stderr);
  std::fflush(stderr);
  g_table = BuiltinTable();
  return 0;
}

void UnloadInterface() {
  if (g_library == nullptr) return;
  platform::DynLibClose(g_library);
  g_library = nullptr;
  g_table = InterfaceTable{};
}

namespace {

// The load itself; runs once per process.
int LoadOnce(const char* home) {
  g_load_attempted = 1;
  std::printf("VXN interface version %s(%s).\n", kInterfaceVersion, kInterfaceBuildDate);
  std::fflush(stdout);
  if (home == nullptr || *home == '\0') {
    std::fputs("ERROR: Could not find KDR_HOME.\n", stderr);
    std::fflush(stderr);
    return ERR_KDRCP_NO_HOME;
  }

  std::string path(home);
  path += kLibraryDir;
  path += kLibrarySuffix;
  // The path must fit the loader's 1024-byte buffer. A longer one is never cut short (that
  // could name another file): it is reported as a library that cannot be loaded.
  platform::DynLib* lib = nullptr;
  if (path.size() < kLibraryPathSize) lib = platform::DynLibOpen(path.c_str(), nullptr);
  if (lib == nullptr) {
    ErrLine("Could not load library '%s'\n", path.c_str());
    return UseSelfProxy();
  }
  g_library = lib;

  bool complete = true;
#define KDR_X_SLOT_FIND(slot, name, ret, params)                                      \
  g_table.name = reinterpret_cast<name##Fn>(FindEntryPoint(lib, kEntryNames[slot - 1])); \
  if (g_table.name == nullptr) complete = false;
  KDR_INTERFACE_ENTRIES(KDR_X_SLOT_FIND)
#undef KDR_X_SLOT_FIND
  if (complete) return 0;

  ErrLine("Library '%s' corrupted.\n", path.c_str());
  UnloadInterface();
  return UseSelfProxy();
}

}  // namespace

int LoadInterface() {
  const char* home = platform::GetEnv("KDR_HOME");
  if (g_load_state.load(std::memory_order_acquire) == kLoaded) return 0;
  int expected = kNotLoaded;
  if (!g_load_state.compare_exchange_strong(expected, kLoading, std::memory_order_acq_rel)) {
    // Another thread is loading: wait for its table, then answer as a later call does.
    while (g_load_state.load(std::memory_order_acquire) != kLoaded) platform::SleepMs(1);
    return 0;
  }
  int result = LoadOnce(home);
  g_load_state.store(kLoaded, std::memory_order_release);
  return result;
}

// ---- Interface wrappers ----

int If_VXN_IsVXNEnabled(int* enabled) {
  int r = LoadInterface();
  if (Loaded().VXN_IsVXNEnabled == nullptr) return r;
  return Loaded().VXN_IsVXNEnabled(enabled);
}

int If_VXN_Init(VXNAllocFn allocFn, VXNFreeFn freeFn) {
  int r = LoadInterface();
  if (Loaded().VXN_Init == nullptr) return r;
  return Loaded().VXN_Init(allocFn, freeFn);
}

int If_VXN_Term() {
  if (Loaded().VXN_Term == nullptr) return 0;
  return Loaded().VXN_Term();
}

int If_VXN_SetLocale(const char* locale) {
  if (Loaded().VXN_SetLocale == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().VXN_SetLocale(locale);
}

int If_VXN_GetLastError(const char** message) {
  if (Loaded().VXN_GetLastError == nullptr) {
    if (message != nullptr) *message = nullptr;
    return ERR_KDRCP_NOT_INITIALIZED;
  }
  return Loaded().VXN_GetLastError(message);
}

int If_VXN_RegisterTickets(int count, const char* const* tickets, const char** keys,
                           int* results) {
  if (Loaded().VXN_RegisterTickets == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().VXN_RegisterTickets(count, tickets, keys, results);
}

int If_VXN_UnRegisterTickets(int count, const char* const* keys, int* results) {
  if (Loaded().VXN_UnRegisterTickets == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().VXN_UnRegisterTickets(count, keys, results);
}

int If_VXN_DownloadFilesFromPLM(const char* tag, int count, const char* const* keys,
                                ProgressCallback callback, void* context, char** paths,
                                int* results) {
  if (Loaded().VXN_DownloadFilesFromPLM == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().VXN_DownloadFilesFromPLM(tag, count, keys, callback, context, paths, results);
}

int If_VXN_DownloadFilesToLocation(const char* tag, int count, const char* const* keys,
                                   ProgressCallback callback, void* context,
                                   const char* directory, const char* const* names,
                                   int* results) {
  if (Loaded().VXN_DownloadFilesToLocation == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().VXN_DownloadFilesToLocation(tag, count, keys, callback, context, directory,
                                             names, results);
}

int If_VXN_UploadFilesToPLM(int count, const char* const* keys, ProgressCallback callback,
                            void* context, const char* const* paths, int continueOnError,
                            char** volumeIds, int* results) {
  if (Loaded().VXN_UploadFilesToPLM == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().VXN_UploadFilesToPLM(count, keys, callback, context, paths, continueOnError,
                                      volumeIds, results);
}

int If_VXN_RollbackFilesUploadedToPLM(int count, const char* const* keys,
                                      const char* const* volumeIds, int* results) {
  if (Loaded().VXN_RollbackFilesUploadedToPLM == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().VXN_RollbackFilesUploadedToPLM(count, keys, volumeIds, results);
}

int If_KdrClearCache() {
  if (Loaded().KdrClearCache == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().KdrClearCache();
}

int If_KdrErrorCode(int code) {
  if (Loaded().KdrErrorCode == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return Loaded().KdrErrorCode(code);
}

void If_KdrClearLastError() {
  if (Loaded().KdrClearLastError != nullptr) Loaded().KdrClearLastError();
}

}  // namespace kdr
