// What kdrcached keeps of its store across kills, damage, size changes and a full disk: the
// blocks are read back byte for byte through the store, as the fast cache reads them.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/process.h"
#include "server/server_fixture.h"
#include "server/stats.h"
#include "store/kdrc.h"
#include "support/process_wait.h"

namespace kdr::servertest {
namespace {

namespace pf = kdr::platform;
namespace fs = std::filesystem;

constexpr int32_t kBlock = 16384;

// File n's content: 64-byte records, each naming the file, its volume and its own offset, so a
// block of another file, volume or place is caught.
std::string Records(int file, int volume, size_t bytes) {
  std::string s;
  s.reserve(bytes + 64);
  char rec[128];
  for (size_t at = 0; at < bytes; at += 64) {
    // Exactly 64 characters, so every byte of the record is set (and the same each time).
    int n = std::snprintf(rec, sizeof rec,
                          "file=%05d volume=%03d offset=%012zu .....................\n", file,
                          volume, at);
    s.append(rec, n == 64 ? 64 : 0);
  }
  s.resize(bytes);
  return s;
}

// Empty when `got` is `want` from `at` on (and no longer), else the first record that differs.
std::string Mismatch(const std::string& got, const std::string& want, size_t at) {
  if (at + got.size() > want.size()) return "longer than the file: " + std::to_string(got.size());
  for (size_t k = 0; k < got.size(); ++k) {
    if (got[k] != want[at + k]) {
      size_t rec = (at + k) / 64 * 64;
      return "at " + std::to_string(at + k) + ": got \"" +
             got.substr(rec >= at ? rec - at : 0, 64) + "\"";
    }
  }
  return "";
}

class Durable : public ServerFixture {
 protected:
  struct File {
    std::string ticket, guid, content;
  };

  void PutFiles(int count, size_t bytes) {
    for (int i = 0; i < count; ++i) {
      File f;
      f.content = Records(i, 1, bytes + size_t(i % 3) * 1000);
      f.ticket = PutFile(f.content, "d" + std::to_string(i) + ".bin", &f.guid);
      files_.push_back(f);
    }
  }

  // Reads file i whole through the server, without failing the test when the server goes away
  // (a kill under load). True when every byte came and matched.
  bool ReadQuietly(RawClient* c, size_t i) {
    Reply r = c->Open(files_[i].ticket);
    if (r.typeId != kReplyNormal || r.payload.size() < 10) return false;
    uint16_t h = GetBE16(r.payload.data(), 0);
    const std::string& want = files_[i].content;
    if (!c->Send(KDR_GET_DATA_MSG, Cat({BE16(h), BE64(0), BE32(uint32_t(want.size())),
                                        Text("tst", false)})))
      return false;
    std::string got;
    for (;;) {
      Reply d;
      if (!c->Receive(&d)) return false;
      if (d.typeId == kReplyEnd) break;
      if (d.typeId != kReplyNormal || d.payload.size() < 12) return false;
      got.append(reinterpret_cast<const char*>(d.payload.data() + 12), d.payload.size() - 12);
      if (got.size() >= want.size()) break;
    }
    EXPECT_EQ(Mismatch(got, want, 0), "") << "from the server, file " << i;
    c->Simple(KDR_CLOSE_MSG, BE16(h));
    return got == want;
  }

  void ReadAll() {
    RawClient c;
    Connect(&c);
    for (size_t i = 0; i < files_.size(); ++i) EXPECT_TRUE(ReadQuietly(&c, i)) << i;
  }

  // Attaches to the running server's store as a client and calls `visit(store, first, i, b)`
  // under the cache lock for each block b of each file i the store holds; the count of visits
  // that return true, or -1 when the attach fails.
  template <class Visit>
  int64_t CountBlocks(Visit visit) {
    KDRC_FILETOC_T* store = AttachStore();
    if (store == nullptr) return -1;
    int64_t counted = 0;
    EXPECT_EQ(KDRCIF_LockCache(store), 0);
    for (size_t i = 0; i < files_.size(); ++i) {
      KDRC_PAGE_T* first = nullptr;
      int32_t size[2] = {0, 0};
      if (KDRCIF_FindFile(store, files_[i].guid.c_str(), size, &first) != 0 || first == nullptr)
        continue;
      for (int32_t b = 0; int64_t(b) * kBlock < int64_t(files_[i].content.size()); ++b) {
        if (visit(store, first, i, b)) ++counted;
      }
    }
    KDRCIF_UnLockCache(store);
    KDRCIF_Close(&store);
    return counted;
  }

