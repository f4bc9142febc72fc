// The client library (in this process, or in helper processes) against real kdrcached
// processes: a server killed and restarted under an attached client, simultaneous first
// calls, and a new volume stored behind the server's back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "iface/interface.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "proxy/lifecycle.h"
#include "server/server_fixture.h"
#include "server/stats.h"
#include "server/ticket.h"
#include "server/vault.h"
#include "support/process_wait.h"
#include "support/records.h"

namespace kdr::servertest {
namespace {

namespace pf = kdr::platform;
namespace fs = std::filesystem;

constexpr int32_t kSize = 40000;  // three blocks, the last one short
constexpr int32_t kRecordFile = 5 * 16384 + 1000;  // six blocks, the last one short

// Compares file contents without printing them all: a failure shows the start of what came.
#define EXPECT_BYTES(got, want) \
  do {                          \
    std::string g_ = (got);     \
    EXPECT_TRUE(g_ == (want)) << "got " << g_.size() << " bytes: " << g_.substr(0, 40); \
  } while (0)

class LibraryServer : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    setenv("KDR_HOME", home_.c_str(), 1);
    setenv("KDR_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
    setenv("KDR_VXNPROXYLOG", (home_ + "/proxy.log").c_str(), 1);
    std::string script = home_ + "/startvxn.sh";
    std::ofstream(script) << "#!/bin/sh\nexec '" KDRCACHED "' --locale-dir '" KDR_LOCALE_DIR
                             "' --log-level debug 2>>'" << home_ << "/server.log'\n";
    fs::permissions(script, fs::perms::owner_all);
  }

  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "proxy log:\n%s\n", ReadLocal(home_ + "/proxy.log").c_str());
    while (KdrProxyInitialized()) VXN_Term();
    KdrLogClose();
    for (const char* v : {"KDR_HOME", "KDR_RUNTIME_DIR", "KDR_VXNPROXYLOG"}) unsetenv(v);
    ServerFixture::TearDown();
  }

  // Stores `content` as a new volume of the existing file `guid`, not through the server.
  void PutBehindTheServersBack(const std::string& guid, const std::string& content) {
    std::string src = WriteLocal("newer." + guid, content);
    std::string volume;
    EXPECT_EQ(server::NewLocalVault(home_ + "/vault")->Put(guid, "a.bin", src, &volume), 0);
  }

  // Opens the file of `ticket` through the library and reads all of it.
  std::string ReadAll(const std::string& ticket) {
    const char* key = nullptr;
    EXPECT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    VXNFileHandle f = nullptr;
    int r = VXN_OpenFile(key, &f);
    if (r != 0) return "open failed: " + std::to_string(r);
    std::string out;
    std::vector<char> buf(kSize);
    while (out.size() < static_cast<size_t>(kSize)) {
      int n = 0;
      r = VXN_ReadBytes(f, "t", kSize, &n, buf.data());
      if (r != 0 || n <= 0) break;
      out.append(buf.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
    return r == 0 ? out : "read failed: " + std::to_string(r);
  }

  // The store's parameters can be had: the server runs with a store.
  void ExpectStore() {
    RawClient c;
    Connect(&c);
    EXPECT_EQ(c.Simple(KDR_GET_CACHE_INIT_INFO, {}).typeId, kReplyNormal) << LogText();
    EXPECT_EQ(LogText().find("no cache store"), std::string::npos) << LogText();
  }

  // Stores volume 1 of file `file` (records of kRecordFile bytes); returns its ticket.
  std::string PutRecords(uint32_t file, std::string* guid = nullptr) {
    return PutFile(records::Records(file, 1, kRecordFile), "r" + std::to_string(file), guid);
  }

  VXNFileHandle OpenTicket(const std::string& ticket) {
    const char* key = nullptr;
    EXPECT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    VXNFileHandle f = nullptr;
    EXPECT_EQ(VXN_OpenFile(key, &f), 0);
    return f;
  }

  // Reads up to `n` bytes at the handle's position; returns the code, with the bytes in *out.
  static int ReadSome(VXNFileHandle f, int n, std::string* out) {
    std::string buf(static_cast<size_t>(n), '\0');
    int got = 0;
    int r = VXN_ReadBytes(f, "t", n, &got, buf.data());
    *out = buf.substr(0, r == 0 ? static_cast<size_t>(got) : 0);
    return r;
  }

  // The volume of file `file` that `bytes` read at `offset` are of: 0 when they mix two
  // volumes or hold a byte of no volume there.
  static uint32_t VolumeOf(const std::string& bytes, uint64_t offset, uint32_t file) {
    records::Scan s = records::ScanRecords(bytes.data(), bytes.size(), offset, file, 8);
    return s.twoVolumes || s.misplaced > 0 ? 0 : s.firstVolume;
  }

  // Reads the rest of `f` (at kRecordFile / 2) and expects it to fail as a changed file does,
  // with no byte of another volume before.
  void ExpectChanged(VXNFileHandle f, uint32_t file) {
    std::string rest;
    EXPECT_EQ(ReadSome(f, kRecordFile / 2, &rest), ERR_KDRCP_BAD_FILE)
        << "read volume " << VolumeOf(rest, kRecordFile / 2, file);
    const char* text = nullptr;
    EXPECT_EQ(VXN_GetLastError(&text), 0);
    EXPECT_NE(std::string(text != nullptr ? text : "").find("changed since it was opened"),
              std::string::npos) << (text != nullptr ? text : "");
    int64_t size = -1;
    EXPECT_EQ(VXN_FileSize(f, &size), 0);
    EXPECT_EQ(size, kRecordFile);
  }

  // Commits `content` as a new volume of `ticket` through the library; *id names it.
  void Upload(const std::string& ticket, const std::string& content, std::string* id = nullptr) {
    std::string path = WriteLocal("upload.bin", content);
    const char* key = nullptr;
    ASSERT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    char* volume = nullptr;
    ASSERT_EQ(VXN_UploadFileToPLM(key, nullptr, nullptr, path.c_str(), &volume), 0);
    if (id != nullptr) *id = volume;
    std::free(volume);
  }

  // The name of the live store's cache lock, from the server's log.
  std::string StoreName() const {
    std::string log = LogText();
    size_t at = log.rfind("cache store ");
    if (at == std::string::npos) return "";
    at += 12;
    return log.substr(at, log.find(' ', at) - at);
  }

  size_t Count(const std::string& piece) const {
    std::string log = LogText();
    size_t n = 0;
    for (size_t at = log.find(piece); at != std::string::npos; at = log.find(piece, at + 1)) ++n;
    return n;
  }
};

// SIGKILL of the server while this process is attached to its store, a new volume stored
// meanwhile, and a new server: it has a store of its own, and the attached client notices the
// old owner is gone and reads the new bytes, not the dead store's.
TEST_F(LibraryServer, AttachedClientOutlivesAKilledServer) {
  std::string guid;
  std::string ticket = PutFile(Pattern(kSize, 1), "a.bin", &guid);
  StartServer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 1));  // through the pipe, into the store
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 1));  // out of the store
  ASSERT_EQ(pf::KillProcessGroup(pid_), 0);
  WaitForProcessEnd(pid_, 5000);
  PutBehindTheServersBack(guid, Pattern(kSize, 2));
  StartServer();
  ExpectStore();
  VXN_Echo();  // finds the connection to the killed server broken; the next call connects anew
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 2));
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 2));
}

