// The S3 vault against a real object store (the throw-away Ceph RGW of scripts/rgw.sh, started
// once for all these tests by the ctest fixture), through real kdrcached processes and the
// client library: both read paths, uploads and roll-backs, fetch-once, a store that dies
// mid-transfer and comes back, buckets and credentials the server must refuse, two servers on
// one bucket.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "iface/interface.h"
#include "platform/clock.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "proxy/lifecycle.h"
#include "server/raw_client.h"
#include "server/ticket.h"
#include "server/vault.h"
#include "support/process_wait.h"

namespace kdr::s3test {
namespace {

namespace fs = std::filesystem;
namespace pf = kdr::platform;
using server::Vault;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// Runs `command` in a shell and waits for it (at most `timeoutMs`); its exit status or -1.
long RunShell(const std::string& command, int timeoutMs) {
  long pid = 0;
  if (pf::SpawnShell(command.c_str(), &pid) != 0) return -1;
  long status = WaitForExitStatus(pid, timeoutMs);
  if (status < 0) pf::KillProcessGroup(pid);
  return status;
}

long Rgw(const std::string& what) {
  return RunShell("'" KDR_RGW_SCRIPT "' " + what + " '" + Env("KDR_RGW_DIR") + "'", 120000);
}

// The counting relay of counting_proxy.py in front of the store.
class CountingProxy {
 public:
  ~CountingProxy() {
    if (pid_ != 0) {
      pf::KillProcessGroup(pid_);
      WaitForProcessEnd(pid_, 5000);
    }
  }
  bool Start(const std::string& dir, long bytesPerSecond = 0) {
    dir_ = dir;
    fs::create_directories(dir);
    std::string upstream = Env("KDR_S3_ENDPOINT");
    upstream = upstream.substr(upstream.rfind(':') + 1);
    std::string cmd = "exec python3 '" KDR_COUNTING_PROXY "' " + upstream + " '" + dir + "' " +
                      std::to_string(bytesPerSecond);
    if (pf::SpawnShell(cmd.c_str(), &pid_) != 0) return false;
    for (int i = 0; i < 500; ++i) {
      std::string port = ReadFile(dir + "/port");
      if (!port.empty()) {
        endpoint_ = "http://127.0.0.1:" + port.substr(0, port.find('\n'));
        return true;
      }
      pf::SleepMs(10);
    }
    return false;
  }
  const std::string& endpoint() const { return endpoint_; }
  // Bytes the store sent through the relay, and responses it began.
  void Count(long long* bytes, long long* responses) const {
    std::istringstream in(ReadFile(dir_ + "/count"));
    *bytes = -1;
    *responses = -1;
    in >> *bytes >> *responses;
  }

 private:
  std::string dir_;
  std::string endpoint_;
  long pid_ = 0;
};

// One kdrcached process with its own KDR_HOME, cache and pipes.
class Server {
 public:
  explicit Server(std::string home) : home_(std::move(home)) {
    fs::create_directories(home_ + "/run");
    fs::permissions(home_ + "/run", fs::perms::owner_all);
    // The library wants a launch script; the test starts the server itself.
    WriteFile(home_ + "/startvxn.sh", "#!/bin/sh\nexit 1\n");
    fs::permissions(home_ + "/startvxn.sh", fs::perms::owner_all);
  }
  ~Server() { Stop(); }

  std::string Command(const std::string& flags) const {
    return "exec env KDR_HOME='" + home_ + "' KDR_RUNTIME_DIR='" + home_ + "/run' '" KDRCACHED
           "' --log-level debug --map-name kdrs3" + std::to_string(pf::CurrentProcessId()) +
           fs::path(home_).filename().string() + " " + flags + " 2>>'" + home_ + "/server.log'";
  }
  bool Start(const std::string& flags) {
    if (pf::SpawnShell(Command(flags).c_str(), &pid_) != 0) return false;
    for (int i = 0; i < 1000; ++i) {
      servertest::RawClient probe;
      if (probe.Connect(master()) == pf::kPipeOk) return true;
      pf::SleepMs(10);
    }
    return false;
  }
  // The exit status of a server that must end at once.
  long StartExpectingExit(const std::string& flags) {
    long pid = 0;
    if (pf::SpawnShell(Command(flags).c_str(), &pid) != 0) return -1;
    return WaitForExitStatus(pid, 20000);
  }
  long Stop() {
    if (pid_ == 0) return 0;
    long pid = pid_;
    pid_ = 0;
    pf::RequestProcessStop(pid);
    long status = WaitForExitStatus(pid, 15000);
    if (status < 0) pf::KillProcessGroup(pid);
    return status;
  }
  std::string Log() const { return ReadFile(home_ + "/server.log"); }
  std::string master() const { return home_ + "/run/KDRClientPipe"; }
  const std::string& home() const { return home_; }

