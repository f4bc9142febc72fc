// Interleaved pairs for the benchmarks: a case (B) and its baseline (A), timed in the same run
// as A, B, B, A, repeated, so that drift of a shared machine falls on both alike. Each round
// gives one ratio, time(B) / time(A) over the same work; the report is the median ratio and
// its spread (lowest and highest round), and each side's median throughput.
//
// A sliced pair (RunSlicedPair) cuts each side's work into slices and times every slice as
// A, B, B, A within the round: a round's ratio is still its whole time of B over its whole time
// of A, but a burst of other work on the machine that lasts longer than one slice's four runs
// falls on both sides instead of on whichever side ran through it.
//
// Beside the times, each side's CPU time (user + system) over all its runs, of this process and
// of the peer processes named (a server, a sender), per GiB or per operation: a gain that only
// moves work into another process shows there. This process's time comes from std::clock()
// (the process CPU clock, every thread); a peer's from the utime and stime fields of
// /proc/PID/stat, counted in clock ticks of 10 ms, so a peer's share is exact to about 10 ms
// per run.
#ifndef KDR_BENCH_BENCH_PAIRS_H_
#define KDR_BENCH_BENCH_PAIRS_H_

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace kdr::bench {

// Rounds of A,B,B,A per pair: KDR_BENCH_ROUNDS, else 5. With KDR_BENCH_VERBOSE set, each
// round's times go to stderr as well, so a round that stalled can be told from a slow machine:
// beside each side's CPU and waits stands the CPU that all other processes of the machine used
// meanwhile ("others": machine-wide ticks of 10 ms less ours, so it may read a little below 0);
// a sliced pair adds the median and spread of its slices' ratios, which tell a burst (one slow
// slice) from a whole round that ran slow.
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

// CPU seconds (user + system) that process `pid` has used so far, its exited threads included;
// 0 when it cannot be read.
inline double PeerCpuSeconds(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // The command name may hold blanks: the fields after it start behind its closing ')'.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  unsigned long long utime = 0, stime = 0;
  fields >> utime >> stime;
  return double(utime + stime) / 100.0;  // USER_HZ
}

// How often the threads of `proc` ("self" or a process id) have waited so far (voluntary
// context switches, summed over the threads alive now).
inline double Waits(const std::string& proc) {
  double sum = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + proc + "/task", ec)) {
    std::ifstream in(task.path() / "status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sum += std::stod(line.substr(24));
    }
  }
  return sum;
}

// CPU seconds the whole machine has spent on work so far (every process and the kernel: the
// first line of /proc/stat without idle and iowait), 0 when it cannot be read.
inline double MachineCpuSeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                     steal = 0;
  if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal)) return 0;
  return double(user + nice + system + irq + softirq + steal) / 100.0;  // USER_HZ
}

// CPU seconds of this process, of `peers` and of the machine, and the waits of both.
struct CpuSample {
  double self = 0;
  double peers = 0;
  double waits = 0;
  double machine = 0;
};
inline CpuSample SampleCpu(const std::vector<long>& peers) {
  CpuSample s;
  s.machine = MachineCpuSeconds();
  s.self = double(std::clock()) / CLOCKS_PER_SEC;
  s.waits = Waits("self");
  for (long pid : peers) {
    s.peers += PeerCpuSeconds(pid);
    s.waits += Waits(std::to_string(pid));
  }
  return s;
}

// What a side used over its runs; `others`: what the rest of the machine used meanwhile.
struct Use {
  double self = 0;
  double peer = 0;
  double waits = 0;
  double others = 0;
};

// Timed() that also adds what this process and `peers` used to *use.
inline bool TimedCpu(const Side& side, const std::vector<long>& peers, double* seconds,
                     Use* use) {
  CpuSample c0 = SampleCpu(peers);
  bool ok = Timed(side, seconds);
  CpuSample c1 = SampleCpu(peers);
  use->self += c1.self - c0.self;
  use->peer += c1.peers - c0.peers;
  use->waits += c1.waits - c0.waits;
  use->others += (c1.machine - c0.machine) - (c1.self - c0.self) - (c1.peers - c0.peers);
  return ok;
}

