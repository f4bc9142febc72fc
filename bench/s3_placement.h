// Where the S3 benchmarks run the store and the side they measure.
//
// In use a cache server reads from a store on another machine, whose CPUs it does not share.
// On loopback the store (ceph-mon, ceph-osd, radosgw) competes for the same CPUs as the bench
// process, the kdrcached it starts and libcurl's side of the baseline, so a ratio would mostly
// measure that contention. So, when this process may use at least two CPUs, the store runs on
// the last of them and the measured side on the others: this thread is pinned before the store
// starts, and what it starts afterwards (kdrcached, the vault's threads) inherits its CPUs;
// the store's commands are run under `taskset`. A store named by KDR_RGW_DIR (started
// elsewhere by scripts/rgw.sh) has its daemons' threads moved to the store's CPU for the run
// and given back this process's CPUs afterwards; daemons that DIR does not list are the
// caller's to place. KDR_BENCH_CPU=all leaves the scheduler free.
#ifndef KDR_BENCH_S3_PLACEMENT_H_
#define KDR_BENCH_S3_PLACEMENT_H_

#include <sched.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_process.h"

namespace kdr::bench {

class Placement {
 public:
  // Decides the placement and pins this thread to the measured side's CPUs.
  Placement() {
    if (Env("KDR_BENCH_CPU") == "all" || sched_getaffinity(0, sizeof(all_), &all_) != 0 ||
        CPU_COUNT(&all_) < 2 || Run("command -v taskset >/dev/null") != 0) {
      std::fprintf(stderr, "placement: the scheduler places every process\n");
      return;
    }
    cpu_set_t measured = all_;
    for (int c = CPU_SETSIZE - 1; c >= 0; --c) {
      if (CPU_ISSET(c, &all_)) {
        store_ = c;
        break;
      }
    }
    CPU_CLR(store_, &measured);
    if (sched_setaffinity(0, sizeof(measured), &measured) != 0) {
      store_ = -1;
      return;
    }
    std::fprintf(stderr, "placement: the store on CPU %d, the measured side on the other %d\n",
                 store_, CPU_COUNT(&measured));
  }
  ~Placement() {
    if (store_ < 0) return;
    sched_setaffinity(0, sizeof(all_), &all_);
    for (const std::string& pid : foreign_)
      Run("taskset -a -p -c " + List(all_) + " " + pid + Quiet());
  }
  Placement(const Placement&) = delete;
  Placement& operator=(const Placement&) = delete;

  // What to put before a command that starts store processes ("" when the scheduler places).
  std::string Store() const {
    return store_ < 0 ? "" : "taskset -c " + std::to_string(store_) + " ";
  }
  // Moves the daemons of the store scripts/rgw.sh runs in `dir` to the store's CPU.
  void PinStarted(const std::string& dir) {
    if (store_ < 0) return;
    for (const char* name : {"mon", "osd", "radosgw"}) {
      std::string pid;
      std::ifstream(dir + "/" + name + ".pid") >> pid;
      if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (Run("taskset -a -p -c " + std::to_string(store_) + " " + pid + Quiet()) == 0) {
        foreign_.push_back(pid);
      }
    }
    std::fprintf(stderr, "placement: %zu of the store's daemons moved to CPU %d\n", foreign_.size(),
                 store_);
  }

 private:
  static std::string Quiet() { return " >/dev/null 2>&1"; }
  static std::string List(const cpu_set_t& set) {
    std::string out;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &set)) out += (out.empty() ? "" : ",") + std::to_string(c);
    }
    return out;
  }

  cpu_set_t all_{};
  int store_ = -1;                    // the store's CPU; -1: the scheduler places
  std::vector<std::string> foreign_;  // daemons moved that this bench did not start
};

}  // namespace kdr::bench

#endif  // KDR_BENCH_S3_PLACEMENT_H_
