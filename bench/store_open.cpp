// How long an owner's open of a store at the maximum of 2,097,151 pages takes when every page
// belongs to a cached file and the access times are random: the open checks every page,
// rebuilds the free-segment list and the date list, and publishes the shared TOC.
//
// Baselines measured in the same run on the same machine:
//   SortKeys      std::sort of 2,097,151 random 64-bit keys (the least any ordered rebuild of
//                 the date list costs);
//   a read       a sequential read of the whole metafile (1 GiB) through the page cache,
//                timed interleaved with the open (read, open, open, read, each round).
// The open reports its time as multiples of both (counters x_sort, and x_read with its
// spread over the rounds), its median time and its CPU time.
//
// The store is built once in a temporary directory (about 1 GiB of disk) and removed at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_pairs.h"
#include "platform/fs.h"
#include "store/kdrc.h"

namespace {

constexpr int32_t kPages = 2097151;
std::string g_dir;
std::string g_name = "bench";
double g_sortSeconds = 0;

KDRCIF_OPEN_PARAMS Params(int deleteFirst) {
  KDRCIF_OPEN_PARAMS p{};
  p.cacheDir = g_dir.data();
  p.mapName = g_name.data();
  p.filePages = kPages;
  p.segments = 1;              // raised to what the shared TOC needs
  p.hashBlocks = 16384;        // 2,097,152 buckets: one file per bucket on average
  p.extentMB = 16;
  p.create = 1;
  p.deleteFirst = deleteFirst;
  p.mode = KDRC_MODE_OWNER;
  return p;
}

// Every free page becomes the first page of a file of its own, with a random access time.
bool BuildStore() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kdrbenchXXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return false;
  g_dir = tmpl;
  std::filesystem::create_directory(g_dir + "/run");
  std::filesystem::permissions(g_dir + "/run", std::filesystem::perms::owner_all);
  setenv("KDR_RUNTIME_DIR", (g_dir + "/run").c_str(), 1);
  KDRCIF_OPEN_PARAMS p = Params(1);
  KDRC_FILETOC_T* s = nullptr;
  if (KDRCIF_OpenS(&p, &s) != 0) return false;
  char guid[40];
  int32_t files = 0;
  while (s->pHeader->freeCount > 0) {
    std::snprintf(guid, sizeof guid, "%032d", int(files));
    KDRC_PAGE_T* first = nullptr;
    if (KDRCIF_AddFile(s, guid, 1000, 0, &first) != 0) return false;
    ++files;
  }
  std::mt19937 rng(42);
  int32_t now = int32_t(std::time(nullptr));
  for (int32_t n = 0; n < s->pageCount; ++n) {
    KDRC_PAGE_T* page = KDRCX_PageAt(s, n);
    if (page->kind == kdrc::meta::kAllocated) page->accessTime = now - int32_t(rng() % 30000000);
  }
  return KDRCIF_Close(&s) == 0;
}

void SortKeys(benchmark::State& state) {
  std::mt19937_64 rng(7);
  std::vector<uint64_t> keys(kPages);
  double total = 0;
  int64_t runs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (uint64_t& k : keys) k = rng();
    state.ResumeTiming();
    auto t0 = std::chrono::steady_clock::now();
    std::sort(keys.begin(), keys.end());
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++runs;
    benchmark::DoNotOptimize(keys.data());
  }
  g_sortSeconds = total / double(runs);
}

// One sequential read of the whole metafile; its bytes, 0 on a failure.
uint64_t ReadOnce() {
  std::string path = g_dir + "/kdr.mf";
  std::vector<uint8_t> buf(1 << 20);
  int fd = -1;
  if (kdr::platform::OpenFile(path.c_str(), kdr::platform::FileMode::kReadOnly, &fd) != 0) return 0;
  uint64_t offset = 0;
  for (;;) {
    size_t done = 0;
    if (kdr::platform::ReadFileAt(fd, offset, buf.data(), buf.size(), &done) != 0 || done == 0)
      break;
    offset += done;
  }
  kdr::platform::CloseFile(fd);
  return offset;
}

// The open against the read of the metafile, interleaved (read, open, open, read) for
// KDR_BENCH_ROUNDS rounds: the median ratio and its spread, the open's median time and the
// CPU time (user + system) of this process during it. The close is not timed.
void OwnerOpen(benchmark::State& state) {
  std::vector<double> ratios, opens, cpus;
  auto read = [] {
    auto t0 = std::chrono::steady_clock::now();
    bool ok = ReadOnce() > 0;
    return ok ? std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() : -1;
  };
  auto open = [&](double* cpu) {
    KDRCIF_OPEN_PARAMS p = Params(0);
    KDRC_FILETOC_T* s = nullptr;
    std::clock_t c0 = std::clock();
    auto t0 = std::chrono::steady_clock::now();
    int rc = KDRCIF_OpenS(&p, &s);
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    *cpu += double(std::clock() - c0) / CLOCKS_PER_SEC;
    if (rc != 0) return -1.0;
    state.counters["date_list"] = double(s->pShared->dateCount);
    KDRCIF_Close(&s);
    return t;
  };
  for (auto _ : state) {
    for (int r = 0; r < kdr::bench::Rounds(); ++r) {
      double cpu = 0;
      double a = read(), b = open(&cpu), b2 = open(&cpu), a2 = read();
      if (a < 0 || b < 0 || b2 < 0 || a2 < 0) {
        state.SkipWithError("open or read failed");
        return;
      }
      if (std::getenv("KDR_BENCH_VERBOSE") != nullptr)
        std::fprintf(stderr, "round %d: read %.0f ms, open %.0f ms\n", r + 1, (a + a2) * 500,
                     (b + b2) * 500);
      ratios.push_back((b + b2) / (a + a2));
      opens.push_back((b + b2) / 2);
      cpus.push_back(cpu / 2);
    }
  }
  state.counters["x_read"] = kdr::bench::Median(ratios);
  state.counters["x_read_lo"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters["x_read_hi"] = *std::max_element(ratios.begin(), ratios.end());
  state.counters["seconds"] = kdr::bench::Median(opens);
  state.counters["cpu_seconds"] = kdr::bench::Median(cpus);
  if (g_sortSeconds > 0) state.counters["x_sort"] = kdr::bench::Median(opens) / g_sortSeconds;
}

BENCHMARK(SortKeys)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(OwnerOpen)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The engine prints the shared TOC's lines at each owner open; they go with the report.
  std::printf("Building a store of %d pages in a temporary directory...\n", int(kPages));
  std::fflush(stdout);
  bool built = BuildStore();
  if (built) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!g_dir.empty()) std::filesystem::remove_all(g_dir);
  if (!built) {
    std::fprintf(stderr, "could not build the store\n");
    return 1;
  }
  return 0;
}
