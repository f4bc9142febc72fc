// The cache lock: a named mutex shared by the owner of a store and its clients, waited for at
// most 5000 ms, and left usable by a holder that died.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "store/store_fixture.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

class CacheLock : public kdrc_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(Open(), 0);
    toc_->sharedStructs = 1;  // an owner that shares its structures uses the mutex
  }
  void TearDown() override {
    for (KDRC_FILETOC_T* c : clients_) CloseClient(c);
    if (toc_ != nullptr) {
      KDRCFile_UnLockCache(toc_);
      toc_->sharedStructs = 0;
    }
    StoreTest::TearDown();
  }
  // A TOC that uses the mutex of the store named "t" the way a client process does.
  KDRC_FILETOC_T* Client() {
    KDRC_FILETOC_T* c = nullptr;
    EXPECT_EQ(KDRCTOC_Open(&c, KDRC_MODE_CLIENT), 0);
    c->wellKnownName = strdup("t");
    c->client = 1;
    clients_.push_back(c);
    return c;
  }
  void CloseClient(KDRC_FILETOC_T* c) {
    KDRC_FILESHARED_T* shared = c->pShared;
    EXPECT_EQ(KDRCFile_Close(c), 0);
    free(shared);
  }
  // Takes and releases the lock through `c` on another thread; the result of taking it.
  static int LockAndUnlockElsewhere(KDRC_FILETOC_T* c) {
    int rc = -1;
    std::thread([&] {
      rc = KDRCFile_LockCache(c);
      KDRCFile_UnLockCache(c);
    }).join();
    return rc;
  }
  std::vector<KDRC_FILETOC_T*> clients_;
};

TEST_F(CacheLock, StandAloneStoresDoNotLock) {
  toc_->sharedStructs = 0;
  EXPECT_EQ(KDRCFile_LockCache(toc_), 0);
  EXPECT_EQ(toc_->hMutex, nullptr);
  EXPECT_EQ(KDRCFile_UnLockCache(toc_), 0);
}

TEST_F(CacheLock, LockingTwiceWaitsOnceAndOneUnlockReleases) {
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);
  EXPECT_EQ(toc_->lockHeld, 1);
  ASSERT_EQ(KDRCFile_UnLockCache(toc_), 0);
  EXPECT_EQ(toc_->lockHeld, 0);
  // Released for real: another process's handle gets it at once.
  KDRC_FILETOC_T* c = Client();
  EXPECT_EQ(LockAndUnlockElsewhere(c), 0);
}

TEST_F(CacheLock, ClientsNeedTheOwnersMutexAndAnUnlockNeedsALock) {
  KDRC_FILETOC_T* c = Client();
  CaptureStdout();
  EXPECT_EQ(KDRCFile_UnLockCache(c), KDRC_ERROR_METAFILE_CACHE_LOCK_IS_NOT_INITIALIZED_WITH_A_LOCK_CALL);
  EXPECT_EQ(KDRCFile_LockCache(c), KDRC_ERROR_METAFILE_CANNOT_OPEN_CACHE_MUTEX);
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);  // the owner creates it
  // A second owner of the same name is refused.
  KDRC_FILETOC_T* other = Client();
  other->client = 0;
  other->sharedStructs = 1;
  EXPECT_EQ(KDRCFile_LockCache(other), KDRC_ERROR_METAFILE_CACHE_MUTEX_ALREADY_EXISTS);
  other->sharedStructs = 0;
  other->client = 1;
  GetCapturedStdout();
}

TEST_F(CacheLock, PinnedLockStaysHeldUntilThePinIsCleared) {
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);
  toc_->lockPinned = 1;
  ASSERT_EQ(KDRCFile_UnLockCache(toc_), 0);
  EXPECT_EQ(toc_->lockHeld, 1);
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);
  toc_->lockPinned = 0;
  ASSERT_EQ(KDRCFile_UnLockCache(toc_), 0);
  EXPECT_EQ(toc_->lockHeld, 0);
  KDRC_FILETOC_T* c = Client();
  EXPECT_EQ(LockAndUnlockElsewhere(c), 0);  // not owned twice: the one release freed it
}

TEST_F(CacheLock, HolderThatNeverReleasesTimesTheWaiterOutAfterFiveSeconds) {
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);
  KDRC_FILETOC_T* c = Client();
  int rc = -1;
  auto start = std::chrono::steady_clock::now();
  CaptureStdout();
  std::thread([&] { rc = KDRCFile_LockCache(c); }).join();
  std::string out = GetCapturedStdout();
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(rc, KDRC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT);
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_NE(out.find("KDR_ERR(96) = KDRC_ERROR_METAFILE_CACHE_MUTEX_TIMED_OUT"), std::string::npos);
  EXPECT_EQ(c->lockHeld, 0);
}

TEST_F(CacheLock, HolderKilledWithTheLockLeavesAbandonedThenAUsableMutex) {
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);
  ASSERT_EQ(KDRCFile_UnLockCache(toc_), 0);
  std::string cmd = std::string(KDR_STORE_LOCK_HELPER) + " t";
  int status = std::system(cmd.c_str());
  // The helper died by SIGKILL (the shell reports 128 + 9), after it had taken the mutex.
  ASSERT_NE(status, -1);
  ASSERT_EQ(WEXITSTATUS(status), 128 + 9) << status;
  CaptureStdout();
  EXPECT_EQ(KDRCFile_LockCache(toc_), KDRC_ERROR_METAFILE_CACHE_ABANDONED);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("KDR_ERR(97) = KDRC_ERROR_METAFILE_CACHE_ABANDONED"), std::string::npos);
  EXPECT_EQ(toc_->lockHeld, 0);
  ASSERT_EQ(KDRCFile_LockCache(toc_), 0);
  EXPECT_EQ(toc_->lockHeld, 1);
  ASSERT_EQ(KDRCFile_UnLockCache(toc_), 0);
  KDRC_FILETOC_T* c = Client();
  EXPECT_EQ(LockAndUnlockElsewhere(c), 0);
}

}  // namespace
