// The client library against a real kdrcached: restarts under open files, all-or-nothing
// uploads beside another client, relative paths, progress totals, and the temporary file of a
// download whose server was killed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/result_codes.h"
#include "iface/interface.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "proxy/lifecycle.h"
#include "proxy/open_files.h"
#include "server/server_fixture.h"
#include "server/ticket.h"
#include "server/vault.h"
#include "support/volume_records.h"

namespace kdr::servertest {
namespace {

namespace fs = std::filesystem;
namespace pf = kdr::platform;

class Library : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    setenv("KDR_HOME", home_.c_str(), 1);
    setenv("KDR_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
    setenv("VXN_CONNECTTIMEOUT", "1", 1);
    setenv("VXN_STARTUPTIMEOUT", "1", 1);
    setenv("VXN_PROXY_PIPEONLY", "1", 1);  // every byte over the pipe: the server's handles
    WriteLocal("startvxn.sh", "#!/bin/sh\nexit 1\n");  // the test starts the servers itself
    fs::permissions(home_ + "/startvxn.sh", fs::perms::owner_all);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  }
  void TearDown() override {
    while (KdrProxyInitialized()) VXN_Term();
    for (const char* v : {"KDR_HOME", "KDR_RUNTIME_DIR", "VXN_CONNECTTIMEOUT",
                          "VXN_STARTUPTIMEOUT", "VXN_PROXY_PIPEONLY"}) {
      unsetenv(v);
    }
    ServerFixture::TearDown();
  }

  // SIGKILL (unless it is dead already), then a fresh server on the same directories.
  void RestartServer() {
    pf::KillProcessGroup(pid_);
    long status = 0;
    int err = 0;
    for (int i = 0; i < 500; ++i) {
      if (pf::QueryProcess(pid_, &status, &err) != pf::ProcessState::kRunning) break;
      pf::SleepMs(10);
    }
    ASSERT_NE(pf::QueryProcess(pid_, &status, &err), pf::ProcessState::kRunning);
    ASSERT_NO_FATAL_FAILURE(StartServer());
  }

  std::string Register(const std::string& ticket) {
    const char* key = nullptr;
    EXPECT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    return key != nullptr ? key : "";
  }

  // Downloads `key` into the cache; the path, or "error N".
  std::string Download(const std::string& key) {
    char* path = nullptr;
    int r = VXN_DownloadFileFromPLM("tst", key.c_str(), nullptr, nullptr, &path);
    std::string out = r == 0 && path != nullptr ? path : "error " + std::to_string(r);
    std::free(path);
    return out;
  }

  std::string ReadAll(VXNFileHandle h, size_t n) {
    std::string out(n, '\0');
    int got = 0;
    int r = VXN_ReadBytes(h, "tst", static_cast<int>(n), &got, out.data());
    if (r != 0) return "error " + std::to_string(r);
    out.resize(static_cast<size_t>(got));
    return out;
  }
};

// Server handles are numbered afresh by each server instance: a file opened before a restart
// is reopened at the new instance, never read through a number that now names another file.
TEST_F(Library, OpenFileSurvivesAServerRestartWithItsOwnBytes) {
  std::string a = Pattern(50000, 1), b = Pattern(50000, 2);
  std::string keyA = Register(PutFile(a, "a.bin"));
  std::string keyB = Register(PutFile(b, "b.bin"));
  VXNFileHandle hA = nullptr, hB = nullptr;
  ASSERT_EQ(VXN_OpenFile(keyA.c_str(), &hA), 0);
  ASSERT_EQ(ReadAll(hA, 10), a.substr(0, 10));

  ASSERT_NO_FATAL_FAILURE(RestartServer());
  // The pipe to the dead server is seen closed before the exchange: no call fails for it.
  EXPECT_EQ(VXN_Echo(), 0);
  ASSERT_EQ(VXN_OpenFile(keyB.c_str(), &hB), 0);
  EXPECT_EQ(ReadAll(hB, 10), b.substr(0, 10));
  std::string rest = ReadAll(hA, 30000);
  EXPECT_EQ(rest, a.substr(10, 30000));
  EXPECT_EQ(VXN_CloseFileHandlePointer(hA), 0);
  EXPECT_EQ(VXN_CloseFileHandlePointer(hB), 0);
}

// A new volume committed while the server was down: the handle opened before cannot go on
// with bytes of the new one, so its reads stop with a clear code (the open reply tells the
// size, so a change of size is what the reopen sees).
TEST_F(Library, OpenFileFailsAfterARestartFoundAnotherVolume) {
  std::string guid;
  std::string a = Pattern(50000, 1);
  std::string key = Register(PutFile(a, "a.bin", &guid));
  VXNFileHandle h = nullptr;
  ASSERT_EQ(VXN_OpenFile(key.c_str(), &h), 0);
  ASSERT_EQ(ReadAll(h, 10), a.substr(0, 10));

  pf::KillProcessGroup(pid_);
  std::string volume;
  auto vault = kdr::server::NewLocalVault(home_ + "/vault");
  ASSERT_EQ(vault->Put(guid, "a.bin", WriteLocal("a2", Pattern(60000, 3)), &volume), 0);
  ASSERT_NO_FATAL_FAILURE(RestartServer());
  EXPECT_EQ(VXN_Echo(), 0);
  for (int i = 0; i < 2; ++i) {  // past the read buffer the first read filled; stays failed
    EXPECT_EQ(ReadAll(h, 30000), "error " + std::to_string(ERR_KDRCP_BAD_FILE));
    const char* text = nullptr;
    ASSERT_EQ(VXN_GetLastError(&text), 0);
    EXPECT_STREQ(text, kFileChangedText);
  }
  EXPECT_EQ(VXN_CloseFileHandlePointer(h), 0);
}

// A copy in the cache is read-only to its user, and one changed in place all the same is
// noticed: the next download fetches it again rather than hand on the changed bytes.
TEST_F(Library, ACachedCopyChangedInPlaceIsFetchedAgain) {
  std::string guid;
  const std::string want = VolumeRecords("changed", 1, 20000);
  std::string key = Register(PutFile(want, "c.bin", &guid));
  std::string path = Download(key);
  ASSERT_TRUE(fs::exists(path)) << path;
  EXPECT_EQ((fs::status(path).permissions() & fs::perms::all), fs::perms::owner_read);
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(64);
    f.write("XXXXXXXX", 8);
  }
  ASSERT_EQ(fs::file_size(path), want.size());
  path = Download(key);
  EXPECT_EQ(RecordMismatch(ReadLocal(path), "changed", 1), "");
}

