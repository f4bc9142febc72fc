// kdrcached among hostile neighbours on a shared machine: links planted where it writes, files
// that are not files, peers that stop half-way or take every connection, a runtime directory
// others control, the signals a daemon gets, and a low descriptor limit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/process.h"
#include "server/server_fixture.h"
#include "server/vault.h"
#include "support/process_wait.h"

namespace kdr::servertest {
namespace {

namespace fs = std::filesystem;
namespace pf = kdr::platform;

class Hostile : public ServerFixture {
 protected:
  uint16_t OpenOk(RawClient* c, const std::string& ticket) {
    Reply r = c->Open(ticket);
    EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    return r.payload.size() >= 2 ? GetBE16(r.payload.data(), 0) : 0xFFFF;
  }

  // Runs a transfer already sent to its end: CONTINUE to the first `most` progress replies,
  // CANCEL after them.
  Reply Finish(RawClient* c, int most = 1000) {
    for (int n = 0;; ++n) {
      Reply r;
      if (!c->Receive(&r)) return Reply{};
      if (r.typeId != kReplyProgress) return r;
      c->SendStatus(n < most ? 0 : -3016);
    }
  }

  Reply Upload(RawClient* c, uint16_t h, const std::string& path, int most = 1000) {
    EXPECT_TRUE(c->Send2(KDR_UPLOAD_MSG, Cat({BE16(h), BE16(static_cast<uint16_t>(path.size()))}),
                         Text(path, false)));
    return Finish(c, most);
  }

  static unsigned Perms(const std::string& path) {
    return static_cast<unsigned>(fs::status(path).permissions() & fs::perms::mask);
  }

  bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    for (int t = 0; t < timeoutMs; t += 20) {
      if (done()) return true;
      pf::SleepMs(20);
    }
    return done();
  }
};

TEST_F(Hostile, LinksPlantedInASharedDirectoryNeverRedirectADownload) {
  StartServer();
  std::string content = Pattern(50000, 21);
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, PutFile(content, "d.bin"));
  std::string victim = WriteLocal("victim", "private");
  std::string shared = home_ + "/shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  // Another user's links under every name a server process could have guessed from its id.
  for (int n = 0; n < 64; ++n) {
    fs::create_symlink(victim, shared + "/.kdrpart." + std::to_string(pid_) + "." + std::to_string(n));
  }
  std::string target = shared + "/out.bin";
  ASSERT_TRUE(c.Send(KDR_GET_LOCATION_MSG, Cat({BE16(h), Text("tst", false), Text(target, true)})));
  Reply r = Finish(&c);
  EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
  EXPECT_EQ(ReadLocal(victim), "private");
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_TRUE(ReadLocal(target) == content) << "the target does not hold the file";
}

TEST_F(Hostile, VaultAndLogArePrivateAndWhatDeadWritersLeftGoesAtStart) {
  std::string guid;
  std::string ticket = PutFile(Pattern(30000, 5), "p.bin", &guid);
  std::string dir = home_ + "/vault/" + guid;
  long dead = 0;
  ASSERT_EQ(pf::SpawnShell("exit 0", &dead), 0);
  ASSERT_EQ(WaitForExitStatus(dead, 5000), 0);
  std::string deadTmp = dir + "/.tmp." + std::to_string(dead) + ".1";
  std::string liveTmp = dir + "/.tmp." + std::to_string(pf::CurrentProcessId()) + ".2";
  std::ofstream(deadTmp) << "half";
  std::ofstream(liveTmp) << "writing";
  std::string log = home_ + "/log/kdrcached.log";
  StartServer("--log-file '" + log + "'");

  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, ticket);
  EXPECT_EQ(Upload(&c, h, WriteLocal("up.bin", Pattern(1000, 6))).typeId, kReplyNormal);
  EXPECT_EQ(Perms(dir), 0700u);
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path() != liveTmp) {
      EXPECT_EQ(Perms(e.path()), 0600u) << e.path();
    }
  }
  EXPECT_EQ(Perms(log), 0600u);
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(deadTmp); }, 3000));
  EXPECT_TRUE(fs::exists(liveTmp));
}

// Roll-backs in one thread, opens in another: every open finds the file's base volume.
TEST_F(Hostile, AnOpenSeesOneConsistentVolumeListUnderRollBacks) {
  std::string guid;
  PutFile("base", "b.bin", &guid);
  auto vault = server::NewLocalVault(home_ + "/vault");
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      std::unique_ptr<server::VaultUpload> up;
      std::string volume, removed;
      if (vault->BeginUpload(guid, &up) != 0 || up->Write("x", 1) != 0 || up->Commit(&volume) != 0)
        continue;
      vault->RollBack(guid, volume, &removed);
    }
  });
  int failures = 0;
  int opens = 0;
  for (int32_t start = pf::MonotonicMs(); pf::MonotonicMs() - start < 1500 && opens < 50000; ++opens) {
    std::shared_ptr<server::VaultFile> f;
    if (vault->Open(guid, &f) != 0) ++failures;
  }
  stop.store(true);
  churn.join();
  EXPECT_EQ(failures, 0) << "of " << opens << " opens";
}

