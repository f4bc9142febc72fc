// Shared set-up of the protocol suites: a private runtime directory, the proxy log in a file,
// a configuration with short time-outs, a fresh thread table, and a peer to talk to.
#ifndef KDR_TESTS_PROTOCOL_PROTOCOL_FIXTURE_H_
#define KDR_TESTS_PROTOCOL_PROTOCOL_FIXTURE_H_

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/thread_state.h"
#include "iface/runtime.h"
#include "peer/peer.h"
#include "protocol/pipe_transport.h"

namespace kdr {

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline int CountOf(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kdr-proto-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    runtime_ = dir_ + "/run";
    std::filesystem::create_directory(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    setenv("KDR_RUNTIME_DIR", runtime_.c_str(), 1);
    unsetenv("KDR_VXNSTARTUPLOG");
    unsetenv("KDR_WINDOWS_MULTIUSER");
    ResetMultiUserForTesting();

    KdrInitLocks();
    KdrLogClose();
    logPath_ = dir_ + "/proxy.log";
    ASSERT_TRUE(KdrLogOpen(logPath_.c_str()));

    std::snprintf(gProxyConfig.pipeName, sizeof gProxyConfig.pipeName, "%s", kDefaultPipeName);
    SetScript("exit 1\n");
    gProxyConfig.connectTimeout = 1;
    gProxyConfig.startupTimeout = 1;
    KdrResetThreadTable(Hooks());
  }

  void TearDown() override {
    KdrReleaseAllThreadRecords(Hooks());
    StopPeer();
    KdrLogClose();
    unsetenv("KDR_RUNTIME_DIR");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static MonitorHooks Hooks() { return MonitorHooks{&ClosePipe, nullptr}; }

  // Writes the launch script (a shell script) and points the configuration at it.
  void SetScript(const std::string& body) {
    std::string path = dir_ + "/startvxn.sh";
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    std::snprintf(gProxyConfig.execPath, sizeof gProxyConfig.execPath, "%s", path.c_str());
  }

  // Serves the configured master pipe in-process with `script`.
  void StartPeer(const std::string& script) {
    std::vector<testpeer::Rule> rules;
    std::string error;
    ASSERT_TRUE(testpeer::ParseScript(script, &rules, &error)) << error;
    peer_ = std::make_unique<testpeer::Peer>(gProxyConfig.pipeName, std::move(rules));
    ASSERT_EQ(peer_->Start(), 0);
  }

  void StopPeer() {
    if (peer_ != nullptr) peer_->Stop();
    peer_.reset();
  }

  std::string Log() const { return ReadWholeFile(logPath_); }

  // The lines of the log written since the last call.
  std::string NewLog() {
    std::string all = Log();
    std::string fresh = all.substr(std::min(seen_, all.size()));
    seen_ = all.size();
    return fresh;
  }

  std::string dir_;
  std::string runtime_;
  std::string logPath_;
  std::unique_ptr<testpeer::Peer> peer_;
  size_t seen_ = 0;
};

}  // namespace kdr

#endif  // KDR_TESTS_PROTOCOL_PROTOCOL_FIXTURE_H_
