// kdrcached's server run on threads of the test process, so the platform's fault seam can
// make its disk writes fail: a transfer that fails half-way leaves nothing under a final name.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "platform/process.h"
#include "support/process_wait.h"
#include "support/volume_records.h"
#include "server/block_cache.h"
#include "server/raw_client.h"
#include "server/server.h"
#include "server/ticket.h"
#include "server/vault.h"

namespace kdr::servertest {
namespace {

namespace pf = kdr::platform;
namespace fs = std::filesystem;

class InProcessServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "kdrinprocXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    home_ = tmpl;
    server::ServerConfig cfg;
    cfg.pipeName = home_ + "/master";
    cfg.cacheDir = home_ + "/cache";
    cfg.vaultDir = home_ + "/vault";
    cfg.localeDir = home_ + "/locale";
    server_ = std::make_unique<server::Server>(cfg, server::NewLocalVault(cfg.vaultDir),
                                               server::NewNullBlockCache());
    std::string error;
    ASSERT_EQ(server_->Start(&error), 0) << error;
    thread_ = std::thread([this] { server_->Run(); });
  }

  void TearDown() override {
    pf::ClearFaults();
    if (server_ != nullptr) server_->Stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
    fs::remove_all(home_);
  }

  std::string Put(const std::string& content) {
    std::string src = home_ + "/src";
    std::ofstream(src, std::ios::binary) << content;
    std::string guid = server::NewGuid('v'), volume;
    EXPECT_EQ(server::NewLocalVault(home_ + "/vault")->Put(guid, "f.bin", src, &volume), 0);
    return server::MakeTicket('v', guid);
  }

  // Runs a transfer already sent to its end, answering every progress with CONTINUE.
  Reply Finish(RawClient* c) {
    for (;;) {
      Reply r;
      if (!c->Receive(&r)) return Reply{};
      if (r.typeId != kReplyProgress) return r;
      c->SendStatus(0);
    }
  }

  size_t Files(const std::string& dir) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
      n += it->is_regular_file() && it->path().filename() != "kdrcached.lock" ? 1 : 0;
    }
    return n;
  }

  std::string home_;
  std::unique_ptr<server::Server> server_;
  std::thread thread_;
};

TEST_F(InProcessServer, DiskFullDuringATransferLeavesNoPartialFile) {
  std::string ticket = Put(std::string(3 << 20, 'x'));
  RawClient c;
  ASSERT_EQ(c.Connect(home_ + "/master"), pf::kPipeOk);
  Reply open = c.Open(ticket);
  ASSERT_EQ(open.typeId, kReplyNormal) << open.ErrorText();
  uint16_t h = GetBE16(open.payload.data(), 0);

  // Download into the cache: the second chunk's write fails.
  pf::InjectFault(pf::Sys::kPwrite, ENOSPC, 1, -1);
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, Cat({BE16(h), Text("tst", false)})));
  Reply r = Finish(&c);
  pf::ClearFaults();
  EXPECT_EQ(r.typeId, kReplyError);
  EXPECT_EQ(r.ErrorCode(), -3003);
  EXPECT_NE(r.ErrorText().find("No space left on device"), std::string::npos) << r.ErrorText();
  EXPECT_EQ(Files(home_ + "/cache"), 0u);

  // Download to a location, failing in a write or in the rename that gives the copy its
  // name: the target keeps what it had.
  std::string target = home_ + "/target.bin";
  std::ofstream(target) << "before";
  for (pf::Sys call : {pf::Sys::kPwrite, pf::Sys::kRename}) {
    pf::InjectFault(call, call == pf::Sys::kPwrite ? ENOSPC : EIO, call == pf::Sys::kPwrite, -1);
    ASSERT_TRUE(
        c.Send(KDR_GET_LOCATION_MSG, Cat({BE16(h), Text("tst", false), Text(target, true)})));
    r = Finish(&c);
    pf::ClearFaults();
    EXPECT_EQ(r.typeId, kReplyError);
    std::ifstream in(target);
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "before");
    for (const auto& e : fs::directory_iterator(home_)) {
      EXPECT_EQ(e.path().filename().string().find(".kdrpart"), std::string::npos);
    }
  }

  // Upload: no new volume, no temporary file in the vault.
  std::string local = home_ + "/upload.bin";
  std::ofstream(local, std::ios::binary) << std::string(1 << 20, 'u');
  size_t before = Files(home_ + "/vault");
  pf::InjectFault(pf::Sys::kPwrite, ENOSPC, 1, -1);
  ASSERT_TRUE(c.Send2(KDR_UPLOAD_MSG, Cat({BE16(h), BE16(static_cast<uint16_t>(local.size()))}),
                      Text(local, false)));
  r = Finish(&c);
  pf::ClearFaults();
  EXPECT_EQ(r.typeId, kReplyError);
  EXPECT_EQ(Files(home_ + "/vault"), before);

  // And then everything works again.
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, Cat({BE16(h), Text("tst", false)})));
  r = Finish(&c);
  EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
}

