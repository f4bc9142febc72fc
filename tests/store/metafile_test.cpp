// The metafile on real files: its blank layout, page allocation and chains, block lookup and
// reads, the free-segment list rebuilt at open, and damaged files.
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "store/segment_format.h"
#include "store/store_fixture.h"

namespace {

using kdrc_test::Guid;
using kdrc_test::StoreSize;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace meta = kdrc::meta;

class Metafile : public kdrc_test::StoreTest {};

TEST_F(Metafile, NewStoreHasEveryPageOnTheFreeListAndReusesTheLastFreed) {
  ASSERT_EQ(Open(), 0);
  auto bytes = ReadAll("kdr.mf");
  ASSERT_EQ(bytes.size(), meta::FileSizeFor(64));
  EXPECT_EQ(Header()->version, 2);
  EXPECT_EQ(Header()->freeHead, 0);
  EXPECT_EQ(Header()->freeTail, 63);
  EXPECT_EQ(Header()->freeCount, 64);
  EXPECT_EQ(Header()->cleanMarker, meta::kCleanMarker);
  EXPECT_EQ(Page(63)->prev, 62);
  EXPECT_EQ(Page(63)->next, -1);
  EXPECT_EQ(Page(5)->mark, meta::kPageMark);
  EXPECT_EQ(Page(5)->hashLink, -1);
  EXPECT_EQ(toc_->freeSegCount, 8);
  EXPECT_EQ(toc_->freeSegHead, 0);

  meta::Page* a = nullptr;
  meta::Page* b = nullptr;
  ASSERT_EQ(KDRCFile_GetFreePage(toc_, &a), 0);
  ASSERT_EQ(KDRCFile_GetFreePage(toc_, &b), 0);
  EXPECT_EQ(a, Page(0));
  EXPECT_EQ(b, Page(1));
  EXPECT_EQ(a->kind, meta::kFloating);
  EXPECT_EQ(Header()->freeCount, 62);
  EXPECT_EQ(Header()->freeHead, 2);
  EXPECT_EQ(Page(2)->prev, -1);
  ASSERT_EQ(KDRCFile_FreeThisPage(toc_, a), 0);
  EXPECT_EQ(Header()->freeHead, 0);
  meta::Page* again = nullptr;
  ASSERT_EQ(KDRCFile_GetFreePage(toc_, &again), 0);
  EXPECT_EQ(again, a);
}

TEST_F(Metafile, FreeListOfALargerStoreRunsUnbrokenThroughEveryPage) {
  ASSERT_EQ(Open(StoreSize{600, 8}), 0);
  int32_t count = 0;
  int32_t prev = -1;
  for (int32_t n = Header()->freeHead; n != -1 && count <= 600; n = Page(n)->next, ++count) {
    ASSERT_EQ(Page(n)->self, n);
    ASSERT_EQ(Page(n)->prev, prev);
    prev = n;
  }
  EXPECT_EQ(count, 600);
  EXPECT_EQ(prev, Header()->freeTail);
}

TEST_F(Metafile, ThirtySevenBlocksTakeTwoPagesAndReadBack) {
  ASSERT_EQ(Open(StoreSize{64, 40}), 0);
  meta::Page* first = AddFile(Guid(1).c_str(), 37);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->used, 36);
  ASSERT_NE(first->next, -1);
  meta::Page* second = Page(first->next);
  EXPECT_EQ(second->used, 1);
  EXPECT_EQ(second->prev, KDRCX_PageNumber(toc_, first));
  EXPECT_EQ(second->firstPage, 0);
  EXPECT_EQ(std::string(second->guid, 32), Guid(1));
  EXPECT_EQ(second->entries[0].block, 36);

  std::vector<uint8_t> buf(kdrc::seg::kSegmentSize);
  int32_t len = 0;
  ASSERT_EQ(KDRCFile_ReadBlock(toc_, first, 36, buf.data(), &len), 0);
  EXPECT_EQ(len, 100);
  EXPECT_EQ(buf[0], 36);
  // The refreshed page is now the most recently used one.
  EXPECT_EQ(toc_->pDateHead[1], KDRCX_PageNumber(toc_, second));
  EXPECT_EQ(toc_->pDateHead[2], 2);
}

