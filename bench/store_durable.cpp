// What a crash costs the store, and what its checksums cost.
//
//   KeptAfterKill    an owner process writes blocks and is killed (SIGKILL) at a random
//                    moment; the next owner open repairs the store. kept_pct: blocks held of
//                    those the writer had finished (100 is everything).
//   Restart          the owner open of a store holding KDR_BENCH_STORE_MB (default 256) of
//                    blocks: after a clean stop (A) and after a kill (B), interleaved; ratio
//                    B/A, the times (A_us, B_us) and CPU seconds of the opens (A_cpu, B_cpu).
//   RestartMaxSize   the same for a store of the most pages (2,097,151), every page the first
//                    page of a file of its own with a random access time.
//   UsableBytes      the blocks a store made with --store-size N can hold, over N
//                    (usable_pct), for sizes from 1G to 1000G.
//   FillSums         storing blocks without (A) and with (B) their checksums; ReadSums reading
//                    them without (A) and with (B) checking each against its checksum (what a
//                    checked server read adds). crc_hw says whether the instruction is used.
//
// The store lives in a temporary directory of the system's temporary file system and is
// removed at the end. The machine's other load moves every figure: compare ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_pairs.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "server/config.h"
#include "store/crc32c.h"
#include "store/kdrc.h"
#include "support/process_wait.h"

namespace {

namespace pf = kdr::platform;
constexpr int32_t kBlock = 16384;
constexpr int32_t kBlocksPerFile = 64;  // 1 MB files
std::string g_self;
std::string g_dir;
std::string g_name = "bench";
int32_t g_pages = 0;  // file pages of the store: 0 for the 1 GiB store of blocks

int32_t StoreBlocks() {
  const char* v = std::getenv("KDR_BENCH_STORE_MB");
  int mb = v != nullptr ? std::atoi(v) : 256;
  return (mb < 16 ? 16 : mb) * 64;
}

KDRCIF_OPEN_PARAMS Params(int deleteFirst) {
  KDRCIF_OPEN_PARAMS p{};
  p.cacheDir = g_dir.data();
  p.mapName = g_name.data();
  p.filePages = g_pages > 0 ? g_pages : 4096;
  p.segments = g_pages > 0 ? 1 : 65535;  // 1 GiB segment file, or what the pages need
  p.hashBlocks = g_pages > 0 ? 16384 : 64;
  p.extentMB = 16;
  p.create = 1;
  p.deleteFirst = deleteFirst;
  p.mode = KDRC_MODE_OWNER;
  p.recover = 1;
  return p;
}

std::string Guid(int32_t f) {
  char g[40];
  std::snprintf(g, sizeof g, "B%031d", int(f));
  return g;
}

void Fill(int32_t f, int32_t b, char* block) {
  char rec[96];
  for (int32_t i = 0; i < kBlock; i += 64) {
    std::snprintf(rec, sizeof rec, "file %08d block %08d at %06d %24s", int(f), int(b), int(i), "");
    std::memcpy(block + i, rec, 64);
  }
}

// Writes `blocks` blocks; every 64 the count finished so far goes to `progress` (if given).
bool Write(KDRC_FILETOC_T* s, int32_t blocks, const char* progress) {
  std::vector<char> block(kBlock);
  int fd = pf::kNoFile;
  if (progress != nullptr && pf::OpenFile(progress, pf::FileMode::kCreateTruncate, &fd) != 0)
    return false;
  int32_t none = -1;
  if (fd != pf::kNoFile) pf::WriteFileAt(fd, 0, &none, sizeof none);  // open: 0 done
  KDRC_PAGE_T* first = nullptr;
  for (int32_t n = 0; n < blocks; ++n) {
    int32_t f = n / kBlocksPerFile, b = n % kBlocksPerFile;
    if (b == 0 && KDRCIF_AddFile(s, Guid(f).c_str(), kBlocksPerFile * kBlock, 0, &first) != 0)
      return false;
    Fill(f, b, block.data());
    if (KDRCIF_WriteBlock(s, &first, b, block.data(), kBlock) != 0) return false;
    if (fd != pf::kNoFile && (n + 1) % 64 == 0) pf::WriteFileAt(fd, 0, &n, sizeof n);
  }
  if (fd != pf::kNoFile) pf::CloseFile(fd);
  return true;
}

// Blocks held with the right bytes, and whether any held is wrong.
int64_t Held(KDRC_FILETOC_T* s, int32_t blocks, bool* wrong) {
  std::vector<char> want(kBlock), got(kBlock);
  int64_t held = 0;
  for (int32_t f = 0; f * kBlocksPerFile < blocks; ++f) {
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2];
    if (KDRCIF_FindFile(s, Guid(f).c_str(), size, &first) != 0 || first == nullptr) continue;
    for (int32_t b = 0; b < kBlocksPerFile && f * kBlocksPerFile + b < blocks; ++b) {
      int32_t n = -1;
      if (KDRCIF_ReadBlock(s, first, b, got.data(), &n) != 0 || n < 0) continue;
      Fill(f, b, want.data());
      if (n == kBlock && std::memcmp(want.data(), got.data(), kBlock) == 0) ++held;
      else *wrong = true;
    }
  }
  return held;
}

