// Interleaved pairs for the benchmarks: a case (B) and its baseline (A), timed in the same run
// as A, B, B, A, repeated, so that drift of a shared machine falls on both alike. Each round
// gives one ratio, time(B) / time(A) over the same work; the report is the median ratio and
// its spread (lowest and highest round), and each side's median throughput.
#ifndef KDR_BENCH_BENCH_PAIRS_H_
#define KDR_BENCH_BENCH_PAIRS_H_

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace kdr::bench {

// Rounds of A,B,B,A per pair: KDR_BENCH_ROUNDS, else 5.
inline int Rounds() {
  const char* v = std::getenv("KDR_BENCH_ROUNDS");
  int n = v != nullptr ? std::atoi(v) : 5;
  return n < 1 ? 1 : n;
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// One timed run of a side: does its work, returns false on a failure (reported as an error).
using Side = std::function<bool()>;

inline bool Timed(const Side& side, double* seconds) {
  auto t0 = std::chrono::steady_clock::now();
  bool ok = side();
  *seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return ok;
}

// Runs the pair and sets the counters: ratio (median of time B / time A), ratio_lo, ratio_hi,
// and A_GiBps, B_GiBps (median throughput of each side, `bytes` per run), or, when bytes is 0,
// A_us and B_us per run divided by `ops`.
inline void RunPair(benchmark::State& state, const Side& a, const Side& b, int64_t bytes,
                    int64_t ops = 1) {
  std::vector<double> ratios, aSeconds, bSeconds;
  for (auto _ : state) {
    for (int r = 0; r < Rounds(); ++r) {
      double ta = 0, tb = 0;
      if (!Timed(a, &ta) || !Timed(b, &tb) || !Timed(b, &tb) || !Timed(a, &ta)) {
        state.SkipWithError("a side failed");
        return;
      }
      ratios.push_back(tb / ta);
      aSeconds.push_back(ta / 2);
      bSeconds.push_back(tb / 2);
    }
  }
  state.counters["ratio"] = Median(ratios);
  state.counters["ratio_lo"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters["ratio_hi"] = *std::max_element(ratios.begin(), ratios.end());
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  if (bytes > 0) {
    state.counters["A_GiBps"] = double(bytes) / Median(aSeconds) / kGiB;
    state.counters["B_GiBps"] = double(bytes) / Median(bSeconds) / kGiB;
  } else {
    state.counters["A_us"] = Median(aSeconds) / double(ops) * 1e6;
    state.counters["B_us"] = Median(bSeconds) / double(ops) * 1e6;
  }
}

}  // namespace kdr::bench

#endif  // KDR_BENCH_BENCH_PAIRS_H_
