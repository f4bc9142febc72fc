// A stand-in for the installed client-proxy library, built as libVXNClientProxyDll.so and put in
// a temporary KDR_HOME/lib/ so that the loader takes the whole interface table from it. The JUnit
// tests drive the JNI binding against it and read back what reached the interface.
//
// Control, through the directory named by KDR_FAKE_DIR:
//   script     read at every recorded call; one "word value..." per line:
//                ret N            result of the entry (default 0)
//                results N N ...  per-item results, by index (default 0)
//                enabled N        value stored by VXN_IsVXNEnabled (default 1)
//                progress N       progress calls per item when a callback is given (default 0)
//                total N          the total passed with each progress call (default 1000)
//                ignorecancel 1   keep calling back after keepGoing was left at 0
//                foreignthread 1  make each item's first progress call from a thread of its own
//                nullout I        leave out text I null
//                lasterror TEXT   text stored by VXN_GetLastError (escaped, below); absent: null
//   calls.log  appended: one line per call, "ENTRY key=value ...", then "  item i=N key=value ..."
//              lines for at most 1000 items and "  progress i=N calls=N keep=N" lines.
// Texts in the log are escaped: bytes outside '!'..'~', and '%', as %XX; a null text is "(null)".
// Every multi-item entry logs "hash=" (FNV-1a 64 over each text plus a 0 byte, 0xFF for null) so
// large arrays can be checked without logging them.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "iface/interface.h"  // The contract: every entry below must match its declaration.

namespace {

using ProgressFn = ProgressCallback;

constexpr int kMaxScripted = 64;
constexpr int kMaxLoggedItems = 1000;
constexpr int kCancelled = -3016;
constexpr int kNotExecuted = -3010;

struct Script {
  int ret = 0;
  int enabled = 1;
  int nresults = 0;
  int results[kMaxScripted] = {};
  int progress = 0;
  int64_t total = 1000;
  int ignorecancel = 0;
  int foreignthread = 0;
  int nnullout = 0;
  int nullout[kMaxScripted] = {};
  int has_lasterror = 0;
  char lasterror[512] = {};
};

VXNAllocFn g_alloc = nullptr;
char g_last_error[512];
char* g_keys = nullptr;  // The "registry": key texts of the last VXN_RegisterTickets call.

char* ControlPath(const char* name) {
  static char path[4096];
  const char* dir = getenv("KDR_FAKE_DIR");
  snprintf(path, sizeof path, "%s/%s", dir ? dir : ".", name);
  return path;
}

int Unescape(const char* in, char* out, size_t cap) {
  size_t n = 0;
  for (const char* p = in; *p && n + 1 < cap; ++p) {
    unsigned v;
    if (*p == '%' && sscanf(p + 1, "%2x", &v) == 1) {
      out[n++] = static_cast<char>(v);
      p += 2;
    } else {
      out[n++] = *p;
    }
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

Script ReadScript() {
  Script s;
  FILE* f = fopen(ControlPath("script"), "r");
  if (f == nullptr) return s;
  char line[1024];
  while (fgets(line, sizeof line, f) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    char word[32];
    int used = 0;
    if (sscanf(line, "%31s %n", word, &used) != 1) continue;
    const char* rest = line + used;
    if (strcmp(word, "ret") == 0) s.ret = atoi(rest);
    if (strcmp(word, "enabled") == 0) s.enabled = atoi(rest);
    if (strcmp(word, "progress") == 0) s.progress = atoi(rest);
    if (strcmp(word, "total") == 0) s.total = strtoll(rest, nullptr, 10);
    if (strcmp(word, "ignorecancel") == 0) s.ignorecancel = atoi(rest);
    if (strcmp(word, "foreignthread") == 0) s.foreignthread = atoi(rest);
    if (strcmp(word, "nullout") == 0 && s.nnullout < kMaxScripted) s.nullout[s.nnullout++] = atoi(rest);
    if (strcmp(word, "lasterror") == 0) {
      s.has_lasterror = 1;
      Unescape(rest, s.lasterror, sizeof s.lasterror);
    }
    if (strcmp(word, "results") == 0) {
      char* end = nullptr;
      for (const char* p = rest; s.nresults < kMaxScripted; p = end) {
        long v = strtol(p, &end, 10);
        if (end == p) break;
        s.results[s.nresults++] = static_cast<int>(v);
      }
    }
  }
  fclose(f);
  return s;
}

int ItemResult(const Script& s, int i) { return i < s.nresults ? s.results[i] : 0; }

bool IsNullOut(const Script& s, int i) {
  for (int k = 0; k < s.nnullout; ++k)
    if (s.nullout[k] == i) return true;
  return false;
}

FILE* OpenLog() { return fopen(ControlPath("calls.log"), "a"); }

void PutText(FILE* f, const char* key, const char* text) {
  fprintf(f, " %s=", key);
  if (text == nullptr) {
    fputs("(null)", f);
    return;
  }
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < '!' || *p > '~' || *p == '%')
      fprintf(f, "%%%02X", *p);
    else
      fputc(*p, f);
  }
}

uint64_t Fnv(uint64_t h, const char* text) {
  auto mix = [&h](unsigned char c) { h = (h ^ c) * 1099511628211ull; };
  if (text == nullptr) {
    mix(0xFF);
    return h;
  }
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) mix(*p);
  mix(0);
  return h;
}

