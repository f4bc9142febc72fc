#include "client/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "client/proxy_log.h"
#include "client/result_codes.h"

namespace kdr {
namespace {

namespace fs = std::filesystem;

const char* const kVariables[] = {"KDR_HOME",           "VXN_PROXYPIPENAME",
                                  "VXN_PROXYEXECNAME",  "VXN_PROXYBUFFERSIZE",
                                  "VXN_PROXYLOCALE",    "VXN_CONNECTTIMEOUT",
                                  "VXN_STARTUPTIMEOUT"};

class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kdr_config_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_ / "home");
    home_ = (dir_ / "home").string();
    std::ofstream(home_ + "/startvxn.sh") << "#!/bin/sh\n";
    for (const char* v : kVariables) unsetenv(v);
    setenv("KDR_HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    KdrLogClose();
    for (const char* v : kVariables) unsetenv(v);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Reads the configuration; returns the result and what it printed on standard output.
  static int Read(std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    int r = ReadProxyConfiguration();
    std::string printed = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = printed;
    return r;
  }
  static std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
  std::string home_;
};

TEST_F(Config, DefaultsWithOnlyTheHomeSet) {
  std::string out;
  ASSERT_EQ(Read(&out), 0);
  EXPECT_EQ(out, "");
  EXPECT_STREQ(gProxyConfig.pipeName, "\\\\.\\pipe\\KDRClientPipe");
  EXPECT_EQ(std::string(gProxyConfig.pipeName).size(), 22u);
  EXPECT_EQ(gProxyConfig.execPath, home_ + "/startvxn.sh");
  EXPECT_EQ(gProxyConfig.bufferSize, 16384);
  EXPECT_STREQ(gProxyConfig.locale, "Default");
  EXPECT_EQ(gProxyConfig.connectTimeout, 5);
  EXPECT_EQ(gProxyConfig.startupTimeout, 60);

  // A home ending in the separator gets no second one.
  setenv("KDR_HOME", (home_ + "/").c_str(), 1);
  ASSERT_EQ(Read(), 0);
  EXPECT_EQ(gProxyConfig.execPath, home_ + "/startvxn.sh");
}

TEST_F(Config, MissingHomeFailsAndChangesNothingElse) {
  ASSERT_EQ(Read(), 0);
  std::strcpy(gProxyConfig.locale, "fr_FR");
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    if (value == nullptr) {
      unsetenv("KDR_HOME");
    } else {
      setenv("KDR_HOME", value, 1);
    }
    std::string out;
    EXPECT_EQ(Read(&out), ERR_KDRCP_NO_HOME);
    EXPECT_EQ(out, "KDR ERROR: KDR_HOME environment variable is not set.\n");
    EXPECT_STREQ(gProxyConfig.locale, "fr_FR");
    EXPECT_STREQ(gProxyConfig.execPath, "");
  }
}

TEST_F(Config, LaunchScriptMustBeReadable) {
  fs::remove(home_ + "/startvxn.sh");
  std::string out;
  EXPECT_EQ(Read(&out), ERR_KDRCP_NO_SCRIPT);
  EXPECT_EQ(out, "KDR ERROR: VXN launch script '" + home_ + "/startvxn.sh' is inaccessible.\n");

  // A directory opens but is no script.
  fs::create_directories(home_ + "/startvxn.sh");
  EXPECT_EQ(Read(), ERR_KDRCP_NO_SCRIPT);
  fs::remove(home_ + "/startvxn.sh");

  // Another script name is taken relative to the home; an empty one counts as unset.
  fs::create_directories(home_ + "/bin");
  std::ofstream(home_ + "/bin/launch.sh") << "#!/bin/sh\n";
  setenv("VXN_PROXYEXECNAME", "bin/launch.sh", 1);
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(gProxyConfig.execPath, home_ + "/bin/launch.sh");
  setenv("VXN_PROXYEXECNAME", "", 1);
  EXPECT_EQ(Read(&out), ERR_KDRCP_NO_SCRIPT);
  EXPECT_EQ(out, "KDR ERROR: VXN launch script '" + home_ + "/startvxn.sh' is inaccessible.\n");
}

