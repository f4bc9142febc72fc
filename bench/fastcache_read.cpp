// Reads of a file the cache store holds, through the library's read entry (VXN_ReadBytes, which
// the fast cache serves straight out of the mapped store), against pread of the same bytes from
// a plain file in the page cache. The file is 256 MiB, so costs that grow with the position in
// a file or with its size show.
//
// One process: the store is built and held by an owner opened here, the test peer answers the
// pipe (it hands out the store's parameters and would serve data, which it is never asked for),
// and the library attaches to the store as a client.
//
// The baseline A is a plain pread (one system call per read, nothing else on its side) of a
// file that holds the same bytes, written back and read once before the pairs so that it is warm
// in the page cache; both sides read the same offsets into the same buffer and check the same
// bytes.
//
// Every pair runs interleaved (A, B, B, A, repeated; see bench_pairs.h) and reports ratio =
// time(B) / time(A), its spread, each side's throughput or time per read, and each side's CPU
// time per GiB or per read:
//   Seq/1M, Seq/64K   the whole file read in order, A pread, B fast cache;
//   TailVsHead        B the last 16 MiB, A the first 16 MiB, both through the fast cache;
//   Rand4K/whole      4 KiB reads at random 4 KiB-aligned offsets across the whole file, A
//                     pread, B VXN_SeekAbsolute + VXN_ReadBytes (32768 reads per run);
//   Rand4K/first1M    the same with offsets inside the first MiB;
//   Threads/N         N threads each reading its own slice of the file in 64 KiB reads, each
//                     through its own handle (B) or its own pread (A); compare B_GiBps across N
//                     for the scaling.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_pairs.h"
#include "client/config.h"
#include "iface/interface.h"
#include "peer/peer.h"
#include "platform/fs.h"
#include "protocol/pipe_transport.h"
#include "store/kdrc.h"

namespace {

namespace plat = kdr::platform;
using kdr::bench::RunPair;

constexpr int32_t kBlock = 16384;
constexpr int32_t kBlocks = 16384;  // a 256 MiB file
constexpr int64_t kFileSize = int64_t(kBlocks) * kBlock;
constexpr int32_t kFilePages = 1024;
constexpr int32_t kSegments = kBlocks + 64;
constexpr int32_t kHashBlocks = 2;
constexpr int64_t kMiB = 1 << 20;
constexpr char kMap[] = "benchstore";
const std::string kGuid(32, 'F');

std::string g_dir;
std::string g_plain;
std::string g_key;
KDRC_FILETOC_T* g_owner = nullptr;
std::unique_ptr<kdr::testpeer::Peer> g_peer;
VXNFileHandle g_handle = nullptr;
int g_fd = -1;

unsigned char Byte(int64_t i) { return static_cast<unsigned char>(i * 7 + i / 4093); }

bool Setup() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kdrfcbenchXXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return false;
  g_dir = tmpl;
  std::string run = g_dir + "/run";
  std::string home = g_dir + "/home";
  std::string store = g_dir + "/store";
  for (const std::string& d : {run, home, store}) std::filesystem::create_directory(d);
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  std::FILE* script = std::fopen((home + "/" + kdr::kDefaultLaunchScript).c_str(), "w");
  if (script == nullptr) return false;
  std::fputs("#!/bin/sh\nexit 1\n", script);
  std::fclose(script);
  setenv("KDR_RUNTIME_DIR", run.c_str(), 1);
  setenv("KDR_HOME", home.c_str(), 1);
  setenv("VXN_CONNECTTIMEOUT", "1", 1);
  setenv("VXN_STARTUPTIMEOUT", "1", 1);

