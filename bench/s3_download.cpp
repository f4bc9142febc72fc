// A cold VXN_DownloadFileFromPLM of a large object from an S3 vault, against one plain `curl`
// GET of the same object from the same store, on loopback.
//
// Each iteration runs both, one after the other (interleaved): the download through a freshly
// started kdrcached with an empty cache (cold: nothing in its store, its whole-file cache or
// its chunk memory), then `curl -o FILE` of the same object. Counters: MiB/s of each and
// x_curl, the download's throughput as a multiple of curl's (the goal is at least 0.8), and
// vault_MiB/s, a cold read through the S3 vault alone in this process (no server, no file).
//
// The store is a throw-away Ceph RGW (scripts/rgw.sh) started for the run, or the one named by
// KDR_RGW_DIR. KDR_BENCH_S3_MB sets the object's size (default 512).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"
#include "iface/interface.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "proxy/lifecycle.h"
#include "server/ticket.h"
#include "server/vault.h"
#include "support/process_wait.h"

namespace {

namespace fs = std::filesystem;
namespace pf = kdr::platform;

std::string g_dir;        // scratch directory of the run
std::string g_rgw;        // the store's state directory
bool g_ownRgw = false;
std::string g_ticket;
std::string g_key;        // object key
uint64_t g_size = 0;

using kdr::bench::Env;
using kdr::bench::Run;

bool Setup() {
  std::string tmpl = (fs::temp_directory_path() / "kdrs3benchXXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return false;
  g_dir = tmpl;
  g_rgw = Env("KDR_RGW_DIR");
  if (g_rgw.empty()) {
    g_rgw = g_dir + "/rgw";
    g_ownRgw = true;
    if (Run("'" KDR_RGW_SCRIPT "' start '" + g_rgw + "' 2>'" + g_dir + "/rgw.log'") != 0) {
      std::fprintf(stderr, "cannot start the store (see %s/rgw.log)\n", g_dir.c_str());
      return false;
    }
  }
  std::ifstream env(g_rgw + "/env");
  for (std::string line; std::getline(env, line);) {
    if (line.rfind("export ", 0) == 0) line = line.substr(7);
    size_t eq = line.find('=');
    if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
  }
  std::string mb = Env("KDR_BENCH_S3_MB");
  g_size = static_cast<uint64_t>(mb.empty() ? 512 : std::atoi(mb.c_str())) << 20;
  std::string src = g_dir + "/object.bin";
  if (Run("head -c " + std::to_string(g_size) + " /dev/urandom > '" + src + "'") != 0) return false;
  std::unique_ptr<kdr::server::Vault> vault;
  std::string error;
  std::string location = "s3://" + Env("KDR_S3_BUCKET") + "/bench";
  if (kdr::server::OpenVault({location, Env("KDR_S3_ENDPOINT"), ""}, &vault, &error) != 0) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  std::string guid = kdr::server::NewGuid('v'), volume;
  if (vault->Put(guid, "object.bin", src, &volume) != 0) return false;
  fs::remove(src);
  g_ticket = kdr::server::MakeTicket('v', guid);
  g_key = "bench/" + guid;
  return true;
}

void Teardown() {
  if (g_ownRgw) Run("'" KDR_RGW_SCRIPT "' stop '" + g_rgw + "'");
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

// One cold download through a fresh kdrcached; seconds, or a negative value on failure.
double ColdDownload() {
  // The same home each time (the store is made once), emptied after each download.
  std::string home = g_dir + "/home";
  std::error_code ec;
  fs::create_directories(home + "/run");
  fs::permissions(home + "/run", fs::perms::owner_all);
  std::ofstream(home + "/startvxn.sh") << "#!/bin/sh\nexit 1\n";
  fs::permissions(home + "/startvxn.sh", fs::perms::owner_all);
  std::string cmd = "exec env KDR_HOME='" + home + "' KDR_RUNTIME_DIR='" + home + "/run' '" KDRCACHED
                    "' --map-name kdrs3bench --vault s3://" + Env("KDR_S3_BUCKET") +
                    "/bench --s3-endpoint " + Env("KDR_S3_ENDPOINT") + " 2>>'" + g_dir +
                    "/server.log'";
  long pid = 0;
  if (pf::SpawnShell(cmd.c_str(), &pid) != 0) return -1;
  for (int i = 0; i < 500 && !fs::exists(home + "/run/KDRClientPipe"); ++i) pf::SleepMs(10);
  setenv("KDR_HOME", home.c_str(), 1);
  setenv("KDR_RUNTIME_DIR", (home + "/run").c_str(), 1);
  setenv("VXN_PROXY_PIPEONLY", "1", 1);
  double seconds = -1;
  if (VXN_Init(nullptr, nullptr) == 0) {
    const char* key = nullptr;
    char* path = nullptr;
    if (VXN_RegisterTicket(g_ticket.c_str(), &key) == 0) {
      auto start = std::chrono::steady_clock::now();
      int rc = VXN_DownloadFileFromPLM("BEN", key, nullptr, nullptr, &path);
      auto end = std::chrono::steady_clock::now();
      uint64_t got = 0;
      if (rc == 0 && pf::StatPath(path, &got) == 0 && got == g_size) {
        seconds = std::chrono::duration<double>(end - start).count();
      }
      std::free(path);
    }
    KdrClearCache();
    VXN_Term();
  }
  pf::RequestProcessStop(pid);
  if (kdr::WaitForExitStatus(pid, 20000) < 0) pf::KillProcessGroup(pid);
  return seconds;
}

// One curl GET of the object into a file; seconds, or a negative value on failure.
double CurlGet() {
  std::string out = g_dir + "/curl.out";
  std::string cmd = "curl -sS -f --aws-sigv4 aws:amz:us-east-1:s3 --user \"$AWS_ACCESS_KEY_ID:"
                    "$AWS_SECRET_ACCESS_KEY\" -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' -o '" +
                    out + "' \"$KDR_S3_ENDPOINT/$KDR_S3_BUCKET/" + g_key + "\"";
  auto start = std::chrono::steady_clock::now();
  long rc = Run(cmd);
  auto end = std::chrono::steady_clock::now();
  uint64_t got = 0;
  bool ok = rc == 0 && pf::StatPath(out.c_str(), &got) == 0 && got == g_size;
  std::error_code ec;
  fs::remove(out, ec);
  return ok ? std::chrono::duration<double>(end - start).count() : -1;
}

// The vault alone: a fresh S3 vault in this process reads the object in the pieces a download
// copies (256 KiB) and drops them; seconds, or a negative value on failure.
double VaultRead() {
  std::unique_ptr<kdr::server::Vault> vault;
  std::string error;
  std::string location = "s3://" + Env("KDR_S3_BUCKET") + "/bench";
  if (kdr::server::OpenVault({location, Env("KDR_S3_ENDPOINT"), ""}, &vault, &error) != 0) return -1;
  std::string guid = g_key.substr(g_key.find('/') + 1);
  std::shared_ptr<kdr::server::VaultFile> file;
  std::unique_ptr<kdr::server::VaultReader> reader;
  if (vault->Open(guid, &file) != 0 || file->OpenReader(&reader) != 0) return -1;
  std::vector<unsigned char> buf(256 << 10);
  auto start = std::chrono::steady_clock::now();
  uint64_t off = 0;
  for (;;) {
    size_t n = 0;
    if (reader->ReadAt(off, buf.data(), buf.size(), &n) != 0) return -1;
    if (n == 0) break;
    off += n;
  }
  auto end = std::chrono::steady_clock::now();
  return off == g_size ? std::chrono::duration<double>(end - start).count() : -1;
}

void BM_ColdDownloadVsCurl(benchmark::State& state) {
  double mib = static_cast<double>(g_size) / (1 << 20);
  for (auto _ : state) {
    double d = ColdDownload();
    double c = CurlGet();
    double v = VaultRead();
    if (d <= 0 || c <= 0 || v <= 0) {
      state.SkipWithError("a transfer failed");
      break;
    }
    state.SetIterationTime(d);
    state.counters["MiB/s"] = mib / d;
    state.counters["curl_MiB/s"] = mib / c;
    state.counters["x_curl"] = c / d;
    state.counters["vault_MiB/s"] = mib / v;  // where the download loses its time
  }
}
BENCHMARK(BM_ColdDownloadVsCurl)->Iterations(1)->Repetitions(5)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Setup()) {
    Teardown();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Teardown();
  return 0;
}