// Eight processes make their first call at once with no server running: exactly one server
// serves the pipe, and it has its store.
TEST_F(LibraryServer, SimultaneousFirstCallsLeaveOneServerWithItsStore) {
  std::vector<long> pids(8);
  for (long& pid : pids) ASSERT_EQ(pf::SpawnShell("exec '" KDR_LIB_CLIENT "'", &pid), 0);
  for (long pid : pids) EXPECT_EQ(WaitForExitStatus(pid, 30000), 0) << LogText();
  ASSERT_TRUE(WaitForLog("serving ", 5000)) << LogText();
  std::string log = LogText();
  size_t at = log.find(" as process ");
  ASSERT_NE(at, std::string::npos) << log;
  pid_ = std::atol(log.c_str() + at + 12);
  stopped_ = false;  // stopped, and checked, by the fixture
  ExpectStore();
  EXPECT_EQ(Count("serving "), 1u) << LogText();
  EXPECT_EQ(Count("cache store kdr."), 1u) << LogText();
}

// A new volume stored behind the server's back (same size) is seen within the revalidation
// window, through the fast cache and through the pipe, and the whole-file copy is replaced;
// what the cache keeps is readable by its owner only.
TEST_F(LibraryServer, NewVolumeBehindTheServersBackIsSeenWithinTheWindow) {
  std::string guid;
  std::string ticket = PutFile(Pattern(kSize, 3), "a.bin", &guid);
  StartServer("--revalidate-seconds 1");
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 3));
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 3));
  RawClient c;
  Connect(&c);
  auto wholeFile = [&] {
    Reply o = c.Open(ticket);
    EXPECT_EQ(o.typeId, kReplyNormal) << o.ErrorText();
    if (o.payload.size() < 2) return std::string();
    EXPECT_TRUE(c.Send(KDR_GET_FILE_MSG, Cat({BE16(GetBE16(o.payload.data(), 0)), Text("tst", false)})));
    Reply r;
    while (c.Receive(&r) && r.typeId == kReplyProgress) c.SendStatus(0);
    EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    if (r.payload.size() < 2) return std::string();
    return std::string(reinterpret_cast<const char*>(r.payload.data() + 2), GetBE16(r.payload.data(), 0));
  };
  std::string copy = wholeFile();
  EXPECT_BYTES(ReadLocal(copy), Pattern(kSize, 3));

  // A handle opened (through the fast cache) before the change.
  const char* key = nullptr;
  ASSERT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
  VXNFileHandle before = nullptr;
  ASSERT_EQ(VXN_OpenFile(key, &before), 0);
  std::vector<char> buf(100);
  int n = 0;
  ASSERT_EQ(VXN_ReadBytes(before, "t", 100, &n, buf.data()), 0);

  PutBehindTheServersBack(guid, Pattern(kSize, 4));
  pf::SleepMs(2000);  // the window (1 s) and a housekeeping round
  // It never reads the new volume: it fails with a clear code.
  EXPECT_EQ(VXN_SeekAbsolute(before, 20000), 0);
  EXPECT_EQ(VXN_ReadBytes(before, "t", 100, &n, buf.data()), -3003);
  const char* text = nullptr;
  EXPECT_EQ(VXN_GetLastError(&text), 0);
  EXPECT_NE(std::string(text != nullptr ? text : "").find("changed since it was opened"),
            std::string::npos);
  EXPECT_EQ(VXN_CloseFileHandlePointer(before), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 4));
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 4));
  copy = wholeFile();
  EXPECT_BYTES(ReadLocal(copy), Pattern(kSize, 4));

  auto mode = [](const std::string& p) { return fs::status(p).permissions() & fs::perms::all; };
  EXPECT_EQ(mode(home_ + "/cache"), fs::perms::owner_all);
  EXPECT_EQ(mode(home_ + "/cache/kdr.mf"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(copy), fs::perms::owner_read);
}

