// The metrics endpoint as a monitoring system meets it: scraped over HTTP by curl and by a real
// Prometheus server, with counters that move as a known workload says they must.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "server/server_fixture.h"
#include "server/stats.h"
#include "server/vault.h"
#include "support/process_wait.h"

namespace kdr::servertest {
namespace {

class Metrics : public ServerFixture {
 protected:
  // The address the running server serves its metrics at, from its status file.
  std::string Address() {
    for (int i = 0; i < 250; ++i) {
      std::map<std::string, std::string> v;
      if (server::ParseFlatJson(ReadLocal(home_ + "/cache/status.json"), &v) &&
          v["pid"] == std::to_string(pid_) && !v["metrics_address"].empty()) {
        return v["metrics_address"];
      }
      platform::SleepMs(20);
    }
    ADD_FAILURE() << "no metrics address in the status\n" << LogText();
    return "";
  }
  // GET http://<url> with curl; the body.
  std::string Get(const std::string& url) {
    std::string out = home_ + "/get.out";
    std::string cmd = "curl -s --max-time 5 -o '" + out + "' '" + url + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return ReadLocal(out);
  }
  // The value of one series (its full name with labels) in a scrape; "absent" when missing.
  static std::string Value(const std::string& scrape, const std::string& series) {
    std::istringstream lines(scrape);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(series + " ", 0) == 0) return line.substr(series.size() + 1);
    }
    return "absent";
  }
  uint16_t OpenOk(RawClient* c, const std::string& ticket) {
    Reply r = c->Open(ticket);
    EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    return r.payload.size() < 10 ? 0xFFFF : GetBE16(r.payload.data(), 0);
  }
  // Downloads into the cache, answering progress with CONTINUE; the final reply's type.
  uint32_t GetFile(RawClient* c, uint16_t h) {
    EXPECT_TRUE(c->Send(KDR_GET_FILE_MSG, Cat({BE16(h), Text("tst", false)})));
    for (;;) {
      Reply r;
      if (!c->Receive(&r)) return 0;
      if (r.typeId != kReplyProgress) return r.typeId;
      c->SendStatus(0);
    }
  }
};

TEST_F(Metrics, CountersMoveAsTheWorkloadSays) {
  StartServer("--metrics-address 127.0.0.1:0");
  std::string addr = Address();
  ASSERT_FALSE(addr.empty());
  std::string guid;
  std::string ticket = PutFile(Pattern(40000, 7), "m.bin", &guid);  // blocks 0, 1, 2
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, ticket);
  std::string out;
  size_t pieces = 0;
  ASSERT_TRUE(ReadRange(&c, h, 0, 16384, &out, &pieces));  // block 0: a cold miss
  ASSERT_TRUE(ReadRange(&c, h, 0, 16384, &out, &pieces));  // a hit
  ASSERT_TRUE(ReadRange(&c, h, 0, 40000, &out, &pieces));  // 0 hits, 1 and 2 miss: partial
  ASSERT_EQ(GetFile(&c, h), kReplyNormal);                 // a cold whole-file miss
  ASSERT_EQ(GetFile(&c, h), kReplyNormal);                 // a whole-file hit
  // A new volume behind the server's back: what it cached of the old one is stale.
  std::string volume;
  ASSERT_EQ(server::NewLocalVault(home_ + "/vault")
                ->Put(guid, "m.bin", WriteLocal("v2", Pattern(40000, 8)), &volume),
            0);
  uint16_t h2 = OpenOk(&c, ticket);
  ASSERT_TRUE(ReadRange(&c, h2, 0, 16384, &out, &pieces));  // block 0: a stale miss
  ASSERT_EQ(GetFile(&c, h2), kReplyNormal);                 // a stale whole-file miss

  std::string m = Get(addr + "/metrics");
  std::map<std::string, std::string> want = {
      {"kdr_reads_total{result=\"hit\"}", "1"},
      {"kdr_reads_total{result=\"partial_hit\"}", "1"},
      {"kdr_reads_total{result=\"miss\"}", "2"},
      {"kdr_store_block_reads_total{result=\"hit\"}", "2"},
      {"kdr_store_block_misses_total{reason=\"cold\"}", "3"},
      {"kdr_store_block_misses_total{reason=\"stale\"}", "1"},
      {"kdr_store_block_misses_total{reason=\"evicted\"}", "0"},
      {"kdr_file_cache_requests_total{result=\"hit\"}", "1"},
      {"kdr_file_cache_misses_total{reason=\"cold\"}", "1"},
      {"kdr_file_cache_misses_total{reason=\"stale\"}", "1"},
      {"kdr_served_bytes_total{source=\"file_cache\"}", "40000"},
      {"kdr_served_bytes_total{source=\"store\"}", std::to_string(2 * 16384)},
      {"kdr_vault_requests_total{kind=\"copy\",outcome=\"ok\"}", "2"},
      {"kdr_open_handles", "2"},
      {"kdr_store_open", "1"},
      {"kdr_build_info{version=\"" KDR_VERSION "\"}", "1"},
  };
  for (const auto& [series, value] : want) EXPECT_EQ(Value(m, series), value) << series;
  EXPECT_NE(Value(m, "kdr_vault_request_duration_seconds_count{kind=\"open\"}"), "0");
  EXPECT_EQ(Get(addr + "/nothing"), "kdrcached: the metrics are at /metrics\n");
}

