// Shared set-up of the suites that drive the proxy through its entries against the scriptable
// peer: a private temporary directory with a runtime directory and a KDR_HOME whose launch
// script fails at once, short time-outs, none of the optional settings, the proxy log in a
// file, and a peer serving the default master pipe.
#ifndef KDR_TESTS_SUPPORT_PROXY_FIXTURE_H_
#define KDR_TESTS_SUPPORT_PROXY_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "client/config.h"
#include "client/proxy_log.h"
#include "iface/interface.h"
#include "peer/peer.h"
#include "protocol/pipe_transport.h"
#include "proxy/lifecycle.h"

namespace kdr {

class ProxyFixture : public ::testing::Test {
 protected:
  // `prefix`: the start of the temporary directory's name.
  explicit ProxyFixture(const char* prefix) : prefix_(prefix) {}

  void SetUp() override {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / (prefix_ + "-XXXXXX")).string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    std::string runtime = dir_ + "/run";
    std::filesystem::create_directory(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    home_ = dir_ + "/home";
    std::filesystem::create_directory(home_);
    SetScript("exit 1\n");
    setenv("KDR_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("KDR_HOME", home_.c_str(), 1);
    setenv("VXN_CONNECTTIMEOUT", "1", 1);
    setenv("VXN_STARTUPTIMEOUT", "1", 1);
    for (const char* v : kOptional) unsetenv(v);
    ResetMultiUserForTesting();
    KdrLogClose();
    logPath_ = dir_ + "/proxy.log";
    setenv("KDR_VXNPROXYLOG", logPath_.c_str(), 1);
  }

  void TearDown() override {
    StopProxyAndPeer();
    RemoveEnvironment();
  }

  // Terminates the proxy however often it was initialised, stops the peer, closes the log.
  void StopProxyAndPeer() {
    while (KdrProxyInitialized()) VXN_Term();
    if (peer_ != nullptr) peer_->Stop();
    peer_.reset();
    KdrLogClose();
  }

  // Unsets what SetUp and the tests set and removes the temporary directory.
  void RemoveEnvironment() {
    for (const char* v : {"KDR_RUNTIME_DIR", "KDR_HOME", "VXN_CONNECTTIMEOUT",
                          "VXN_STARTUPTIMEOUT", "KDR_VXNPROXYLOG"}) {
      unsetenv(v);
    }
    for (const char* v : kOptional) unsetenv(v);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Writes the launch script in KDR_HOME (a shell script with `body`).
  void SetScript(const std::string& body) {
    std::string path = home_ + "/" + kDefaultLaunchScript;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  // Serves the default master pipe in-process with `script`.
  void StartPeer(const std::string& script = "") {
    std::vector<testpeer::Rule> rules;
    std::string error;
    ASSERT_TRUE(testpeer::ParseScript(script, &rules, &error)) << error;
    peer_ = std::make_unique<testpeer::Peer>(kDefaultPipeName, std::move(rules));
    ASSERT_EQ(peer_->Start(), 0);
  }

  // Serves the default master pipe with `script` and initialises the proxy against it.
  void Start(const std::string& script) {
    ASSERT_NO_FATAL_FAILURE(StartPeer(script));
    ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  }

  // How many requests named `name` the peer received.
  int Count(const char* name) const { return peer_->Count(testpeer::MessageCode(name)); }

  // The proxy log so far.
  std::string Log() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Settings a test may set; every test starts and ends without them.
  static constexpr const char* kOptional[] = {
      "VXN_PROXYPIPENAME",   "VXN_PROXYEXECNAME",          "VXN_PROXYBUFFERSIZE",
      "VXN_PROXYLOCALE",     "VXN_PROXY_PIPEONLY",         "VXN_PROXY_OPEN_CACHE_EARLY",
      "KDR_VXNSTARTUPLOG",   "KDR_WINDOWS_MULTIUSER",      "KDRC_DEFAULT_LOGFILE",
      "KDRC_CACHE_TRACE"};

  const std::string prefix_;
  std::string dir_;
  std::string home_;
  std::string logPath_;
  std::unique_ptr<testpeer::Peer> peer_;
};

}  // namespace kdr

#endif  // KDR_TESTS_SUPPORT_PROXY_FIXTURE_H_
