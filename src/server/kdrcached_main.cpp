// kdrcached: the KDR cache server program.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "server/block_cache.h"
#include "server/config.h"
#include "server/log.h"
#include "server/server.h"
#include "server/vault.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitStartFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAlreadyServed = 3;

}  // namespace

int main(int argc, char** argv) {
  using namespace kdr::server;
  // Before any thread exists, so that every thread inherits the mask and only the waiter
  // below ever takes SIGTERM / SIGINT.
  kdr::platform::BlockStopSignals();

  ServerConfig config;
  std::string error;
  switch (ParseServerConfig(argc, argv, &config, &error)) {
    case ConfigOutcome::kHelp:
      std::fputs(ServerUsage(), stdout);
      return kExitOk;
    case ConfigOutcome::kError:
      std::fprintf(stderr, "kdrcached: %s\n", error.c_str());
      return kExitUsage;
    case ConfigOutcome::kRun:
      break;
  }
  SetLogLevel(config.logLevel);
  Log(LogLevel::kInfo, "starting (process %ld): cache %s, vault %s, catalogs %s",
      kdr::platform::CurrentProcessId(), config.cacheDir.c_str(), config.vaultDir.c_str(),
      config.localeDir.c_str());

  // The store is opened by Start(), once this process has won the pipe: a server that loses
  // never touches it.
  std::unique_ptr<Vault> vault = NewLocalVault(config.vaultDir);
  Server server(config, std::move(vault), nullptr);
  int rc = server.Start(&error);
  if (rc != 0) {
    Log(LogLevel::kError, "%s", error.c_str());
    if (rc == kdr::platform::kPipeAccessDenied) {
      // Two clients may launch a server at the same moment. The loser stays a moment, so a
      // client watching it finds the winner's pipe before it sees this process end.
      kdr::platform::SleepMs(1000);
      return kExitAlreadyServed;
    }
    return kExitStartFailed;
  }

  std::thread waiter([&server] {
    int sig = kdr::platform::WaitStopSignal();
    Log(LogLevel::kInfo, "signal %d: stopping", sig);
    server.Stop();
  });
  server.Run();
  // Run() returns only after Stop(), which only the waiter calls.
  waiter.join();
  if (server.Abandoned()) {
    // A thread still waits in a hand-off and uses the server: end without destroying it.
    server.Release();
    Log(LogLevel::kInfo, "a client never came to its pipe; not waiting for it");
    std::fflush(stderr);
    std::_Exit(kExitOk);
  }
  return kExitOk;
}
