// Reads of a file the cache store holds, through the library's read entry (VXN_ReadBytes, which
// the fast cache serves straight out of the mapped store), against pread of the same bytes from
// a plain file in the page cache.
//
// One process: the store is built and held by an owner opened here, the test peer answers the
// pipe (it hands out the store's parameters and would serve data, which it is never asked for),
// and the library attaches to the store as a client.
//
// Pairs, each measured in the same run:
//   Seq64K   sequential 64 KiB reads over the whole file (past the read buffer, into the
//            caller's buffer), wrapping at the end;
//   Seq4K    sequential 4 KiB reads (through the handle's 16 KiB read buffer);
//   Rand4K   4 KiB reads at random 4 KiB-aligned offsets (the same offsets for both).
// Each fast-cache case reports x_pread: its time per read divided by pread's. A last pair
// measures, at the store's level, the copy that reading straight into the caller's buffer saves.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "iface/interface.h"
#include "peer/peer.h"
#include "platform/fs.h"
#include "protocol/pipe_transport.h"
#include "proxy/config.h"
#include "store/kdrc.h"

namespace {

namespace plat = kdr::platform;

constexpr int32_t kBlock = 16384;
constexpr int32_t kBlocks = 2048;  // a 32 MiB file
constexpr int64_t kFileSize = int64_t(kBlocks) * kBlock;
constexpr int32_t kFilePages = 256;
constexpr int32_t kSegments = kBlocks + 64;
constexpr int32_t kHashBlocks = 2;
constexpr char kMap[] = "benchstore";
const std::string kGuid(32, 'F');

std::string g_dir;
std::string g_plain;
KDRC_FILETOC_T* g_owner = nullptr;
std::unique_ptr<kdr::testpeer::Peer> g_peer;
VXNFileHandle g_handle = nullptr;
int g_fd = -1;
std::vector<int64_t> g_randomOffsets;
double g_preadSeconds[3] = {0, 0, 0};  // per read: Seq64K, Seq4K, Rand4K

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
  std::vector<unsigned char> block(kBlock);
  for (int32_t b = 0; rc == 0 && b < kBlocks; ++b) {
    for (int32_t i = 0; i < kBlock; ++i) block[size_t(i)] = Byte(int64_t(b) * kBlock + i);
    rc = KDRCIF_WriteBlock(g_owner, &first, b, block.data(), kBlock);
    if (rc == 0) rc = plat::WriteFileAt(g_fd, uint64_t(b) * kBlock, block.data(), kBlock);
  }
  KDRCIF_UnLockCache(g_owner);
  if (rc != 0) return false;

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
  if (VXN_OpenFile(key, &g_handle) != 0) return false;

  std::mt19937_64 rng(1);
  for (int i = 0; i < 4096; ++i) {
    g_randomOffsets.push_back(int64_t(rng() % uint64_t(kFileSize / 4096)) * 4096);
  }
  return true;
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

// The offset of read number i of a case.
int64_t OffsetOf(int which, int64_t i, int size) {
  if (which == 2) return g_randomOffsets[size_t(i % int64_t(g_randomOffsets.size()))];
  return (i * size) % kFileSize;
}

constexpr int kSizes[3] = {65536, 4096, 4096};

void Pread(benchmark::State& state) {
  const int which = int(state.range(0));
  const int size = kSizes[which];
  std::vector<unsigned char> buf(static_cast<size_t>(size));
  int64_t i = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    size_t done = 0;
    if (plat::ReadFileAt(g_fd, uint64_t(OffsetOf(which, i++, size)), buf.data(), size_t(size),
                         &done) != 0 || done != size_t(size)) {
      state.SkipWithError("pread failed");
      return;
    }
    benchmark::DoNotOptimize(buf.data());
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  g_preadSeconds[which] = seconds / double(i);
  state.SetBytesProcessed(i * size);
}

void ReadBytes(benchmark::State& state) {
  const int which = int(state.range(0));
  const int size = kSizes[which];
  std::vector<unsigned char> buf(static_cast<size_t>(size));
  int64_t i = 0;
  bool checked = false;
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    int64_t at = OffsetOf(which, i++, size);
    int n = 0;
    if (VXN_SeekAbsolute(g_handle, at) != 0 ||
        VXN_ReadBytes(g_handle, "bench", size, &n, buf.data()) != 0 || n != size) {
      state.SkipWithError("VXN_ReadBytes failed");
      return;
    }
    if (!checked) {
      checked = true;
      for (int k = 0; k < size; ++k) {
        if (buf[size_t(k)] != Byte(at + k)) {
          state.SkipWithError("wrong bytes");
          return;
        }
      }
    }
    benchmark::DoNotOptimize(buf.data());
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.SetBytesProcessed(i * size);
  if (g_preadSeconds[which] > 0) {
    state.counters["x_pread"] = seconds / double(i) / g_preadSeconds[which];
  }
}

// The copy the fast cache saves, at the store's level: 64 KiB read as four blocks, each copied
// into a 16 KiB scratch block and then into place (TwoCopies, the baseline), against each
// copied straight from the mapping into place (OneCopy, reporting x_two_copies).
double g_twoCopySeconds = 0;

template <bool kOneCopy>
void StoreCopies(benchmark::State& state) {
  std::vector<unsigned char> scratch(kBlock);
  std::vector<unsigned char> out(4 * size_t(kBlock));
  int64_t i = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    int32_t firstBlock = int32_t((i++ * 4) % kBlocks);
    if (KDRCIF_LockCache(g_owner) != 0) {
      state.SkipWithError("lock failed");
      return;
    }
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {-1, -1};
    int rc = KDRCIF_FindFile(g_owner, kGuid.c_str(), size, &first);
    for (int32_t b = 0; rc == 0 && first != nullptr && b < 4; ++b) {
      int32_t length = -1;
      unsigned char* to = out.data() + size_t(b) * kBlock;
      if (kOneCopy) {
        rc = KDRCIF_ReadBlockPart(g_owner, first, firstBlock + b, 0, kBlock, to, &length);
      } else {
        rc = KDRCIF_ReadBlock(g_owner, first, firstBlock + b, scratch.data(), &length);
        if (rc == 0 && length > 0) std::memcpy(to, scratch.data(), size_t(length));
      }
    }
    KDRCIF_UnLockCache(g_owner);
    if (rc != 0 || first == nullptr) {
      state.SkipWithError("read failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.SetBytesProcessed(i * 4 * kBlock);
  if (!kOneCopy) {
    g_twoCopySeconds = seconds / double(i);
  } else if (g_twoCopySeconds > 0) {
    state.counters["x_two_copies"] = seconds / double(i) / g_twoCopySeconds;
  }
}

// Each pread case runs before its fast-cache case, which divides by it.
BENCHMARK(Pread)->Arg(0)->ArgName("seq64k");
BENCHMARK(ReadBytes)->Arg(0)->ArgName("seq64k");
BENCHMARK(Pread)->Arg(1)->ArgName("seq4k");
BENCHMARK(ReadBytes)->Arg(1)->ArgName("seq4k");
BENCHMARK(Pread)->Arg(2)->ArgName("rand4k");
BENCHMARK(ReadBytes)->Arg(2)->ArgName("rand4k");
BENCHMARK(StoreCopies<false>)->Name("TwoCopies/seq64k");
BENCHMARK(StoreCopies<true>)->Name("OneCopy/seq64k");

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