TEST_F(Metafile, BlockWrittenTwiceReadsTheFirstAndMissesChangeNothing) {
  ASSERT_EQ(Open(), 0);
  meta::Page* first = AddFile(Guid(2).c_str(), 0);
  ASSERT_EQ(WriteBlock(first, 5, 11), 0);
  ASSERT_EQ(WriteBlock(first, 5, 22), 0);
  EXPECT_EQ(first->used, 2);
  std::vector<uint8_t> buf(kdrc::seg::kSegmentSize);
  int32_t len = 0;
  ASSERT_EQ(KDRCFile_ReadBlock(toc_, first, 5, buf.data(), &len), 0);
  EXPECT_EQ(buf[0], 11);

  first->accessTime = 12345;
  ASSERT_EQ(KDRCFile_ReadBlock(toc_, first, 6, buf.data(), &len), 0);
  EXPECT_EQ(len, -1);
  EXPECT_EQ(first->accessTime, 12345);
  CaptureStdout();
  EXPECT_EQ(KDRCFile_ReadBlock(toc_, first, -1, buf.data(), &len), KDRC_ERROR_IF_BAD_FILE_OFFSET);
  GetCapturedStdout();
}

TEST_F(Metafile, FreeSegmentsAreRebuiltAtOpenLowestFirst) {
  ASSERT_EQ(Open(), 0);
  meta::Page* first = AddFile(Guid(3).c_str(), 3);  // segments 0, 1, 2
  meta::Page* other = AddFile(Guid(4).c_str(), 1);  // segment 3
  ASSERT_NE(other, nullptr);
  // Release the first file's page: its segments return in ascending order.
  first->kind = meta::kFloating;
  first->next = first->prev = -1;
  ASSERT_EQ(KDRCFile_FreeThisPage(toc_, first), 0);
  EXPECT_EQ(toc_->freeSegHead, 0);
  EXPECT_EQ(toc_->freeSegCount, 7);
  Close();

  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(toc_->freeSegCount, 7);
  std::vector<int32_t> order;
  for (int32_t g = toc_->freeSegHead; g != -1; g = toc_->freeSegNext[g]) order.push_back(g);
  EXPECT_EQ(order, (std::vector<int32_t>{0, 1, 2, 4, 5, 6, 7}));
  EXPECT_EQ(toc_->freeSegTail, 7);
  // The other file is still found and in the date list.
  meta::Page* found = nullptr;
  ASSERT_EQ(KDRCHash_FindFile(toc_, Guid(4).c_str(), &found), 0);
  EXPECT_EQ(found, Page(1));
  EXPECT_EQ(toc_->pDateHead[2], 1);
}

TEST_F(Metafile, OutOfPagesEvictsTheOldestThenFails) {
  ASSERT_EQ(Open(StoreSize{2, 1}), 0);
  meta::Page* first = AddFile(Guid(5).c_str(), 1);
  ASSERT_NE(first, nullptr);
  CaptureStdout();
  int32_t g = 0;
  EXPECT_EQ(KDRCFile_GetFreeSegment(toc_, &g), KDRC_ERROR_OUT_OF_DATA_SEGMENTS);
  meta::Page* p = nullptr;
  ASSERT_EQ(KDRCFile_GetFreePage(toc_, &p), 0);
  // No free page left: the least recently used page is evicted, with its segment.
  meta::Page* evicted = nullptr;
  ASSERT_EQ(KDRCFile_GetFreePage(toc_, &evicted), 0);
  EXPECT_EQ(evicted, first);
  EXPECT_EQ(evicted->kind, kdrc::meta::kFloating);
  EXPECT_EQ(toc_->freeSegCount, 1);
  EXPECT_EQ(toc_->pDateHead[2], 0);
  meta::Page* found = nullptr;
  EXPECT_EQ(KDRCHash_FindFile(toc_, Guid(5).c_str(), &found), 0);
  EXPECT_EQ(found, nullptr);
  // Both pages floating, nothing left to evict.
  EXPECT_EQ(KDRCFile_GetFreePage(toc_, &p), KDRC_ERROR_METAFILE_OUT_OF_FREE_PAGES);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("KDR_ERR(18) = KDRC_ERROR_METAFILE_OUT_OF_FREE_PAGES"), std::string::npos);
  EXPECT_NE(out.find("***TRACEBACK: KDRCFile_GetFreePage\n"), std::string::npos);
}