// A commit into the whole-file cache is reported done only with its stamp in place: whichever
// write of a newer volume's commit fails, a handle of the older volume is never handed the
// newer volume's bytes, and a reported success names the right ones.
TEST_F(InProcessServer, AFailedCommitNeverLetsOneVolumeStandForAnother) {
  const size_t kSize = 8192;
  const std::string guid = server::NewGuid('v');
  auto vault = server::NewLocalVault(home_ + "/vault");
  auto putVolume = [&](int v) {
    std::ofstream(home_ + "/src", std::ios::binary) << VolumeRecords(guid, v, kSize);
    std::string volume;
    EXPECT_EQ(vault->Put(guid, "f.bin", home_ + "/src", &volume), 0);
  };
  auto getFile = [&](RawClient* c, uint16_t h) {
    EXPECT_TRUE(c->Send(KDR_GET_FILE_MSG, Cat({BE16(h), Text("tst", false)})));
    return Finish(c);
  };
  auto bytesOf = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  putVolume(1);
  RawClient c;
  ASSERT_EQ(c.Connect(home_ + "/master"), pf::kPipeOk);
  Reply open = c.Open(server::MakeTicket('v', guid));
  ASSERT_EQ(open.typeId, kReplyNormal) << open.ErrorText();
  const uint16_t h1 = GetBE16(open.payload.data(), 0);
  for (int skip = 0; skip < 3; ++skip) {
    const int v = 2 + skip;
    putVolume(v);
    pf::SleepMs(100);  // whatever the vault's watcher does, it has done
    Reply old = getFile(&c, h1);  // the older volume, cached again beside the newer one
    ASSERT_EQ(old.typeId, kReplyNormal) << old.ErrorText();
    open = c.Open(server::MakeTicket('v', guid));
    ASSERT_EQ(open.typeId, kReplyNormal) << open.ErrorText();
    const uint16_t hv = GetBE16(open.payload.data(), 0);
    pf::InjectFault(pf::Sys::kPwrite, ENOSPC, skip, -1);
    Reply r = getFile(&c, hv);
    pf::ClearFaults();
    if (r.typeId == kReplyNormal) {
      EXPECT_EQ(RecordMismatch(bytesOf(r.LengthText()), guid, v), "") << "skip " << skip;
    }
    r = getFile(&c, h1);
    ASSERT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    EXPECT_EQ(RecordMismatch(bytesOf(r.LengthText()), guid, 1), "") << "skip " << skip;
    r = getFile(&c, hv);
    ASSERT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    EXPECT_EQ(RecordMismatch(bytesOf(r.LengthText()), guid, v), "") << "skip " << skip;
    EXPECT_EQ(c.Simple(KDR_CLOSE_MSG, BE16(hv)).typeId, kReplyNormal);
  }
}

// A process that dies holding the store's cache lock leaves the server's next use of the store
// to check it first: a sound store goes on as it was, a damaged one is rebuilt blank under new
// object names.
TEST(StoreBlockCache, AnAbandonedCacheLockIsCheckedAndADamagedStoreRebuilt) {
  std::string tmpl = ::testing::TempDir() + "kdrabandonXXXXXX";
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  std::string home = tmpl;
  fs::create_directories(home + "/run");
  fs::permissions(home + "/run", fs::perms::owner_all);
  std::string oldRuntime = std::getenv("KDR_RUNTIME_DIR") != nullptr ? std::getenv("KDR_RUNTIME_DIR") : "";
  setenv("KDR_RUNTIME_DIR", (home + "/run").c_str(), 1);
  static const char kGuid[] = "0123456789ABCDEF0123456789ABCDEF";
  auto dieHoldingTheLock = [](const std::string& name) {
    long pid = 0;
    std::string cmd = std::string("exec '" KDR_STORE_LOCK_HELPER "' ") + name;
    EXPECT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
    EXPECT_EQ(WaitForExitStatus(pid, 10000), 128 + 9);
  };
  {
    auto cache = server::OpenBlockCache(home + "/cache", "abn", server::StoreSizes{});
    ASSERT_TRUE(cache->Enabled());
    std::string block(16384, 'b');
    auto data = reinterpret_cast<const unsigned char*>(block.data());
    cache->Put(kGuid, 20000, 1, 0, data, 16384);
    std::string buf(16384, '\0');
    auto out = reinterpret_cast<unsigned char*>(buf.data());
    uint32_t len = 0;

    dieHoldingTheLock("abn");
    EXPECT_TRUE(cache->Get(kGuid, 20000, 1, 0, out, &len));  // checked, sound, kept
    EXPECT_TRUE(buf == block);

    // Page 1 (the file's) names another page as itself while the lock is abandoned.
    {
      std::fstream mf(home + "/cache/kdr.mf", std::ios::in | std::ios::out | std::ios::binary);
      mf.seekp(512 + 512 + 4);
      mf.put('\x07');
    }
    dieHoldingTheLock("abn");
    // The scan for files in use meets the abandoned lock first: it has the store checked too.
    std::vector<std::string> used;
    cache->UsedSince(0, &used);
    EXPECT_FALSE(cache->Get(kGuid, 20000, 1, 0, out, &len));  // rebuilt blank
    server::StoreInfo info;
    ASSERT_TRUE(cache->Info(&info));
    EXPECT_EQ(info.mapName, "abnr");
    cache->Put(kGuid, 20000, 1, 0, data, 16384);
    EXPECT_TRUE(cache->Get(kGuid, 20000, 1, 0, out, &len));
  }
  oldRuntime.empty() ? unsetenv("KDR_RUNTIME_DIR") : setenv("KDR_RUNTIME_DIR", oldRuntime.c_str(), 1);
  fs::remove_all(home);
}

}  // namespace
}  // namespace kdr::servertest
