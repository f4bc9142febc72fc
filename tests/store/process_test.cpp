// One store, several processes: an owner and its clients attached by mapping name, an owner
// killed with its store open, and a second owner.
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/fault.h"
#include "platform/process.h"
#include "store/store_if_fixture.h"
#include "support/process_wait.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace plat = kdr::platform;

class StoreProcesses : public kdrc_test::StoreIfTest {
 protected:
  void TearDown() override {
    for (long pid : pids_) {
      long status = 0;
      int err = 0;
      if (plat::QueryProcess(pid, &status, &err) == plat::ProcessState::kRunning)
        plat::KillProcessGroup(pid);
    }
    StoreIfTest::TearDown();
  }

  // Starts the helper with `args`; its output goes to the file `out` in the store directory.
  long Start(const std::string& args, const std::string& out) {
    std::string cmd = std::string(KDR_STORE_IF_HELPER) + " " + args + " >" + Path(out.c_str()) +
                      " 2>&1";
    long pid = 0;
    EXPECT_EQ(plat::SpawnShell(cmd.c_str(), &pid), 0);
    pids_.push_back(pid);
    return pid;
  }
  // Waits for the helper to end; returns its exit status (128 + signal when killed), -1 on
  // time-out.
  long Wait(long pid) { return kdr::WaitForExitStatus(pid, 20000); }
  std::string Output(const std::string& out) const {
    std::ifstream in(Path(out.c_str()));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Waits until the helper's output holds `text`.
  bool WaitOutput(const std::string& out, const std::string& text) {
    for (int i = 0; i < 2000; ++i) {
      if (Output(out).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::string Run(const std::string& args) {
    long pid = Start(args, "run.out");
    EXPECT_EQ(Wait(pid), 0);
    return Output("run.out");
  }
  std::string Args(const char* cmd) const { return std::string(cmd) + " " + dir_ + " " + name_; }

  std::vector<long> pids_;
};

TEST_F(StoreProcesses, OwnerAndClientProcessesSeeTheSameBlocks) {
  KDRC_FILETOC_T* owner = nullptr;
  ASSERT_EQ(OpenSQuietly(KDRC_MODE_OWNER, &owner), 0);
  KDRC_PAGE_T* first = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(owner, kdrc_test::Guid(3).c_str(), 2000, 0, &first), 0);
  ASSERT_EQ(Write(owner, &first, 3, 0), 0);
  ASSERT_EQ(Write(owner, &first, 3, 1), 0);

  // A client process reads what the owner wrote; the count of clients rises and falls.
  std::string out = Run(Args("client-read") + " 3 3");
  EXPECT_EQ(out, "open=0 clients=1\nblock 0 1000 1\nblock 1 1000 1\nblock 2 -1 0\nclose=0\n");
  EXPECT_EQ(owner->pShared->clients, 0);
  EXPECT_EQ(KDRCIF_Hits(owner), 2u);

  // A client that stays attached while the owner closes: the warning; a client that comes
  // after finds the names (held by the first client) but no owner: 61.
  long holder = Start(Args("client-hold") + " " + Path("stop"), "hold.out");
  ASSERT_TRUE(WaitOutput("hold.out", "open=0 clients=1\n")) << Output("hold.out");
  EXPECT_EQ(owner->pShared->clients, 1);
  CaptureStdout();
  ASSERT_EQ(CloseS(&owner), 0);
  EXPECT_NE(GetCapturedStdout().find("***** WARNING: Closing KDRCache with client(s) attached! *****"),
            std::string::npos);
  out = Run(Args("client-read") + " 3 1");
  EXPECT_NE(out.find("open=61 clients=-1\n"), std::string::npos) << out;
  std::ofstream(Path("stop")).put('x');
  EXPECT_EQ(Wait(holder), 0);
  EXPECT_NE(Output("hold.out").find("close=0\n"), std::string::npos);
}

TEST_F(StoreProcesses, AClientReadsWhatAnOwnerProcessWrote) {
  long owner = Start(Args("owner-hold") + " " + Path("stop"), "owner.out");
  ASSERT_TRUE(WaitOutput("owner.out", "ready")) << Output("owner.out");
  KDRC_FILETOC_T* client = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_CLIENT, &client), 0);
  ASSERT_EQ(KDRCIF_LockCache(client), 0);
  KDRC_PAGE_T* first = Find(client, 7);
  ASSERT_NE(first, nullptr);
  for (int32_t b = 0; b < 3; ++b) EXPECT_EQ(ReadBack(client, first, 7, b), 1) << b;
  EXPECT_EQ(client->pShared->clients, 1);
  ASSERT_EQ(KDRCIF_UnLockCache(client), 0);
  ASSERT_EQ(CloseS(&client), 0);
  std::ofstream(Path("stop")).put('x');
  EXPECT_EQ(Wait(owner), 0);
  // The owner saw no client at its close.
  EXPECT_EQ(Output("owner.out").find("WARNING"), std::string::npos) << Output("owner.out");
}

TEST_F(StoreProcesses, AnOwnerKilledWithItsStoreOpenLeavesItRefusedAndUntouched) {
  long owner = Start(Args("owner-crash"), "crash.out");
  EXPECT_EQ(Wait(owner), 128 + 9) << Output("crash.out");
  std::vector<std::vector<uint8_t>> before = {ReadAll("kdr.mf"), ReadAll("kdr.seg"),
                                              ReadAll("kdr.hsh")};
  KDRC_FILETOC_T* s = nullptr;
  CaptureStdout();
  EXPECT_EQ(OpenS(KDRC_MODE_OWNER, &s), KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
  EXPECT_EQ(OpenS(KDRC_MODE_STANDALONE, &s), KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
  GetCapturedStdout();
  std::vector<std::vector<uint8_t>> after = {ReadAll("kdr.mf"), ReadAll("kdr.seg"),
                                             ReadAll("kdr.hsh")};
  EXPECT_TRUE(before == after);
  // A repairing open that cannot mark the dead owner's shared record retired (its clients
  // would read on while the files are repaired) refuses the store instead.
  KDRCIF_OPEN_PARAMS p = Params(KDRC_MODE_OWNER, kdrc_test::IfSize(), 0);
  p.recover = 1;
  // (The open's first three writes publish the names of its first mappings; the fourth is the
  // record's.)
  kdr::platform::InjectFault(kdr::platform::Sys::kPwrite, EIO, 3, 1);
  CaptureStdout();
  int rc = KDRCIF_OpenS(&p, &s);
  std::string printed = GetCapturedStdout();
  kdr::platform::ClearFaults();
  EXPECT_EQ(rc, KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED) << printed;
  // The dead owner's names were reclaimed: starting blank works.
  CaptureStdout();
  ASSERT_EQ(OpenS(KDRC_MODE_OWNER, &s, kdrc_test::IfSize(), 1), 0);
  GetCapturedStdout();
}

// A client killed at any step of moving a page to the end of the date list (the page first in
// the list, or in its middle) leaves a store whose every page can still be read, written and
// evicted, and whose date list is whole again once the page was used.
TEST_F(StoreProcesses, AClientKilledMovingAPageInTheDateListLeavesAWorkingStore) {
  for (int file : {11, 12}) {
    for (int step = 1; step <= 5; ++step) {
      SCOPED_TRACE("file " + std::to_string(file) + ", step " + std::to_string(step));
      KDRC_FILETOC_T* owner = nullptr;
      CaptureStdout();
      int opened = OpenS(KDRC_MODE_OWNER, &owner, kdrc_test::IfSize(), 1);
      GetCapturedStdout();
      ASSERT_EQ(opened, 0);
      for (int f = 11; f <= 13; ++f) {
        KDRC_PAGE_T* first = nullptr;
        ASSERT_EQ(KDRCIF_AddFile(owner, kdrc_test::Guid(f).c_str(), 1000, 0, &first), 0);
        ASSERT_EQ(Write(owner, &first, f, 0), 0);
      }
      long pid = Start(Args("client-move-kill") + " " + std::to_string(file) + " " +
                           std::to_string(step),
                       "kill.out");
      EXPECT_EQ(Wait(pid), 128 + 9) << Output("kill.out");
      int rc = KDRCIF_LockCache(owner);
      if (rc == KDRC_ERROR_METAFILE_CACHE_ABANDONED) rc = KDRCIF_LockCache(owner);
      ASSERT_EQ(rc, 0);
      for (int round = 0; round < 2; ++round) {
        for (int f = 11; f <= 13; ++f) EXPECT_EQ(ReadBack(owner, Find(owner, f), f, 0), 1) << f;
      }
      EXPECT_EQ(KDRCFile_CheckMetaFile(owner, 127), 0);
      KDRC_PAGE_T* first = Find(owner, file);
      EXPECT_EQ(Write(owner, &first, file, 1), 0);
      EXPECT_EQ(KDRCIF_ClearCache(owner), 0);
      EXPECT_EQ(KDRCFile_CheckMetaFile(owner, 127), 0);
      ASSERT_EQ(KDRCIF_UnLockCache(owner), 0);
      ASSERT_EQ(CloseS(&owner), 0);
    }
  }
}

TEST_F(StoreProcesses, ASecondOwnerIsRefused) {
  KDRC_FILETOC_T* owner = nullptr;
  ASSERT_EQ(OpenSQuietly(KDRC_MODE_OWNER, &owner), 0);
  KDRC_PAGE_T* first = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(owner, kdrc_test::Guid(5).c_str(), 1, 0, &first), 0);
  ASSERT_EQ(Write(owner, &first, 5, 0), 0);
  // Same names: the mapping objects exist. Same files under other names: the store is open.
  EXPECT_NE(Run(Args("owner-try")).find("open=23\n"), std::string::npos);
  EXPECT_NE(Run("owner-try " + dir_ + " other").find("open=103\n"), std::string::npos);
  EXPECT_EQ(ReadBack(owner, Find(owner, 5), 5, 0), 1);
  EXPECT_EQ(KDRCFile_CheckMetaFile(owner, 127), 0);
}

}  // namespace
