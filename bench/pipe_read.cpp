// Reads through the pipe alone (VXN_PROXY_PIPEONLY): VXN_SeekAbsolute + VXN_ReadBytes of a
// 256 MiB file served by a real kdrcached, against the fastest fair way to move the same bytes
// between two processes: a raw Unix-socket stream. Its sender (stream_sender) answers each
// 12-byte request with one pread of the warm plain file into a buffer and one send; this process
// receives the bytes straight into the caller's buffer. No framing and no protocol. Both sides
// ask for the same ranges in the same chunks, one request at a time.
//
// Pairs (interleaved, repeated; see bench_pairs.h), ratio = time(pipe) / time(stream):
//   Seq/1M, Seq/64K   the whole file in order, in 1 MiB or 64 KiB reads.
// Each round reads the file in KDR_BENCH_SLICES slices (16 unless set; 1 makes each run a
// whole pass), every slice timed as stream, pipe, pipe, stream (RunSlicedPair): both sides
// of a round read the whole file twice, and a burst of other work on this shared machine falls
// on both of them rather than on one pass.
// This process, the server and the sender all run on one CPU (the last one this process may
// use; KDR_BENCH_CPU=N picks CPU N, KDR_BENCH_CPU=all leaves the scheduler free). Left free on
// a machine of two virtual CPUs shared with other work, the scheduler sometimes keeps a reader
// and its peer on one CPU and sometimes splits them across two (where each hand-over wakes the
// other CPU, several times dearer here), and it decides that for the server and for the sender
// apart: whole rounds then measure where the processes ran, not how the bytes were moved. On
// one CPU both sides hand over alike, and the time is the work of both processes.
// The server's store is large enough to hold the file, and one pass before the pairs puts it
// there, so every block comes from the store, as it does for a file the cache holds. The CPU
// counters hold the time of this process and of the server (pipe side) or the sender (stream
// side) per GiB moved.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_pairs.h"
#include "client/config.h"
#include "iface/interface.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/pipes.h"
#include "platform/process.h"
#include "server/ticket.h"
#include "server/vault.h"

namespace {

namespace pf = kdr::platform;
using kdr::bench::RunSlicedPair;

constexpr int64_t kFileSize = int64_t{256} << 20;

std::string g_dir;
std::string g_streamPipe;
long g_server = 0;
long g_sender = 0;
VXNFileHandle g_handle = nullptr;
pf::PipeHandle g_stream = pf::kNoPipe;

unsigned char Byte(int64_t i) { return static_cast<unsigned char>(i * 7 + i / 4093); }

// Puts this process (and so the processes it starts) on one CPU, as the header says. Returns
// the CPU, -1 when left free, -2 when the CPU asked for cannot be had.
int PinToOneCpu() {
  const char* v = std::getenv("KDR_BENCH_CPU");
  if (v != nullptr && std::string(v) == "all") return -1;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return -2;
  int cpu = -1;
  if (v != nullptr) {
    cpu = std::atoi(v);
  } else {
    for (int i = 0; i < CPU_SETSIZE; ++i) {
      if (CPU_ISSET(i, &set)) cpu = i;
    }
  }
  if (cpu < 0 || cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &set)) return -2;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0 ? cpu : -2;
}

bool WaitConnect(const std::string& name, pf::PipeHandle* pipe) {
  for (int i = 0; i < 1000; ++i) {
    if (pf::PipeConnect(name.c_str(), pipe) == pf::kPipeOk) return true;
    pf::SleepMs(10);
  }
  return false;
}

bool Setup() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kdrpipebenchXXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return false;
  g_dir = tmpl;
  const std::string run = g_dir + "/run";
  std::filesystem::create_directory(run);
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  setenv("KDR_RUNTIME_DIR", run.c_str(), 1);
  setenv("KDR_HOME", g_dir.c_str(), 1);
  setenv("VXN_PROXY_PIPEONLY", "1", 1);
  { std::ofstream(g_dir + "/" + kdr::kDefaultLaunchScript) << "#!/bin/sh\nexit 1\n"; }

  // The plain file, and the same bytes as a vault file.
  const std::string plain = g_dir + "/plain";
  {
    std::ofstream out(plain, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    for (int64_t at = 0; at < kFileSize; at += int64_t(chunk.size())) {
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = char(Byte(at + int64_t(i)));
      out.write(chunk.data(), std::streamsize(chunk.size()));
    }
    if (!out) return false;
  }
  const std::string guid = kdr::server::NewGuid('v');
  std::string volume;
  if (kdr::server::NewLocalVault(g_dir + "/vault")->Put(guid, "bench", plain, &volume) != 0)
    return false;

  std::string cmd = "exec '" KDRCACHED "' --locale-dir '" KDR_LOCALE_DIR
                    "' --log-level warn --file-pages 1024 --segments 16448 2>>'" + g_dir +
                    "/server.log'";
  if (pf::SpawnShell(cmd.c_str(), &g_server) != 0) return false;
  g_streamPipe = g_dir + "/stream.sock";
  cmd = "exec '" KDR_STREAM_SENDER "' '" + g_streamPipe + "' '" + plain + "' >/dev/null";
  if (pf::SpawnShell(cmd.c_str(), &g_sender) != 0) return false;
  if (!WaitConnect(g_streamPipe, &g_stream)) return false;
  pf::PipeHandle probe = pf::kNoPipe;
  if (!WaitConnect(kdr::kDefaultPipeName, &probe)) return false;
  pf::PipeAbort(probe);

  if (VXN_Init(nullptr, nullptr) != 0) return false;
  const std::string ticket = kdr::server::MakeTicket('v', guid);
  const char* key = nullptr;
  if (VXN_RegisterTicket(ticket.c_str(), &key) != 0) return false;
  return VXN_OpenFile(key, &g_handle) == 0;
}

