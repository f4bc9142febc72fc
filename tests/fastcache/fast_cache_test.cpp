// The fast cache against real processes: an owner process holds a store whose blocks it wrote
// (fastcache_owner), the scriptable peer answers the pipe and hands out that store's
// parameters, and the library in this process reads through the store, the pipe, or both.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "fastcache/fast_cache.h"
#include "fastcache/fastcache_layout.h"
#include "iface/interface.h"
#include "peer/peer.h"
#include "platform/process.h"
#include "protocol/data_messages.h"
#include "protocol/message_format.h"
#include "protocol/pipe_transport.h"
#include "proxy/lifecycle.h"
#include "proxy/open_files.h"
#include "store/kdrc.h"
#include "support/process_wait.h"
#include "support/proxy_fixture.h"

namespace kdr {
namespace {

using namespace fastcache_test;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

constexpr char kMap[] = "fcstore";
constexpr char kPipeOnlyLine[] = "\n***** WARNING: VXN proxy 'PIPE ONLY' mode detected. *****\n";
constexpr char kContinueLine[] =
    "***** The KDR fast cache will continue to operate in pipe mode with possibly degraded "
    "performance. *****\n";

int CountOf(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// A data reply carrying bytes [from, from + n) of file `letter`.
std::string Piece(char letter, int64_t from, int64_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (char c : FileBytes(letter, from, n)) {
    hex += kHex[static_cast<unsigned char>(c) >> 4];
    hex += kHex[static_cast<unsigned char>(c) & 15];
  }
  return "reply be64=" + std::to_string(from) + " be32=" + std::to_string(n) + " hex=" + hex;
}

// The reply to OPEN of file `letter` (server handle 5, the size and stamp of the layout).
std::string OpenReply(const CachedFile& f) {
  return "reply be16=5 be64=" + std::to_string(f.size) + " be64=" + std::to_string(StampOf(f.letter));
}

// A ticket of type 'v' whose key starts with `letter` and whose GUID is that of `letter`.
std::string Ticket(char letter) {
  std::string t(64, 'K');
  t[0] = letter;
  t += "v001xx";
  t += Guid(letter);
  t.resize(225, 'x');
  return t;
}

class FastCacheTest : public ProxyFixture {
 protected:
  FastCacheTest() : ProxyFixture("kdr-fc") {}

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProxyFixture::SetUp());
    store_ = dir_ + "/store";
    std::filesystem::create_directory(store_);
  }

  void TearDown() override {
    StopProxyAndPeer();
    if (owner_ != 0) {
      std::ofstream(dir_ + "/stop");
      if (WaitExit() != 0) platform::KillProcessGroup(owner_);
    }
    RemoveEnvironment();
  }

