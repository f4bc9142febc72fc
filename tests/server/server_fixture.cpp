#include "server/server_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "server/ticket.h"
#include "server/vault.h"
#include "support/process_wait.h"

namespace kdr::servertest {

namespace pf = kdr::platform;

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

void ServerFixture::SetUp() {
  std::string tmpl = ::testing::TempDir() + "kdrsrvXXXXXX";
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  home_ = tmpl;
  std::filesystem::create_directories(home_ + "/run");
  std::filesystem::create_directories(home_ + "/vault");  // an installation has its vault
  std::filesystem::permissions(home_ + "/run", std::filesystem::perms::owner_all);
  master_ = home_ + "/run/KDRClientPipe";
}

void ServerFixture::TearDown() {
  if (!stopped_) {
    long status = StopServer();
    EXPECT_EQ(status, 0) << "kdrcached did not stop cleanly\n" << LogText();
  }
  std::string log = LogText();
  for (const char* bad : {"Sanitizer", "runtime error:"}) {
    EXPECT_EQ(log.find(bad), std::string::npos) << "kdrcached log:\n" << log;
  }
  std::error_code ec;
  std::filesystem::remove_all(home_, ec);
}

void ServerFixture::StartServer(const std::string& extraFlags, const std::string& extraEnv) {
  std::string cmd = "exec env KDR_HOME='" + home_ + "' KDR_RUNTIME_DIR='" + home_ + "/run' " +
                    extraEnv + " '" KDRCACHED "' --locale-dir '" KDR_LOCALE_DIR
                    "' --log-level debug " + extraFlags + " 2>>'" + home_ + "/server.log'";
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &pid_), 0);
  stopped_ = false;
  for (int i = 0; i < 500; ++i) {
    RawClient probe;
    if (probe.Connect(master_) == pf::kPipeOk) return;
    pf::SleepMs(10);
  }
  FAIL() << "kdrcached did not serve its pipe\n" << LogText();
}

void ServerFixture::StartServerExpectingExit(const std::string& extraFlags, long status) {
  std::string cmd = "exec env KDR_HOME='" + home_ + "' KDR_RUNTIME_DIR='" + home_ + "/run' '" KDRCACHED
                    "' " + extraFlags + " 2>>'" + home_ + "/server.log'";
  long pid = 0;
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
  long got = 0;
  if (WaitForProcessEnd(pid, 5000, &got) == pf::ProcessState::kExited) {
    EXPECT_EQ(got, status);
    return;
  }
  pf::KillProcessGroup(pid);
  ADD_FAILURE() << "kdrcached did not end";
}

long ServerFixture::StopServer() {
  if (stopped_) return 0;
  stopped_ = true;
  if (pf::RequestProcessStop(pid_) != 0) return -1;
  long status = 0;
  pf::ProcessState s = WaitForProcessEnd(pid_, 10000, &status);
  if (s == pf::ProcessState::kExited) return status;
  if (s == pf::ProcessState::kGone) return 0;
  pf::KillProcessGroup(pid_);
  return -1;
}

int ServerFixture::KillServer() {
  if (pf::KillProcessGroup(pid_) != 0) return -1;
  WaitForProcessEnd(pid_, 5000);
  stopped_ = true;
  return 0;
}

std::string ServerFixture::PutFile(const std::string& content, const std::string& name,
                                   std::string* guid) {
  std::string src = WriteLocal("put." + name, content);
  std::string g = kdr::server::NewGuid('v');
  std::string volume;
  auto vault = kdr::server::NewLocalVault(home_ + "/vault");
  EXPECT_EQ(vault->Put(g, name, src, &volume), 0);
  if (guid != nullptr) *guid = g;
  return kdr::server::MakeTicket('v', g);
}

std::string ServerFixture::WriteLocal(const std::string& rel, const std::string& content) {
  std::string path = home_ + "/" + rel;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string ServerFixture::ReadLocal(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string ServerFixture::LogText() const {
  std::ifstream in(home_ + "/server.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool ServerFixture::WaitForLog(const std::string& text, int timeoutMs) const {
  for (int t = 0; t < timeoutMs; t += 20) {
    if (LogText().find(text) != std::string::npos) return true;
    pf::SleepMs(20);
  }
  return false;
}

void ServerFixture::Connect(RawClient* c) {
  ASSERT_EQ(c->Connect(master_), pf::kPipeOk);
  Reply r = c->VersionCheck(kProtocolVersion);
  ASSERT_EQ(r.typeId, kReplyNormal);
}

bool ServerFixture::ReadRange(RawClient* c, uint16_t handle, int64_t offset, int32_t length,
                              std::string* out, size_t* pieces) {
  out->clear();
  *pieces = 0;
  if (!c->Send(KDR_GET_DATA_MSG, Cat({BE16(handle), BE64(offset),
                                      BE32(static_cast<uint32_t>(length)), Text("tst", false)}))) {
    ADD_FAILURE() << "send failed";
    return false;
  }
  uint16_t seq = static_cast<uint16_t>(c->seq() - 1);
  while (out->size() < static_cast<size_t>(length)) {
    Reply r;
    if (!c->Receive(&r)) {
      ADD_FAILURE() << "pipe broke";
      return false;
    }
    EXPECT_EQ(r.direction, kDirectionReply);
    EXPECT_EQ(r.seq, seq);
    EXPECT_EQ(r.msgType, KDR_GET_DATA_MSG);
    if (r.typeId == kReplyEnd) return true;
    if (r.typeId != kReplyNormal) {
      ADD_FAILURE() << "reply kind " << int(r.typeId) << ": " << r.ErrorText();
      return false;
    }
    int64_t at = GetBE64(r.payload.data(), 0);
    int32_t n = GetBE32(r.payload.data(), 8);
    EXPECT_EQ(at, offset + static_cast<int64_t>(out->size()));
    EXPECT_EQ(static_cast<size_t>(n) + 12, r.payload.size());
    EXPECT_LE(n, 16384);
    EXPECT_GT(n, 0);
    // A piece never spans two blocks of the store.
    EXPECT_EQ(at >> 14, (at + n - 1) >> 14) << "piece at " << at << " of " << n;
    out->append(reinterpret_cast<const char*>(r.payload.data() + 12), static_cast<size_t>(n));
    ++*pieces;
  }
  return true;
}

}  // namespace kdr::servertest