// Logs one multi-item call: its head line and an item line per element (up to the cap).
void LogItems(FILE* f, int count, const char* const* first, const char* second_name,
              const char* const* second) {
  uint64_t h = 14695981039346656037ull;
  for (int i = 0; first != nullptr && i < count; ++i) h = Fnv(h, first[i]);
  fprintf(f, " count=%d hash=%016" PRIx64 "\n", count, h);
  for (int i = 0; first != nullptr && i < count && i < kMaxLoggedItems; ++i) {
    fprintf(f, "  item i=%d", i);
    PutText(f, "t", first[i]);
    if (second_name != nullptr) PutText(f, second_name, second ? second[i] : nullptr);
    fputc('\n', f);
  }
}

void LogSimple(const char* entry, int arg = 0, bool with_arg = false) {
  FILE* f = OpenLog();
  if (f == nullptr) return;
  fputs(entry, f);
  if (with_arg) fprintf(f, " arg=%d", arg);
  fputc('\n', f);
  fclose(f);
}

char* CopyOut(const char* text) {
  size_t n = strlen(text) + 1;
  char* p = static_cast<char*>((g_alloc ? g_alloc : malloc)(n));
  if (p != nullptr) memcpy(p, text, n);
  return p;
}

// Runs the items of a transfer entry: progress calls per the script, cancel handling, results.
// Returns the entry's result: the script's ret, or the first failure of the callback.
int RunTransfer(FILE* f, const Script& s, int count, const char* const* keys, ProgressFn cb,
                void* ctx, int* results, bool continue_on_error) {
  int rc = s.ret;
  for (int i = 0; i < count; ++i) results[i] = kNotExecuted;
  for (int i = 0; i < count; ++i) {
    int item = ItemResult(s, i);
    int calls = 0;
    int keep = 1;
    for (int p = 0; cb != nullptr && p < s.progress; ++p) {
      keep = 0;
      int64_t done = s.total * (p + 1) / s.progress;
      int cr = 0;
      if (p == 0 && s.foreignthread) {
        std::thread other([&] { cr = cb(keys[i], ctx, done, s.total, &keep); });
        other.join();
      } else {
        cr = cb(keys[i], ctx, done, s.total, &keep);
      }
      ++calls;
      if (cr < 0) {
        item = cr;
        break;
      }
      if (keep == 0) {
        item = kCancelled;
        if (!s.ignorecancel) break;
      }
    }
    if (cb != nullptr && s.progress > 0) fprintf(f, "  progress i=%d calls=%d keep=%d\n", i, calls, keep);
    results[i] = item;
    if (item < 0 && !continue_on_error) {
      if (rc == 0) rc = item;
      break;
    }
  }
  return rc;
}

}  // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

__attribute__((constructor)) static void FakeLoaded() { LogSimple("LOADED"); }

FAKE_EXPORT int VXN_IsVXNEnabled(int* enabled) {
  Script s = ReadScript();
  LogSimple("VXN_IsVXNEnabled");
  if (enabled != nullptr) *enabled = s.enabled;
  return s.ret;
}

FAKE_EXPORT int VXN_Init(VXNAllocFn alloc, VXNFreeFn release) {
  Script s = ReadScript();
  g_alloc = alloc;
  FILE* f = OpenLog();
  if (f != nullptr) {
    fprintf(f, "VXN_Init alloc=%d release=%d\n", alloc == malloc ? 1 : alloc ? 2 : 0,
            release == free ? 1 : release ? 2 : 0);
    fclose(f);
  }
  return s.ret;
}

FAKE_EXPORT int VXN_Term() {
  LogSimple("VXN_Term");
  return ReadScript().ret;
}

FAKE_EXPORT int VXN_SetLocale(const char* locale) {
  FILE* f = OpenLog();
  if (f != nullptr) {
    fputs("VXN_SetLocale", f);
    PutText(f, "locale", locale);
    fputc('\n', f);
    fclose(f);
  }
  return ReadScript().ret;
}

FAKE_EXPORT int VXN_GetLastError(const char** text) {
  Script s = ReadScript();
  LogSimple("VXN_GetLastError");
  memcpy(g_last_error, s.lasterror, sizeof g_last_error);
  if (text != nullptr) *text = s.has_lasterror ? g_last_error : nullptr;
  return s.ret;
}

