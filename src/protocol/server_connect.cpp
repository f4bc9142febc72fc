#include "protocol/server_connect.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/env.h"
#include "platform/pipes.h"
#include "platform/process.h"
#include "platform/runtime_dir.h"
#include "protocol/message_framing.h"
#include "protocol/pipe_transport.h"

namespace kdr {
namespace {

// Appends `text` inside a double-quoted shell word: $ ` " \ lose their meaning to the shell.
void AppendQuoted(std::string* out, const char* text) {
  out->push_back('"');
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '$' || *p == '`' || *p == '"' || *p == '\\') out->push_back('\\');
    out->push_back(*p);
  }
  out->push_back('"');
}

// The directory named in the launch failure message: the script path up to its last
// separator ('/' first, the native one, then '\').
std::string ScriptDirectory(const char* execPath) {
  const char* cut = std::strrchr(execPath, '/');
  if (cut == nullptr) cut = std::strrchr(execPath, '\\');
  if (cut == nullptr) return ".";
  return std::string(execPath, static_cast<size_t>(cut - execPath));
}

// Prints a line of the process watch on standard output (always) and in the proxy log.
void WatchLine(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
  KdrLogPrintf("%s", line);
}

// ERR_KDRCP_START_FAILED, with `text` as its text for this thread and the rest of the process.
int StartFailed(const std::string& text) {
  KdrSetStartFailedText(text.c_str());
  KdrSetErrorText(text.c_str());
  return ERR_KDRCP_START_FAILED;
}

// ERR_KDRCP_START_FAILED, with the text saying where to look for the cause: `log`, where the
// launch sent the server's output (empty: nothing was launched).
int StartFailed(const std::string& log, bool launched) {
  std::string text = "The VXN process failed to start or restart. ";
  if (!launched) {
    text += std::string(gProxyConfig.execPath) + " could not be run.";
  } else if (log == kNoStartupLog) {
    text += "The output of " + std::string(gProxyConfig.execPath) +
            " was discarded: set KDR_VXNSTARTUPLOG to a file (or make KDR_HOME/log) to keep it.";
  } else {
    text += "The output of " + std::string(gProxyConfig.execPath) + " is in " + log + ".";
  }
  return StartFailed(text);
}

// The connection attempts of one wait: up to `seconds` of attempts kConnectRetryMs apart
// (elapsed time counts the sleeps only). While `pid` is not 0 the launched process must stay
// alive. Returns the pipe, or kInvalidPipe with *died telling whether the process ended.
PipeHandle WaitForPipe(int32_t seconds, long pid, bool* died) {
  *died = false;
  int64_t limit = int64_t{seconds} * 1000;
  for (int64_t elapsed = 0; elapsed < limit; elapsed += kConnectRetryMs) {
    platform::SleepMs(kConnectRetryMs);
    PipeHandle h = OpenClientPipe(gProxyConfig.pipeName);
    if (h != kInvalidPipe) return h;
    if (pid != 0 && IsProcessAlive(pid) == 0) {
      *died = true;
      return kInvalidPipe;
    }
  }
  return kInvalidPipe;
}

}  // namespace

int ConnectProxy(ThreadRecord* record) {
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;
  BusyScope busy(record);
  if (!busy.pinned()) return ERR_KDRCP_NOT_INITIALIZED;  // released under the caller
  if (record->pipe != kInvalidPipe) return 0;

  KdrLogPrintf("ConnectProxy: Opening pipe.\n");
  KdrLogPrintf("Connecting to master pipe name '%s' file for CLIENT\n", gProxyConfig.pipeName);
  // A runtime directory this user may not use: no server can be reached there, and none
  // launched would serve. Say why, and launch nothing.
  std::string path;
  if (platform::PipePath(gProxyConfig.pipeName, &path) == platform::kPipeNotFound) {
    std::string dir;
    std::string advice = platform::RuntimeDirAdvice(platform::RuntimeDir(&dir));
    KdrLogPrintf("ConnectProxy: %s\n", advice.c_str());
    return StartFailed(advice);
  }
  bool died = false;
  int why = platform::kPipeOk;
  PipeHandle h = OpenClientPipe(gProxyConfig.pipeName, &why);
  // No socket, or one that refuses (a server that died left it): nobody will answer, so the
  // server is launched at once. A server that is there but busy is waited for.
  if (h == kInvalidPipe && why != platform::kPipeNotFound) {
    h = WaitForPipe(gProxyConfig.connectTimeout, 0, &died);
  }
  if (h == kInvalidPipe) {
    long pid = 0;
    std::string log;
    int r = LaunchCacheServer(&pid, &log);
    h = OpenClientPipe(gProxyConfig.pipeName);
    if (h == kInvalidPipe) {
      if (pid == 0 || IsProcessAlive(pid) == 0) {
        KdrLogPrintf("ConnectProxy: The launched VXN process '%s' terminated or failed to start.\n",
                     gProxyConfig.execPath);
        return StartFailed(log, pid != 0);
      }
      h = WaitForPipe(gProxyConfig.startupTimeout, pid, &died);
      // A server launched beside another one's (two first calls at once) ends, as the other
      // serves the pipe: that one answers.
      if (died) h = OpenClientPipe(gProxyConfig.pipeName);
      if (h == kInvalidPipe && died) {
        KdrLogPrintf("ConnectProxy: The launched VXN process '%s' terminated.\n",
                     gProxyConfig.execPath);
        return StartFailed(log, pid != 0);
      }
      // The server runs but has not opened its pipe: no connection, and no failure either;
      // the next exchange tries again.
      if (h == kInvalidPipe) return r;
    }
  }

  record->seqNum = 0;
  record->pipe = h;
  // A server that hangs after the hand-off must not hold lock A (and every thread that needs
  // it) for ever: the version check's read is bounded like the master pipe's.
  platform::PipeSetReadTimeout(h, platform::kHandOffTimeoutMs);
  int v = VersionCheck(0);
  if (record->pipe != kInvalidPipe) platform::PipeSetReadTimeout(record->pipe, 0);
  return v == -kVersionRefusedCode ? ERR_KDRCP_VERSION : v;
}

