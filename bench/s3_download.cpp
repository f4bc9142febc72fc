// Cold reads of a large object from an S3 vault, against libcurl's plain GET of the same
// object from the same store, on loopback and through a relay that makes loopback a wide-area
// link (10 ms each way, so 20 ms of round trip, and 200 Mbit/s; bench/s3_relay).
//
//   BM_Download/{loopback,relay}        VXN_DownloadFileFromPLM into the cache against a GET
//                                       written to a file
//   BM_SequentialRead/{loopback,relay}  VXN_OpenFile and VXN_ReadBytes of 256 KiB from the
//                                       first byte to the last against a GET read into memory
//
// Each library run is cold: a freshly started kdrcached with an empty cache (nothing in its
// store, its whole-file cache or its chunk memory); starting it is not timed. The pairs are
// interleaved (curl, library, library, curl) for KDR_BENCH_ROUNDS rounds (default 5). Counters:
// x_curl, the library's throughput as a multiple of curl's (median, and its lowest and highest
// round; the goal is at least 0.9), each side's MiB/s (median), and each side's CPU seconds per
// GiB (user + system, this process and, for the library, the server too; server_cpu_s_GiB is
// the server's part), and the store's CPU seconds per GiB while each side read
// (curl_store_cpu_s_GiB, lib_store_cpu_s_GiB). Read the last with care: the throw-away RGW
// keeps its CPU about as busy whatever rate it serves (curl limited to 400 or 300 MiB/s costs
// it 1.7x or 2.3x the CPU per GiB of an unlimited curl), so it follows the rate at which a side
// takes the bytes more than what its way of asking costs the store.
// KDR_BENCH_VERBOSE=1 prints each round's times and CPU.
//
// The store is a throw-away Ceph RGW (scripts/rgw.sh) started for the run, or the one named by
// KDR_RGW_DIR. KDR_BENCH_S3_MB sets the object's size on loopback (default 256),
// KDR_BENCH_S3_RELAY_MB through the relay (default 64). The store and the relay (the far
// machine and the link) run on one CPU, the measured side on the others, so that a ratio says
// what a server in front of a remote store delivers rather than how the two sides share the
// same CPUs (s3_placement.h; KDR_BENCH_CPU=all leaves the scheduler free). The machine may be
// shared: read the spread as well as the median.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_pairs.h"
#include "bench_process.h"
#include "iface/interface.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "proxy/lifecycle.h"
#include "s3_placement.h"
#include "server/ticket.h"
#include "server/vault.h"
#include "support/process_wait.h"