// Makes every free page the first page of a file of its own, with a random access time.
bool FillPages(KDRC_FILETOC_T* s) {
  char guid[40];
  for (int32_t files = 0; s->pHeader->freeCount > 0; ++files) {
    std::snprintf(guid, sizeof guid, "%032d", int(files));
    KDRC_PAGE_T* first = nullptr;
    if (KDRCIF_AddFile(s, guid, 1000, 0, &first) != 0) return false;
  }
  std::mt19937 rng(42);
  int32_t now = int32_t(std::time(nullptr));
  for (int32_t n = 0; n < s->pageCount; ++n) {
    KDRC_PAGE_T* page = KDRCX_PageAt(s, n);
    if (page->kind == kdrc::meta::kAllocated) page->accessTime = now - int32_t(rng() % 30000000);
  }
  return true;
}

// Starts this program as a writer of `blocks` blocks into the store; its pid.
long StartWriter(int32_t blocks) {
  std::string cmd = "exec '" + g_self + "' --writer '" + g_dir + "' " + std::to_string(blocks) +
                    " " + std::to_string(g_pages);
  long pid = 0;
  return pf::SpawnShell(cmd.c_str(), &pid) == 0 ? pid : 0;
}

int32_t Progress() {
  int fd = pf::kNoFile;
  int32_t n = -1;
  size_t done = 0;
  if (pf::OpenFile((g_dir + "/progress").c_str(), pf::FileMode::kReadOnly, &fd) != 0) return -1;
  pf::ReadFileAt(fd, 0, &n, sizeof n, &done);
  pf::CloseFile(fd);
  return done == sizeof n ? n + 1 : -1;
}

// Waits until the writer reports `atLeast` blocks (or ends), then kills it. The blocks it had
// finished.
int32_t KillWriterAt(long pid, int32_t atLeast) {
  for (int i = 0; i < 30000 && Progress() < atLeast; ++i) pf::SleepMs(1);
  int32_t done = Progress();
  pf::KillProcessGroup(pid);
  kdr::WaitForProcessEnd(pid, 5000);
  return done;
}

void KeptAfterKill(benchmark::State& state) {
  std::mt19937 rng(1);
  double kept = 0, finished = 0;
  bool wrong = false;
  for (auto _ : state) {
    std::filesystem::remove(g_dir + "/progress");
    KDRCIF_OPEN_PARAMS p = Params(1);
    KDRC_FILETOC_T* s = nullptr;
    if (KDRCIF_OpenS(&p, &s) != 0 || KDRCIF_Close(&s) != 0) return state.SkipWithError("open");
    int32_t total = StoreBlocks() / 2;
    long pid = StartWriter(total);
    int32_t done = KillWriterAt(pid, int32_t(rng() % uint32_t(total)));
    p = Params(0);
    if (KDRCIF_OpenS(&p, &s) != 0) return state.SkipWithError("reopen");
    kept += double(Held(s, done, &wrong));
    finished += done;
    KDRCIF_Close(&s);
  }
  state.counters["kept_pct"] = finished > 0 ? 100.0 * kept / finished : 0;
  state.counters["wrong_blocks"] = wrong ? 1 : 0;
}