  // Starts the owner process and waits until its store holds the files of the layout.
  void StartOwner(const std::string& mode = "") {
    // exec: the owner is the spawned process itself, so waiting for it to end after a kill
    // means its store's owner mark is let go (a shell in between could end first).
    std::string cmd = "exec " + std::string(KDR_FASTCACHE_OWNER) + " " + store_ + " " + kMap +
                      " " + dir_ + "/stop " + mode + " >" + dir_ + "/owner.out 2>&1";
    ASSERT_EQ(platform::SpawnShell(cmd.c_str(), &owner_), 0);
    for (int i = 0; i < 2000 && OwnerOutput().find("ready\n") == std::string::npos; ++i) {
      if (OwnerOutput().find("failed") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(OwnerOutput().find("ready\n"), std::string::npos) << OwnerOutput();
  }

  // Has the owner close its store, and waits for it to end.
  void StopOwner() {
    std::ofstream(dir_ + "/stop");
    ASSERT_EQ(WaitExit(), 0);
    owner_ = 0;
    ASSERT_NE(OwnerOutput().find("closed=0"), std::string::npos) << OwnerOutput();
  }

  // Attaches another client of the owner's store in this process, as the library does.
  int AttachClient(KDRC_FILETOC_T** toc) {
    KDRCIF_OPEN_PARAMS p{};
    p.cacheDir = store_.data();
    std::string map = kMap;
    p.mapName = map.data();
    p.filePages = kFilePages;
    p.segments = kSegments;
    p.hashBlocks = kHashBlocks;
    p.extentMB = kExtentMB;
    p.mode = KDRC_MODE_CLIENT;
    return KDRCIF_OpenS(&p, toc);
  }

  // The owner's exit status, or -1 when it does not end within 10 s.
  long WaitExit() { return WaitForExitStatus(owner_, 10000); }

  std::string OwnerOutput() const {
    std::ifstream in(dir_ + "/owner.out");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Serves the pipe with the store's parameters (map name `map`) and `script`, and initialises
  // the proxy against it.
  void Start(const std::string& script, const std::string& map = kMap,
             int32_t segments = kSegments) {
    std::string info = "on GET_CACHE_INIT_INFO reply be32=" + std::to_string(kFilePages) +
                       " be32=" + std::to_string(segments) + " be32=" +
                       std::to_string(kHashBlocks) + " be32=" + std::to_string(kExtentMB) +
                       " be32=" + std::to_string(kExtents) + " be16=" +
                       std::to_string(store_.size()) + " be16=" + std::to_string(map.size()) +
                       " text=" + store_ + " text=" + map + "\n";
    ProxyFixture::Start(info + script);
  }

  // Registers the ticket of file `letter` and opens it.
  VXNFileHandle Open(char letter) {
    std::string ticket = Ticket(letter);
    const char* key = nullptr;
    EXPECT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    VXNFileHandle f = nullptr;
    EXPECT_EQ(VXN_OpenFile(key, &f), 0);
    return f;
  }

  // Reads `count` bytes at `at` through VXN_ReadBytes; the bytes read, or the code on failure.
  std::string ReadAt(VXNFileHandle f, int64_t at, int count, int* result = nullptr) {
    std::vector<char> buf(static_cast<size_t>(count) + 1);
    int n = -1;
    EXPECT_EQ(VXN_SeekAbsolute(f, at), 0);
    int r = VXN_ReadBytes(f, "tag", count, &n, buf.data());
    if (result != nullptr) *result = r;
    else EXPECT_EQ(r, 0);
    return r == 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
  }

  // The (offset, length) of the latest data request.
  std::pair<int64_t, int32_t> LastDataRange() const {
    std::pair<int64_t, int32_t> range{-1, -1};
    for (const testpeer::Request& r : peer_->Requests()) {
      if (r.msgType == KDR_GET_DATA_MSG) {
        range = {static_cast<int64_t>(GetBE64(r.bytes.data(), kOffRangeOffset)),
                 static_cast<int32_t>(GetBE32(r.bytes.data(), kOffRangeLength))};
      }
    }
    return range;
  }

  std::string store_;
  long owner_ = 0;
};

// Everything the store holds is served without a single data exchange: the open, the size,
// reads inside a block, across a block boundary and up to the end of a short last block.
TEST_F(FastCacheTest, StoreServesWhatItHoldsWithoutThePipe) {
  StartOwner();
  setenv("VXN_PROXY_OPEN_CACHE_EARLY", "1", 1);
  CaptureStdout();
  Start("");
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("\n***** checkInitKDRC() returned: 0 *****\n"), std::string::npos) << out;
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 1);

  VXNFileHandle f = Open('A');
  int64_t size = -1;
  ASSERT_EQ(VXN_FileSize(f, &size), 0);
  EXPECT_EQ(size, kFileA.size);
  EXPECT_EQ(ReadAt(f, 16380, 100), FileBytes('A', 16380, 100));
  EXPECT_EQ(ReadAt(f, 0, int(kFileA.size)), FileBytes('A', 0, kFileA.size));
  int r = 0;
  ReadAt(f, kFileA.size, 10, &r);
  EXPECT_EQ(r, ERR_KDRCP_EOF);

  // The read itself, as the open-file code calls it: 4 bytes from block 0 and 96 from block
  // 1; at the handle's end it places nothing (the caller says end of file), short of it no
  // more than the handle holds.
  f->position = 16380;  // the handle has no owner between calls: this thread may set it
  unsigned char buf[200];
  EXPECT_EQ(fastCacheRead(f, buf, 100), 100);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 100), FileBytes('A', 16380, 100));
  f->position = kFileA.size;
  EXPECT_EQ(fastCacheRead(f, buf, 100), 0);
  f->position = kFileA.size - 1;
  EXPECT_EQ(fastCacheRead(f, buf, 100), 1);
  f->position = 0;
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);

  EXPECT_EQ(Count("OPEN"), 0);
  EXPECT_EQ(Count("GET_SIZE"), 0);
  EXPECT_EQ(Count("GET_DATA"), 0);
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 1);
}

