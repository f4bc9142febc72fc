// Connecting when the server is not there: the waits, the launch through the script, the
// watch over the launched process, and a real server process that dies.
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "client/result_codes.h"
#include "platform/fault.h"
#include "platform/process.h"
#include "protocol/control_messages.h"
#include "protocol/message_framing.h"
#include "protocol/protocol_fixture.h"
#include "protocol/server_connect.h"
#include "support/process_wait.h"

namespace kdr {
namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Waits up to 20 s for a file to appear with content; returns its first number.
long WaitForPidFile(const std::string& path) {
  for (int i = 0; i < 2000; ++i) {
    std::string s = ReadWholeFile(path);
    if (!s.empty() && s.back() == '\n') return std::stol(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

// Kills a launched server (with the shell that launched it) and waits until it has ended.
void KillAndWait(long pid) {
  ASSERT_GT(pid, 0);
  platform::KillProcessGroup(pid);
  WaitForProcessEnd(pid, 20000);
}

class Connect : public ProtocolTest {};

TEST_F(Connect, RunningServerNeedsOneAttemptAndNoLaunch) {
  StartPeer("");
  Clock::time_point t0 = Clock::now();
  EXPECT_EQ(EnsureConnected(), 0);
  EXPECT_LT(ElapsedMs(t0), 1000);
  std::string log = Log();
  EXPECT_EQ(CountOf(log, "Open Pipe '"), 1);
  EXPECT_EQ(log.find("waking up"), std::string::npos);
}

TEST_F(Connect, LaunchScriptThatExitsAtOnce) {
  std::string startupLog = dir_ + "/startup.log";
  setenv("KDR_VXNSTARTUPLOG", startupLog.c_str(), 1);
  SetScript("echo starting; exit 1\n");
  ThreadRecord* r = KdrThreadRecord();
  testing::internal::CaptureStdout();
  Clock::time_point t0 = Clock::now();
  int rc = ConnectProxyLocked(r);
  long elapsed = ElapsedMs(t0);
  std::string out = testing::internal::GetCapturedStdout();
  unsetenv("KDR_VXNSTARTUPLOG");

  EXPECT_EQ(rc, ERR_KDRCP_START_FAILED);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_EQ(r->busy.load(), 0);
  std::regex exited("PID [0-9]+ exited with status 1\\.\n");
  EXPECT_TRUE(std::regex_search(out, exited)) << out;
  std::string log = Log();
  EXPECT_TRUE(std::regex_search(log, exited)) << log;
  // No socket: nobody listens, so the launch follows the first attempt without a wait.
  size_t wake = log.find("Pipe not connected - waking up KDR Cache Server\n");
  ASSERT_NE(wake, std::string::npos);
  EXPECT_EQ(CountOf(log.substr(0, wake), "Open Pipe '"), 1);
  std::string died1 = "ConnectProxy: The launched VXN process '" + std::string(gProxyConfig.execPath) +
                      "' terminated or failed to start.\n";
  std::string died2 = "ConnectProxy: The launched VXN process '" + std::string(gProxyConfig.execPath) +
                      "' terminated.\n";
  EXPECT_TRUE(log.find(died1) != std::string::npos || log.find(died2) != std::string::npos) << log;
  EXPECT_LT(elapsed, 1000);
  // The script's output went to the startup log, and the failure's text says where it is.
  EXPECT_EQ(ReadWholeFile(startupLog), "starting\n");
  const char* text = KdrErrorText(ERR_KDRCP_START_FAILED);
  EXPECT_NE(std::string(text).find("is in " + startupLog), std::string::npos) << text;
}

// A runtime directory others may write: nothing is launched, and the log says what to do.
TEST_F(Connect, RuntimeDirectoryOthersMayWriteIsRefusedWithAdvice) {
  std::filesystem::permissions(runtime_, std::filesystem::perms::all);
  SetScript("echo launched > '" + dir_ + "/launched'\n");
  Clock::time_point t0 = Clock::now();
  EXPECT_EQ(ConnectProxyLocked(KdrThreadRecord()), ERR_KDRCP_START_FAILED);
  EXPECT_LT(ElapsedMs(t0), 1000);
  EXPECT_NE(Log().find("has mode 0777, which lets other users write in it: make it private with "
                       "'chmod 700 " + runtime_ + "'"), std::string::npos) << Log();
  // The caller's text says the same, not where a launch's output went.
  const char* text = KdrThreadRecord()->errorText;
  EXPECT_NE(std::string(text != nullptr ? text : "").find("chmod 700 " + runtime_),
            std::string::npos)
      << (text != nullptr ? text : "");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/launched"));
}

TEST_F(Connect, ScriptThatCannotBeStarted) {
  gProxyConfig.connectTimeout = 0;
  platform::InjectFault(platform::Sys::kSpawn, EAGAIN);
  ThreadRecord* r = KdrThreadRecord();
  int rc = ConnectProxyLocked(r);
  platform::ClearFaults();
  EXPECT_EQ(rc, ERR_KDRCP_START_FAILED);
  std::string exec = gProxyConfig.execPath;
  EXPECT_NE(Log().find("Pipe not connected - waking up KDR Cache Server\n"
                       "Failed to start '" + exec + "' in directory '" + dir_ + "'\n"),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("ConnectProxy: The launched VXN process '" + exec +
                       "' terminated or failed to start.\n"),
            std::string::npos);
}

TEST_F(Connect, ServerThatNeverOpensItsPipeGivesNoConnectionAndNoFailure) {
  gProxyConfig.connectTimeout = 0;
  gProxyConfig.startupTimeout = 1;
  std::string pidFile = dir_ + "/server.pid";
  std::string launchedFile = dir_ + "/launched.pid";
  // The shell of the launch command replaces itself with the script: the script's parent is
  // this process, no shell stays between.
  SetScript("echo $PPID > '" + launchedFile + "'\necho $$ > '" + pidFile + "'\nexec sleep 30\n");
  ThreadRecord* r = KdrThreadRecord();
  Clock::time_point t0 = Clock::now();
  EXPECT_EQ(ConnectProxyLocked(r), 0);
  EXPECT_GE(ElapsedMs(t0), 1000);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_EQ(r->busy.load(), 0);
  EXPECT_EQ(Log().find("terminated"), std::string::npos);
  EXPECT_EQ(WaitForPidFile(launchedFile), platform::CurrentProcessId());
  long launched = WaitForPidFile(pidFile);
  KillAndWait(launched);
  // The launched process (a child of ours) ended with the kill and was reaped: no zombie.
  std::string proc = "/proc/" + std::to_string(launched);
  for (int i = 0; i < 1000 && std::filesystem::exists(proc); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(std::filesystem::exists(proc));
  long status = 0;
  int err = 0;
  EXPECT_EQ(platform::QueryProcess(launched, &status, &err), platform::ProcessState::kExited);
  EXPECT_EQ(status, 128 + 9);
}

// The launch script starts a real server process; killing it while the thread's pipe is idle
// costs the thread no failed call (no SIGPIPE, no hang): its next exchange launches a new one.
TEST_F(Connect, LaunchedServerServesThenDiesAndTheThreadReconnects) {
  gProxyConfig.connectTimeout = 0;
  gProxyConfig.startupTimeout = 20;
  std::string ready = dir_ + "/peer.pid";
  std::string counts = dir_ + "/peer.counts";
  SetScript("rm -f '" + ready + "'\nexec '" KDR_TEST_PEER "' --pipe '" +
            std::string(kDefaultPipeName) + "' --lifetime 30000 --ready-file '" + ready +
            "' --counts '" + counts + "'\n");
  EXPECT_EQ(EnsureConnected(), 0);
  EXPECT_EQ(EchoMsg(), 0);
  std::string c = ReadWholeFile(counts);
  EXPECT_NE(c.find("VERSION_CHECK 1\n"), std::string::npos) << c;
  EXPECT_NE(c.find("ECHO 1\n"), std::string::npos) << c;

  KillAndWait(WaitForPidFile(ready));

  int rc = ERR_KDRCP_NO_SERVER;
  int calls = 0;
  for (; calls < 4 && rc != 0; ++calls) rc = EchoMsg();
  EXPECT_EQ(rc, 0);
  // The idle pipe is seen closed before the exchange, so the first call launches a new one.
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(CountOf(Log(), "Pipe not connected - waking up KDR Cache Server\n"), 2);
  KillAndWait(WaitForPidFile(ready));
}

TEST(LaunchCommand, QuotesTheScriptAndRedirectsToTheStartupLog) {
  char cmd[kLaunchCommandSize];
  unsetenv("KDR_VXNSTARTUPLOG");
  const char* home = getenv("KDR_HOME");
  std::string savedHome = home != nullptr ? home : "";
  setenv("KDR_HOME", "/nonexistent-kdr-home", 1);  // no KDR_HOME/log: nowhere
  ASSERT_TRUE(BuildLaunchCommand(cmd, "/opt/kdr/startvxn.sh"));
  EXPECT_STREQ(cmd, "\"/opt/kdr/startvxn.sh\" > \"/dev/null\" 2>&1");
  if (home != nullptr) setenv("KDR_HOME", savedHome.c_str(), 1);
  else unsetenv("KDR_HOME");
  setenv("KDR_VXNSTARTUPLOG", "", 1);
  ASSERT_TRUE(BuildLaunchCommand(cmd, "/opt/kdr/startvxn.sh"));
  EXPECT_STREQ(cmd, "\"/opt/kdr/startvxn.sh\" > \"/dev/null\" 2>&1");
  setenv("KDR_VXNSTARTUPLOG", "/var/log/kdr start.log", 1);
  ASSERT_TRUE(BuildLaunchCommand(cmd, "/opt/kdr/startvxn.sh"));
  EXPECT_STREQ(cmd, "\"/opt/kdr/startvxn.sh\" > \"/var/log/kdr start.log\" 2>&1");
  // What the shell would expand inside double quotes is escaped: the path runs as named.
  ASSERT_TRUE(BuildLaunchCommand(cmd, "/a/$HOME/`x`/\"q\"/b\\c.sh"));
  EXPECT_STREQ(cmd, "\"/a/\\$HOME/\\`x\\`/\\\"q\\\"/b\\\\c.sh\" > \"/var/log/kdr start.log\" 2>&1");
  // Too long for the command line, or a log path over 255 characters: refused.
  EXPECT_FALSE(BuildLaunchCommand(cmd, std::string(480, 's').c_str()));
  EXPECT_STREQ(cmd, "");
  setenv("KDR_VXNSTARTUPLOG", std::string(256, 'l').c_str(), 1);
  EXPECT_FALSE(BuildLaunchCommand(cmd, "/opt/kdr/startvxn.sh"));
  unsetenv("KDR_VXNSTARTUPLOG");
}

}  // namespace
}  // namespace kdr