// A path a download returned keeps its volume while a newer one arrives and is downloaded
// too; once the grace period has passed and nobody holds that volume, the old copy goes.
TEST_F(Library, ADownloadedPathKeepsItsVolumeThroughItsGracePeriod) {
  ASSERT_EQ(StopServer(), 0);
  ASSERT_NO_FATAL_FAILURE(StartServer("--files-grace-seconds 1"));
  const size_t kSize = 20000;
  std::string key = Register(PutFile(VolumeRecords("graced", 1, kSize), "g.bin"));
  std::string first = Download(key);
  ASSERT_EQ(RecordMismatch(ReadLocal(first), "graced", 1), "") << first;
  std::string local = WriteLocal("v2.bin", VolumeRecords("graced", 2, kSize));
  char* volume = nullptr;
  ASSERT_EQ(VXN_UploadFileToPLM(key.c_str(), nullptr, nullptr, local.c_str(), &volume), 0);
  std::free(volume);
  EXPECT_EQ(RecordMismatch(ReadLocal(first), "graced", 1), "") << "after the upload";
  std::string second = Download(key);
  EXPECT_NE(second, first);
  EXPECT_TRUE(second.ends_with("/g.bin")) << second;
  EXPECT_EQ(RecordMismatch(ReadLocal(second), "graced", 2), "") << second;
  EXPECT_EQ(RecordMismatch(ReadLocal(first), "graced", 1), "") << "after the newer download";
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    pf::SleepMs(50);
    gone = !fs::exists(first);
  }
  EXPECT_TRUE(gone) << first << " outlived its grace period";
  EXPECT_EQ(RecordMismatch(ReadLocal(second), "graced", 2), "");
}

struct UploadWatch {
  std::string otherKey, otherPath;
  std::string watchedKey;
  bool otherDone = false;
  std::vector<std::pair<int64_t, int64_t>> reports;  // of the watched key
};

int Watch(const char* key, void* context, int64_t done, int64_t total, int* keepGoing) {
  auto* w = static_cast<UploadWatch*>(context);
  *keepGoing = 1;
  if (key == nullptr || w->watchedKey != key) return 0;
  w->reports.emplace_back(done, total);
  if (!w->otherDone) {
    // Another client (here: another thread with its own connection) uploads the first file
    // while our batch is still running.
    w->otherDone = true;
    std::thread other([w] {
      char* id = nullptr;
      EXPECT_EQ(VXN_UploadFileToPLM(w->otherKey.c_str(), nullptr, nullptr, w->otherPath.c_str(),
                                    &id),
                0);
      std::free(id);
    });
    other.join();
  }
  return 0;
}

