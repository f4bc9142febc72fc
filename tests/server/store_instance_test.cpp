// The client library (in this process, or in helper processes) against real kdrcached
// processes: a server killed and restarted under an attached client, simultaneous first
// calls, and a new volume stored behind the server's back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "iface/interface.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "proxy/lifecycle.h"
#include "proxy/proxy_log.h"
#include "server/server_fixture.h"
#include "server/vault.h"
#include "support/process_wait.h"

namespace kdr::servertest {
namespace {

namespace pf = kdr::platform;
namespace fs = std::filesystem;

constexpr int32_t kSize = 40000;  // three blocks, the last one short

// Compares file contents without printing them all: a failure shows the start of what came.
#define EXPECT_BYTES(got, want) \
  do {                          \
    std::string g_ = (got);     \
    EXPECT_TRUE(g_ == (want)) << "got " << g_.size() << " bytes: " << g_.substr(0, 40); \
  } while (0)

class LibraryServer : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    setenv("KDR_HOME", home_.c_str(), 1);
    setenv("KDR_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
    setenv("KDR_VXNPROXYLOG", (home_ + "/proxy.log").c_str(), 1);
    std::string script = home_ + "/startvxn.sh";
    std::ofstream(script) << "#!/bin/sh\nexec '" KDRCACHED "' --locale-dir '" KDR_LOCALE_DIR
                             "' --log-level debug 2>>'" << home_ << "/server.log'\n";
    fs::permissions(script, fs::perms::owner_all);
  }

  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "proxy log:\n%s\n", ReadLocal(home_ + "/proxy.log").c_str());
    while (KdrProxyInitialized()) VXN_Term();
    KdrLogClose();
    for (const char* v : {"KDR_HOME", "KDR_RUNTIME_DIR", "KDR_VXNPROXYLOG"}) unsetenv(v);
    ServerFixture::TearDown();
  }

  // Stores `content` as a new volume of the existing file `guid`, not through the server.
  void PutBehindTheServersBack(const std::string& guid, const std::string& content) {
    std::string src = WriteLocal("newer." + guid, content);
    std::string volume;
    EXPECT_EQ(server::NewLocalVault(home_ + "/vault")->Put(guid, "a.bin", src, &volume), 0);
  }

  // Opens the file of `ticket` through the library and reads all of it.
  std::string ReadAll(const std::string& ticket) {
    const char* key = nullptr;
    EXPECT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    VXNFileHandle f = nullptr;
    int r = VXN_OpenFile(key, &f);
    if (r != 0) return "open failed: " + std::to_string(r);
    std::string out;
    std::vector<char> buf(kSize);
    while (out.size() < static_cast<size_t>(kSize)) {
      int n = 0;
      r = VXN_ReadBytes(f, "t", kSize, &n, buf.data());
      if (r != 0 || n <= 0) break;
      out.append(buf.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
    return r == 0 ? out : "read failed: " + std::to_string(r);
  }

  // The store's parameters can be had: the server runs with a store.
  void ExpectStore() {
    RawClient c;
    Connect(&c);
    EXPECT_EQ(c.Simple(KDR_GET_CACHE_INIT_INFO, {}).typeId, kReplyNormal) << LogText();
    EXPECT_EQ(LogText().find("no cache store"), std::string::npos) << LogText();
  }

  size_t Count(const std::string& piece) const {
    std::string log = LogText();
    size_t n = 0;
    for (size_t at = log.find(piece); at != std::string::npos; at = log.find(piece, at + 1)) ++n;
    return n;
  }
};

// SIGKILL of the server while this process is attached to its store, a new volume stored
// meanwhile, and a new server: it has a store of its own, and the attached client notices the
// old owner is gone and reads the new bytes, not the dead store's.
TEST_F(LibraryServer, AttachedClientOutlivesAKilledServer) {
  std::string guid;
  std::string ticket = PutFile(Pattern(kSize, 1), "a.bin", &guid);
  StartServer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 1));  // through the pipe, into the store
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 1));  // out of the store
  ASSERT_EQ(pf::KillProcessGroup(pid_), 0);
  WaitForProcessEnd(pid_, 5000);
  PutBehindTheServersBack(guid, Pattern(kSize, 2));
  StartServer();
  ExpectStore();
  VXN_Echo();  // finds the connection to the killed server broken; the next call connects anew
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 2));
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 2));
}