std::string StartupLogPath() {
  std::string log;
  if (platform::GetEnvNonEmpty("KDR_VXNSTARTUPLOG", &log)) return log;
  std::string home;
  if (platform::GetEnvNonEmpty("KDR_HOME", &home)) {
    std::string dir = home + "/log";
    if (platform::IsDirectory(dir)) return dir + "/" + kDefaultStartupLog;
  }
  return kNoStartupLog;
}

bool BuildLaunchCommand(char* command, const char* scriptPath, std::string* logUsed) {
  command[0] = '\0';
  std::string log = StartupLogPath();
  if (logUsed != nullptr) *logUsed = log;
  if (log.size() > kStartupLogMax) return false;
  std::string line;
  AppendQuoted(&line, scriptPath != nullptr ? scriptPath : "");
  line += " > ";
  AppendQuoted(&line, log.c_str());
  line += " 2>&1";
  if (line.size() >= kLaunchCommandSize) return false;
  std::memcpy(command, line.c_str(), line.size() + 1);
  return true;
}

int LaunchCacheServer(long* pid, std::string* log) {
  *pid = 0;
  char command[kLaunchCommandSize];
  bool built = BuildLaunchCommand(command, gProxyConfig.execPath, log);
  std::string dir = ScriptDirectory(gProxyConfig.execPath);
  KdrLogPrintf("Pipe not connected - waking up KDR Cache Server\n");
  long child = 0;
  // "exec": the shell replaces itself with the script after the redirections, and the script
  // execs the server, so no shell stays behind as the server's parent.
  std::string shellLine = std::string("exec ") + command;
  if (!built || platform::SpawnShell(shellLine.c_str(), &child) != 0) {
    KdrLogPrintf("Failed to start '%s' in directory '%s'\n", gProxyConfig.execPath, dir.c_str());
    log->clear();
    return ERR_KDRCP_START_FAILED;
  }
  *pid = child;
  return 0;
}

int IsProcessAlive(long pid) {
  long status = 0;
  int err = 0;
  char line[128];
  switch (platform::QueryProcess(pid, &status, &err)) {
    case platform::ProcessState::kRunning:
      return 1;
    case platform::ProcessState::kExited:
      std::snprintf(line, sizeof line, "PID %ld exited with status %ld.\n", pid, status);
      break;
    case platform::ProcessState::kGone:
      std::snprintf(line, sizeof line, "PID %ld has terminated.\n", pid);
      break;
    case platform::ProcessState::kUnknown:
    default:
      std::snprintf(line, sizeof line, "Error %ld monitoring PID %ld.\n", static_cast<long>(err),
                    pid);
      break;
  }
  WatchLine(line);
  return 0;
}

int VersionCheck(int allowConnect) {
  PinnedRecord pin;
  ThreadRecord* record = pin.get();
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;
  if (record->pipe == kInvalidPipe) {
    if (allowConnect == 0) return ERR_KDRCP_NO_SERVER;
    int r = ConnectProxy(record);
    if (r != 0) return r;
  }

  BeginRequest(record, KDR_VERSION_CHECK, kVersionCheckPayload);
  std::memcpy(record->requestBuffer + kHeaderSize, kProtocolVersion, kVersionCheckPayload);
  int n = SendLogged(record, record->requestBuffer, kHeaderSize + kVersionCheckPayload,
                     "VERSION CHECK request");
  if (n < 0) return n;
  int total = ReceiveFinalReply(record, kVersionCheckRules, true, true);
  if (total < 0) return total;
  // The server's instance: server handles are only meaningful to the instance that gave them.
  record->serverInstance =
      total >= static_cast<int>(kVersionReplyInstance + kVersionReplyInstanceBytes)
          ? static_cast<uint64_t>(GetBE64(record->replyBuffer, kVersionReplyInstance))
          : 0;
  return 0;
}

}  // namespace kdr