// With the local vault the watcher sees such a change at once, long before the round would.
TEST_F(LibraryServer, TheVaultWatcherSeesANewVolumeAtOnce) {
  std::string guid;
  std::string ticket = PutFile(Pattern(kSize, 5), "a.bin", &guid);
  StartServer("--revalidate-seconds 3600");
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 5));
  PutBehindTheServersBack(guid, Pattern(kSize, 6));
  ASSERT_TRUE(WaitForLog("changed in the vault", 2000)) << LogText();
  EXPECT_BYTES(ReadAll(ticket), Pattern(kSize, 6));
}

// Handles opened at the server and through the fast cache keep their volume while it leaves
// the store (cleared), a same-size volume is committed and read into the store, and a volume
// of another size follows: the one opened at the server reads its own bytes to the end, the
// one opened through the fast cache stops with the "changed" code, and no size moves. A
// handle whose volume is rolled back stops with the same code.
TEST_F(LibraryServer, AHandleReadsOnlyTheVolumeItOpened) {
  std::string ticket = PutRecords(1);
  StartServer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  const int half = kRecordFile / 2;
  VXNFileHandle atServer = OpenTicket(ticket);  // nothing in the store yet
  std::string bytes;
  ASSERT_EQ(ReadSome(atServer, half, &bytes), 0);
  EXPECT_EQ(VolumeOf(bytes, 0, 1), 1u);
  VXNFileHandle whole = OpenTicket(ticket);
  ASSERT_EQ(ReadSome(whole, kRecordFile, &bytes), 0);  // all of it into the store
  EXPECT_EQ(VXN_CloseFileHandlePointer(whole), 0);
  VXNFileHandle inStore = OpenTicket(ticket);
  ASSERT_EQ(ReadSome(inStore, half, &bytes), 0);
  EXPECT_EQ(VolumeOf(bytes, 0, 1), 1u);
  // Read by the fast cache without the server, and counted by it.
  std::map<std::string, std::string> st;
  for (int i = 0; i < 300 && std::atoll(st["fastcache_bytes"].c_str()) < half; ++i) {
    pf::SleepMs(20);
    kdr::server::ParseFlatJson(ReadLocal(home_ + "/cache/status.json"), &st);
  }
  EXPECT_GE(std::atoll(st["fastcache_bytes"].c_str()), half);
  EXPECT_GE(std::atoll(st["fastcache_reads"].c_str()), 1);

  EXPECT_EQ(KdrClearCache(), 0);
  std::string two;
  ASSERT_NO_FATAL_FAILURE(Upload(ticket, records::Records(1, 2, kRecordFile), &two));
  VXNFileHandle newer = OpenTicket(ticket);
  ASSERT_EQ(ReadSome(newer, kRecordFile, &bytes), 0);  // volume 2 into the store
  EXPECT_EQ(VolumeOf(bytes, 0, 1), 2u);

  ASSERT_EQ(ReadSome(atServer, kRecordFile, &bytes), 0);
  EXPECT_EQ(bytes.size(), static_cast<size_t>(kRecordFile - half));
  EXPECT_EQ(VolumeOf(bytes, half, 1), 1u);
  ExpectChanged(inStore, 1);

  // Another size, read into the store: the old handle's size and end stay its own.
  ASSERT_NO_FATAL_FAILURE(Upload(ticket, records::Records(1, 3, 4 * kRecordFile)));
  VXNFileHandle larger = OpenTicket(ticket);
  ASSERT_EQ(ReadSome(larger, 4 * kRecordFile, &bytes), 0);
  EXPECT_EQ(VXN_CloseFileHandlePointer(larger), 0);
  int64_t size = -1;
  EXPECT_EQ(VXN_FileSize(atServer, &size), 0);
  EXPECT_EQ(size, kRecordFile);
  EXPECT_EQ(VXN_SeekAbsolute(atServer, kRecordFile - 100), 0);
  EXPECT_EQ(ReadSome(atServer, 1000, &bytes), 0);
  EXPECT_EQ(bytes.size(), 100u);
  EXPECT_EQ(VolumeOf(bytes, kRecordFile - 100, 1), 1u);

  const char* key = nullptr;
  ASSERT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
  ASSERT_EQ(VXN_RollbackFileUploadedToPLM(key, two.c_str()), 0);
  EXPECT_EQ(VXN_SeekAbsolute(newer, kRecordFile / 2), 0);
  ExpectChanged(newer, 1);
  for (VXNFileHandle f : {atServer, inStore, newer}) EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
}