// Eight processes make their first call at once with no server running: exactly one server
// serves the pipe, and it has its store.
TEST_F(LibraryServer, SimultaneousFirstCallsLeaveOneServerWithItsStore) {
  std::vector<long> pids(8);
  for (long& pid : pids) ASSERT_EQ(pf::SpawnShell("exec '" KDR_LIB_CLIENT "'", &pid), 0);
  for (long pid : pids) EXPECT_EQ(WaitForExitStatus(pid, 30000), 0) << LogText();
  ASSERT_TRUE(WaitForLog("serving ", 5000)) << LogText();
  std::string log = LogText();
  size_t at = log.find(" as process ");
  ASSERT_NE(at, std::string::npos) << log;
  pid_ = std::atol(log.c_str() + at + 12);
  stopped_ = false;  // stopped, and checked, by the fixture
  ExpectStore();
  EXPECT_EQ(Count("serving "), 1u) << LogText();
  EXPECT_EQ(Count("cache store kdr."), 1u) << LogText();
}

// A new volume stored behind the server's back (same size) is seen within the revalidation
// window, through the fast cache and through the pipe, and the whole-file copy is replaced;
// what the cache keeps is readable by its owner only.
TEST_F(LibraryServer, NewVolumeBehindTheServersBackIsSeenWithinTheWindow) {
  std::string guid;
  std::string ticket = PutFile(Pattern(kSize, 3), "a.bin", &guid);
  StartServer("--revalidate-seconds 1");
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 3));
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 3));
  RawClient c;
  Connect(&c);
  auto wholeFile = [&] {
    Reply o = c.Open(ticket);
    EXPECT_EQ(o.typeId, kReplyNormal) << o.ErrorText();
    if (o.payload.size() < 2) return std::string();
    EXPECT_TRUE(c.Send(KDR_GET_FILE_MSG, Cat({BE16(GetBE16(o.payload.data(), 0)), Text("tst", false)})));
    Reply r;
    while (c.Receive(&r) && r.typeId == kReplyProgress) c.SendStatus(0);
    EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    if (r.payload.size() < 2) return std::string();
    return std::string(reinterpret_cast<const char*>(r.payload.data() + 2), GetBE16(r.payload.data(), 0));
  };
  std::string copy = wholeFile();
  EXPECT_BYTES(ReadLocal(copy), Pattern(kSize, 3));

  // A handle opened (through the fast cache) before the change.
  const char* key = nullptr;
  ASSERT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
  VXNFileHandle before = nullptr;
  ASSERT_EQ(VXN_OpenFile(key, &before), 0);
  std::vector<char> buf(100);
  int n = 0;
  ASSERT_EQ(VXN_ReadBytes(before, "t", 100, &n, buf.data()), 0);

  PutBehindTheServersBack(guid, Pattern(kSize, 4));
  pf::SleepMs(2000);  // the window (1 s) and a housekeeping round
  // It never reads the new volume: it fails with a clear code.
  EXPECT_EQ(VXN_SeekAbsolute(before, 20000), 0);
  EXPECT_EQ(VXN_ReadBytes(before, "t", 100, &n, buf.data()), -3003);
  const char* text = nullptr;
  EXPECT_EQ(VXN_GetLastError(&text), 0);
  EXPECT_NE(std::string(text != nullptr ? text : "").find("changed since it was opened"),
            std::string::npos);
  EXPECT_EQ(VXN_CloseFileHandlePointer(before), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 4));
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 4));
  copy = wholeFile();
  EXPECT_BYTES(ReadLocal(copy), Pattern(kSize, 4));

  auto mode = [](const std::string& p) { return fs::status(p).permissions() & fs::perms::all; };
  EXPECT_EQ(mode(home_ + "/cache"), fs::perms::owner_all);
  EXPECT_EQ(mode(home_ + "/cache/kdr.mf"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(copy), fs::perms::owner_read);
}

// With the local vault the watcher sees such a change at once, long before the round would.
TEST_F(LibraryServer, TheVaultWatcherSeesANewVolumeAtOnce) {
  std::string guid;
  std::string ticket = PutFile(Pattern(kSize, 5), "a.bin", &guid);
  StartServer("--revalidate-seconds 3600");
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 5));
  PutBehindTheServersBack(guid, Pattern(kSize, 6));
  ASSERT_TRUE(WaitForLog("changed in the vault", 2000)) << LogText();
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 6));
}

}  // namespace
}  // namespace kdr::servertest
