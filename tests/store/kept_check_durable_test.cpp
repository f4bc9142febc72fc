// The check of the blocks an owner keeps from a run that closed cleanly, which it runs beside
// the service: it ends whatever it meets, so the store opens to every client.
#include <cerrno>

#include "platform/fault.h"
#include "store/store_if_fixture.h"

namespace {

namespace pf = kdr::platform;
using kdrc_test::Guid;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

class KeptCheck : public kdrc_test::StoreIfTest {};

// A kept block whose bytes cannot be reached (here: no window of its extent file can be
// mapped, every time) is dropped and counted, never retried for ever; the rest stay.
TEST_F(KeptCheck, ABlockThatCannotBeReachedIsDroppedAndTheCheckEnds) {
  kdrc_test::IfSize size;
  size.segments = 4;
  size.maxExtentFiles = 1;
  KDRC_FILETOC_T* owner = nullptr;
  CaptureStdout();
  ASSERT_EQ(OpenS(KDRC_MODE_OWNER, &owner, size), 0);
  KDRC_PAGE_T* a = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(owner, Guid(1).c_str(), 1, 0, &a), 0);
  // Blocks 0..2 in the segment file (after the shared TOC), 3..7 in the extent file.
  for (int32_t b = 0; b < 8; ++b) ASSERT_EQ(Write(owner, &a, 1, b, 100), 0);
  ASSERT_EQ(CloseS(&owner), 0);
  KDRCIF_OPEN_PARAMS p = Params(KDRC_MODE_OWNER, size);
  p.recover = 1;
  ASSERT_EQ(KDRCIF_OpenS(&p, &owner), 0);
  open_.push_back(owner);
  GetCapturedStdout();
  ASSERT_GE(owner->keptCheckCursor, 0);

  pf::InjectFault(pf::Sys::kMmap, ENOMEM, 0, -1);
  int done = 0;
  int64_t dropped = 0;
  CaptureStdout();  // the failed maps are reported there
  for (int i = 0; i < 20 && !done; ++i) {
    int64_t bad = 0;
    KDRCIF_CheckKeptBlocks(owner, 2, &done, &bad);
    dropped += bad;
  }
  GetCapturedStdout();
  pf::ClearFaults();
  EXPECT_EQ(done, 1);
  EXPECT_EQ(dropped, 5);
  EXPECT_EQ(owner->pShared->signature, KDRC_FILESHARED_T_SIG);
  ASSERT_EQ(KDRCIF_LockCache(owner), 0);
  KDRC_PAGE_T* first = Find(owner, 1);
  for (int32_t b = 0; b < 8; ++b) EXPECT_EQ(ReadBack(owner, first, 1, b, 100), b < 3 ? 1 : -1) << b;
  ASSERT_EQ(KDRCIF_UnLockCache(owner), 0);
}

}  // namespace
