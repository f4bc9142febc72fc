#include "server/log.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/fs.h"
#include "platform/mutex.h"

namespace kdr::server {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};
std::atomic<long> g_pid{0};  // set at start-up, while the signal thread may log already
const char* g_program = "kdrcached";

// Guards the sink. Never destroyed, so a thread that logs while the program ends never meets a
// destroyed object; the sink is plain storage for the same reason.
Mutex& g_logMu = *new Mutex;

struct Sink {
  int fd = -1;  // -1: standard error
  std::string* path = nullptr;
  int64_t maxBytes = 0;
  int64_t size = 0;
  int failed = 0;  // errno of the first lost line since the last one written; 0: none lost
  uint64_t lost = 0;
};
Sink g_sink GUARDED_BY(g_logMu);

bool SameWord(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) != *b) return false;
  }
  return *a == '\0' && *b == '\0';
}

std::string ErrorText(int err) {
  char buf[256];
  if (!platform::SystemErrorText(err, buf, sizeof buf)) std::snprintf(buf, sizeof buf, "error %d", err);
  return buf;
}

// Opens `path` for appending (created private), close-on-exec; stores its current size.
// Returns the descriptor, or -1 with *err set.
int OpenAppend(const std::string& path, int64_t* size, int* err) {
  int fd = platform::kNoFile;
  *err = platform::OpenFile(path.c_str(), platform::FileMode::kAppendPrivate, &fd);
  if (*err != 0) return -1;
  platform::MakeFilePrivate(fd);  // also a file an older server left readable
  uint64_t at = 0;
  platform::FileSize(fd, &at);
  *size = static_cast<int64_t>(at);
  return fd;
}

// With the mutex held: starts a fresh file when `add` more bytes would pass the limit.
void RotateIfFull(size_t add) REQUIRES(g_logMu) {
  if (g_sink.fd < 0 || g_sink.maxBytes <= 0 || g_sink.size == 0 ||
      g_sink.size + static_cast<int64_t>(add) <= g_sink.maxBytes) {
    return;
  }
  platform::CloseFile(g_sink.fd);
  std::string old = *g_sink.path + ".1";
  std::rename(g_sink.path->c_str(), old.c_str());
  int err = 0;
  g_sink.fd = OpenAppend(*g_sink.path, &g_sink.size, &err);  // -1 falls back to stderr
}

// With the mutex held: writes `len` bytes of `line` to the sink; a loss is noted, not fatal.
void Emit(const char* line, size_t len) REQUIRES(g_logMu) {
  int err = 0;
  if (g_sink.fd >= 0) {
    err = platform::AppendFile(g_sink.fd, line, len);
    if (err == 0) g_sink.size += static_cast<int64_t>(len);
  } else {
    std::fwrite(line, 1, len, stderr);
    std::fflush(stderr);
  }
  if (err != 0) {
    if (g_sink.failed == 0) {
      std::string text = "kdrcached: cannot write the log file " + *g_sink.path + ": " +
                         ErrorText(err) + "; lines are lost until it can be written again\n";
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
      g_sink.failed = err;
    }
    ++g_sink.lost;
  }
}

void Write(LogLevel level, const char* text, size_t len) {
  static const char* const kTags[] = {"ERROR", "WARN", "INFO", "DEBUG"};
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
      1000);
  MutexLock guard(&g_logMu);
  std::tm utc{};
  std::tm* t = std::gmtime(&secs);  // under the mutex: its static result is not shared
  if (t != nullptr) utc = *t;
  // Every line, the note of lost lines too, starts with the time and who writes it.
  char head[160];
  std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %s[%ld]",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                utc.tm_sec, ms, g_program, g_pid.load());
  char line[1200];
  int n = std::snprintf(line, sizeof line, "%s %s: %.*s\n", head, kTags[static_cast<int>(level)],
                        static_cast<int>(len), text);
  if (n < 0) return;
  size_t out = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (out == sizeof line - 1) line[out - 1] = '\n';
  RotateIfFull(out);
  if (g_sink.failed != 0 && g_sink.fd >= 0) {
    // Said before the line itself, so the gap shows where it is.
    char note[360];
    int k = std::snprintf(note, sizeof note, "%s WARN: %llu log line(s) were lost: %s\n", head,
                          static_cast<unsigned long long>(g_sink.lost),
                          ErrorText(g_sink.failed).c_str());
    if (k > 0 && static_cast<size_t>(k) < sizeof note &&
        platform::AppendFile(g_sink.fd, note, static_cast<size_t>(k)) == 0) {
      g_sink.size += k;
      g_sink.failed = 0;
      g_sink.lost = 0;
    }
  }
  Emit(line, out);
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

void SetLogProcessId(long pid) { g_pid.store(pid); }

void SetLogProgram(const char* name) { g_program = name; }

bool OpenLogFile(const std::string& path, int64_t maxBytes, std::string* error) {
  // Only the log's own directory is made: a wrong KDR_HOME must not grow into existence here.
  size_t slash = path.rfind('/');
  int derr = slash == std::string::npos
                 ? 0
                 : platform::MakeDirectory(path.substr(0, slash == 0 ? 1 : slash).c_str(), 0777);
  int64_t size = 0;
  int err = 0;
  int fd = OpenAppend(path, &size, &err);
  if (fd < 0) {
    *error = "cannot open the log file " + path + ": " + ErrorText(err) +
             (derr != 0 ? " (creating its directory: " + ErrorText(derr) + ")" : std::string());
    return false;
  }
  MutexLock guard(&g_logMu);
  if (g_sink.fd >= 0) platform::CloseFile(g_sink.fd);
  if (g_sink.path == nullptr) g_sink.path = new std::string;
  *g_sink.path = path;
  g_sink.fd = fd;
  g_sink.maxBytes = maxBytes;
  g_sink.size = size;
  return true;
}

bool ReopenLogFile(std::string* error) {
  MutexLock guard(&g_logMu);
  if (g_sink.path == nullptr) return true;
  if (g_sink.fd >= 0) platform::CloseFile(g_sink.fd);
  int err = 0;
  g_sink.fd = OpenAppend(*g_sink.path, &g_sink.size, &err);
  if (g_sink.fd < 0) {
    *error = "cannot reopen the log file " + *g_sink.path + ": " + ErrorText(err);
    return false;
  }
  return true;
}

void CloseLogFile() {
  MutexLock guard(&g_logMu);
  if (g_sink.fd >= 0) platform::CloseFile(g_sink.fd);
  g_sink.fd = -1;
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