 private:
  std::string home_;
  long pid_ = 0;
};

// Reads [offset, offset + length) of an open handle over the raw protocol.
std::string RawRead(servertest::RawClient* c, uint16_t handle, int64_t offset, int32_t length) {
  std::string out;
  if (!c->Send(KDR_GET_DATA_MSG, servertest::Cat({servertest::BE16(handle), servertest::BE64(offset),
                                                   servertest::BE32(static_cast<uint32_t>(length)),
                                                   servertest::Text("tst", false)}))) {
    return "<send failed>";
  }
  while (out.size() < static_cast<size_t>(length)) {
    servertest::Reply r;
    if (!c->Receive(&r)) return "<pipe broke>";
    if (r.typeId == kReplyEnd) break;
    if (r.typeId != kReplyNormal) return "<error " + r.ErrorText() + ">";
    out.append(reinterpret_cast<const char*>(r.payload.data() + 12), r.payload.size() - 12);
  }
  return out;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class S3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    // The environment of the running store: keys, region, endpoint, buckets.
    std::string env = ReadFile(Env("KDR_RGW_DIR") + "/env");
    ASSERT_FALSE(env.empty()) << "no running store: KDR_RGW_DIR=" << Env("KDR_RGW_DIR");
    std::istringstream lines(env);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("export ", 0) == 0) line = line.substr(7);
      size_t eq = line.find('=');
      if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    unsetenv("KDRCACHED_S3_ENDPOINT");  // each server here is given its endpoint as a flag
    std::string tmpl = ::testing::TempDir() + "kdrs3XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    static std::atomic<int> serial{0};
    location_ = "s3://" + Env("KDR_S3_BUCKET") + "/t" + std::to_string(pf::CurrentProcessId()) +
                "-" + std::to_string(serial++) + "-" + std::to_string(pf::MonotonicMs());
    std::string error;
    ASSERT_EQ(server::OpenVault({location_, Env("KDR_S3_ENDPOINT"), ""}, &vault_, &error), 0)
        << error;
  }