  // The store, held by its owner, and the plain file with the same bytes.
  KDRCIF_OPEN_PARAMS p{};
  std::string mapName = kMap;
  p.cacheDir = store.data();
  p.mapName = mapName.data();
  p.filePages = kFilePages;
  p.segments = kSegments;
  p.hashBlocks = kHashBlocks;
  p.extentMB = 16;
  p.create = 1;
  p.deleteFirst = 1;
  p.mode = KDRC_MODE_OWNER;
  if (KDRCIF_OpenS(&p, &g_owner) != 0) return false;
  g_plain = g_dir + "/plain";
  if (plat::OpenFile(g_plain.c_str(), plat::FileMode::kCreateTruncate, &g_fd) != 0) return false;
  KDRC_PAGE_T* first = nullptr;
  if (KDRCIF_LockCache(g_owner) != 0) return false;
  int rc = KDRCIF_AddFile(g_owner, kGuid.c_str(), uint32_t(kFileSize), 0, &first);
  // The volume the blocks are of: the fast cache serves only blocks the store names so.
  if (rc == 0 && KDRCIF_SetVolumeStamp(g_owner, kGuid.c_str(), 1) != 1) rc = -1;
  std::vector<unsigned char> block(kBlock);
  for (int32_t b = 0; rc == 0 && b < kBlocks; ++b) {
    for (int32_t i = 0; i < kBlock; ++i) block[size_t(i)] = Byte(int64_t(b) * kBlock + i);
    rc = KDRCIF_WriteBlock(g_owner, &first, b, block.data(), kBlock);
    if (rc == 0) rc = plat::WriteFileAt(g_fd, uint64_t(b) * kBlock, block.data(), kBlock);
  }
  KDRCIF_UnLockCache(g_owner);
  if (rc != 0) return false;
  // The baseline's file as a plain pread sees it at its fastest: written back (so no flushing
  // of its dirty pages runs during the pairs; the store's files likewise) and read once, so
  // every page is in the page cache.
  if (std::system(("sync '" + g_plain + "' '" + store + "'/* 2>/dev/null").c_str()) != 0)
    std::fprintf(stderr, "sync failed: the pairs may see write-back\n");
  for (int64_t at = 0; at < kFileSize; at += kBlock) {
    size_t done = 0;
    if (plat::ReadFileAt(g_fd, uint64_t(at), block.data(), kBlock, &done) != 0) return false;
  }

  // The pipe, answering with the store's parameters.
  std::string rule = "on GET_CACHE_INIT_INFO reply be32=" + std::to_string(kFilePages) +
                     " be32=" + std::to_string(kSegments) + " be32=" +
                     std::to_string(kHashBlocks) + " be32=16 be32=0 be16=" +
                     std::to_string(store.size()) + " be16=" + std::to_string(mapName.size()) +
                     " text=" + store + " text=" + mapName + "\n";
  std::vector<kdr::testpeer::Rule> rules;
  std::string error;
  if (!kdr::testpeer::ParseScript(rule, &rules, &error)) return false;
  g_peer = std::make_unique<kdr::testpeer::Peer>(kdr::kDefaultPipeName, std::move(rules));
  if (g_peer->Start() != 0) return false;
  if (VXN_Init(nullptr, nullptr) != 0) return false;
  std::string ticket(64, 'K');
  ticket += "v001xx" + kGuid;
  ticket.resize(225, 'x');
  const char* key = nullptr;
  if (VXN_RegisterTicket(ticket.c_str(), &key) != 0) return false;
  g_key = key;
  return VXN_OpenFile(key, &g_handle) == 0;
}

void Teardown() {
  if (g_handle != nullptr) VXN_CloseFileHandlePointer(g_handle);
  if (g_peer != nullptr) {
    std::printf("Data requests on the pipe: %d\n",
                g_peer->Count(kdr::testpeer::MessageCode("GET_DATA")));
  }
  VXN_Term();
  if (g_peer != nullptr) g_peer->Stop();
  if (g_owner != nullptr) KDRCIF_Close(&g_owner);
  if (g_fd >= 0) plat::CloseFile(g_fd);
  if (!g_dir.empty()) std::filesystem::remove_all(g_dir);
}

// Reads [from, to) in `chunk` reads with pread; checks the first chunk's bytes.
bool PreadRange(int64_t from, int64_t to, int chunk, unsigned char* buf) {
  for (int64_t at = from; at < to; at += chunk) {
    size_t done = 0;
    if (plat::ReadFileAt(g_fd, uint64_t(at), buf, size_t(chunk), &done) != 0 ||
        done != size_t(chunk))
      return false;
    benchmark::DoNotOptimize(buf);
  }
  return buf[0] == Byte(to - chunk);
}

// The same through a library handle.
bool FastRange(VXNFileHandle h, int64_t from, int64_t to, int chunk, unsigned char* buf) {
  for (int64_t at = from; at < to; at += chunk) {
    int n = 0;
    if (VXN_SeekAbsolute(h, at) != 0 || VXN_ReadBytes(h, "bench", chunk, &n, buf) != 0 ||
        n != chunk)
      return false;
    benchmark::DoNotOptimize(buf);
  }
  return buf[0] == Byte(to - chunk) && buf[chunk - 1] == Byte(to - 1);
}