// Restart of a store of `pages` file pages (0: the 1 GiB store of KDR_BENCH_STORE_MB of blocks).
void RestartWith(benchmark::State& state, int32_t pages) {
  g_pages = pages;
  KDRCIF_OPEN_PARAMS p = Params(1);
  KDRC_FILETOC_T* s = nullptr;
  bool built =
      KDRCIF_OpenS(&p, &s) == 0 && (pages > 0 ? FillPages(s) : Write(s, StoreBlocks(), nullptr));
  if (KDRCIF_Close(&s) != 0 || !built) return state.SkipWithError("build");
  // One owner open, timed alone (its close flushes the store to the disk: not timed).
  auto open = [&](double* seconds, double* cpu) {
    KDRCIF_OPEN_PARAMS q = Params(0);
    KDRC_FILETOC_T* t = nullptr;
    std::clock_t c0 = std::clock();
    double t0 = double(pf::MonotonicMs());
    bool ok = KDRCIF_OpenS(&q, &t) == 0;
    *seconds = (double(pf::MonotonicMs()) - t0) / 1000;
    *cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
    KDRCIF_Close(&t);
    return ok;
  };
  std::vector<double> a, b, ca, cb;
  for (auto _ : state) {
    for (int r = 0; r < kdr::bench::Rounds(); ++r) {
      for (int side : {0, 1, 1, 0}) {
        if (side == 1) {  // an owner that opened the store and was killed
          std::filesystem::remove(g_dir + "/progress");
          KillWriterAt(StartWriter(0), 0);
        }
        double t = 0, cpu = 0;
        if (!open(&t, &cpu)) return state.SkipWithError("open");
        (side == 0 ? a : b).push_back(t);
        (side == 0 ? ca : cb).push_back(cpu);
        if (std::getenv("KDR_BENCH_VERBOSE") != nullptr)
          std::fprintf(stderr, "round %d %s: %.3f s, %.3f s CPU\n", r + 1,
                       side == 0 ? "clean" : "killed", t, cpu);
      }
    }
  }
  double ma = kdr::bench::Median(a), mb = kdr::bench::Median(b);
  state.counters["A_us"] = ma * 1e6;
  state.counters["B_us"] = mb * 1e6;
  state.counters["A_cpu"] = kdr::bench::Median(ca);
  state.counters["B_cpu"] = kdr::bench::Median(cb);
  state.counters["ratio"] = mb / ma;
  if (pages == 0) state.counters["store_MB"] = StoreBlocks() / 64;
  g_pages = 0;
}

void Restart(benchmark::State& state) { RestartWith(state, 0); }
void RestartMaxSize(benchmark::State& state) { RestartWith(state, kdrc::meta::kMaxFilePages); }

void UsableBytes(benchmark::State& state) {
  double worst = 100;
  for (auto _ : state) {
    for (const char* size : {"1G", "1300M", "4G", "100G", "1000G"}) {
      const char* argv[] = {"kdrcached", "--store-size", size, "--cache-dir", "/x", "--vault",
                            "/x", "--locale-dir", "/x"};
      kdr::server::ServerConfig c;
      std::string error;
      if (kdr::server::ParseServerConfig(9, argv, &c, &error) != kdr::server::ConfigOutcome::kRun)
        return state.SkipWithError(error.c_str());
      int64_t blocks = c.store.segments + int64_t{c.store.extentFiles} * c.store.extentMB * 64;
      if (int64_t{c.store.filePages} * 36 < blocks) blocks = int64_t{c.store.filePages} * 36;
      double pct = 100.0 * double(blocks * kBlock) / double(c.storeBytes);
      state.counters[std::string("usable_pct_") + size] = pct;
      if (pct < worst) worst = pct;
    }
  }
  state.counters["usable_pct_worst"] = worst;
}

