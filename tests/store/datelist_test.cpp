// The date list: the order it is rebuilt in at open, ties, pinning and eviction of single pages.
#include <random>

#include "store/store_fixture.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace meta = kdrc::meta;
using kdrc_test::Guid;

class DateList : public kdrc_test::StoreTest {
 protected:
  std::vector<int32_t> Order() const {
    std::vector<int32_t> out;
    for (int32_t n = toc_->pDateHead[0]; n != -1 && out.size() <= size_t(toc_->pageCount);
         n = toc_->dateNext[n])
      out.push_back(n);
    return out;
  }
  std::vector<int32_t> Backwards() const {
    std::vector<int32_t> out;
    for (int32_t n = toc_->pDateHead[1]; n != -1 && out.size() <= size_t(toc_->pageCount);
         n = toc_->datePrev[n])
      out.insert(out.begin(), n);
    return out;
  }
};

TEST_F(DateList, RebuildGivesTheOrderOfInsertingEveryPageInTurn) {
  kdrc_test::StoreSize s;
  s.pages = 3000;
  ASSERT_EQ(Open(s), 0);
  // Half the times from a few values, so many pages tie, half from the whole range, so every
  // digit of the time differs somewhere; some pages are not members (time 0).
  std::mt19937 rng(7);
  std::vector<int32_t> times(3000);
  for (int32_t& t : times) {
    uint32_t r = rng();
    t = r % 5 == 0 ? 0 : r % 2 ? int32_t(1000 + rng() % 40) : int32_t(1 + rng() % 2000000000);
  }
  times[17] = -5;  // a damaged time still sorts the way insertion compares it
  auto load = [&] {
    ASSERT_EQ(KDRCX_InitEmptyDateList(toc_), 0);
    for (int32_t n = 0; n < 3000; ++n) toc_->lastFileAccess[n] = times[size_t(n)];
  };
  ASSERT_NO_FATAL_FAILURE(load());
  ASSERT_EQ(KRDCX_SortTheDateList(toc_), 0);
  std::vector<int32_t> sorted = Order();
  EXPECT_EQ(Backwards(), sorted);
  int32_t count = toc_->pDateHead[2];

  ASSERT_NO_FATAL_FAILURE(load());
  for (int32_t n = 0; n < 3000; ++n) {
    if (times[size_t(n)] != 0) {
      ASSERT_EQ(KRDCX_InsertPageInDateList(toc_, n, times[size_t(n)]), 0);
    }
  }
  EXPECT_EQ(Order(), sorted);
  EXPECT_EQ(toc_->pDateHead[2], count);
  EXPECT_EQ(sorted.front(), 17);

  // Sorting a list that is not empty inserts into it and refuses members.
  CaptureStdout();
  EXPECT_EQ(KRDCX_SortTheDateList(toc_), KDRC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST);
  GetCapturedStdout();
}

TEST_F(DateList, TiesKeepInsertionOrderAndPinningTheOnlyMemberEmptiesTheList) {
  ASSERT_EQ(Open(), 0);
  ASSERT_EQ(KDRCX_InitEmptyDateList(toc_), 0);
  ASSERT_EQ(KRDCX_InsertPageInDateList(toc_, 5, 100), 0);
  ASSERT_EQ(KRDCX_InsertPageInDateList(toc_, 2, 100), 0);
  ASSERT_EQ(KRDCX_InsertPageInDateList(toc_, 9, 50), 0);
  ASSERT_EQ(KRDCX_InsertPageInDateList(toc_, 7, 100), 0);
  ASSERT_EQ(KRDCX_InsertPageInDateList(toc_, 3, 75), 0);
  EXPECT_EQ(Order(), (std::vector<int32_t>{9, 3, 5, 2, 7}));
  CaptureStdout();
  EXPECT_EQ(KRDCX_InsertPageInDateList(toc_, 2, 1), KDRC_ERROR_METAFILE_INSERT_ALREADY_IN_DATELIST);
  GetCapturedStdout();

  // Evicting from an empty list does nothing.
  ASSERT_EQ(KDRCX_InitEmptyDateList(toc_), 0);
  EXPECT_EQ(KRDCFile_DeleteOldest(toc_), 0);
  EXPECT_EQ(Header()->freeCount, 64);

  kdrc::meta::Page* a = AddFile(Guid(1).c_str(), 1);
  EXPECT_EQ(Order(), (std::vector<int32_t>{0}));
  ASSERT_EQ(KRDCFile_LockPage(toc_, a), 0);
  EXPECT_EQ(toc_->pDateHead[0], -1);
  EXPECT_EQ(toc_->pDateHead[1], -1);
  EXPECT_EQ(toc_->pDateHead[2], 0);
  // A pinned page that is used keeps out of the list.
  ASSERT_EQ(KDRCX_UpdatePageAccessTime(toc_, a), 0);
  EXPECT_EQ(toc_->pDateHead[2], 0);
  EXPECT_EQ(toc_->dateNext[0], -1);
}

TEST_F(DateList, EvictingAFilesFirstPageLeavesItsSecondPageFirst) {
  kdrc_test::StoreSize s;
  s.segments = 200;
  ASSERT_EQ(Open(s), 0);
  kdrc::meta::Page* a = AddFile(Guid(1).c_str(), 80);  // three pages: 36 + 36 + 8 entries
  kdrc::meta::Page* b = AddFile(Guid(2).c_str(), 1);
  ASSERT_EQ(Order(), (std::vector<int32_t>{0, 1, 2, 3}));
  int32_t second = a->next;
  ASSERT_EQ(KRDCFile_DeleteOldest(toc_), 0);
  kdrc::meta::Page* first = nullptr;
  ASSERT_EQ(KDRCHash_FindFile(toc_, Guid(1).c_str(), &first), 0);
  ASSERT_EQ(first, Page(second));
  EXPECT_EQ(first->firstPage, 1);
  EXPECT_EQ(first->prev, -1);
  // Its blocks are gone, the other pages' blocks stay.
  std::vector<uint8_t> buf(16384);
  int32_t len = 0;
  ASSERT_EQ(KDRCFile_ReadBlock(toc_, first, 0, buf.data(), &len), 0);
  EXPECT_EQ(len, -1);
  ASSERT_EQ(KDRCFile_ReadBlock(toc_, first, 40, buf.data(), &len), 0);
  EXPECT_EQ(len, 100);
  EXPECT_EQ(buf[0], 40);
  // A middle page that its file's chain does not hold: 72.
  kdrc::meta::Page* last = Page(first->next);
  first->next = -1;
  CaptureStdout();
  EXPECT_EQ(KRDCX_RemovePageFromFilePageList(toc_, last), KDRC_ERROR_METAFILE_FILE_NOT_IN_FILE_PAGE_LIST);
  EXPECT_EQ(KRDCFile_DeleteThisPage(toc_, Page(5)), KDRC_ERROR_METAFILE_PAGE_IS_NOT_IN_THE_DATELIST);
  GetCapturedStdout();
  (void)b;
}

}  // namespace