FAKE_EXPORT int VXN_RegisterTickets(int count, const char* const* tickets, const char** keys, int* results) {
  Script s = ReadScript();
  FILE* f = OpenLog();
  if (f == nullptr) return -3001;
  fputs("VXN_RegisterTickets", f);
  LogItems(f, count, tickets, nullptr, nullptr);
  free(g_keys);
  g_keys = static_cast<char*>(calloc(static_cast<size_t>(count), 65));
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    results[i] = ItemResult(s, i);
    if (results[i] < 0) {
      ++failed;
      continue;
    }
    if (IsNullOut(s, i) || g_keys == nullptr) continue;
    char* key = g_keys + static_cast<size_t>(i) * 65;
    strncpy(key, tickets[i], 64);
    keys[i] = key;
  }
  fclose(f);
  return s.ret != 0 ? s.ret : failed;
}

FAKE_EXPORT int VXN_UnRegisterTickets(int count, const char* const* keys, int* results) {
  Script s = ReadScript();
  FILE* f = OpenLog();
  if (f == nullptr) return -3001;
  fputs("VXN_UnRegisterTickets", f);
  LogItems(f, count, keys, nullptr, nullptr);
  fclose(f);
  for (int i = 0; i < count; ++i) results[i] = ItemResult(s, i);
  return s.ret;
}

FAKE_EXPORT int VXN_DownloadFilesFromPLM(const char* tag, int count, const char* const* keys, ProgressFn cb,
                                         void* ctx, char** paths, int* results) {
  Script s = ReadScript();
  FILE* f = OpenLog();
  if (f == nullptr) return -3001;
  fputs("VXN_DownloadFilesFromPLM", f);
  PutText(f, "tag", tag);
  fprintf(f, " cb=%d ctx=%d", cb != nullptr, ctx != nullptr);
  LogItems(f, count, keys, nullptr, nullptr);
  int rc = RunTransfer(f, s, count, keys, cb, ctx, results, false);
  for (int i = 0; i < count; ++i) {
    if (results[i] != 0 || IsNullOut(s, i)) continue;
    char path[128];
    snprintf(path, sizeof path, "/cache/%.64s.dat", keys[i]);
    paths[i] = CopyOut(path);
  }
  fclose(f);
  return rc;
}

FAKE_EXPORT int VXN_DownloadFilesToLocation(const char* tag, int count, const char* const* keys, ProgressFn cb,
                                            void* ctx, const char* directory, const char* const* names,
                                            int* results) {
  Script s = ReadScript();
  FILE* f = OpenLog();
  if (f == nullptr) return -3001;
  fputs("VXN_DownloadFilesToLocation", f);
  PutText(f, "tag", tag);
  PutText(f, "dir", directory);
  fprintf(f, " cb=%d ctx=%d", cb != nullptr, ctx != nullptr);
  LogItems(f, count, keys, "name", names);
  int rc = RunTransfer(f, s, count, keys, cb, ctx, results, false);
  fclose(f);
  return rc;
}

FAKE_EXPORT int VXN_UploadFilesToPLM(int count, const char* const* keys, ProgressFn cb, void* ctx,
                                     const char* const* paths, int continue_on_error, char** volume_ids,
                                     int* results) {
  Script s = ReadScript();
  FILE* f = OpenLog();
  if (f == nullptr) return -3001;
  fputs("VXN_UploadFilesToPLM", f);
  fprintf(f, " cb=%d ctx=%d continue=%d", cb != nullptr, ctx != nullptr, continue_on_error);
  LogItems(f, count, keys, "path", paths);
  int rc = RunTransfer(f, s, count, keys, cb, ctx, results, continue_on_error != 0);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    if (results[i] < 0) {
      ++failed;
      continue;
    }
    if (volume_ids == nullptr || IsNullOut(s, i)) continue;
    char id[32];
    snprintf(id, sizeof id, "vol-%d", i);
    volume_ids[i] = CopyOut(id);
  }
  fclose(f);
  return rc != 0 ? rc : failed;
}

FAKE_EXPORT int VXN_RollbackFilesUploadedToPLM(int count, const char* const* keys, const char* const* volume_ids,
                                               int* results) {
  Script s = ReadScript();
  FILE* f = OpenLog();
  if (f == nullptr) return -3001;
  fputs("VXN_RollbackFilesUploadedToPLM", f);
  fprintf(f, " ids=%d", volume_ids != nullptr);
  LogItems(f, count, keys, "vol", volume_ids);
  fclose(f);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    results[i] = ItemResult(s, i);
    failed += results[i] < 0;
  }
  return s.ret != 0 ? s.ret : failed;
}