  // Reads every block of every file the store holds as the fast cache does: each must be the
  // file's own bytes. The blocks held.
  int64_t BlocksInStore() {
    std::string block(kBlock, '\0');
    return CountBlocks([&](KDRC_FILETOC_T* store, KDRC_PAGE_T* first, size_t i, int32_t b) {
      int32_t n = -1;
      if (KDRCIF_ReadBlock(store, first, b, block.data(), &n) != 0 || n < 0) return false;
      EXPECT_EQ(Mismatch(block.substr(0, size_t(n)), files_[i].content, size_t(b) * kBlock), "")
          << "from the store, file " << i << " block " << b;
      return true;
    });
  }

  // The blocks the store's pages name for the files, read as a client that knows only the
  // shared record reads them (checked or not); *wrong counts those that are not the file's.
  int64_t BlocksAsNamed(int64_t* wrong) {
    *wrong = 0;
    return CountBlocks([&](KDRC_FILETOC_T* store, KDRC_PAGE_T* first, size_t i, int32_t b) {
      KDRC_PAGE_T* hit = nullptr;
      int32_t segment = -1, n = -1;
      const uint8_t* data = nullptr;
      if (KDRCFile_FindSegment(store, first, b, &hit, &segment, &n) != 0 || segment < 0 || n < 0 ||
          KDRCX_SegmentAddress(store, segment, &data) != 0)
        return false;
      std::string got(reinterpret_cast<const char*>(data), size_t(n));
      if (!Mismatch(got, files_[i].content, size_t(b) * kBlock).empty()) ++*wrong;
      return true;
    });
  }

  // Word 0 of the shared record, as every client's mapping of the segment file shows it.
  int32_t SharedSignature() {
    std::ifstream seg(home_ + "/cache/kdr.seg", std::ios::binary);
    int32_t sig = 0;
    seg.read(reinterpret_cast<char*>(&sig), sizeof sig);
    return sig;
  }