void Teardown() {
  if (g_handle != nullptr) VXN_CloseFileHandlePointer(g_handle);
  VXN_Term();
  if (g_stream != pf::kNoPipe) {
    unsigned char stop[12] = {};  // a request for 0 bytes: the sender's stop
    pf::PipeWriteRaw(g_stream, stop, sizeof stop);
    pf::PipeAbort(g_stream);
  }
  if (g_server != 0) pf::KillProcessGroup(g_server);
  // What the server last wrote of its counters: bytes_from_vault stays at one pass's worth
  // (the pass before the pairs) when the store served every block of the pairs.
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(g_dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename() != "status.json") continue;
    std::ifstream in(it->path());
    std::string status((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* key : {"\"block_hits\"", "\"block_misses\"", "\"bytes_from_vault\""}) {
      size_t at = status.find(key);
      if (at != std::string::npos)
        std::printf("server %s\n", status.substr(at, status.find_first_of(",}", at) - at).c_str());
    }
  }
  if (g_sender != 0) pf::KillProcessGroup(g_sender);
  if (!g_dir.empty()) std::filesystem::remove_all(g_dir);
}

// Reads [from, to) in reads of `chunk` bytes; true when all came and the last one is right.
bool PipeRange(int chunk, unsigned char* buf, int64_t from = 0, int64_t to = kFileSize) {
  for (int64_t at = from; at < to; at += chunk) {
    int n = 0;
    if (VXN_SeekAbsolute(g_handle, at) != 0 ||
        VXN_ReadBytes(g_handle, "bench", chunk, &n, buf) != 0 || n != chunk)
      return false;
    benchmark::DoNotOptimize(buf);
  }
  return buf[0] == Byte(to - chunk) && buf[chunk - 1] == Byte(to - 1);
}

bool StreamRange(int chunk, unsigned char* buf, int64_t from, int64_t to) {
  for (int64_t at = from; at < to; at += chunk) {
    unsigned char req[12];
    for (int i = 0; i < 8; ++i) req[i] = static_cast<unsigned char>(uint64_t(at) >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) req[8 + i] = static_cast<unsigned char>(uint32_t(chunk) >> (24 - 8 * i));
    if (pf::PipeWriteRaw(g_stream, req, sizeof req) != pf::kPipeOk ||
        pf::PipeReadRaw(g_stream, buf, uint32_t(chunk)) != pf::kPipeOk)
      return false;
    benchmark::DoNotOptimize(buf);
  }
  return buf[0] == Byte(to - chunk) && buf[chunk - 1] == Byte(to - 1);
}

int Slices() {
  const char* v = std::getenv("KDR_BENCH_SLICES");
  const int n = v != nullptr ? std::atoi(v) : 16;
  // Slices of whole MiB, so that both read sizes cut them evenly.
  return n >= 1 && n <= (kFileSize >> 20) && (kFileSize >> 20) % n == 0 ? n : 16;
}

void Seq(benchmark::State& state) {
  const int chunk = int(state.range(0));
  const int slices = Slices();
  const int64_t slice = kFileSize / slices;  // a multiple of 1 MiB
  std::vector<unsigned char> buf(static_cast<size_t>(chunk));
  RunSlicedPair(
      state, [&](int i) { return StreamRange(chunk, buf.data(), i * slice, (i + 1) * slice); },
      [&](int i) { return PipeRange(chunk, buf.data(), i * slice, (i + 1) * slice); }, slices,
      kFileSize, 1, {g_server, g_sender});
}

BENCHMARK(Seq)->Arg(1 << 20)->Arg(64 << 10)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const int cpu = PinToOneCpu();
  if (cpu == -2) {
    std::fprintf(stderr, "KDR_BENCH_CPU names no CPU this process may use\n");
    return 1;
  }
  std::fprintf(stderr, cpu >= 0 ? "all processes on CPU %d\n" : "processes on any CPU\n", cpu);
  bool ready = Setup();
  if (ready) {
    // One pass first, so that the server's store holds the file, and one more from the store
    // (the path the pairs measure: its first pass costs about twice the CPU of the next ones).
    std::vector<unsigned char> buf(1 << 20);
    ready = PipeRange(1 << 20, buf.data()) &&
            (std::getenv("KDR_BENCH_ONE_PASS") != nullptr || PipeRange(1 << 20, buf.data()));
  }
  if (ready) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Teardown();
  if (!ready) {
    std::fprintf(stderr, "could not set up the server, the stream and the open file\n");
    return 1;
  }
  return 0;
}
