#include "server/log.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace kdr::server {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};
long g_pid = 0;
const char* g_program = "kdrcached";

// The sink, guarded by LogMutex(). Plain storage: never destroyed, so a thread that logs while
// the program ends never meets a destroyed object.
struct Sink {
  std::FILE* file = nullptr;  // nullptr: standard error
  std::string* path = nullptr;
  int64_t maxBytes = 0;
  int64_t size = 0;
};
Sink g_sink;

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

// Opens `path` for appending, close-on-exec; stores its current size.
std::FILE* OpenAppend(const std::string& path, int64_t* size) {
  std::FILE* f = std::fopen(path.c_str(), "ae");
  if (f == nullptr) return nullptr;
  std::fseek(f, 0, SEEK_END);
  long at = std::ftell(f);
  *size = at < 0 ? 0 : at;
  return f;
}

// With the mutex held: starts a fresh file when `add` more bytes would pass the limit.
void RotateIfFull(size_t add) {
  if (g_sink.file == nullptr || g_sink.maxBytes <= 0 || g_sink.size == 0 ||
      g_sink.size + static_cast<int64_t>(add) <= g_sink.maxBytes) {
    return;
  }
  std::fclose(g_sink.file);
  std::string old = *g_sink.path + ".1";
  std::rename(g_sink.path->c_str(), old.c_str());
  g_sink.file = OpenAppend(*g_sink.path, &g_sink.size);  // nullptr falls back to stderr
}

void Write(LogLevel level, const char* text, size_t len) {
  static const char* const kTags[] = {"ERROR", "WARN", "INFO", "DEBUG"};
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
      1000);
  std::lock_guard<std::mutex> guard(LogMutex());
  std::tm utc{};
  std::tm* t = std::gmtime(&secs);  // under the mutex: its static result is not shared
  if (t != nullptr) utc = *t;
  char line[1200];
  int n = std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %s[%ld] %s: %.*s\n",
                        utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                        utc.tm_min, utc.tm_sec, ms, g_program, g_pid, kTags[static_cast<int>(level)],
                        static_cast<int>(len), text);
  if (n < 0) return;
  size_t out = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (out == sizeof line - 1) line[out - 1] = '\n';
  RotateIfFull(out);
  std::FILE* f = g_sink.file != nullptr ? g_sink.file : stderr;
  std::fwrite(line, 1, out, f);
  std::fflush(f);
  if (g_sink.file != nullptr) g_sink.size += static_cast<int64_t>(out);
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

void SetLogProcessId(long pid) { g_pid = pid; }

void SetLogProgram(const char* name) { g_program = name; }

bool OpenLogFile(const std::string& path, int64_t maxBytes, std::string* error) {
  // Only the log's own directory is made: a wrong KDR_HOME must not grow into existence here.
  std::error_code ec;
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directory(parent, ec);
  int64_t size = 0;
  std::FILE* f = OpenAppend(path, &size);
  if (f == nullptr) {
    *error = "cannot open the log file " + path + ": " + std::strerror(errno) +
             (ec ? " (creating its directory: " + ec.message() + ")" : std::string());
    return false;
  }
  std::lock_guard<std::mutex> guard(LogMutex());
  if (g_sink.file != nullptr) std::fclose(g_sink.file);
  if (g_sink.path == nullptr) g_sink.path = new std::string;
  *g_sink.path = path;
  g_sink.file = f;
  g_sink.maxBytes = maxBytes;
  g_sink.size = size;
  return true;
}

void CloseLogFile() {
  std::lock_guard<std::mutex> guard(LogMutex());
  if (g_sink.file != nullptr) std::fclose(g_sink.file);
  g_sink.file = nullptr;
}

void Log(LogLevel level, const char* format, ...) {
  if (!LogEnabled(level)) return;
  char text[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  Write(level, text, std::strlen(text));
}

void LogLines(LogLevel level, const char* text) {
  if (!LogEnabled(level) || text == nullptr) return;
  while (*text != '\0') {
    size_t n = std::strcspn(text, "\r\n");
    bool blank = true;
    for (size_t i = 0; i < n; ++i) {
      if (!std::isspace(static_cast<unsigned char>(text[i]))) blank = false;
    }
    if (!blank) Write(level, text, n);
    text += n;
    while (*text == '\r' || *text == '\n') ++text;
  }
}

}  // namespace kdr::server