// A server killed or stopped while a same-size volume is committed, and started again: the
// handles opened before (at the server, and through the fast cache) stop with the "changed"
// code instead of reading the new volume, and a new handle reads it.
TEST_F(LibraryServer, AHandleThatSpansARestartNeverReadsAVolumeCommittedMeanwhile) {
  StartServer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  for (bool kill : {true, false}) {
    SCOPED_TRACE(kill ? "SIGKILL" : "SIGTERM");
    const uint32_t file = kill ? 2 : 3;
    std::string guid;
    std::string ticket = PutRecords(file, &guid);
    std::string bytes;
    VXNFileHandle atServer = OpenTicket(ticket);
    ASSERT_EQ(ReadSome(atServer, kRecordFile / 2, &bytes), 0);
    VXNFileHandle whole = OpenTicket(ticket);
    ASSERT_EQ(ReadSome(whole, kRecordFile, &bytes), 0);
    EXPECT_EQ(VXN_CloseFileHandlePointer(whole), 0);
    VXNFileHandle inStore = OpenTicket(ticket);
    ASSERT_EQ(ReadSome(inStore, kRecordFile / 2, &bytes), 0);
    EXPECT_EQ(VolumeOf(bytes, 0, file), 1u);

    if (kill) {
      ASSERT_EQ(KillServer(), 0);
    } else {
      ASSERT_EQ(StopServer(), 0);
    }
    PutBehindTheServersBack(guid, records::Records(file, 2, kRecordFile));
    StartServer();
    ExpectChanged(atServer, file);
    ExpectChanged(inStore, file);
    VXNFileHandle fresh = OpenTicket(ticket);
    ASSERT_EQ(ReadSome(fresh, kRecordFile, &bytes), 0);
    EXPECT_EQ(VolumeOf(bytes, 0, file), 2u);
    for (VXNFileHandle f : {atServer, inStore, fresh}) EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
  }
}