// RunPair runs the pair and sets the counters: ratio (median of time B / time A), ratio_lo,
// ratio_hi, and A_GiBps, B_GiBps (median throughput of each side, `bytes` per run), or, when bytes
// is 0, A_us and B_us per run divided by `ops`. Beside them each side's CPU time of both processes
// (this one and `peers`) over all its runs: A_cpu_s_GiB, B_cpu_s_GiB seconds per GiB, or
// A_cpu_us, B_cpu_us per operation; and, when there are peers, the peers' part of it
// (A_peer_..., B_peer_...).
//
// RunSlicedPair does the same with each side's work cut into `slices` parts (`bytes` and `ops`
// are those of all the slices together); side(i) does slice i.
using SlicedSide = std::function<bool(int slice)>;
inline void RunSlicedPair(benchmark::State& state, const SlicedSide& a, const SlicedSide& b,
                          int slices, int64_t bytes, int64_t ops = 1,
                          const std::vector<long>& peers = {}) {
  std::vector<double> ratios, aSeconds, bSeconds;
  Use aUse, bUse;
  int runs = 0;
  for (auto _ : state) {
    for (int r = 0; r < Rounds(); ++r) {
      double ta = 0, tb = 0;
      const Use a0 = aUse, b0 = bUse;
      std::vector<double> sliceRatios;
      for (int i = 0; i < slices; ++i) {
        const Side as = [&] { return a(i); }, bs = [&] { return b(i); };
        const double ta0 = ta, tb0 = tb;
        if (!TimedCpu(as, peers, &ta, &aUse) || !TimedCpu(bs, peers, &tb, &bUse) ||
            !TimedCpu(bs, peers, &tb, &bUse) || !TimedCpu(as, peers, &ta, &aUse)) {
          state.SkipWithError("a side failed");
          return;
        }
        sliceRatios.push_back((tb - tb0) / (ta - ta0));
      }
      runs += 2;
      if (std::getenv("KDR_BENCH_VERBOSE") != nullptr) {
        // With each side's CPU (this process + peers) and waits over the round: a slow round
        // with the same CPU waited (a stall); one with more CPU worked (a cost, or a busy core).
        std::fprintf(
            stderr,
            "round %d: A %.1f ms (cpu %.1f+%.1f ms, %.0f waits, others %.0f ms), B %.1f ms "
            "(cpu %.1f+%.1f ms, %.0f waits, others %.0f ms), ratio %.2f\n",
            r + 1, ta * 1e3, (aUse.self - a0.self) * 1e3, (aUse.peer - a0.peer) * 1e3,
            aUse.waits - a0.waits, (aUse.others - a0.others) * 1e3, tb * 1e3,
            (bUse.self - b0.self) * 1e3, (bUse.peer - b0.peer) * 1e3, bUse.waits - b0.waits,
            (bUse.others - b0.others) * 1e3, tb / ta);
        if (slices > 1) {
          std::fprintf(stderr, "  slices: ratio median %.2f (%.2f-%.2f)\n", Median(sliceRatios),
                       *std::min_element(sliceRatios.begin(), sliceRatios.end()),
                       *std::max_element(sliceRatios.begin(), sliceRatios.end()));
        }
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
  // Per GiB, or per operation in microseconds.
  const double per = bytes > 0 ? double(bytes) * runs / kGiB : double(ops) * runs / 1e6;
  const char* unit = bytes > 0 ? "_s_GiB" : "_us";
  state.counters[std::string("A_cpu") + unit] = (aUse.self + aUse.peer) / per;
  state.counters[std::string("B_cpu") + unit] = (bUse.self + bUse.peer) / per;
  if (!peers.empty()) {
    state.counters[std::string("A_peer_cpu") + unit] = aUse.peer / per;
    state.counters[std::string("B_peer_cpu") + unit] = bUse.peer / per;
    // Waits (voluntary context switches of both processes) per MiB or per operation: a
    // hand-over between the processes that stalls shows as many more of them.
    const double waitsPer = bytes > 0 ? double(bytes) * runs / (1024.0 * 1024.0) : double(ops) * runs;
    state.counters[bytes > 0 ? "A_waits_MiB" : "A_waits_op"] = aUse.waits / waitsPer;
    state.counters[bytes > 0 ? "B_waits_MiB" : "B_waits_op"] = bUse.waits / waitsPer;
  }
}

inline void RunPair(benchmark::State& state, const Side& a, const Side& b, int64_t bytes,
                    int64_t ops = 1, const std::vector<long>& peers = {}) {
  RunSlicedPair(
      state, [&](int) { return a(); }, [&](int) { return b(); }, 1, bytes, ops, peers);
}

}  // namespace kdr::bench

#endif  // KDR_BENCH_BENCH_PAIRS_H_