void Seq(benchmark::State& state) {
  const int chunk = int(state.range(0));
  std::vector<unsigned char> buf(static_cast<size_t>(chunk));
  RunPair(
      state, [&] { return PreadRange(0, kFileSize, chunk, buf.data()); },
      [&] { return FastRange(g_handle, 0, kFileSize, chunk, buf.data()); }, kFileSize);
}

void TailVsHead(benchmark::State& state) {
  std::vector<unsigned char> buf(64 * 1024);
  const int64_t part = 16 * kMiB;
  RunPair(
      state, [&] { return FastRange(g_handle, 0, part, int(buf.size()), buf.data()); },
      [&] { return FastRange(g_handle, kFileSize - part, kFileSize, int(buf.size()), buf.data()); },
      part);
}

void Rand4K(benchmark::State& state) {
  const int64_t span = state.range(0) == 0 ? kFileSize : kMiB;
  std::mt19937_64 rng(1);
  std::vector<int64_t> offsets(32768);
  for (int64_t& o : offsets) o = int64_t(rng() % uint64_t(span / 4096)) * 4096;
  std::vector<unsigned char> buf(4096);
  auto a = [&] {
    for (int64_t at : offsets) {
      if (!PreadRange(at, at + 4096, 4096, buf.data())) return false;
    }
    return true;
  };
  auto b = [&] {
    for (int64_t at : offsets) {
      if (!FastRange(g_handle, at, at + 4096, 4096, buf.data())) return false;
    }
    return true;
  };
  RunPair(state, a, b, 0, int64_t(offsets.size()));
}

// N threads, each with its own handle, reading their slices of the file on a signal.
class Readers {
 public:
  explicit Readers(int n) : n_(n) {
    for (int t = 0; t < n; ++t) threads_.emplace_back([this, t] { Run(t); });
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return ready_ == n_; });
  }
  ~Readers() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
      ++generation_;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  // One run: every thread reads its slice, through its handle (fast) or pread.
  bool Read(bool fast) {
    std::unique_lock<std::mutex> lock(mu_);
    fast_ = fast;
    done_ = 0;
    ++generation_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return done_ == n_; });
    return failures_ == 0;
  }
  bool opened() const { return failures_ == 0; }

 private:
  void Run(int t) {
    VXNFileHandle h = nullptr;
    const char* key = nullptr;
    std::string ticket(64, 'K');
    ticket += "v001xx" + kGuid;
    ticket.resize(225, 'x');
    bool ok = VXN_RegisterTicket(ticket.c_str(), &key) == 0 && VXN_OpenFile(key, &h) == 0;
    std::vector<unsigned char> buf(64 * 1024);
    const int64_t slice = kFileSize / n_ / int64_t(buf.size()) * int64_t(buf.size());
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mu_);
    if (!ok) ++failures_;
    ++ready_;
    cv_.notify_all();
    for (;;) {
      cv_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      if (quit_) break;
      bool fast = fast_;
      lock.unlock();
      int64_t from = slice * t;
      bool good = fast ? FastRange(h, from, from + slice, int(buf.size()), buf.data())
                       : PreadRange(from, from + slice, int(buf.size()), buf.data());
      lock.lock();
      if (!good) ++failures_;
      ++done_;
      cv_.notify_all();
    }
    lock.unlock();
    if (h != nullptr) VXN_CloseFileHandlePointer(h);
  }

  const int n_;
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable cv_;
  int ready_ = 0;
  int done_ = 0;
  int failures_ = 0;
  uint64_t generation_ = 0;
  bool fast_ = false;
  bool quit_ = false;
};

void Threads(benchmark::State& state) {
  const int n = int(state.range(0));
  Readers readers(n);
  if (!readers.opened()) {
    state.SkipWithError("a thread could not open the file");
    return;
  }
  const int64_t bytes = kFileSize / n / (64 * 1024) * (64 * 1024) * n;
  RunPair(
      state, [&] { return readers.Read(false); }, [&] { return readers.Read(true); }, bytes);
}

BENCHMARK(Seq)->Arg(1 << 20)->Arg(64 << 10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(TailVsHead)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Rand4K)->Name("Rand4K/whole")->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Rand4K)->Name("Rand4K/first1M")->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Threads)->Arg(1)->Arg(2)->Arg(8)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bool ready = Setup();
  if (ready) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Teardown();
  if (!ready) {
    std::fprintf(stderr, "could not set up the store, the pipe and the open file\n");
    return 1;
  }
  return 0;
}