  void TearDown() override {
    while (KdrProxyInitialized()) VXN_Term();
    for (auto& s : servers_) {
      s->Stop();
      std::string log = s->Log();
      for (const char* bad : {"Sanitizer", "runtime error:"}) {
        EXPECT_EQ(log.find(bad), std::string::npos) << log;
      }
    }
    servers_.clear();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  Server* NewServer(const std::string& endpoint = "") {
    servers_.push_back(std::make_unique<Server>(dir_ + "/home" + std::to_string(servers_.size())));
    Server* s = servers_.back().get();
    EXPECT_TRUE(s->Start(Flags(endpoint))) << s->Log();
    return s;
  }
  std::string Flags(const std::string& endpoint = "") const {
    return "--vault " + location_ + " --s3-endpoint " +
           (endpoint.empty() ? Env("KDR_S3_ENDPOINT") : endpoint);
  }

  // Stores `content` as a new file; returns its ticket.
  std::string Put(const std::string& content, const std::string& name, std::string* guid) {
    std::string src = dir_ + "/put.tmp";
    WriteFile(src, content);
    *guid = server::NewGuid('v');
    std::string volume;
    EXPECT_EQ(vault_->Put(*guid, name, src, &volume), 0);
    return server::MakeTicket('v', *guid);
  }
  // A new volume made by an upload; returns its id.
  std::string Upload(const std::string& guid, const std::string& content) {
    std::unique_ptr<server::VaultUpload> up;
    EXPECT_EQ(vault_->BeginUpload(guid, &up), 0);
    std::string volume;
    if (up == nullptr) return volume;
    EXPECT_EQ(up->Write(content.data(), content.size()), 0);
    EXPECT_EQ(up->Commit(&volume), 0);
    return volume;
  }

  // Initialises the library against `s`, through the pipe only or with the fast cache.
  void Init(const Server* s, bool pipeOnly) {
    while (KdrProxyInitialized()) VXN_Term();
    setenv("KDR_HOME", s->home().c_str(), 1);
    setenv("KDR_RUNTIME_DIR", (s->home() + "/run").c_str(), 1);
    setenv("VXN_CONNECTTIMEOUT", "5", 1);
    setenv("VXN_STARTUPTIMEOUT", "1", 1);
    if (pipeOnly) setenv("VXN_PROXY_PIPEONLY", "1", 1);
    else unsetenv("VXN_PROXY_PIPEONLY");
    ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  }
  const char* Key(const std::string& ticket) {
    const char* key = nullptr;
    EXPECT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    return key;
  }
  // The whole file through an open handle; "<error N>" when a call fails.
  static std::string ReadAll(const char* key) {
    VXNFileHandle h = nullptr;
    int rc = VXN_OpenFile(key, &h);
    if (rc != 0) return "<error " + std::to_string(rc) + ">";
    return ReadAndClose(h);
  }
  // Reads the open file `h` whole and closes it; its bytes, or "<error N>".
  static std::string ReadAndClose(VXNFileHandle h) {
    std::string out;
    int64_t size = 0;
    int rc = VXN_FileSize(h, &size);
    std::vector<char> buf(100000);
    while (rc == 0 && out.size() < static_cast<uint64_t>(size)) {
      int got = 0;
      rc = VXN_ReadBytes(h, "S3T", static_cast<int>(buf.size()), &got, buf.data());
      if (rc != 0 || got <= 0) break;
      out.append(buf.data(), static_cast<size_t>(got));
    }
    VXN_CloseFileHandlePointer(h);
    return rc == 0 ? out : "<error " + std::to_string(rc) + ">";
  }
  // Downloads into the cache; the bytes of the cached file, or "<error N>".
  static std::string Download(const char* key, std::string* path = nullptr,
                              ProgressCallback progress = nullptr, void* context = nullptr) {
    char* p = nullptr;
    int rc = VXN_DownloadFileFromPLM("S3T", key, progress, context, &p);
    if (rc != 0) return "<error " + std::to_string(rc) + ">";
    std::string out = ReadFile(p);
    if (path != nullptr) *path = p;
    std::free(p);
    return out;
  }

  std::string dir_;
  std::string location_;
  std::unique_ptr<Vault> vault_;
  std::vector<std::unique_ptr<Server>> servers_;
};

TEST_F(S3Test, PutReadUploadRollBackThroughBothPaths) {
  const std::string v1 = Pattern((5u << 20) + 12345, 1), v2 = Pattern(3u << 20, 2);
  // Stored by the vault tool, which takes the vault as kdrcached does.
  std::string tool = "'" KDRVAULT "' --vault " + location_ + " --s3-endpoint " +
                     Env("KDR_S3_ENDPOINT") + " ";
  WriteFile(dir_ + "/v1.bin", v1);
  ASSERT_EQ(RunShell(tool + "put '" + dir_ + "/v1.bin' --name 'report one.bin' >'" + dir_ +
                         "/ticket'",
                     60000),
            0);
  std::string ticket = ReadFile(dir_ + "/ticket");
  ticket = ticket.substr(0, ticket.find('\n'));
  std::string guid;
  ASSERT_TRUE(server::TicketGuid(ticket.c_str(), &guid)) << ticket;
  Server* s = NewServer();
  for (bool pipeOnly : {true, false}) {
    SCOPED_TRACE(pipeOnly ? "pipe" : "fast cache");
    ASSERT_NO_FATAL_FAILURE(Init(s, pipeOnly));
    const char* key = Key(ticket);
    EXPECT_TRUE(ReadAll(key) == v1);
    EXPECT_TRUE(ReadAll(key) == v1);  // now from the store the first read filled
    std::string path;
    EXPECT_TRUE(Download(key, &path) == v1);
    EXPECT_EQ(fs::path(path).filename(), "report one.bin");
    VXN_Term();
  }

  ASSERT_NO_FATAL_FAILURE(Init(s, false));
  const char* key = Key(ticket);
  std::string local = dir_ + "/v2.bin";
  WriteFile(local, v2);
  char* volume = nullptr;
  ASSERT_EQ(VXN_UploadFileToPLM(key, nullptr, nullptr, local.c_str(), &volume), 0);
  std::string uploaded = volume;
  std::free(volume);
  std::string current;
  EXPECT_EQ(vault_->CurrentVersion(guid, &current), 0);
  EXPECT_EQ(current, uploaded);
  std::vector<server::VaultFileInfo> files;
  ASSERT_EQ(vault_->List(&files), 0);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].volumes, 2);
  EXPECT_EQ(files[0].name, "report one.bin");
  EXPECT_TRUE(Download(key) == v2);
  EXPECT_TRUE(ReadAll(key) == v2);

  ASSERT_EQ(VXN_RollbackFileUploadedToPLM(key, uploaded.c_str()), 0);
  EXPECT_TRUE(Download(key) == v1);
  EXPECT_TRUE(ReadAll(key) == v1);
  ASSERT_EQ(RunShell(tool + "list >'" + dir_ + "/list'", 60000), 0);
  std::string listed = ReadFile(dir_ + "/list");
  EXPECT_NE(listed.find(guid), std::string::npos) << listed;
  EXPECT_NE(listed.find("report one.bin"), std::string::npos) << listed;
  // Only uploads can be rolled back; a volume that is gone cannot.
  std::string removed;
  EXPECT_EQ(vault_->RollBack(guid, "", &removed), EPERM);
  EXPECT_EQ(vault_->RollBack(guid, uploaded, &removed), ENOENT);
  EXPECT_TRUE(ReadAll(key) == v1);
}