// What the store does not hold comes from the pipe: a block that is not cached, the rest of a
// read that starts in the store, and the part of a block the store holds only in part (which
// is not the end of the file).
TEST_F(FastCacheTest, PipeServesWhatTheStoreLacks) {
  StartOwner();
  const int64_t b3 = 3 * int64_t(kBlock);
  Start("on OPEN#1 " + OpenReply(kFileB) + "\non OPEN " + OpenReply(kFileC) +
        "\non GET_DATA#1 " + Piece('B', b3, 300) + "\non GET_DATA#2 " + Piece('B', b3, 300) +
        "\non GET_DATA " + Piece('C', 100, 200) + "\n");
  VXNFileHandle b = Open('B');
  EXPECT_EQ(Count("OPEN"), 0);
  EXPECT_EQ(ReadAt(b, b3, 100), FileBytes('B', b3, 100));
  EXPECT_EQ(Count("OPEN"), 1);  // opened at the server only now
  EXPECT_EQ(LastDataRange(), std::make_pair(b3, 300));

  EXPECT_EQ(ReadAt(b, b3 - 50, 350), FileBytes('B', b3 - 50, 350));
  EXPECT_EQ(Count("GET_DATA"), 2);
  EXPECT_EQ(LastDataRange(), std::make_pair(b3, 300));  // the store gave the first 50

  VXNFileHandle c = Open('C');
  EXPECT_EQ(ReadAt(c, 0, 300), FileBytes('C', 0, 300));
  EXPECT_EQ(LastDataRange(), std::make_pair(int64_t{100}, 200));
  // Where the stored part of the block ends is not the end of the file.
  VXNFileHandle d = Open('C');
  EXPECT_EQ(ReadAt(d, 100, 200), FileBytes('C', 100, 200));
  EXPECT_EQ(LastDataRange(), std::make_pair(int64_t{100}, 200));
  EXPECT_EQ(Count("OPEN"), 3);
  for (VXNFileHandle x : {b, c, d}) EXPECT_EQ(VXN_CloseFileHandlePointer(x), 0);
}

// In pipe-only mode no attach is tried; the two lines come once per attach cycle.
TEST_F(FastCacheTest, PipeOnlyModeSaysSoOnce) {
  setenv("VXN_PROXY_PIPEONLY", "", 1);
  Start("on OPEN " + OpenReply(kFileC) + "\non GET_DATA " + Piece('C', 0, 300) + "\n");
  CaptureStdout();
  VXNFileHandle f = Open('C');
  EXPECT_EQ(ReadAt(f, 0, 300), FileBytes('C', 0, 300));
  VXNFileHandle g = Open('C');
  EXPECT_EQ(ReadAt(g, 0, 300), FileBytes('C', 0, 300));
  std::string out = GetCapturedStdout();
  EXPECT_EQ(CountOf(out, kPipeOnlyLine), 1) << out;
  EXPECT_EQ(CountOf(out, kContinueLine), 1) << out;
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 0);
  EXPECT_EQ(Count("VERSION_CHECK"), 1);  // the connect's own

  EXPECT_EQ(closeFastCache(), 0);  // a new cycle says it again
  CaptureStdout();
  VXNFileHandle h = Open('C');
  out = GetCapturedStdout();
  EXPECT_EQ(CountOf(out, kPipeOnlyLine), 1) << out;
  for (VXNFileHandle x : {f, g, h}) EXPECT_EQ(VXN_CloseFileHandlePointer(x), 0);
}

