// Connecting a thread to the cache server: the master pipe with its waits, starting the
// server through the installation's launch script, watching the started process, and the
// version check that every new connection begins with.
//
// Concurrency: ConnectProxy runs with lock A held (ConnectProxyLocked, EnsureConnected, or a
// caller such as the fast cache that holds it already), so one thread at a time opens pipes,
// starts the server or waits for it; the waits sleep with lock A held.
#ifndef KDR_PROTOCOL_SERVER_CONNECT_H_
#define KDR_PROTOCOL_SERVER_CONNECT_H_

#include <cstddef>
#include <string>

#include "client/thread_state.h"
#include "protocol/message_framing.h"

namespace kdr {

// Size of the launch command buffer: 511 characters and the NUL.
inline constexpr size_t kLaunchCommandSize = 512;
// Longest startup log path taken from KDR_VXNSTARTUPLOG.
inline constexpr size_t kStartupLogMax = 255;
// Where the launch script's output goes without KDR_VXNSTARTUPLOG: this file in
// KDR_HOME/log when that directory exists, else nowhere.
inline constexpr char kDefaultStartupLog[] = "kdrcached-start.log";
inline constexpr char kNoStartupLog[] = "/dev/null";
// Pause between two attempts of the waits, milliseconds.
inline constexpr int kConnectRetryMs = 100;

// ConnectProxy, which makes a connection, is declared in message_framing.h and defined here.

// Starts the launch script (`execPath` of the configuration) through the shell, its output
// going to the startup log. Stores the new process's id in *pid (0 when none was started) and
// the log its output went to in *log (empty when none was started). Returns 0 or
// ERR_KDRCP_START_FAILED.
int LaunchCacheServer(long* pid, std::string* log);

// Writes into `command` (kLaunchCommandSize bytes) the shell command that runs `scriptPath`
// with standard output and error written to the startup log:
//   "<scriptPath>" > "<log>" 2>&1
// where <log> is StartupLogPath(). Characters the
// shell would interpret inside double quotes ($ ` " \) are escaped, so any path is run as
// named. Returns false (and an empty command) when the command or the log path does not fit.
// *log (when given) is set to <log>.
bool BuildLaunchCommand(char* command, const char* scriptPath, std::string* log = nullptr);

// Where the launch script's output goes: KDR_VXNSTARTUPLOG when set and not empty, else
// KDR_HOME/log/kdrcached-start.log when KDR_HOME/log is a directory, else /dev/null.
std::string StartupLogPath();

// Non-zero while process `pid` runs; 0 when it has ended or cannot be queried, after
// printing why ("PID %ld exited with status %ld.", "PID %ld has terminated." or "Error %ld
// monitoring PID %ld.") on standard output and in the proxy log.
int IsProcessAlive(long pid);

// Runs the KDR_VERSION_CHECK exchange on the calling thread's connection. With allowConnect 0
// the thread must be connected (else ERR_KDRCP_NO_SERVER); with 1 it is connected first when
// it is not (ConnectProxy, whose result ends the check when not 0). Returns 0 when the server
// accepts this client, the error reply's code (-100 when it refuses the version), or a code of
// the exchange.
int VersionCheck(int allowConnect);

}  // namespace kdr

#endif  // KDR_PROTOCOL_SERVER_CONNECT_H_