TEST_F(S3Test, ConcurrentReadersCauseOneTransfer) {
  CountingProxy proxy;
  ASSERT_TRUE(proxy.Start(dir_ + "/proxy"));
  const std::string content = Pattern(24u << 20, 3);
  std::string guid;
  std::string ticket = Put(content, "shared.bin", &guid);
  Server* s = NewServer(proxy.endpoint());
  long long before = 0, responsesBefore = 0;
  proxy.Count(&before, &responsesBefore);
  ASSERT_NO_FATAL_FAILURE(Init(s, false));
  const char* key = Key(ticket);
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  // The downloads start once both readers hold the file open, so every transfer has company
  // from its first byte on.
  std::latch opened(2);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      if (i % 2 == 0) {
        opened.wait();
        if (Download(key) == content) ++good;
        return;
      }
      VXNFileHandle h = nullptr;
      int rc = VXN_OpenFile(key, &h);
      opened.count_down();
      if (rc == 0 && ReadAndClose(h) == content) ++good;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 4);
  long long bytes = 0, responses = 0;
  proxy.Count(&bytes, &responses);
  bytes -= before;
  responses -= responsesBefore;
  // One transfer of the file (plus headers), in large ranges rather than per block.
  EXPECT_GE(bytes, static_cast<long long>(content.size()));
  EXPECT_LT(bytes, static_cast<long long>(content.size()) * 5 / 4) << responses << " responses";
  EXPECT_LT(responses, 40) << bytes << " bytes";
}

int KillOnce(const char*, void* context, int64_t done, int64_t, int* keepGoing) {
  auto* killed = static_cast<std::atomic<bool>*>(context);
  if (done >= (2 << 20) && !killed->exchange(true)) Rgw("kill-gateway");
  *keepGoing = 1;
  return 0;
}

TEST_F(S3Test, StoreDyingMidDownloadFailsCleanlyAndRecovers) {
  CountingProxy proxy;
  ASSERT_TRUE(proxy.Start(dir_ + "/proxy", 3 << 20));  // slow enough to be caught mid-way
  const std::string big = Pattern(32u << 20, 4), small = Pattern(70000, 5);
  std::string bigGuid, smallGuid;
  std::string bigTicket = Put(big, "big.bin", &bigGuid);
  std::string smallTicket = Put(small, "small.bin", &smallGuid);
  Server* s = NewServer(proxy.endpoint());
  ASSERT_NO_FATAL_FAILURE(Init(s, true));
  const char* bigKey = Key(bigTicket);
  const char* smallKey = Key(smallTicket);
  ASSERT_TRUE(Download(smallKey) == small);  // held completely by the cache

  std::atomic<bool> killed{false};
  int32_t start = pf::MonotonicMs();
  std::string got = Download(bigKey, nullptr, &KillOnce, &killed);
  int32_t took = pf::MonotonicMs() - start;
  EXPECT_TRUE(killed.load());
  EXPECT_EQ(got.rfind("<error", 0), 0u) << got.size() << " bytes";
  EXPECT_LT(took, 40000);
  const char* text = nullptr;
  VXN_GetLastError(&text);
  EXPECT_NE(std::string(text != nullptr ? text : "").find(bigGuid), std::string::npos) << text;
  EXPECT_FALSE(fs::exists(s->home() + "/cache/files/" + bigGuid + "/big.bin"));
  std::error_code ec;
  EXPECT_TRUE(fs::is_empty(s->home() + "/cache/.partial", ec));

  // While the store is down, what the cache holds completely still opens and reads.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Download(smallKey) == small);
    EXPECT_TRUE(ReadAll(smallKey) == small);
  }
  EXPECT_EQ(Occurrences(s->Log(), "serving what the cache holds"), 1u) << s->Log();

  ASSERT_EQ(Rgw("start-gateway"), 0);
  EXPECT_TRUE(Download(bigKey) == big);
  EXPECT_TRUE(ReadAll(bigKey) == big);
  EXPECT_NE(s->Log().find("reachable again"), std::string::npos);
}