// A read fails only for a change of its own file: not when another file that shares its
// change-count slot in the store changes, and not with a store code when a process died
// holding the store's lock (the pipe serves that read).
TEST_F(LibraryServer, ReadsNeverFailForWhatDidNotHappenToTheirFile) {
  // Two GUIDs in the same one of the store's 4,095 change-count slots.
  auto slot = [](const std::string& g) {
    uint32_t h = 2166136261u;
    for (char c : g) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    return 1 + h % 4095;
  };
  std::map<uint32_t, std::string> seen;
  std::string a, b;
  for (int i = 0; i < 100000 && b.empty(); ++i) {
    std::string g = server::NewGuid('v');
    auto [it, fresh] = seen.emplace(slot(g), g);
    if (!fresh) a = it->second, b = g;
  }
  ASSERT_FALSE(b.empty());
  auto vault = server::NewLocalVault(home_ + "/vault");
  std::string volume;
  for (const auto& [g, file] : {std::pair{a, 4u}, std::pair{b, 5u}}) {
    ASSERT_EQ(vault->Put(g, "r", WriteLocal("r", records::Records(file, 1, kRecordFile)), &volume), 0);
  }
  const std::string ticketA = server::MakeTicket('v', a), ticketB = server::MakeTicket('v', b);
  StartServer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  std::string bytes;
  for (const std::string& t : {ticketA, ticketB}) {
    VXNFileHandle whole = OpenTicket(t);
    ASSERT_EQ(ReadSome(whole, kRecordFile, &bytes), 0);
    EXPECT_EQ(VXN_CloseFileHandlePointer(whole), 0);
  }
  VXNFileHandle f = OpenTicket(ticketA);  // through the fast cache
  ASSERT_EQ(ReadSome(f, 20000, &bytes), 0);
  ASSERT_NO_FATAL_FAILURE(Upload(ticketB, records::Records(5, 2, kRecordFile)));
  EXPECT_EQ(ReadSome(f, 20000, &bytes), 0);
  EXPECT_EQ(VolumeOf(bytes, 20000, 4), 1u);

  VXNFileHandle g = OpenTicket(ticketA);
  ASSERT_EQ(ReadSome(g, 20000, &bytes), 0);
  long pid = 0;
  std::string cmd = "exec '" KDR_STORE_LOCK_HELPER "' '" + StoreName() + "'";
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
  ASSERT_EQ(WaitForExitStatus(pid, 10000), 128 + 9);
  EXPECT_EQ(ReadSome(g, 20000, &bytes), 0);
  EXPECT_EQ(bytes.size(), 20000u);
  EXPECT_EQ(VolumeOf(bytes, 20000, 4), 1u);
  for (VXNFileHandle h : {f, g}) EXPECT_EQ(VXN_CloseFileHandlePointer(h), 0);
}

