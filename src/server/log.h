// The server's log: one line per event on standard error, flushed at once, from any thread.
#ifndef KDR_SERVER_LOG_H_
#define KDR_SERVER_LOG_H_

namespace kdr::server {

enum class LogLevel { kError = 0, kWarn = 1, kInfo = 2, kDebug = 3 };

// Parses "error", "warn", "info" or "debug" (any letter case). False for anything else.
bool ParseLogLevel(const char* text, LogLevel* level);

// Lines above `level` are dropped. Set once at start-up, before threads start.
void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);

// Writes "kdrcached: <LEVEL>: <text>\n" when `level` is enabled.
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kdr::server

#endif  // KDR_SERVER_LOG_H_