// A server restarted while the store is down serves what its cache holds at once: the notes
// of the last run are rechecked when used, not before the first client.
TEST_F(S3Test, RestartWhileStoreIsDownServesTheCacheAtOnce) {
  auto proxy = std::make_unique<CountingProxy>();
  ASSERT_TRUE(proxy->Start(dir_ + "/proxy"));
  std::vector<std::string> tickets, contents;
  for (int i = 0; i < 12; ++i) {
    std::string guid;
    contents.push_back(Pattern(30000 + i, 10 + i));
    tickets.push_back(Put(contents.back(), "f.bin", &guid));
  }
  Server* s = NewServer(proxy->endpoint());
  ASSERT_NO_FATAL_FAILURE(Init(s, true));
  for (size_t i = 0; i < tickets.size(); ++i) ASSERT_TRUE(Download(Key(tickets[i])) == contents[i]);
  VXN_Term();
  ASSERT_EQ(s->Stop(), 0);
  const std::string gone = proxy->endpoint();
  proxy.reset();  // the store's address now refuses connections

  servers_.push_back(std::make_unique<Server>(s->home()));
  Server* again = servers_.back().get();
  int32_t start = pf::MonotonicMs();
  ASSERT_TRUE(again->Start(Flags(gone))) << again->Log();
  ASSERT_NO_FATAL_FAILURE(Init(again, true));
  EXPECT_TRUE(Download(Key(tickets[3])) == contents[3]);
  EXPECT_LT(pf::MonotonicMs() - start, 5000) << again->Log();
}

int CancelAt2MiB(const char*, void*, int64_t done, int64_t, int* keepGoing) {
  *keepGoing = done < (2 << 20) ? 1 : 0;
  return 0;
}

TEST_F(S3Test, CancelledDownloadStopsItsTransfersAndLeavesNoFile) {
  CountingProxy proxy;
  ASSERT_TRUE(proxy.Start(dir_ + "/proxy", 3 << 20));
  const std::string content = Pattern(12u << 20, 6);
  std::string guid;
  std::string ticket = Put(content, "cancelled.bin", &guid);
  Server* s = NewServer(proxy.endpoint());
  ASSERT_NO_FATAL_FAILURE(Init(s, true));
  const char* key = Key(ticket);
  int32_t start = pf::MonotonicMs();
  EXPECT_EQ(Download(key, nullptr, &CancelAt2MiB, nullptr), "<error -3016>");
  EXPECT_LT(pf::MonotonicMs() - start, 8000);
  EXPECT_FALSE(fs::exists(s->home() + "/cache/files/" + guid));
  std::error_code ec;
  EXPECT_TRUE(fs::is_empty(s->home() + "/cache/.partial", ec));
  // Its ranged GETs have stopped: the store sends nothing more.
  long long bytes = 0, later = 0, responses = 0;
  pf::SleepMs(300);
  proxy.Count(&bytes, &responses);
  pf::SleepMs(1200);
  proxy.Count(&later, &responses);
  EXPECT_EQ(later, bytes);
  // The chunks it had claimed in the chunk cache are free for the next download to fetch.
  EXPECT_TRUE(Download(key) == content);
}