// A store that cannot be attached (no owner has it open, or the server refuses this client's
// version) costs one warning per cycle and nothing else: opens and reads go to the server.
TEST_F(FastCacheTest, AbsentStoreLeavesTheWorkToThePipe) {
  Start("on OPEN " + OpenReply(kFileC) + "\non GET_DATA " + Piece('C', 0, 300) +
        "\non VERSION_CHECK#3 error 100 \"too old\"\n");
  CaptureStdout();
  VXNFileHandle f = Open('C');
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadAt(f, 0, 300), FileBytes('C', 0, 300));
  VXNFileHandle g = Open('C');
  std::string out = GetCapturedStdout();
  EXPECT_EQ(CountOf(out, "opening KDRCache, . *****\n"), 1) << out;
  EXPECT_EQ(CountOf(out, "***** There was insufficient memory to open the KDR fast cache in "
                         "memory mapped mode. *****\n"), 1);
  EXPECT_EQ(CountOf(out, kContinueLine), 1);
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 1);
  EXPECT_EQ(Count("OPEN"), 2);

  EXPECT_EQ(closeFastCache(), 0);
  CaptureStdout();
  VXNFileHandle h = Open('C');
  out = GetCapturedStdout();
  EXPECT_EQ(out, "\n***** WARNING: Improper VXN protocol version detected. *****\n" +
                     std::string(kContinueLine));
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 1);
  EXPECT_EQ(Count("OPEN"), 3);
  for (VXNFileHandle x : {f, g, h}) EXPECT_EQ(VXN_CloseFileHandlePointer(x), 0);
}

// Detaching (directly, or by clearing the cache) starts a new cycle: the next read attaches
// again and is served by the store.
TEST_F(FastCacheTest, ReattachesAfterDetach) {
  StartOwner();
  Start("");
  VXNFileHandle f = Open('A');
  EXPECT_EQ(ReadAt(f, 0, 1000), FileBytes('A', 0, 1000));
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 1);

  EXPECT_EQ(closeFastCache(), 0);
  EXPECT_EQ(closeFastCache(), 0);  // nothing attached: nothing to do
  EXPECT_EQ(ReadAt(f, 16000, 584), FileBytes('A', 16000, 584));
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 2);

  EXPECT_EQ(KdrClearCache(), 0);
  EXPECT_EQ(Count("CLEAR_CACHE"), 1);
  EXPECT_EQ(ReadAt(f, 100, 100), FileBytes('A', 100, 100));
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 3);
  EXPECT_EQ(Count("GET_DATA"), 0);
  EXPECT_EQ(Count("OPEN"), 0);
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
}

// The owner closes its store under an attached proxy: reads go on through the pipe, later
// opens go to the server, and nothing fails.
TEST_F(FastCacheTest, OwnerThatClosedLeavesTheWorkToThePipe) {
  StartOwner();
  Start("on OPEN#1 " + OpenReply(kFileA) + "\non OPEN#2 " + OpenReply(kFileB) +
        "\non GET_DATA#1 " + Piece('A', 16000, 584) + "\non GET_DATA#2 " +
        Piece('B', 0, kBlock) + "\n");
  VXNFileHandle f = Open('A');
  EXPECT_EQ(ReadAt(f, 0, 100), FileBytes('A', 0, 100));
  EXPECT_EQ(Count("GET_DATA"), 0);

  StopOwner();
  CaptureStdout();
  // The store's bytes went straight into the caller's buffer, so all of these come from the
  // pipe.
  EXPECT_EQ(ReadAt(f, 16000, 584), FileBytes('A', 16000, 584));
  VXNFileHandle g = Open('B');
  EXPECT_EQ(ReadAt(g, 0, 100), FileBytes('B', 0, 100));
  std::string out = GetCapturedStdout();
  EXPECT_EQ(Count("OPEN"), 2) << out;
  EXPECT_EQ(Count("GET_DATA"), 2);
  // The store was dropped and a new attach tried once: its owner is gone, so pipe-only.
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 2);
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
  EXPECT_EQ(VXN_CloseFileHandlePointer(g), 0);
}

