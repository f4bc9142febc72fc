// The server's log: one line per event, "<UTC time> kdrcached[<pid>] <LEVEL>: <text>", flushed
// at once, from any thread. It goes to standard error until OpenLogFile() names a file; a file
// is bounded: when a line would take it past its limit it is renamed to "<path>.1" (replacing
// the older one) and a fresh file is started. A line that cannot be written (a full disk) is
// lost, never fatal: the first such loss is said once on standard error, and once again in
// the log when writing works again.
#ifndef KDR_SERVER_LOG_H_
#define KDR_SERVER_LOG_H_

#include <cstdint>
#include <string>

namespace kdr::server {

enum class LogLevel { kError = 0, kWarn = 1, kInfo = 2, kDebug = 3 };

// Parses "error", "warn", "info" or "debug" (any letter case). False for anything else.
bool ParseLogLevel(const char* text, LogLevel* level);

// Lines above `level` are dropped. Set once at start-up, before threads start.
void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);

// Sends the log to the file `path` (appended to; its directory, but not the directory above,
// is created when missing),
// rotated at `maxBytes` (0: never). The file is its owner's alone (0600): lines name
// documents. Returns false with *error naming the path and the cause.
bool OpenLogFile(const std::string& path, int64_t maxBytes, std::string* error);
// Closes the log file and opens its path again (after a rotation tool renamed it). Returns
// false with *error when it cannot be opened; lines then go to standard error until it can.
// Does nothing when the log is standard error.
bool ReopenLogFile(std::string* error);
// Back to standard error; closes the file.
void CloseLogFile();

// The process id shown on every line (set once at start-up).
void SetLogProcessId(long pid);

// The program named on every line (default "kdrcached"; a tool that shares the server's code
// names itself). Set once at start-up; `name` must outlive the process.
void SetLogProgram(const char* name);

// Writes one line when `level` is enabled.
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Logs the store engine's trace text: each non-empty line of `text` as its own line, at
// `level`.
void LogLines(LogLevel level, const char* text);

}  // namespace kdr::server

#endif  // KDR_SERVER_LOG_H_
