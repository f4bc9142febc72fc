#include "iface/interface.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dynlib.h"
#include "platform/env.h"
#include "proxy/result_codes.h"

namespace kdr {
namespace {

// Process-wide loader state, plain words in static storage. Written only by the first run
// of LoadInterface (which takes no lock: the first call precedes other threads' calls).
InterfaceTable g_table;
platform::DynLib* g_library = nullptr;
int g_load_attempted = 0;

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

const InterfaceTable& Interface() { return g_table; }

const char* InterfaceEntryName(int slot) {
  if (slot < 1 || slot > kInterfaceSlots) return nullptr;
  return kEntryNames[slot - 1];
}

void* InterfaceSlot(int slot) { return SlotAddress(g_table, slot); }

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

int LoadInterface() {
  const char* home = platform::GetEnv("KDR_HOME");
  if (g_library != nullptr || g_load_attempted == 1) return 0;
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

// ---- Interface wrappers ----

int If_VXN_IsVXNEnabled(int* enabled) {
  int r = LoadInterface();
  if (g_table.VXN_IsVXNEnabled == nullptr) return r;
  return g_table.VXN_IsVXNEnabled(enabled);
}

int If_VXN_Init(VXNAllocFn allocFn, VXNFreeFn freeFn) {
  int r = LoadInterface();
  if (g_table.VXN_Init == nullptr) return r;
  return g_table.VXN_Init(allocFn, freeFn);
}

int If_VXN_Term() {
  if (g_table.VXN_Term == nullptr) return 0;
  return g_table.VXN_Term();
}

int If_VXN_SetLocale(const char* locale) {
  if (g_table.VXN_SetLocale == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.VXN_SetLocale(locale);
}

int If_VXN_GetLastError(const char** message) {
  if (g_table.VXN_GetLastError == nullptr) {
    if (message != nullptr) *message = nullptr;
    return ERR_KDRCP_NOT_INITIALIZED;
  }
  return g_table.VXN_GetLastError(message);
}

int If_VXN_RegisterTickets(int count, const char* const* tickets, const char** keys,
                           int* results) {
  if (g_table.VXN_RegisterTickets == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.VXN_RegisterTickets(count, tickets, keys, results);
}

int If_VXN_UnRegisterTickets(int count, const char* const* keys, int* results) {
  if (g_table.VXN_UnRegisterTickets == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.VXN_UnRegisterTickets(count, keys, results);
}

int If_VXN_DownloadFilesFromPLM(const char* tag, int count, const char* const* keys,
                                ProgressCallback callback, void* context, char** paths,
                                int* results) {
  if (g_table.VXN_DownloadFilesFromPLM == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.VXN_DownloadFilesFromPLM(tag, count, keys, callback, context, paths, results);
}

int If_VXN_DownloadFilesToLocation(const char* tag, int count, const char* const* keys,
                                   ProgressCallback callback, void* context,
                                   const char* directory, const char* const* names,
                                   int* results) {
  if (g_table.VXN_DownloadFilesToLocation == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.VXN_DownloadFilesToLocation(tag, count, keys, callback, context, directory,
                                             names, results);
}

int If_VXN_UploadFilesToPLM(int count, const char* const* keys, ProgressCallback callback,
                            void* context, const char* const* paths, int continueOnError,
                            char** volumeIds, int* results) {
  if (g_table.VXN_UploadFilesToPLM == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.VXN_UploadFilesToPLM(count, keys, callback, context, paths, continueOnError,
                                      volumeIds, results);
}

int If_VXN_RollbackFilesUploadedToPLM(int count, const char* const* keys,
                                      const char* const* volumeIds, int* results) {
  if (g_table.VXN_RollbackFilesUploadedToPLM == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.VXN_RollbackFilesUploadedToPLM(count, keys, volumeIds, results);
}

int If_KdrClearCache() {
  if (g_table.KdrClearCache == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.KdrClearCache();
}

int If_KdrErrorCode(int code) {
  if (g_table.KdrErrorCode == nullptr) return ERR_KDRCP_NOT_INITIALIZED;
  return g_table.KdrErrorCode(code);
}

void If_KdrClearLastError() {
  if (g_table.KdrClearLastError != nullptr) g_table.KdrClearLastError();
}

}  // namespace kdr