// An owner killed with its store open leaves the mapped files behind it, but nothing of them is
// served any more (a new owner may rebuild them): reads and opens go on through the pipe, and
// the detach at termination does not trip over the dead owner.
TEST_F(FastCacheTest, OwnerKilledLeavesReadsWorking) {
  StartOwner();
  Start("on OPEN#1 " + OpenReply(kFileA) + "\non OPEN#2 " + OpenReply(kFileB) +
        "\non GET_DATA#1 " + Piece('A', 16000, 584) + "\non GET_DATA#2 " +
        Piece('B', 0, kBlock) + "\n");
  VXNFileHandle f = Open('A');
  EXPECT_EQ(ReadAt(f, 0, 100), FileBytes('A', 0, 100));
  ASSERT_EQ(platform::KillProcessGroup(owner_), 0);
  EXPECT_EQ(WaitExit(), 128 + 9);
  owner_ = 0;
  // The owner's liveness is asked of the system at most every KDRC_OWNER_CHECK_MS.
  std::this_thread::sleep_for(std::chrono::milliseconds(KDRC_OWNER_CHECK_MS + 5));
  // The store's bytes went straight into the caller's buffer, so all of these come from the
  // pipe.
  EXPECT_EQ(ReadAt(f, 16000, 584), FileBytes('A', 16000, 584));
  EXPECT_EQ(Count("GET_DATA"), 1);
  VXNFileHandle g = Open('B');
  EXPECT_EQ(ReadAt(g, 0, 100), FileBytes('B', 0, 100));
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
  EXPECT_EQ(VXN_CloseFileHandlePointer(g), 0);
  EXPECT_EQ(VXN_Term(), 0);
}

// Several threads read their own handles out of the store at once.
TEST_F(FastCacheTest, ThreadsReadTheStoreTogether) {
  StartOwner();
  Start("");
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const CachedFile& file = t % 2 == 0 ? kFileA : kFileB;
      // B's fourth block is not cached; a read ahead of 16384 bytes must stay clear of it.
      const int64_t cached = t % 2 == 0 ? file.size : 2 * int64_t(kBlock);
      VXNFileHandle h = Open(file.letter);
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < 60; ++i) {
        int n = static_cast<int>(rng() % 20000 % cached) + 1;
        int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(cached - n + 1));
        if (ReadAt(h, at, n) != FileBytes(file.letter, at, n)) bad.fetch_add(1);
      }
      EXPECT_EQ(VXN_CloseFileHandlePointer(h), 0);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Count("GET_DATA"), 0);
  EXPECT_EQ(Count("GET_CACHE_INIT_INFO"), 1);
}