TEST_F(S3Test, RefusesUnversionedBucketsAndWrongCredentials) {
  struct Case {
    std::string flags;
    std::string env;
    std::string why;
  } cases[] = {
      {"--vault s3://" + Env("KDR_S3_PLAIN_BUCKET") + " --s3-endpoint " + Env("KDR_S3_ENDPOINT"),
       "", "does not keep object versions"},
      {Flags(), "AWS_SECRET_ACCESS_KEY=wrong", "refuses the credentials"},
      {"--vault " + location_, "", "endpoint"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    servers_.push_back(std::make_unique<Server>(dir_ + "/home" + std::to_string(servers_.size())));
    Server* s = servers_.back().get();
    std::string flags = c.flags;
    if (!c.env.empty()) setenv("AWS_SECRET_ACCESS_KEY", "wrong", 1);
    EXPECT_EQ(s->StartExpectingExit(flags), 1);
    if (!c.env.empty()) SetUp();  // the right keys again
    EXPECT_NE(s->Log().find(c.why), std::string::npos) << s->Log();
  }
}

// Two servers on one bucket: what a client of one commits, a new open through the other sees
// within the revalidation bound, through the pipe and the fast cache; an open handle keeps
// reading the volume it was opened on.
class S3TwoServers : public S3Test {};

TEST_F(S3TwoServers, NewVersionAndRollBackSeenWithinTheBound) {
  constexpr int kBoundMs = 5000 + 3000;  // the default revalidation period and some slack
  const std::string v1 = Pattern((9u << 20) + 77, 6), v2 = Pattern((6u << 20) + 5, 7);
  std::string guid;
  std::string ticket = Put(v1, "shared.bin", &guid);
  Server* a = NewServer();
  Server* b = NewServer();
  ASSERT_NO_FATAL_FAILURE(Init(b, false));
  const char* key = Key(ticket);
  ASSERT_TRUE(ReadAll(key) == v1);
  ASSERT_TRUE(Download(key) == v1);
  // A handle on b, opened on v1 and partly read.
  servertest::RawClient held;
  ASSERT_EQ(held.Connect(b->master()), pf::kPipeOk);
  ASSERT_EQ(held.VersionCheck(kProtocolVersion).typeId, kReplyNormal);
  servertest::Reply opened = held.Open(ticket);
  ASSERT_EQ(opened.typeId, kReplyNormal) << opened.ErrorText();
  uint16_t handle = GetBE16(opened.payload.data(), 0);
  std::string head = RawRead(&held, handle, 0, 1 << 20);

  // A client of server a uploads a new version.
  ASSERT_NO_FATAL_FAILURE(Init(a, true));
  key = Key(ticket);
  std::string local = dir_ + "/v2.bin";
  WriteFile(local, v2);
  char* volume = nullptr;
  ASSERT_EQ(VXN_UploadFileToPLM(key, nullptr, nullptr, local.c_str(), &volume), 0);
  std::string uploaded = volume;
  std::free(volume);
  // The handle opened before the upload reads on in the volume it was opened on.
  std::string rest = RawRead(&held, handle, 1 << 20, static_cast<int32_t>(v1.size()));
  EXPECT_TRUE(head + rest == v1) << (head + rest).size();

  auto seen_within_bound = [&](const std::string& want) {
    int32_t start = pf::MonotonicMs();
    while (pf::MonotonicMs() - start < kBoundMs) {
      if (ReadAll(key) == want && Download(key) == want) return true;
      pf::SleepMs(250);
    }
    return false;
  };
  for (bool pipeOnly : {true, false}) {
    SCOPED_TRACE(pipeOnly ? "pipe" : "fast cache");
    ASSERT_NO_FATAL_FAILURE(Init(b, pipeOnly));
    key = Key(ticket);
    EXPECT_TRUE(seen_within_bound(v2));
  }
  // The roll-back, by the client of a: seen through b both ways.
  ASSERT_NO_FATAL_FAILURE(Init(a, true));
  key = Key(ticket);
  ASSERT_EQ(VXN_RollbackFileUploadedToPLM(key, uploaded.c_str()), 0);
  for (bool pipeOnly : {false, true}) {
    SCOPED_TRACE(pipeOnly ? "pipe" : "fast cache");
    ASSERT_NO_FATAL_FAILURE(Init(b, pipeOnly));
    key = Key(ticket);
    EXPECT_TRUE(seen_within_bound(v1));
  }
}

}  // namespace
}  // namespace kdr::s3test