namespace {

namespace fs = std::filesystem;
namespace pf = kdr::platform;

using kdr::bench::Env;
using kdr::bench::Run;

constexpr size_t kReadPiece = 256 << 10;

std::string g_dir;  // scratch directory of the run
std::string g_rgw;  // the store's state directory
bool g_ownRgw = false;
long g_relayPid = 0;
std::unique_ptr<kdr::bench::Placement> g_place;

// One way to the store and the object read through it.
struct Path {
  std::string endpoint;
  std::string guid;
  std::string ticket;
  uint64_t size = 0;
};
Path g_paths[2];  // loopback, relay

bool PutObject(uint64_t size, Path* path) {
  std::string src = g_dir + "/object.bin";
  if (Run("head -c " + std::to_string(size) + " /dev/urandom > '" + src + "'") != 0) return false;
  std::unique_ptr<kdr::server::Vault> vault;
  std::string error;
  std::string location = "s3://" + Env("KDR_S3_BUCKET") + "/bench";
  if (kdr::server::OpenVault({location, Env("KDR_S3_ENDPOINT"), ""}, &vault, &error) != 0) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  std::string volume;
  path->guid = kdr::server::NewGuid('v');
  if (vault->Put(path->guid, "object.bin", src, &volume) != 0) return false;
  fs::remove(src);
  path->ticket = kdr::server::MakeTicket('v', path->guid);
  path->size = size;
  return true;
}

uint64_t Megabytes(const char* var, uint64_t fallback) {
  std::string mb = Env(var);
  return (mb.empty() ? fallback : uint64_t(std::atoll(mb.c_str()))) << 20;
}

bool Setup() {
  std::string tmpl = (fs::temp_directory_path() / "kdrs3benchXXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return false;
  g_dir = tmpl;
  g_place = std::make_unique<kdr::bench::Placement>();
  g_rgw = Env("KDR_RGW_DIR");
  if (g_rgw.empty()) {
    g_rgw = g_dir + "/rgw";
    g_ownRgw = true;
    if (Run(g_place->Store() + "'" KDR_RGW_SCRIPT "' start '" + g_rgw + "' 2>'" + g_dir +
            "/rgw.log'") != 0) {
      std::fprintf(stderr, "cannot start the store (see %s/rgw.log)\n", g_dir.c_str());
      return false;
    }
  } else {
    g_place->PinStarted(g_rgw);
  }
  std::ifstream env(g_rgw + "/env");
  for (std::string line; std::getline(env, line);) {
    if (line.rfind("export ", 0) == 0) line = line.substr(7);
    size_t eq = line.find('=');
    if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
  }
  std::string endpoint = Env("KDR_S3_ENDPOINT");
  std::string port = endpoint.substr(endpoint.rfind(':') + 1);
  std::string portFile = g_dir + "/relay.port";
  std::string relay = "exec " + g_place->Store() + "'" KDR_S3_RELAY "' '" + portFile + "' " + port;
  if (pf::SpawnShell(relay.c_str(), &g_relayPid) != 0) {
    return false;
  }
  std::string relayPort;
  for (int i = 0; i < 500 && relayPort.empty(); ++i) {
    pf::SleepMs(10);
    std::ifstream(portFile) >> relayPort;
  }
  if (relayPort.empty()) return false;
  g_paths[0].endpoint = endpoint;
  g_paths[1].endpoint = "http://127.0.0.1:" + relayPort;
  return PutObject(Megabytes("KDR_BENCH_S3_MB", 256), &g_paths[0]) &&
         PutObject(Megabytes("KDR_BENCH_S3_RELAY_MB", 64), &g_paths[1]);
}

void Teardown() {
  if (g_relayPid != 0) {
    pf::KillProcessGroup(g_relayPid);
    kdr::WaitForExitStatus(g_relayPid, 5000);
  }
  if (g_ownRgw) Run("'" KDR_RGW_SCRIPT "' stop '" + g_rgw + "'");
  g_place.reset();
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

// What one timed run took: wall seconds and CPU seconds (this process and the server), and
// the store's CPU seconds meanwhile.
struct Cost {
  double seconds = 0;
  double cpu = 0;
  double server = 0;  // of `cpu`, the server's part
  double store = 0;
};

double SelfCpu() { return double(std::clock()) / CLOCKS_PER_SEC; }

// The CPU seconds the store's daemons (those its directory lists) have used so far.
double StoreCpu() {
  double sum = 0;
  for (const char* name : {"mon", "osd", "radosgw"}) {
    long pid = 0;
    if (std::ifstream(g_rgw + "/" + name + ".pid") >> pid) sum += kdr::bench::PeerCpuSeconds(pid);
  }
  return sum;
}

// A cheap sum of the bytes read, so that both sides touch every byte and a short or garbled
// read shows; the same however the bytes are cut into pieces.
struct Fold {
  uint64_t sum = 0;
  unsigned char word[8] = {};
  size_t have = 0;
  void Add(const unsigned char* p, size_t n) {
    while (n > 0 && (have > 0 || n < 8)) {
      word[have++] = *p++;
      --n;
      if (have == 8) Mix(word), have = 0;
    }
    for (; n >= 8; p += 8, n -= 8) Mix(p);
    while (n-- > 0) word[have++] = *p++;
  }
  void Mix(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    sum = (sum ^ w) * 0x100000001b3ull;
  }
  uint64_t Done() {
    for (size_t i = 0; i < have; ++i) sum = (sum ^ word[i]) * 0x100000001b3ull;
    return sum;
  }
};
uint64_t g_sums[2] = {0, 0};  // of each path's object, as curl read it first

// One cold run through a fresh kdrcached: `read` reads the file with the library, else it is
// downloaded. False on a failure.
bool Library(const Path& path, bool read, Cost* cost) {
  // The same home each time (the store is made once), emptied after each run.
  std::string home = g_dir + "/home";
  fs::create_directories(home + "/run");
  fs::permissions(home + "/run", fs::perms::owner_all);
  std::ofstream(home + "/startvxn.sh") << "#!/bin/sh\nexit 1\n";
  fs::permissions(home + "/startvxn.sh", fs::perms::owner_all);
  std::string cmd = "exec env KDR_HOME='" + home + "' KDR_RUNTIME_DIR='" + home +
                    "/run' '" KDRCACHED "' --map-name kdrs3bench --vault s3://" +
                    Env("KDR_S3_BUCKET") + "/bench --s3-endpoint " + path.endpoint + " 2>>'" +
                    g_dir + "/server.log'";
  long pid = 0;
  if (pf::SpawnShell(cmd.c_str(), &pid) != 0) return false;
  for (int i = 0; i < 500 && !fs::exists(home + "/run/KDRClientPipe"); ++i) pf::SleepMs(10);
  setenv("KDR_HOME", home.c_str(), 1);
  setenv("KDR_RUNTIME_DIR", (home + "/run").c_str(), 1);
  bool ok = false;
  if (VXN_Init(nullptr, nullptr) == 0) {
    const char* key = nullptr;
    if (VXN_RegisterTicket(path.ticket.c_str(), &key) == 0) {
      const double self0 = SelfCpu(), server0 = kdr::bench::PeerCpuSeconds(pid),
                   store0 = StoreCpu();
      auto start = std::chrono::steady_clock::now();
      if (read) {
        VXNFileHandle h = nullptr;
        if (VXN_OpenFile(key, &h) == 0) {
          std::vector<unsigned char> buf(kReadPiece);
          uint64_t off = 0;
          Fold fold;
          int n = 0;
          while (VXN_ReadBytes(h, "BEN", int(buf.size()), &n, buf.data()) == 0 && n > 0) {
            fold.Add(buf.data(), size_t(n));
            off += uint64_t(n);
          }
          ok = off == path.size && fold.Done() == g_sums[&path - g_paths];
          VXN_CloseFileHandlePointer(h);
        }
      } else {
        char* file = nullptr;
        uint64_t got = 0;
        ok = VXN_DownloadFileFromPLM("BEN", key, nullptr, nullptr, &file) == 0 &&
             pf::StatPath(file, &got) == 0 && got == path.size;
        std::free(file);
      }
      cost->seconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double server = kdr::bench::PeerCpuSeconds(pid) - server0;
      cost->cpu += SelfCpu() - self0 + server;
      cost->server += server;
      cost->store += StoreCpu() - store0;
    }
    KdrClearCache();
    VXN_Term();
  }
  pf::RequestProcessStop(pid);
  if (kdr::WaitForExitStatus(pid, 20000) < 0) pf::KillProcessGroup(pid);
  return ok;
}

struct Sink {
  std::FILE* file = nullptr;
  uint64_t bytes = 0;
  Fold fold;
};

size_t Take(char* data, size_t size, size_t n, void* arg) {
  auto* sink = static_cast<Sink*>(arg);
  size_t len = size * n;
  if (sink->file != nullptr) {
    if (std::fwrite(data, 1, len, sink->file) != len) return 0;
  } else {
    sink->fold.Add(reinterpret_cast<unsigned char*>(data), len);
  }
  sink->bytes += len;
  return len;
}

// One GET of the object with a fresh connection, into a file (`toFile`) or into memory.
bool Curl(const Path& path, bool toFile, Cost* cost, uint64_t* sum = nullptr) {
  std::string out = g_dir + "/curl.out";
  Sink sink;
  if (toFile && (sink.file = std::fopen(out.c_str(), "wb")) == nullptr) return false;
  CURL* c = curl_easy_init();
  std::string url = path.endpoint + "/" + Env("KDR_S3_BUCKET") + "/bench/" + path.guid;
  std::string user = Env("AWS_ACCESS_KEY_ID") + ":" + Env("AWS_SECRET_ACCESS_KEY");
  std::string sigv4 = "aws:amz:" + Env("AWS_REGION") + ":s3";
  struct curl_slist* headers = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(c, CURLOPT_USERPWD, user.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Take);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  double cpu0 = SelfCpu(), store0 = StoreCpu();
  auto start = std::chrono::steady_clock::now();
  bool ok = curl_easy_perform(c) == CURLE_OK;
  if (sink.file != nullptr) ok = std::fclose(sink.file) == 0 && ok;
  cost->seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost->cpu += SelfCpu() - cpu0;
  cost->store += StoreCpu() - store0;
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  std::error_code ec;
  fs::remove(out, ec);
  uint64_t got = sink.fold.Done();
  if (sum != nullptr) *sum = got;
  return ok && sink.bytes == path.size &&
         (toFile || sum != nullptr || got == g_sums[&path - g_paths]);
}

// The pair, interleaved curl, library, library, curl, for the rounds asked.
void Pair(benchmark::State& state, bool read) {
  const Path& path = g_paths[state.range(0)];
  uint64_t& sum = g_sums[state.range(0)];
  Cost warm;
  if (sum == 0 && !Curl(path, false, &warm, &sum)) {
    state.SkipWithError("curl failed");
    return;
  }
  std::vector<double> ratios, curlMiBps, libMiBps;
  Cost curlAll, libAll;
  const double mib = double(path.size) / (1 << 20);
  for (auto _ : state) {
    for (int r = 0; r < kdr::bench::Rounds(); ++r) {
      Cost a, b;
      if (!Curl(path, !read, &a) || !Library(path, read, &b) || !Library(path, read, &b) ||
          !Curl(path, !read, &a)) {
        state.SkipWithError("a transfer failed (see server.log in the scratch directory)");
        return;
      }
      if (std::getenv("KDR_BENCH_VERBOSE") != nullptr) {
        // With each side's CPU: a slow round that used no more of it waited (on the store, or
        // for a core).
        std::fprintf(stderr,
                     "round %d: curl %.1f ms (cpu %.1f ms, store %.1f ms), library %.1f ms (cpu "
                     "%.1f ms, of it the server %.1f ms; store %.1f ms)\n",
                     r + 1, a.seconds * 500, a.cpu * 500, a.store * 500, b.seconds * 500,
                     b.cpu * 500, b.server * 500, b.store * 500);
      }
      ratios.push_back(a.seconds / b.seconds);
      curlMiBps.push_back(2 * mib / a.seconds);
      libMiBps.push_back(2 * mib / b.seconds);
      curlAll.cpu += a.cpu;
      libAll.cpu += b.cpu;
      libAll.server += b.server;
      curlAll.store += a.store;
      libAll.store += b.store;
    }
  }
  const double gib = 2.0 * double(ratios.size()) * double(path.size) / (1u << 30);
  state.counters["x_curl"] = kdr::bench::Median(ratios);
  state.counters["x_curl_lo"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters["x_curl_hi"] = *std::max_element(ratios.begin(), ratios.end());
  state.counters["curl_MiBps"] = kdr::bench::Median(curlMiBps);
  state.counters["lib_MiBps"] = kdr::bench::Median(libMiBps);
  state.counters["curl_cpu_s_GiB"] = curlAll.cpu / gib;
  state.counters["lib_cpu_s_GiB"] = libAll.cpu / gib;
  state.counters["server_cpu_s_GiB"] = libAll.server / gib;
  state.counters["curl_store_cpu_s_GiB"] = curlAll.store / gib;
  state.counters["lib_store_cpu_s_GiB"] = libAll.store / gib;
}

void BM_Download(benchmark::State& state) { Pair(state, false); }
void BM_SequentialRead(benchmark::State& state) { Pair(state, true); }

BENCHMARK(BM_Download)
    ->ArgName("relay")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SequentialRead)
    ->ArgName("relay")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  curl_global_init(CURL_GLOBAL_ALL);
  if (!Setup()) {
    Teardown();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Teardown();
  curl_global_cleanup();
  return 0;
}