// A hit on blocks this thread found a moment ago takes no lock: while another client holds
// the store's cache lock, the same read is still served by the store at once (a read that
// needed the lock would wait for it and then ask the pipe, which has nothing to serve).
TEST_F(FastCacheTest, HitsNeedNoCacheLock) {
  StartOwner();
  Start("");
  KDRC_FILETOC_T* other = nullptr;
  ASSERT_EQ(AttachClient(&other), 0);
  VXNFileHandle f = Open('B');
  // At the start of a second: the blocks found are still fresh when read again.
  for (const std::time_t t0 = std::time(nullptr); std::time(nullptr) == t0;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(ReadAt(f, 100, 20000), FileBytes('B', 100, 20000));  // finds blocks 0 and 1
  std::atomic<int> held{0};
  std::thread holder([&] {  // the lock is the thread's: one of this thread would not block it
    held.store(KDRCIF_LockCache(other) == 0 ? 1 : -1);
    while (held.load() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    KDRCIF_UnLockCache(other);
  });
  while (held.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = std::chrono::steady_clock::now();
  int r = -1;
  const std::string again = ReadAt(f, 100, 20000, &r);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(held.exchange(2), 1);
  holder.join();
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(again == FileBytes('B', 100, 20000));
  EXPECT_LT(took, std::chrono::milliseconds(500));
  EXPECT_EQ(Count("GET_DATA"), 0);
  EXPECT_EQ(KDRCIF_Close(&other), 0);
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
}

// Hits served without a lock are counted in the store even when another thread lets go of it
// (a clear, termination) before the reader's next locked lookup.
TEST_F(FastCacheTest, HitsAreCountedWhenAnotherThreadDetaches) {
  StartOwner();
  Start("");
  KDRC_FILETOC_T* other = nullptr;
  ASSERT_EQ(AttachClient(&other), 0);
  uint64_t reads0 = 0, bytes0 = 0;
  KDRCIF_ClientReads(other, &reads0, &bytes0);
  std::atomic<int> step{0};
  std::thread reader([&] {
    VXNFileHandle f = Open('B');
    // Within one second: the first read finds the blocks, the other nine need no lock.
    for (const std::time_t t0 = std::time(nullptr); std::time(nullptr) == t0;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ReadAt(f, 100, 20000), FileBytes('B', 100, 20000));
    step.store(1);
    while (step.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
  });
  while (step.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(closeFastCache(), 0);
  uint64_t reads1 = 0, bytes1 = 0;
  KDRCIF_ClientReads(other, &reads1, &bytes1);
  step.store(2);
  reader.join();
  EXPECT_EQ(reads1 - reads0, 10u);
  EXPECT_EQ(bytes1 - bytes0, 200000u);
  EXPECT_EQ(Count("GET_DATA"), 0);
  EXPECT_EQ(KDRCIF_Close(&other), 0);
}

// The owner evicts pages of a large file and writes its blocks again, into segments another
// file held a moment before, while threads of this process read the file at random places,
// each range twice (the second read mostly without any lock, from where the first found the
// blocks): whatever the store hands out is the file's own bytes, never those of a segment
// that moved on.
TEST_F(FastCacheTest, ReadsStayRightWhileTheOwnerMovesBlocks) {
  StartOwner("churn");
  Start("", kMap, kChurnSegments);
  const std::string file = FileBytes(kFileL.letter, 0, kFileL.size);
  std::ofstream(dir_ + "/stop.churn");
  std::atomic<int> served{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      VXNFileHandle f = Open(kFileL.letter);
      if (f == nullptr) return wrong.fetch_add(1000), void();
      std::mt19937 rng(static_cast<unsigned>(3 + t));
      std::vector<unsigned char> buf(4 * kBlock);
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
      while (std::chrono::steady_clock::now() < end) {
        int n = static_cast<int>(rng() % buf.size()) + 1;
        int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(kFileL.size - n + 1));
        for (int k = 0; k < 2; ++k) {
          f->position = at;  // the handle has no owner between calls: this thread may set it
          int r = fastCacheRead(f, buf.data(), n);
          if (r > 0) served.fetch_add(1);
          if (r < 0 || (r > 0 && std::memcmp(buf.data(), file.data() + at, size_t(r)) != 0)) {
            wrong.fetch_add(1);
          }
        }
      }
      f->position = 0;
      EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
    });
  }
  for (std::thread& t : threads) t.join();
  StopOwner();
  const std::string out = OwnerOutput();
  size_t at = out.find("rounds=");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_GT(std::atoi(out.c_str() + at + 7), 5) << out;
  EXPECT_NE(out.find(" rc=0\n"), std::string::npos) << out;
  EXPECT_GT(served.load(), 100) << out;
  EXPECT_EQ(wrong.load(), 0) << "of " << served.load() << " reads served by the store";
}

}  // namespace
}  // namespace kdr