void FillSums(benchmark::State& state) {
  KDRCIF_OPEN_PARAMS p = Params(1);
  KDRC_FILETOC_T* s = nullptr;
  if (KDRCIF_OpenS(&p, &s) != 0) return state.SkipWithError("open");
  const int32_t blocks = 4096;  // 64 MB
  uint8_t* sums = s->pSums;
  auto without = [&] {
    s->pSums = nullptr;
    bool ok = KDRCIF_ClearCache(s) == 0 && Write(s, blocks, nullptr);
    s->pSums = sums;
    return ok;
  };
  auto with = [&] { return KDRCIF_ClearCache(s) == 0 && Write(s, blocks, nullptr); };
  kdr::bench::RunPair(state, without, with, int64_t{blocks} * kBlock);
  state.counters["crc_hw"] = kdrc::Crc32cAccelerated() ? 1 : 0;
  KDRCIF_Close(&s);
}

void ReadSums(benchmark::State& state) {
  KDRCIF_OPEN_PARAMS p = Params(1);
  KDRC_FILETOC_T* s = nullptr;
  const int32_t blocks = 4096;
  if (KDRCIF_OpenS(&p, &s) != 0 || !Write(s, blocks, nullptr)) return state.SkipWithError("open");
  std::vector<char> buf(kBlock);
  auto read = [&](bool check) {
    for (int32_t f = 0; f * kBlocksPerFile < blocks; ++f) {
      KDRC_PAGE_T* first = nullptr;
      int32_t size[2];
      if (KDRCIF_FindFile(s, Guid(f).c_str(), size, &first) != 0 || first == nullptr) return false;
      for (int32_t b = 0; b < kBlocksPerFile; ++b) {
        int32_t n = -1;
        int bad = 0;
        if (KDRCIF_ReadBlock(s, first, b, buf.data(), &n) != 0 || n != kBlock) return false;
        if (check && (KDRCIF_CheckBlock(s, first, b, &bad) != 0 || bad)) return false;
      }
    }
    return true;
  };
  kdr::bench::RunPair(state, [&] { return read(false); }, [&] { return read(true); },
                      int64_t{blocks} * kBlock);
  KDRCIF_Close(&s);
}

BENCHMARK(UsableBytes)->Iterations(1);
BENCHMARK(FillSums)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(ReadSums)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(KeptAfterKill)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Restart)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(RestartMaxSize)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  g_self = argv[0];
  if (argc == 5 && std::strcmp(argv[1], "--writer") == 0) {
    // The writer: owner of the store in argv[2] of argv[4] file pages (0: the 1 GiB store),
    // writes argv[3] blocks, then waits to be killed.
    g_dir = argv[2];
    g_pages = std::atoi(argv[4]);
    setenv("KDR_RUNTIME_DIR", (g_dir + "/run").c_str(), 1);
    KDRCIF_OPEN_PARAMS p = Params(0);
    KDRC_FILETOC_T* s = nullptr;
    if (KDRCIF_OpenS(&p, &s) != 0) return 1;
    if (!Write(s, std::atoi(argv[3]), (g_dir + "/progress").c_str())) return 1;
    for (;;) pf::SleepMs(1000);
  }
  benchmark::Initialize(&argc, argv);
  std::string tmpl = (std::filesystem::temp_directory_path() / "kdrdurableXXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  g_dir = tmpl;
  std::filesystem::create_directory(g_dir + "/run");
  std::filesystem::permissions(g_dir + "/run", std::filesystem::perms::owner_all);
  setenv("KDR_RUNTIME_DIR", (g_dir + "/run").c_str(), 1);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  return 0;
}
