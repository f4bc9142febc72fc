// kdrcached as the person who runs it meets it: a wrong installation refused with advice, a
// broken store reported and rebuilt with `kdrcstore reset`, the counters of its status, and
// the bound of the whole-file cache.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "server/server_fixture.h"
#include "server/stats.h"
#include "store/kdrc.h"
#include "support/process_wait.h"

namespace kdr::servertest {
namespace {

namespace fs = std::filesystem;

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

class Ops : public ServerFixture {
 protected:
  // Runs `cmd` through the shell with its output appended to the server log; the exit status.
  int Run(const std::string& cmd) {
    int st = std::system((cmd + " >>'" + home_ + "/server.log' 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  std::string Env() const {
    return "env KDR_RUNTIME_DIR='" + home_ + "/run' KDRCACHED_LOG_FILE=- ";
  }
  uint16_t OpenOk(RawClient* c, const std::string& ticket) {
    Reply r = c->Open(ticket);
    EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    return r.payload.size() < 10 ? 0xFFFF : GetBE16(r.payload.data(), 0);
  }
  // Downloads into the cache, answering progress with CONTINUE; the final reply.
  Reply GetFile(RawClient* c, uint16_t h) {
    EXPECT_TRUE(c->Send(KDR_GET_FILE_MSG, Cat({BE16(h), Text("tst", false)})));
    for (;;) {
      Reply r;
      if (!c->Receive(&r)) return Reply{};
      if (r.typeId != kReplyProgress) return r;
      c->SendStatus(0);
    }
  }
  std::map<std::string, std::string> Status() {
    std::map<std::string, std::string> v;
    EXPECT_TRUE(kdr::server::ParseFlatJson(ReadLocal(home_ + "/cache/status.json"), &v));
    return v;
  }
  // The status of the server now running: it writes its first one just after opening its pipe.
  std::map<std::string, std::string> LiveStatus() {
    for (int i = 0; i < 250; ++i) {
      std::map<std::string, std::string> v;
      if (kdr::server::ParseFlatJson(ReadLocal(home_ + "/cache/status.json"), &v) &&
          v["pid"] == std::to_string(pid_) && v["running"] == "true") {
        return v;
      }
      platform::SleepMs(20);
    }
    ADD_FAILURE() << "no status of process " << pid_;
    return {};
  }
};

TEST_F(Ops, MissingHomeOrVaultIsRefusedWithAdviceUntilCreated) {
  const std::string typo = home_ + "/typo";
  struct {
    std::string env, flags, says;
  } cases[] = {
      {"KDR_HOME='" + typo + "'", "", "KDR_HOME " + typo + " is not a directory"},
      {"KDR_HOME='" + home_ + "'", "--vault-dir '" + typo + "'", "the vault " + typo},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(Env() + c.env + " '" KDRCACHED "' " + c.flags), 1) << c.says;
    EXPECT_HAS(LogText(), c.says);
    EXPECT_HAS(LogText(), "kdrcached --create");
    EXPECT_FALSE(fs::exists(typo)) << "a typo grew an installation";
  }
  // The vault tool: a missing vault is an error, never made by a put; init makes it.
  const std::string vault = "'" KDRVAULT "' --vault '" + typo + "' ";
  EXPECT_NE(Run(vault + "list"), 0);
  EXPECT_NE(Run(vault + "put '" + WriteLocal("a.txt", "a") + "'"), 0);
  EXPECT_FALSE(fs::exists(typo));
  EXPECT_EQ(Run(vault + "init"), 0);
  EXPECT_EQ(Run(vault + "list"), 0);

  // --create makes a whole new installation, and the server runs in it.
  StartServer("--create", "KDR_HOME='" + home_ + "/new'");
  EXPECT_TRUE(fs::is_directory(home_ + "/new/vault"));
  EXPECT_TRUE(fs::is_directory(home_ + "/new/cache"));
}

TEST_F(Ops, BrokenStoreIsReportedWithItsFixAndResetRebuildsIt) {
  const std::string sizes = "--file-pages 64 --segments 64";
  StartServer(sizes);
  ASSERT_EQ(StopServer(), 0);
  std::string mf = home_ + "/cache/kdr.mf";
  ASSERT_TRUE(fs::exists(mf));
  {
    FILE* f = std::fopen(mf.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fputs("not a metafile header", f);
    std::fclose(f);
  }
  // A server without its store ends, saying why, unless told to serve from the vault alone.
  StartServerExpectingExit(sizes, 1);
  std::string log = LogText();
  EXPECT_HAS(log, "ERROR: no cache store in " + home_ + "/cache (store error 36");
  EXPECT_HAS(log, "kdrcstore reset");
  EXPECT_HAS(log, "--serve-without-store");
  // The engine's own lines are in the log, each with a time and a level.
  EXPECT_HAS(log, "WARN: ***TRACEBACK: KDRCFile_Open");
  StartServer(sizes + " --serve-without-store");
  EXPECT_EQ(LiveStatus()["store_open"], "false");
  const std::string tool = Env() + "'" KDRCSTORE "' --cache-dir '" + home_ + "/cache' ";
  EXPECT_EQ(Run(tool + "status"), 4);
  EXPECT_EQ(Run(tool + "health"), 4);
  ASSERT_EQ(StopServer(), 0);
  EXPECT_EQ(Run(Env() + "'" KDRCSTORE "' reset --cache-dir '" + home_ + "/cache'"), 0);
  EXPECT_FALSE(fs::exists(mf));
  StartServer(sizes);
  EXPECT_EQ(LiveStatus()["store_open"], "true");
  // A store in use is never reset.
  EXPECT_EQ(Run(Env() + "'" KDRCSTORE "' reset --cache-dir '" + home_ + "/cache'"), 3);
  EXPECT_TRUE(fs::exists(mf));
}

TEST_F(Ops, StatusCountsHitsAndMissesOfBlocksAndWholeFiles) {
  StartServer();
  std::string ticket = PutFile(Pattern(40000, 3), "counted.bin");
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, ticket);
  std::string out;
  size_t pieces = 0;
  ASSERT_TRUE(ReadRange(&c, h, 0, 16384, &out, &pieces));  // from the vault, into the store
  ASSERT_TRUE(ReadRange(&c, h, 0, 16384, &out, &pieces));  // from the store
  ASSERT_EQ(GetFile(&c, h).typeId, kReplyNormal);           // copied from the vault
  ASSERT_EQ(GetFile(&c, h).typeId, kReplyNormal);           // answered from the cache
  LiveStatus();
  EXPECT_EQ(Run(Env() + "'" KDRCSTORE "' status --cache-dir '" + home_ + "/cache'"), 0);
  c.Close();
  ASSERT_EQ(StopServer(), 0);  // the last status is written at the stop

  auto s = Status();
  EXPECT_EQ(s["running"], "false");
  EXPECT_EQ(s["block_misses"], "1");
  EXPECT_EQ(s["block_hits"], "1");
  EXPECT_EQ(s["bytes_from_store"], "16384");
  EXPECT_EQ(s["bytes_from_vault"], std::to_string(16384 + 40000));
  EXPECT_EQ(s["file_misses"], "1");
  EXPECT_EQ(s["file_hits"], "1");
  EXPECT_EQ(s["pid"], std::to_string(pid_));
  // The tool shows the same figures, and says the server is gone.
  EXPECT_EQ(Run(Env() + "'" KDRCSTORE "' status --cache-dir '" + home_ + "/cache'"), 3);
  EXPECT_HAS(LogText(), "blocks:      1 hits, 1 misses (50.0 % hits)");
  EXPECT_HAS(LogText(), "whole files: 1 hits, 1 misses");
}

TEST_F(Ops, HealthAndStatusTellWhetherTheServerAndItsVaultAreThere) {
  StartServer();
  LiveStatus();
  const std::string tool = Env() + "'" KDRCSTORE "' --cache-dir '" + home_ + "/cache' ";
  EXPECT_EQ(Run(tool + "health"), 0);
  fs::rename(home_ + "/vault", home_ + "/vault.away");
  EXPECT_EQ(Run(tool + "health"), 5);
  fs::rename(home_ + "/vault.away", home_ + "/vault");
  // Killed, it never writes its last status: the tool must not believe the old one.
  ASSERT_EQ(KillServer(), 0);  // SIGKILL
  EXPECT_EQ(Run("(" + tool + "status --json >'" + home_ + "/status.out')"), 3);
  EXPECT_HAS(ReadLocal(home_ + "/status.out"), "\"running\": false");
  EXPECT_EQ(Run(tool + "health"), 3);
}

TEST_F(Ops, WholeFileCacheEvictsLeastRecentlyUsedCopiesNoClientHolds) {
  StartServer("--files-max-bytes 250K --files-grace-seconds 0");
  const size_t kSize = 100000;
  std::string guid[4];
  uint16_t h[4];
  RawClient c;
  Connect(&c);
  for (int i = 0; i < 4; ++i) {
    h[i] = OpenOk(&c, PutFile(Pattern(kSize, 10 + i), "f" + std::to_string(i), &guid[i]));
  }
  auto cached = [&](int i) { return fs::exists(home_ + "/cache/files/" + guid[i]); };
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(GetFile(&c, h[i]).typeId, kReplyNormal);
    platform::SleepMs(20);  // distinct times of use
  }
  // Three copies pass the bound, but a client holds every one of them: none may go.
  EXPECT_TRUE(cached(0) && cached(1) && cached(2));
  // Files 0 and 2 closed, 1 still held; 0 used again, so 2 is now the least recently used.
  EXPECT_EQ(c.Simple(KDR_CLOSE_MSG, BE16(h[2])).typeId, kReplyNormal);
  ASSERT_EQ(GetFile(&c, h[0]).typeId, kReplyNormal);
  EXPECT_EQ(c.Simple(KDR_CLOSE_MSG, BE16(h[0])).typeId, kReplyNormal);
  platform::SleepMs(20);
  ASSERT_EQ(GetFile(&c, h[3]).typeId, kReplyNormal);
  EXPECT_FALSE(cached(2)) << "the least recently used copy nobody holds stays";
  EXPECT_TRUE(cached(1)) << "a copy a client holds was evicted";
  EXPECT_TRUE(cached(3));
  // Four copies minus one is 300000 bytes: 0 went as well, and nothing else could.
  EXPECT_FALSE(cached(0));
  EXPECT_HAS(LogText(), "whole-file cache: evicted " + guid[2]);
}

}  // namespace
}  // namespace kdr::servertest
