#include "server/log.h"

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace kdr::server {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

// Serialises whole lines; a function-local object that is never destroyed, so a thread that
// logs while the program ends never meets a destroyed mutex.
std::mutex& LogMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

bool SameWord(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) != *b) return false;
  }
  return *a == '\0' && *b == '\0';
}

}  // namespace

bool ParseLogLevel(const char* text, LogLevel* level) {
  static const char* const kNames[] = {"error", "warn", "info", "debug"};
  if (text == nullptr) return false;
  for (int i = 0; i < 4; ++i) {
    if (SameWord(text, kNames[i])) {
      *level = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

void SetLogLevel(LogLevel level) { g_level.store(static_cast<int>(level)); }

bool LogEnabled(LogLevel level) { return static_cast<int>(level) <= g_level.load(); }

void Log(LogLevel level, const char* format, ...) {
  if (!LogEnabled(level)) return;
  static const char* const kTags[] = {"ERROR", "WARN", "INFO", "DEBUG"};
  char text[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  std::lock_guard<std::mutex> guard(LogMutex());
  std::fprintf(stderr, "kdrcached: %s: %s\n", kTags[static_cast<int>(level)], text);
  std::fflush(stderr);
}

}  // namespace kdr::server