// A free TCP port of the loopback address (free a moment ago).
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

TEST_F(Metrics, PrometheusScrapesTheEndpoint) {
  const char* prometheus = "/usr/bin/prometheus";
  if (access(prometheus, X_OK) != 0) {
    GTEST_SKIP() << prometheus
                 << " is absent: scripts/install-deps.sh installs Debian's prometheus";
  }
  StartServer("--metrics-address 127.0.0.1:0");
  std::string addr = Address();
  ASSERT_FALSE(addr.empty());
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, PutFile(Pattern(20000, 9), "p.bin"));
  std::string out;
  size_t pieces = 0;
  ASSERT_TRUE(ReadRange(&c, h, 0, 16384, &out, &pieces));  // a miss
  ASSERT_TRUE(ReadRange(&c, h, 0, 16384, &out, &pieces));  // a hit

  std::string config = WriteLocal("prometheus.yml",
                                  "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
                                  "scrape_configs:\n"
                                  "  - job_name: kdrcached\n"
                                  "    static_configs: [{targets: ['" +
                                      addr + "']}]\n");
  int port = FreePort();
  ASSERT_NE(port, 0);
  std::string web = "127.0.0.1:" + std::to_string(port);
  std::string cmd = std::string("exec ") + prometheus + " --config.file='" + config +
                    "' --storage.tsdb.path='" + home_ + "/tsdb' --web.listen-address=" + web +
                    " --log.level=warn 2>>'" + home_ + "/prometheus.log'";
  long pid = 0;
  ASSERT_EQ(platform::SpawnShell(cmd.c_str(), &pid), 0);
  // One query through its HTTP API, repeated until the first scrape is in (bounded).
  std::string answer;
  bool found = false;
  for (int i = 0; i < 60 && !found; ++i) {
    platform::SleepMs(500);
    std::string q = "curl -s --max-time 2 -o '" + home_ + "/q.out' 'http://" + web +
                    "/api/v1/query?query=kdr_reads_total%7Bresult%3D%22hit%22%7D'";
    if (std::system(q.c_str()) != 0) continue;
    answer = ReadLocal(home_ + "/q.out");
    found = answer.find("\"job\":\"kdrcached\"") != std::string::npos;
  }
  platform::RequestProcessStop(pid);
  if (WaitForProcessEnd(pid, 10000) == platform::ProcessState::kRunning) {
    platform::KillProcessGroup(pid);
  }
  ASSERT_TRUE(found) << answer << "\n" << ReadLocal(home_ + "/prometheus.log");
  EXPECT_NE(answer.find("\"status\":\"success\""), std::string::npos) << answer;
  EXPECT_NE(answer.find(",\"1\"]"), std::string::npos) << "one hit was read: " << answer;
}

}  // namespace
}  // namespace kdr::servertest