TEST_F(Hostile, OnlyRegularFilesAreUploaded) {
  StartServer();
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, PutFile("keep", "k.bin"));
  std::string fifo = home_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Should the server wait on the FIFO, a writer comes after 3 s and frees it.
  std::atomic<bool> done{false};
  std::thread unblock([&] {
    for (int t = 0; t < 3000 && !done.load(); t += 20) pf::SleepMs(20);
    int fd = done.load() ? -1 : open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
  });
  for (const std::string& path : {std::string("/dev/zero"), fifo, home_}) {
    Reply r = Upload(&c, h, path, 20);
    EXPECT_EQ(r.ErrorCode(), -3003) << path;
    EXPECT_NE(r.ErrorText().find("not a regular file"), std::string::npos) << r.ErrorText();
  }
  done.store(true);
  unblock.join();
}

TEST_F(Hostile, APeerThatStopsHalfWayOrTakesEveryConnectionLocksNobodyOut) {
  StartServer("--max-connections 4");
  std::string ticket = PutFile("x", "x.bin");
  {
    RawClient stalled;
    Connect(&stalled);
    ASSERT_TRUE(stalled.SendRaw({0, 0}));  // half of a length
    stalled.SetReadTimeout(9000);
    int32_t start = pf::MonotonicMs();
    Reply none;
    EXPECT_FALSE(stalled.Receive(&none));
    EXPECT_LT(pf::MonotonicMs() - start, 8000) << "not closed by the server";
    EXPECT_TRUE(WaitForLog("sent part of a request and nothing more", 1000)) << LogText();
  }
  // This process may hold two of the four connections; another process still gets one.
  RawClient a, b, c;
  Connect(&a);
  Connect(&b);
  EXPECT_NE(c.Connect(master_), pf::kPipeOk);
  std::string out = home_ + "/other.handle";
  long other = 0;
  std::string cmd = "exec '" KDR_KILL_CLIENT "' '" + master_ + "' '" + ticket + "' '" + out + "'";
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &other), 0);
  EXPECT_TRUE(WaitFor([&] { return fs::exists(out); }, 5000));
  pf::KillProcessGroup(other);
  WaitForProcessEnd(other, 5000);
  EXPECT_TRUE(WaitForLog("the most one process may", 1000)) << LogText();
}

TEST_F(Hostile, ARuntimeDirectoryOthersControlIsRefusedWithAdvice) {
  std::string run = home_ + "/run";
  fs::permissions(run, fs::perms::owner_all | fs::perms::others_all);
  StartServerExpectingExit("", 1);
  EXPECT_NE(LogText().find("mode 0707"), std::string::npos) << LogText();
  EXPECT_NE(LogText().find("chmod 700 " + run), std::string::npos);
  if (geteuid() == 0) {  // a directory of another user: root can make one
    fs::permissions(run, fs::perms::owner_all);
    ASSERT_EQ(chown(run.c_str(), 12345, 12345), 0);
    StartServerExpectingExit("", 1);
    EXPECT_NE(LogText().find("belongs to user 12345"), std::string::npos) << LogText();
  }
}

TEST_F(Hostile, HupReopensTheLogAndTermStopsEvenDuringStartUp) {
  std::string log = home_ + "/log/kdrcached.log";
  StartServer("--log-file '" + log + "'");
  fs::rename(log, log + ".1");  // what a rotation tool does before it sends SIGHUP
  ASSERT_EQ(kill(static_cast<pid_t>(pid_), SIGHUP), 0);
  EXPECT_TRUE(WaitFor([&] { return fs::exists(log); }, 3000));
  RawClient c;
  Connect(&c);
  EXPECT_EQ(c.Simple(KDR_ECHO_MSG, {}).typeId, kReplyNormal);
  EXPECT_EQ(StopServer(), 0);
  EXPECT_NE(ReadLocal(log).find("log file reopened"), std::string::npos) << ReadLocal(log);

  // A start-up that hangs (its log is a FIFO nobody reads) still ends at once on SIGTERM.
  std::string fifo = home_ + "/log/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string cmd = "exec env KDR_HOME='" + home_ + "' KDR_RUNTIME_DIR='" + home_ + "/run' '" KDRCACHED
                    "' --log-file '" + fifo + "' 2>>'" + home_ + "/server.log'";
  long pid = 0;
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
  pf::SleepMs(1000);
  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGTERM), 0);
  long status = WaitForExitStatus(pid, 5000);
  if (status < 0) pf::KillProcessGroup(pid);
  EXPECT_EQ(status, 0) << LogText();
}

TEST_F(Hostile, TheDescriptorLimitIsRaisedOrTheConnectionsLowered) {
  auto softLimit = [](long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("Max open files", 0) == 0) return std::atol(line.c_str() + 26);
    }
    return 0L;
  };
  StartServer("--max-connections 200", "prlimit --nofile=128:");
  EXPECT_EQ(softLimit(pid_), 64 + 2 * 200);
  EXPECT_EQ(StopServer(), 0);

  StartServer("--max-connections 200", "prlimit --nofile=100:100");
  EXPECT_TRUE(WaitForLog("serving at most 18", 1000)) << LogText();
}

}  // namespace
}  // namespace kdr::servertest
