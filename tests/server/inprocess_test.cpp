// kdrcached's server run on threads of the test process, so the platform's fault seam can
// make its disk writes fail: a transfer that fails half-way leaves nothing under a final name.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fault.h"
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
      n += it->is_regular_file() ? 1 : 0;
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

  // Download to a location: the target keeps what it had.
  std::string target = home_ + "/target.bin";
  std::ofstream(target) << "before";
  pf::InjectFault(pf::Sys::kPwrite, ENOSPC, 1, -1);
  ASSERT_TRUE(c.Send(KDR_GET_LOCATION_MSG, Cat({BE16(h), Text("tst", false), Text(target, true)})));
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

}  // namespace
}  // namespace kdr::servertest