// All or nothing without a volume-id array: the roll-back removes exactly the volumes of this
// call, not the newest one (which is another client's). Relative paths are the caller's.
// Upload progress carries the local file's size as its total.
TEST_F(Library, AllOrNothingUploadRollsBackOnlyItsOwnVolumes) {
  std::string first = Pattern(20000, 3), second = Pattern(7000, 4);
  std::string keyA = Register(PutFile(first, "a.bin"));
  std::string keyC = Register(PutFile(second, "c.bin"));
  std::string keyMissing = Register(kdr::server::MakeTicket('v', kdr::server::NewGuid('v')));
  std::string ours = Pattern(30000, 5), theirs = Pattern(30000, 6), oursC = Pattern(90000, 7);
  WriteLocal("ours.bin", ours);
  WriteLocal("oursC.bin", oursC);
  std::string theirsPath = WriteLocal("theirs.bin", theirs);

  fs::path cwd = fs::current_path();
  fs::current_path(home_);
  UploadWatch watch{keyA, theirsPath, keyC, false, {}};
  const char* keys[] = {keyA.c_str(), keyC.c_str(), keyMissing.c_str()};
  const char* paths[] = {"ours.bin", "./oursC.bin", "ours.bin"};
  int results[3] = {1, 1, 1};
  int r = VXN_UploadFilesToPLM(3, keys, &Watch, &watch, paths, 0, nullptr, results);
  EXPECT_LT(r, 0);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_LT(results[2], 0);
  ASSERT_TRUE(watch.otherDone);
  ASSERT_FALSE(watch.reports.empty());
  EXPECT_EQ(watch.reports.back(), std::make_pair(int64_t{90000}, int64_t{90000}));

  // The other client's volume stays the newest of A; C is back to what it was. Both
  // downloads go to relative targets.
  fs::create_directory(home_ + "/out");
  EXPECT_EQ(VXN_DownloadFileToLocation("tst", keyA.c_str(), nullptr, nullptr, nullptr, "a.out"), 0);
  EXPECT_EQ(VXN_DownloadFileToLocation("tst", keyC.c_str(), nullptr, nullptr, "out", "c.out"), 0);
  fs::current_path(cwd);
  EXPECT_EQ(ReadLocal(home_ + "/a.out"), theirs);
  EXPECT_EQ(ReadLocal(home_ + "/out/c.out"), second);
}

int KillServerOnce(const char*, void* context, int64_t, int64_t, int* keepGoing) {
  long* pid = static_cast<long*>(context);
  *keepGoing = 1;
  if (*pid != 0) {
    pf::KillProcessGroup(*pid);
    *pid = 0;
    pf::SleepMs(200);  // the server is gone before the status goes out
  }
  return 0;
}

bool HasPartial(const std::string& dir) {
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().rfind(".kdrpart.", 0) == 0) return true;
  }
  return false;
}

// A download to a location whose server is killed leaves its temporary file; the next server
// removes it when it starts. The dead connection costs one failure, no more.
TEST_F(Library, KilledDownloadLeavesNoTemporaryFileBehind) {
  std::string content = Pattern(3 << 20, 8);
  std::string key = Register(PutFile(content, "big.bin"));
  std::string dir = home_ + "/target";
  fs::create_directory(dir);
  long victim = pid_;
  EXPECT_EQ(VXN_DownloadFileToLocation("tst", key.c_str(), &KillServerOnce, &victim, dir.c_str(),
                                       "big.bin"),
            ERR_KDRCP_NO_SERVER);
  EXPECT_TRUE(HasPartial(dir));
  EXPECT_FALSE(fs::exists(dir + "/big.bin"));

  ASSERT_NO_FATAL_FAILURE(RestartServer());
  for (int i = 0; i < 200 && HasPartial(dir); ++i) pf::SleepMs(10);
  EXPECT_FALSE(HasPartial(dir));
  EXPECT_EQ(VXN_DownloadFileToLocation("tst", key.c_str(), nullptr, nullptr, dir.c_str(),
                                       "big.bin"),
            0);
  EXPECT_EQ(ReadLocal(dir + "/big.bin"), content);
}

// A kdrcached whose launch takes longer than the start-up time-out: VXN_Init succeeds without
// a connection, and an exchange connects once the server serves its pipe.
class SlowStart : public ServerFixture {
 protected:
  void TearDown() override {
    while (KdrProxyInitialized()) VXN_Term();
    std::istringstream pids(ReadLocal(home_ + "/pids"));
    for (long pid = 0; pids >> pid;) pf::KillProcessGroup(pid);
    for (const char* v : {"KDR_HOME", "KDR_RUNTIME_DIR", "VXN_CONNECTTIMEOUT",
                          "VXN_STARTUPTIMEOUT"}) {
      unsetenv(v);
    }
    ServerFixture::TearDown();
  }
};

TEST_F(SlowStart, InitSucceedsAndALaterExchangeConnects) {
  setenv("KDR_HOME", home_.c_str(), 1);
  setenv("KDR_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
  setenv("VXN_CONNECTTIMEOUT", "1", 1);
  setenv("VXN_STARTUPTIMEOUT", "1", 1);
  WriteLocal("startvxn.sh", "#!/bin/sh\necho $$ >> '" + home_ + "/pids'\nsleep 2\nexec '" KDRCACHED
                            "' 2>>'" + home_ + "/server.log'\n");
  fs::permissions(home_ + "/startvxn.sh", fs::perms::owner_all);
  EXPECT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_TRUE(KdrProxyInitialized());
  int r = ERR_KDRCP_NO_SERVER;
  for (int i = 0; i < 10 && r != 0; ++i) {
    r = VXN_Echo();
    if (r != 0) {
      EXPECT_EQ(r, ERR_KDRCP_NO_SERVER);
    }
  }
  EXPECT_EQ(r, 0);
}

}  // namespace
}  // namespace kdr::servertest