class DamagedMetafile : public kdrc_test::StoreTest {
 protected:
  // A closed store of 64 pages with one file of two blocks on page 0.
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(Open(), 0);
    ASSERT_NE(AddFile(Guid(9).c_str(), 2), nullptr);
    Close();
  }
  int Reopen() {
    CaptureStdout();
    int rc = Open();
    out_ = GetCapturedStdout();
    return rc;
  }
  std::string out_;
};

TEST_F(DamagedMetafile, ShortFileFailsWith77) {
  auto bytes = ReadAll("kdr.mf");
  bytes.pop_back();
  WriteAll("kdr.mf", bytes);
  EXPECT_EQ(Reopen(), KDRC_ERROR_METAFILE_MISSING_FILE_PAGE);
  EXPECT_NE(out_.find("***ERROR(77): KDRC_ERROR_METAFILE_MISSING_FILE_PAGE\n"), std::string::npos);
}

TEST_F(DamagedMetafile, HeaderVersionOneFailsWith36) {
  Poke32("kdr.mf", 0, 1);
  EXPECT_EQ(Reopen(), KDRC_ERROR_BAD_TYPE_SIG);
  EXPECT_NE(out_.find("***Error: BadSig: File Header Version:KDRCFile:"), std::string::npos) << out_;
}

TEST_F(DamagedMetafile, PageCountBeyondTheFileFailsWith77) {
  Poke32("kdr.mf", offsetof(meta::Header, filePages), 1000000);
  EXPECT_EQ(Reopen(), KDRC_ERROR_METAFILE_MISSING_FILE_PAGE);
}

TEST_F(DamagedMetafile, SegmentBeyondTheMapIsRejected) {
  uint64_t entry = meta::PageOffset(0) + offsetof(meta::Page, entries) +
                   offsetof(meta::SegmentEntry, segment);
  Poke32("kdr.mf", entry, 1 << 30);
  EXPECT_EQ(Reopen(), KDRC_ERROR_METAFILE_SEGMENT_OFFSET);
  EXPECT_NE(out_.find(":= 1073741824"), std::string::npos) << out_;
  EXPECT_NE(out_.find("***TRACEBACK: KDRCFile_GetFreeSegmentMap\n"), std::string::npos);
  EXPECT_NE(out_.find("***TRACEBACK: KDRCFile_Open\n"), std::string::npos);
}

TEST_F(DamagedMetafile, DuplicateSegmentIsRejected) {
  uint64_t entry1 = meta::PageOffset(0) + offsetof(meta::Page, entries) + 12 +
                    offsetof(meta::SegmentEntry, segment);
  Poke32("kdr.mf", entry1, 0);
  EXPECT_EQ(Reopen(), KDRC_ERROR_METAFILE_DUPLICATE_SEGMENT_OFFSET);
}

TEST_F(DamagedMetafile, EntryCountBeyondThePageIsRejected) {
  Poke32("kdr.mf", meta::PageOffset(0) + offsetof(meta::Page, used), 200);
  EXPECT_EQ(Reopen(), KDRC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG);
}

TEST_F(DamagedMetafile, WrongOwnNumberIsRejected) {
  Poke32("kdr.mf", meta::PageOffset(7) + offsetof(meta::Page, self), 8);
  EXPECT_EQ(Reopen(), KDRC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET);
}

