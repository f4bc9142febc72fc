#include "client/proxy_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kdr {
namespace {

// Plain storage: the log may be written while exit() runs.
std::atomic<FILE*> g_log_file{nullptr};
char g_log_path[4096];

}  // namespace

bool KdrLogOpen(const char* path) {
  if (g_log_file.load() != nullptr) return true;
  if (path == nullptr || *path == '\0') return false;
  FILE* f = std::fopen(path, "ae");  // append, close-on-exec
  if (f == nullptr) return false;
  std::snprintf(g_log_path, sizeof g_log_path, "%s", path);
  g_log_file.store(f);
  return true;
}

bool KdrLogEnabled() { return g_log_file.load() != nullptr; }

const char* KdrLogPath() { return g_log_file.load() != nullptr ? g_log_path : nullptr; }

void KdrLogPrintf(const char* format, ...) {
  FILE* f = g_log_file.load();
  if (f == nullptr) return;
  va_list ap;
  va_start(ap, format);
  std::vfprintf(f, format, ap);
  va_end(ap);
  std::fflush(f);
}

void KdrLogClose() {
  FILE* f = g_log_file.exchange(nullptr);
  if (f != nullptr) std::fclose(f);
  g_log_path[0] = '\0';
}

}  // namespace kdr