  // The server's store, attached to as a client of this make; null (with a failure) when
  // that fails.
  KDRC_FILETOC_T* AttachStore() {
    RawClient c;
    Connect(&c);
    Reply info = c.Simple(KDR_GET_CACHE_INIT_INFO, {});
    EXPECT_EQ(info.typeId, kReplyNormal) << info.ErrorText();
    if (info.payload.size() < 24) return nullptr;
    const unsigned char* p = info.payload.data();
    int32_t pages = GetBE32(p, 0), segments = GetBE32(p, 4), hash = GetBE32(p, 8);
    int32_t mb = GetBE32(p, 12), extents = GetBE32(p, 16);
    size_t d = GetBE16(p, 20), m = GetBE16(p, 22);
    std::string dir(reinterpret_cast<const char*>(p + 24), d);
    std::string map(reinterpret_cast<const char*>(p + 24 + d), m);
    std::string oldRun =
        std::getenv("KDR_RUNTIME_DIR") != nullptr ? std::getenv("KDR_RUNTIME_DIR") : "";
    setenv("KDR_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
    KDRCIF_OPEN_PARAMS prm{dir.data(),       map.data(), pages,   segments, hash,
                           mb * extents,     mb,         extents, 0,        0,
                           KDRC_MODE_CLIENT, 0,          0};
    KDRC_FILETOC_T* store = nullptr;
    int rc = KDRCIF_OpenS(&prm, &store);
    oldRun.empty() ? unsetenv("KDR_RUNTIME_DIR") : setenv("KDR_RUNTIME_DIR", oldRun.c_str(), 1);
    EXPECT_EQ(rc, 0);
    return rc == 0 ? store : nullptr;
  }

  int64_t BlocksOf(size_t i) const { return (int64_t(files_[i].content.size()) + kBlock - 1) / kBlock; }

  std::vector<File> files_;
};

// Kills at random moments under load: each next server keeps the blocks of every file read
// whole before the kill (at least 99 % of them; none wrong) and serves them without the vault.
TEST_F(Durable, AKilledServerKeepsItsBlocksAndServesThemRight) {
  const std::string sizes = "--segments 256 --extent-mb 16 --extent-files 2";
  PutFiles(40, 150000);  // about 6 MB: the segment file and the first extent file
  std::mt19937 rng(std::random_device{}());
  std::vector<char> complete(files_.size(), 0);
  for (int round = 0; round < 3; ++round) {
    StartServer(sizes);
    if (round > 0) {
      EXPECT_TRUE(WaitForLog("was not closed cleanly: repaired", 2000)) << LogText();
      int64_t expected = 0;
      for (size_t i = 0; i < files_.size(); ++i) expected += complete[i] ? BlocksOf(i) : 0;
      int64_t held = BlocksInStore();
      EXPECT_GE(held * 100, expected * 99) << "round " << round;
    }
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::vector<std::thread> loaders;
    for (int t = 0; t < 2; ++t) {
      loaders.emplace_back([&, t] {
        RawClient c;
        if (c.Connect(master_) != pf::kPipeOk ||
            c.VersionCheck(kProtocolVersion).typeId != kReplyNormal)
          return;
        for (size_t k = size_t(t); !stop.load(); k += 7) {
          size_t i = k % files_.size();
          if (!ReadQuietly(&c, i)) return;
          std::lock_guard<std::mutex> guard(mu);
          complete[i] = 1;
        }
      });
    }
    pf::SleepMs(int(200 + rng() % 1500));
    ASSERT_EQ(KillServer(), 0);
    stop = true;
    for (auto& l : loaders) l.join();
  }
  // The last server serves every complete file from the store alone.
  StartServer(sizes);
  ASSERT_TRUE(WaitForLog("was not closed cleanly: repaired", 2000)) << LogText();
  RawClient c;
  Connect(&c);
  for (size_t i = 0; i < files_.size(); ++i) {
    if (complete[i]) {
      EXPECT_TRUE(ReadQuietly(&c, i)) << i;
    }
  }
  ASSERT_EQ(StopServer(), 0);
  std::map<std::string, std::string> st;
  ASSERT_TRUE(kdr::server::ParseFlatJson(ReadLocal(home_ + "/cache/status.json"), &st));
  EXPECT_EQ(st["bytes_from_vault"], "0") << "blocks kept were fetched again";
}

// Bytes flipped in any store file while no server runs are never served: the damaged blocks
// are dropped, counted, and read from the vault again.
TEST_F(Durable, FlippedBytesInAnyStoreFileAreNeverServed) {
  const std::string sizes = "--segments 128 --extent-mb 16 --extent-files 1";
  PutFiles(10, 200000);
  std::mt19937 rng(7);
  // The blocks and their checksums first, then the pages, the hash file and the counters.
  const std::vector<std::vector<const char*>> rounds = {{"kdr.seg", "kdr.ext000", "kdr.crc"},
                                                        {"kdr.mf", "kdr.hsh", "kdr.gen"}};
  for (const auto& names : rounds) {
    StartServer(sizes);
    ReadAll();
    ASSERT_EQ(StopServer(), 0);
    bool data = std::string(names[0]) == "kdr.seg";
    for (const char* name : names) {
      std::string path = home_ + "/cache/" + name;
      std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
      ASSERT_TRUE(f.good()) << path;
      uint64_t size = fs::file_size(path);
      // Past the metafile's header (whose damage refuses the whole store, as before) and past
      // the shared area at the start of the segment file (rewritten by every open); the
      // blocks are in the first 256K of the data files.
      uint64_t from = std::string(name) == "kdr.mf"    ? 512
                      : std::string(name) == "kdr.seg" ? 4 * kBlock
                                                       : 0;
      uint64_t span = data ? std::min<uint64_t>(256 * 1024, size - from) : size - from;
      for (int k = 0; k < 32; ++k) {
        uint64_t at = from + rng() % span;
        f.seekg(std::streamoff(at));
        char b = 0;
        f.get(b);
        f.seekp(std::streamoff(at));
        f.put(char(b ^ 0x5A));
      }
    }
    if (data) {  // the store tool finds the damage too
      std::string out = home_ + "/check.out";
      std::system(("env KDR_RUNTIME_DIR='" + home_ + "/run' '" KDRCSTORE "' check --cache-dir '" +
                   home_ + "/cache' >'" + out + "' 2>&1").c_str());
      EXPECT_NE(ReadLocal(out).find("FINDING block checksums"), std::string::npos) << ReadLocal(out);
    }
    StartServer(sizes);
    if (data) {
      // The start reads no block: a client is given none kept from before until the server
      // has checked it (on its first read, or beside the service), and one that fails goes.
      ReadAll();
      EXPECT_TRUE(WaitForLog("failed its checksum: dropped", 1000));
    }
    BlocksInStore();  // every block still held is right
    ReadAll();        // and every file reads right, from the store or the vault
    ASSERT_EQ(StopServer(), 0);
    ASSERT_FALSE(HasFailure()) << names[0] << "\n" << LogText();
  }
}

// After a clean stop, clients that know only an open store's first signature (4321) attach
// only once the server has checked every block it kept: they read whatever block the pages
// name. Until then their attach fails (they read through the server) while the damaged bytes
// are still named; once it works none is left. Clients of this make read checked blocks
// meanwhile.
TEST_F(Durable, KeptBlocksAreCheckedBeforeEarlierClientsAttach) {
  PutFiles(6, 200000);
  StartServer();
  ReadAll();
  ASSERT_EQ(StopServer(), 0);
  {
    std::fstream f(home_ + "/cache/kdr.seg", std::ios::in | std::ios::out | std::ios::binary);
    for (int g = 5; g <= 10; ++g) {  // the first byte of blocks of the first file
      char b = 0;
      f.seekg(std::streamoff(g) * kBlock);
      f.get(b);
      f.seekp(std::streamoff(g) * kBlock);
      f.put(char(b ^ 0x5A));
    }
    ASSERT_TRUE(f.good());
  }
  StartServer();
  EXPECT_EQ(SharedSignature(), KDRC_FILESHARED_T_CHECKING_SIG);
  int64_t wrong = 0;
  EXPECT_GT(BlocksAsNamed(&wrong), 0);
  EXPECT_GT(wrong, 0) << "the damaged blocks are named: an earlier client would read them";
  RawClient c;
  Connect(&c);
  EXPECT_TRUE(ReadQuietly(&c, 0));  // the server checks file 0's blocks on their first read
  EXPECT_GT(BlocksInStore(), 0);    // and this make's clients read those (each one right)
  ASSERT_TRUE(WaitForLog("every block kept from the last run is checked", 10000)) << LogText();
  EXPECT_EQ(SharedSignature(), KDRC_FILESHARED_T_SIG);
  EXPECT_GT(BlocksAsNamed(&wrong), 0);
  EXPECT_EQ(wrong, 0);
  ReadAll();
  ASSERT_EQ(StopServer(), 0);
}

// A client attached across a restart (a clean stop, or a kill) keeps the earlier server's
// objects, its cache lock among them. A client that knows only an open store's first signature
// would read under that lock, not serialised with the new server's changes: the store says
// "checking" for as long as such objects are held, and opens to every client once they go.
TEST_F(Durable, EarlierClientsAreHeldOffWhileTheyHoldAnEarlierServersObjects) {
  PutFiles(4, 100000);
  StartServer();
  ReadAll();
  // Also when the restarted server runs under another map name: its objects' names differ.
  for (const char* how : {"stop", "kill", "rename"}) {
    SCOPED_TRACE(how);
    const bool kill = std::string(how) == "kill";
    KDRC_FILETOC_T* earlier = AttachStore();  // holds the running server's objects
    ASSERT_NE(earlier, nullptr);
    if (kill) {
      ASSERT_EQ(KillServer(), 0);
    } else {
      ASSERT_EQ(StopServer(), 0);
    }
    const size_t from = LogText().size();
    auto logged = [&](const char* text, int ms) {
      for (int t = 0; t < ms; t += 20, pf::SleepMs(20)) {
        if (LogText().find(text, from) != std::string::npos) return true;
      }
      return false;
    };
    StartServer(std::string(how) == "rename" ? "--map-name other" : "");
    if (!kill) {
      ASSERT_TRUE(logged("every block kept from the last run is checked", 10000)) << LogText();
    }
    pf::SleepMs(1200);  // more than two looks at the objects
    EXPECT_EQ(SharedSignature(), KDRC_FILESHARED_T_CHECKING_SIG);
    EXPECT_EQ(BlocksInStore(), 4 * BlocksOf(0));  // clients of this make read meanwhile
    KDRCIF_Close(&earlier);
    ASSERT_TRUE(logged("the store is open to every client", 3000)) << LogText();
    EXPECT_EQ(SharedSignature(), KDRC_FILESHARED_T_SIG);
  }
}

// A new --store-size on an existing store is applied, with a log line; the same one is not.
TEST_F(Durable, AChangedStoreSizeRebuildsTheStore) {
  PutFiles(4, 100000);
  StartServer("--store-size 8M");
  ReadAll();
  ASSERT_EQ(StopServer(), 0);
  StartServer("--store-size 20M");
  EXPECT_TRUE(WaitForLog("rebuilt blank with", 2000)) << LogText();
  ReadAll();
  std::map<std::string, std::string> st;
  for (int i = 0; i < 200 && st["pid"] != std::to_string(pid_); ++i) {
    pf::SleepMs(20);
    kdr::server::ParseFlatJson(ReadLocal(home_ + "/cache/status.json"), &st);
  }
  EXPECT_EQ(st["store_segments"], "1280");
  ASSERT_EQ(StopServer(), 0);
  size_t rebuilt = 0;
  std::string log = LogText();
  for (size_t at = 0; (at = log.find("rebuilt blank with", at)) != std::string::npos; ++at) ++rebuilt;
  StartServer("--store-size 20M");
  // Kept (same size, closed cleanly): every block comes from the store, checked on its first
  // read, and is then the clients' too.
  ReadAll();
  std::map<std::string, std::string> after;
  for (int i = 0; i < 300 && std::atoll(after["block_hits"].c_str()) < 4 * BlocksOf(0); ++i) {
    pf::SleepMs(20);
    kdr::server::ParseFlatJson(ReadLocal(home_ + "/cache/status.json"), &after);
  }
  EXPECT_GE(std::atoll(after["block_hits"].c_str()), 4 * BlocksOf(0));
  EXPECT_EQ(after["bytes_from_vault"], "0");
  EXPECT_EQ(BlocksInStore(), 4 * BlocksOf(0));
  ASSERT_EQ(StopServer(), 0);
  log = LogText();
  size_t now = 0;
  for (size_t at = 0; (at = log.find("rebuilt blank with", at)) != std::string::npos; ++at) ++now;
  EXPECT_EQ(now, rebuilt);

  // Rebuilt after a kill: a client still attached to the store before finds it closed, not
  // open for ever in files nobody keeps in step with the vault any more.
  StartServer("--store-size 8M");
  KDRC_FILETOC_T* earlier = AttachStore();
  ASSERT_NE(earlier, nullptr);
  ASSERT_EQ(KillServer(), 0);
  EXPECT_EQ(earlier->pShared->signature, KDRC_FILESHARED_T_SIG);
  StartServer("--store-size 20M");
  EXPECT_EQ(earlier->pShared->signature, KDRC_FILESHARED_T_CLOSED_SIG);
  KDRCIF_Close(&earlier);
  ASSERT_EQ(StopServer(), 0);
}

// The cache directory on a small file system that fills up: reads and uploads go on with the
// right bytes and no crash; once space is back the store grows again by itself.
TEST_F(Durable, AFullDiskIsNeverACrash) {
  std::string dir = home_ + "/small";
  fs::create_directories(dir);
  if (std::system(("mount -t tmpfs -o size=24m tmpfs '" + dir + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a small file system here (the store's fault-seam test covers it)";
  struct Unmount {
    std::string dir;
    ~Unmount() { std::system(("umount -l '" + dir + "' 2>/dev/null").c_str()); }
  } unmount{dir};
  PutFiles(20, 100000);  // 2 MB: more than the segment file holds
  StartServer("--cache-dir '" + dir + "' --segments 64 --file-pages 128 --extent-mb 16 "
              "--extent-files 1");
  // Fill what is left.
  {
    std::ofstream fill(dir + "/filler", std::ios::binary);
    std::string mb(1 << 20, 'x');
    for (int i = 0; i < 30 && fill.write(mb.data(), mb.size()); ++i) {
    }
  }
  ReadAll();
  EXPECT_TRUE(WaitForLog("the cache store cannot grow", 1000)) << LogText();
  // An upload of a file the store holds is committed, and the result says so.
  RawClient c;
  Connect(&c);
  Reply r = c.Open(files_[0].ticket);
  ASSERT_EQ(r.typeId, kReplyNormal);
  std::string local = WriteLocal("v2.bin", Records(0, 2, 100000));
  ASSERT_TRUE(c.Send2(KDR_UPLOAD_MSG, Cat({BE16(GetBE16(r.payload.data(), 0)),
                                           BE16(static_cast<uint16_t>(local.size()))}),
                      Text(local, false)));
  for (;;) {
    Reply u;
    ASSERT_TRUE(c.Receive(&u));
    if (u.typeId == kReplyProgress) {
      c.SendStatus(0);
      continue;
    }
    EXPECT_EQ(u.typeId, kReplyNormal) << u.ErrorText();
    break;
  }
  files_[0].content = Records(0, 2, 100000);
  ReadAll();
  // Space back: a later growth finds it.
  fs::remove(dir + "/filler");
  pf::SleepMs(2200);
  ReadAll();
  EXPECT_GT(BlocksInStore(), 64);
  EXPECT_EQ(StopServer(), 0);
}

}  // namespace
}  // namespace kdr::servertest