TEST_F(DamagedMetafile, ChainLinksOutOfRangeOrInALoopAreCodes) {
  // The file's page links to a page beyond the store, then to itself.
  Poke32("kdr.mf", meta::PageOffset(0) + offsetof(meta::Page, next), 5000);
  ASSERT_EQ(Reopen(), 0);
  std::vector<uint8_t> buf(kdrc::seg::kSegmentSize);
  int32_t len = 0;
  CaptureStdout();
  EXPECT_EQ(KDRCFile_ReadBlock(toc_, Page(0), 77, buf.data(), &len),
            KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  Page(0)->next = 0;
  EXPECT_EQ(KDRCFile_ReadBlock(toc_, Page(0), 77, buf.data(), &len),
            KDRC_ERROR_METAFILE_NEXT_OFFSET_PAGE_DOES_NOT_MATCH_NEXT_PAGE_OFFSET);
  meta::Page* fresh = nullptr;
  ASSERT_EQ(KDRCFile_GetFreePage(toc_, &fresh), 0);
  EXPECT_EQ(KDRCFile_AllocatePage(toc_, Page(0), fresh),
            KDRC_ERROR_METAFILE_NEXT_OFFSET_PAGE_DOES_NOT_MATCH_NEXT_PAGE_OFFSET);
  EXPECT_EQ(fresh->kind, meta::kFloating);  // a refused chain leaves the page as it was
  Page(0)->next = -1;
  GetCapturedStdout();
}

TEST_F(DamagedMetafile, PagePointersFromOutsideTheStoreAreRefused) {
  ASSERT_EQ(Reopen(), 0);
  meta::Page outside{};
  outside.kind = meta::kFloating;
  CaptureStdout();
  EXPECT_EQ(KDRCFile_FreeThisPage(toc_, &outside), KDRC_ERROR_UTIL_BAD_VM_POINTER);
  auto* misaligned = reinterpret_cast<meta::Page*>(reinterpret_cast<uint8_t*>(Page(3)) + 4);
  EXPECT_EQ(KDRCFile_AllocatePage(toc_, nullptr, misaligned), KDRC_ERROR_UTIL_BAD_VM_POINTER);
  GetCapturedStdout();
}

TEST_F(Metafile, SystemCallFailuresWhileCreatingAreCodesWithTheOsError) {
  using kdr::platform::InjectFault;
  using kdr::platform::Sys;
  struct Case { Sys call; int skip; int code; } cases[] = {
      {Sys::kPwrite, 0, KDRC_ERROR_FILE_CANNOT_WRITE_EMPTY_INDEX_FILE},    // the header
      {Sys::kPwrite, 1, KDRC_ERROR_METAFILE_KDRC_CANNOT_CREATE_META_FILE}, // the pages
      {Sys::kOpen, 0, KDRC_ERROR_METAFILE_KDRC_CANNOT_CREATE_META_FILE},
      {Sys::kMmap, 0, KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING},
  };
  for (const Case& c : cases) {
    InjectFault(c.call, ENOSPC, c.skip);
    CaptureStdout();
    EXPECT_EQ(Open(), c.code);
    std::string out = GetCapturedStdout();
    kdr::platform::ClearFaults();
    EXPECT_NE(out.find("OS_ERR      = (28)"), std::string::npos) << out;
    EXPECT_NE(out.find("***TRACEBACK: KDRCFile_Open\n"), std::string::npos) << out;
    EXPECT_EQ(toc_, nullptr);
    std::filesystem::remove(Path("kdr.mf"));
  }
  // After the failures a store opens normally: nothing was left holding a name.
  ASSERT_EQ(Open(), 0);
}

TEST_F(DamagedMetafile, FreeListHeadOutsideTheStoreIsACode) {
  Poke32("kdr.mf", offsetof(meta::Header, freeHead), 64);
  ASSERT_EQ(Reopen(), 0);
  meta::Page* p = nullptr;
  CaptureStdout();
  EXPECT_EQ(KDRCFile_GetFreePage(toc_, &p),
            KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  Header()->freeHead = 1;
  Page(1)->next = 9999;  // the next free page is beyond the store
  EXPECT_EQ(KDRCFile_GetFreePage(toc_, &p), KDRC_ERROR_CORRUPT_FREE_PAGE_LIST);
  GetCapturedStdout();
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(Header()->freeHead, 1);
}

TEST(CacheParameters, ClampsAndRounds) {
  KDRC_CACHE_PARAMS p{1, 0, 0, 100, 20, 0};
  KDRCX_ClampCacheParameters(&p, KDRC_MODE_STANDALONE);
  EXPECT_EQ(p.filePages, 1024);
  EXPECT_EQ(p.segments, 1800);
  EXPECT_EQ(p.hashBlocks, 15);
  EXPECT_EQ(p.extentMB, 16);        // (20 + 8) & ~15
  EXPECT_EQ(p.maxExtentFiles, 7);   // ceil(100 / 16)
  EXPECT_EQ(p.totalExtentMB, 112);

  KDRC_CACHE_PARAMS big{3000000, 1, 1, 0, 16, 0};
  KDRCX_ClampCacheParameters(&big, KDRC_MODE_OWNER);
  EXPECT_EQ(big.filePages, 2097151);
  EXPECT_EQ(big.segments, int32_t((int64_t(2097151) * 12 + 413) / 16384 + 2));
  EXPECT_EQ(big.maxExtentFiles, 0);
  EXPECT_EQ(big.totalExtentMB, 0);
}

}  // namespace