TEST_F(Config, OverlongTextsAreRefusedNotCut) {
  // 255 characters fit; the launch path is refused in full when longer.
  std::string name(255 - home_.size() - 1, 's');
  std::ofstream(home_ + "/" + name) << "#!/bin/sh\n";
  setenv("VXN_PROXYEXECNAME", name.c_str(), 1);
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(std::string(gProxyConfig.execPath).size(), 255u);
  name += "s";
  setenv("VXN_PROXYEXECNAME", name.c_str(), 1);
  std::string out;
  EXPECT_EQ(Read(&out), ERR_KDRCP_NO_SCRIPT);
  EXPECT_EQ(out, "KDR ERROR: VXN launch script '" + home_ + "/" + name + "' is inaccessible.\n");
  unsetenv("VXN_PROXYEXECNAME");

  setenv("VXN_PROXYLOCALE", std::string(255, 'l').c_str(), 1);
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(std::string(gProxyConfig.locale), std::string(255, 'l'));
  setenv("VXN_PROXYLOCALE", std::string(256, 'l').c_str(), 1);
  EXPECT_EQ(Read(&out), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(out, "KDR ERROR: VXN_PROXYLOCALE is longer than 255 characters.\n");
  unsetenv("VXN_PROXYLOCALE");

  setenv("VXN_PROXYPIPENAME", std::string(256, 'p').c_str(), 1);
  EXPECT_EQ(Read(&out), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(out, "KDR ERROR: VXN_PROXYPIPENAME is longer than 255 characters.\n");
}

TEST_F(Config, PipeNameIsTakenAsGiven) {
  setenv("VXN_PROXYPIPENAME", "//./pipe/Other", 1);
  ASSERT_EQ(Read(), 0);
  EXPECT_STREQ(gProxyConfig.pipeName, "//./pipe/Other");
  setenv("VXN_PROXYPIPENAME", "", 1);
  ASSERT_EQ(Read(), 0);
  EXPECT_STREQ(gProxyConfig.pipeName, "\\\\.\\pipe\\KDRClientPipe");
  char path[] = "a\\b/c";
  KdrToBackslashes(path);
  EXPECT_STREQ(path, "a\\b/c");
}

TEST_F(Config, BufferSizeHasALowerBoundOnly) {
  struct Case {
    const char* value;
    int32_t want;
  } cases[] = {{"511", 16384},    {"512", 512},          {"4k", 16384},
               {"  2048xyz", 2048}, {"-4096", 16384},    {"abc", 16384},
               {"1048576", 1048576}, {"99999999999", 16384}, {"2147483647", 2147483647}};
  for (const Case& c : cases) {
    setenv("VXN_PROXYBUFFERSIZE", c.value, 1);
    ASSERT_EQ(Read(), 0) << c.value;
    EXPECT_EQ(gProxyConfig.bufferSize, c.want) << c.value;
  }
}

TEST_F(Config, TimeoutsKeepStartupAtLeastConnect) {
  struct Case {
    const char* connect;
    const char* startup;
    int32_t want_connect, want_startup;
  } cases[] = {{"90", nullptr, 90, 90}, {"10", "8", 10, 60},   {"-1", nullptr, 5, 60},
               {"0", "5", 5, 5},        {"7", "7", 7, 7},       {nullptr, "4", 5, 60},
               {"x", "120", 5, 120},    {"99999999999", nullptr, 5, 60}};
  for (const Case& c : cases) {
    unsetenv("VXN_CONNECTTIMEOUT");
    unsetenv("VXN_STARTUPTIMEOUT");
    if (c.connect != nullptr) setenv("VXN_CONNECTTIMEOUT", c.connect, 1);
    if (c.startup != nullptr) setenv("VXN_STARTUPTIMEOUT", c.startup, 1);
    ASSERT_EQ(Read(), 0);
    EXPECT_EQ(gProxyConfig.connectTimeout, c.want_connect)
        << (c.connect ? c.connect : "-") << "/" << (c.startup ? c.startup : "-");
    EXPECT_EQ(gProxyConfig.startupTimeout, c.want_startup)
        << (c.connect ? c.connect : "-") << "/" << (c.startup ? c.startup : "-");
  }
}

TEST_F(Config, DumpGoesToTheOpenLog) {
  std::string log = (dir_ / "proxy.log").string();
  ASSERT_TRUE(KdrLogOpen(log.c_str()));
  setenv("VXN_PROXYBUFFERSIZE", "4096", 1);
  setenv("VXN_PROXYLOCALE", "de_DE", 1);
  setenv("VXN_CONNECTTIMEOUT", "9", 1);
  ASSERT_EQ(Read(), 0);
  unsetenv("KDR_HOME");
  EXPECT_EQ(Read(), ERR_KDRCP_NO_HOME);
  EXPECT_EQ(FileText(log),
            "Configuration:\n"
            "   VXN_PROXYPIPENAME = \\\\.\\pipe\\KDRClientPipe\n"
            "   VXN_PROXYEXECNAME = " + home_ + "/startvxn.sh\n"
            "   VXN_PROXYBUFFERSIZE = 4096\n"
            "   VXN_PROXYLOCALE = de_DE\n"
            "   VXN_CONNECTTIMEOUT = 9\n"
            "   VXN_STARTUPTIMEOUT = 60\n"
            "WARNING: KDR_HOME environment variable is not set.\n");
}

// The installed launch script replaces itself with KDR_HOME/bin/kdrcached, passing its
// arguments, and finds KDR_HOME from its own place when it is not set.
TEST_F(Config, LaunchScriptExecsTheServerOfItsInstallation) {
  fs::create_directories(home_ + "/bin");
  fs::copy_file(KDR_LAUNCH_SCRIPT, home_ + "/startvxn.sh",
                fs::copy_options::overwrite_existing);
  std::ofstream(home_ + "/bin/kdrcached")
      << "#!/bin/sh\necho \"home=$KDR_HOME args=$*\"\n";
  fs::permissions(home_ + "/bin/kdrcached", fs::perms::owner_all);
  auto run = [](const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    pclose(p);
    return out;
  };
  std::string canonical = fs::canonical(home_).string();
  EXPECT_EQ(run("unset KDR_HOME; sh '" + home_ + "/startvxn.sh' -x 'a b'"),
            "home=" + canonical + " args=-x a b\n");
  EXPECT_EQ(run("cd / && KDR_HOME='" + home_ + "' sh '" + home_ + "/startvxn.sh'"),
            "home=" + home_ + " args=\n");
}

}  // namespace
}  // namespace kdr