FAKE_EXPORT int KdrClearCache() {
  LogSimple("KdrClearCache");
  return ReadScript().ret;
}

FAKE_EXPORT int KdrErrorCode(int code) {
  LogSimple("KdrErrorCode", code, true);
  return code;
}

FAKE_EXPORT void KdrClearLastError() { LogSimple("KdrClearLastError"); }

// The entries that the Java binding never calls: present so the table is complete, and loud
// when something calls them after all.
FAKE_EXPORT int VXN_Echo() { LogSimple("UNEXPECTED VXN_Echo"); return -3002; }
FAKE_EXPORT int VXN_GetFileGUID(VXNFileHandle, char**) { LogSimple("UNEXPECTED VXN_GetFileGUID"); return -3002; }
FAKE_EXPORT int VXN_RegisterTicket(const char*, const char**) { LogSimple("UNEXPECTED VXN_RegisterTicket"); return -3002; }
FAKE_EXPORT int VXN_UnRegisterTicket(const char*) { LogSimple("UNEXPECTED VXN_UnRegisterTicket"); return -3002; }
FAKE_EXPORT int VXN_DownloadFileFromPLM(const char*, const char*, ProgressFn, void*, char**) { LogSimple("UNEXPECTED VXN_DownloadFileFromPLM"); return -3002; }
FAKE_EXPORT int VXN_DownloadFileToLocation(const char*, const char*, ProgressFn, void*, const char*, const char*) { LogSimple("UNEXPECTED VXN_DownloadFileToLocation"); return -3002; }
FAKE_EXPORT int VXN_UploadFileToPLM(const char*, ProgressFn, void*, const char*, char**) { LogSimple("UNEXPECTED VXN_UploadFileToPLM"); return -3002; }
FAKE_EXPORT int VXN_RollbackFileUploadedToPLM(const char*, const char*) { LogSimple("UNEXPECTED VXN_RollbackFileUploadedToPLM"); return -3002; }
FAKE_EXPORT int VXN_OpenFile(const char*, VXNFileHandle*) { LogSimple("UNEXPECTED VXN_OpenFile"); return -3002; }
FAKE_EXPORT int VXN_RefreshFileTicket(VXNFileHandle, const char*) { LogSimple("UNEXPECTED VXN_RefreshFileTicket"); return -3002; }
FAKE_EXPORT int VXN_FileSize(VXNFileHandle, int64_t*) { LogSimple("UNEXPECTED VXN_FileSize"); return -3002; }
FAKE_EXPORT int VXN_GetSeekPointer(VXNFileHandle, int64_t*) { LogSimple("UNEXPECTED VXN_GetSeekPointer"); return -3002; }
FAKE_EXPORT int VXN_SeekRelative(VXNFileHandle, int64_t) { LogSimple("UNEXPECTED VXN_SeekRelative"); return -3002; }
FAKE_EXPORT int VXN_SeekAbsolute(VXNFileHandle, int64_t) { LogSimple("UNEXPECTED VXN_SeekAbsolute"); return -3002; }
FAKE_EXPORT int VXN_ReadBytes(VXNFileHandle, const char*, int, int*, void*) { LogSimple("UNEXPECTED VXN_ReadBytes"); return -3002; }
FAKE_EXPORT int VXN_ScheduleRange(VXNFileHandle, const char*, int64_t, int) { LogSimple("UNEXPECTED VXN_ScheduleRange"); return -3002; }
FAKE_EXPORT int VXN_CloseFileHandlePointer(VXNFileHandle) { LogSimple("UNEXPECTED VXN_CloseFileHandlePointer"); return -3002; }
FAKE_EXPORT void* VXNStartThread(VXNThreadRoutine, void*, uint32_t*) { LogSimple("UNEXPECTED VXNStartThread"); return nullptr; }
FAKE_EXPORT void VXNTerminateThread(void*, uint32_t) { LogSimple("UNEXPECTED VXNTerminateThread"); }
FAKE_EXPORT int KdrDeltaMs(KdrClockValue, KdrClockValue) { LogSimple("UNEXPECTED KdrDeltaMs"); return 0; }
FAKE_EXPORT KdrClockValue KdrClock() { LogSimple("UNEXPECTED KdrClock"); return 0; }
FAKE_EXPORT uint32_t ThreadId() { LogSimple("UNEXPECTED ThreadId"); return 0; }
FAKE_EXPORT void KdrSleepMs(uint32_t) { LogSimple("UNEXPECTED KdrSleepMs"); }
FAKE_EXPORT int GUIDLength(const char*) { LogSimple("UNEXPECTED GUIDLength"); return -3005; }
FAKE_EXPORT void synchronize() { LogSimple("UNEXPECTED synchronize"); }
FAKE_EXPORT void endSynchronize() { LogSimple("UNEXPECTED endSynchronize"); }