// Readers in processes of their own check every byte they read while this process commits
// same-size volumes (through the server, and behind its back while it is down), the store is
// too small for the files, the server is killed and stopped and started again, and readers
// are killed and replaced: no handle returns records of two volumes, no byte is misplaced.
TEST_F(LibraryServer, MixedLoadNeverMixesVolumes) {
  constexpr int kFiles = 8;
  constexpr uint64_t kFileBytes = 256 * 1024;  // 2 MB in all, for a store of 100 segments
  constexpr int kSeconds = 20;
  constexpr int kReaders = 4;
  const std::string flags = "--segments 100 --extent-files 0";
  // The test alone starts and stops the server: a client that finds none while it restarts
  // launches nothing (it would launch at once, and the test could not stop that server).
  std::ofstream(home_ + "/startvxn.sh") << "#!/bin/sh\nexit 1\n";
  std::vector<std::string> guids(kFiles), tickets(kFiles);
  std::vector<uint32_t> volumes(kFiles, 1);
  {
    std::ofstream list(home_ + "/tickets");
    for (int i = 0; i < kFiles; ++i) {
      tickets[i] = PutFile(records::Records(10 + i, 1, kFileBytes), "m" + std::to_string(i), &guids[i]);
      list << 10 + i << ' ' << tickets[i] << '\n';
    }
  }
  StartServer(flags);
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  int spawned = 0;
  auto spawnReader = [&] {
    long pid = 0;
    std::string cmd = "exec '" KDR_MIX_READER "' '" + home_ + "/tickets' " +
                      std::to_string(kSeconds - elapsed() / 1000) + " '" + home_ + "/mix." +
                      std::to_string(spawned++) + "'";
    EXPECT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
    return pid;
  };
  std::vector<long> readers;
  for (int k = 0; k < kReaders; ++k) readers.push_back(spawnReader());

  std::mt19937 rng(11);
  int commits = 0;
  int restarts = 0;
  int64_t nextRestart = 6000, nextReaderKill = 2500;
  while (elapsed() < (kSeconds - 3) * 1000) {
    const int i = static_cast<int>(rng() % kFiles);
    const uint32_t volume = ++volumes[i];
    std::string path = WriteLocal("mix.bin", records::Records(10 + i, volume, kFileBytes));
    const char* key = nullptr;
    char* id = nullptr;
    if (VXN_RegisterTicket(tickets[i].c_str(), &key) == 0 &&
        VXN_UploadFileToPLM(key, nullptr, nullptr, path.c_str(), &id) == 0) {
      ++commits;
    }
    std::free(id);
    if (elapsed() >= nextReaderKill) {
      nextReaderKill += 2500;
      long& victim = readers[rng() % readers.size()];
      pf::KillProcessGroup(victim);
      WaitForProcessEnd(victim, 5000);
      victim = spawnReader();
    }
    if (elapsed() >= nextRestart) {
      nextRestart += 6000;
      if (restarts++ % 2 == 0) {
        ASSERT_EQ(KillServer(), 0);
      } else {
        ASSERT_EQ(StopServer(), 0) << LogText();
      }
      const int j = static_cast<int>(rng() % kFiles);
      PutBehindTheServersBack(guids[j], records::Records(10 + j, ++volumes[j], kFileBytes));
      StartServer(flags);
    }
    pf::SleepMs(60);
  }
  for (long pid : readers) EXPECT_EQ(WaitForExitStatus(pid, 20000), 0);

  long handles = 0, reads = 0, changed = 0, faults = 0;
  for (int k = 0; k < spawned; ++k) {
    std::string out = ReadLocal(home_ + "/mix." + std::to_string(k));
    for (size_t at = out.find("MIX"); at != std::string::npos; at = out.find("MIX", at + 1)) ++faults;
    if (out.find("MISPLACED") != std::string::npos) ADD_FAILURE() << out.substr(out.find("MISPLACED"), 200);
    if (out.find("MIXED") != std::string::npos) ADD_FAILURE() << out.substr(out.find("MIXED"), 200);
    size_t last = out.rfind("handles=");
    if (last == std::string::npos) continue;
    long h = 0, r = 0, c = 0;
    std::sscanf(out.c_str() + last, "handles=%ld reads=%ld changed=%ld", &h, &r, &c);
    handles += h, reads += r, changed += c;
  }
  std::printf("mixed load: %d commits, %d restarts, %d readers, %ld handles, %ld reads, %ld stopped as changed\n",
              commits, restarts, spawned, handles, reads, changed);
  EXPECT_EQ(faults, 0);
  EXPECT_GE(restarts, 2);
  EXPECT_GT(commits, 20);
  EXPECT_GT(handles, 100);
  EXPECT_GT(reads, 1000);
}

}  // namespace
}  // namespace kdr::servertest
