// Segment file and extent files on real files: names, sizes, growth, the free-segment list
// and writes that land in the right file at the right offset.
#include <filesystem>
#include <string>
#include <vector>

#include "store/segment_format.h"
#include "store/store_fixture.h"

namespace {

using kdrc_test::StoreSize;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace seg = kdrc::seg;

class Segments : public kdrc_test::StoreTest {
 protected:
  std::vector<int32_t> FreeList() const {
    std::vector<int32_t> v;
    for (int32_t g = toc_->freeSegHead; g != -1 && v.size() < 1000; g = toc_->freeSegNext[g])
      v.push_back(g);
    return v;
  }
  // Takes every free segment, leaving the list empty.
  void Drain() {
    int32_t g = 0;
    while (toc_->freeSegCount > 0) ASSERT_EQ(KDRCFile_GetFreeSegment(toc_, &g), 0);
  }
};

TEST(ExtentNames, ThreeDigitsThenSeven) {
  char buf[64];
  KDRCX_ExtentName(buf, "kdr.ext", 0);
  EXPECT_STREQ(buf, "kdr.ext000");
  KDRCX_ExtentName(buf, "kdr.ext", 999);
  EXPECT_STREQ(buf, "kdr.ext999");
  KDRCX_ExtentName(buf, "kdr.ext", 1000);
  EXPECT_STREQ(buf, "kdr.ext0001000");
}

TEST_F(Segments, NewSegmentFileIsZeroFilledAndAShortOneIsRefused) {
  ASSERT_EQ(Open(), 0);
  Close();
  auto bytes = ReadAll("kdr.seg");
  ASSERT_EQ(bytes.size(), size_t(8) * seg::kSegmentSize);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), std::ptrdiff_t(bytes.size()));
  bytes.pop_back();
  WriteAll("kdr.seg", bytes);
  CaptureStdout();
  EXPECT_EQ(Open(), KDRC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("***ERROR(44): KDRC_ERROR_SEGMENT_FILE_HEADER_IS_WRONG_SIZE\n"), std::string::npos);
  EXPECT_NE(out.find("***TRACEBACK: KDRCSegment_Open\n"), std::string::npos);
}

TEST_F(Segments, MissingSegmentFileWithoutCreateIs43) {
  ASSERT_EQ(Open(), 0);
  Close();
  std::filesystem::remove(Path("kdr.seg"));
  CaptureStdout();
  EXPECT_EQ(Open(StoreSize(), "t", 0), KDRC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED);
  GetCapturedStdout();
}

TEST_F(Segments, FreedSegmentsKeepAscendingOrderAndASecondFreeIsRefused) {
  ASSERT_EQ(Open(StoreSize{64, 12}), 0);
  Drain();
  kdrc::meta::Page* page = Page(0);
  for (int32_t g : {5, 3, 9, 4}) ASSERT_EQ(KDRCSegment_FreeThisSegment(toc_, page, g), 0);
  EXPECT_EQ(FreeList(), (std::vector<int32_t>{3, 4, 5, 9}));
  EXPECT_EQ(toc_->freeSegHead, 3);
  EXPECT_EQ(toc_->freeSegTail, 9);
  EXPECT_EQ(toc_->freeSegCount, 4);

  CaptureStdout();
  for (int32_t g : {3, 4, 9})
    EXPECT_EQ(KDRCSegment_FreeThisSegment(toc_, page, g),
              KDRC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_AND_IN_THE_FREE_LIST);
  EXPECT_EQ(KDRCSegment_FreeThisSegment(toc_, page, 12), KDRC_ERROR_SEGMENT_BAD_OFFSET);
  EXPECT_EQ(KDRCSegment_FreeThisSegment(toc_, page, -1), KDRC_ERROR_SEGMENT_BAD_OFFSET);
  EXPECT_EQ(KDRCSegment_FreeThisSegment(toc_, nullptr, 1), KDRC_EROR_NULL_PARAMETER);
  GetCapturedStdout();
  EXPECT_EQ(FreeList(), (std::vector<int32_t>{3, 4, 5, 9}));
  EXPECT_EQ(toc_->freeSegCount, 4);

  int32_t g = -1;
  ASSERT_EQ(KDRCFile_GetFreeSegment(toc_, &g), 0);
  EXPECT_EQ(g, 3);
  ASSERT_EQ(KDRCSegment_FreeThisSegment(toc_, page, 3), 0);  // taken, so free again
  EXPECT_EQ(FreeList(), (std::vector<int32_t>{3, 4, 5, 9}));
}

TEST_F(Segments, GrowthAddsAnExtentFileAndWritesLandInIt) {
  ASSERT_EQ(Open(), 0);
  Drain();
  ASSERT_EQ(KDRC_SegmentExpandExtents(toc_), 0);
  EXPECT_EQ(toc_->pShared->extentFiles, 1);
  EXPECT_EQ(toc_->pShared->extentSegments, seg::kGrowSegments);
  EXPECT_EQ(Header()->extentSegments, seg::kGrowSegments);
  EXPECT_EQ(Header()->extentFiles, 1);
  EXPECT_EQ(toc_->freeSegHead, 8);
  EXPECT_EQ(toc_->freeSegTail, 8 + seg::kGrowSegments - 1);
  EXPECT_EQ(std::filesystem::file_size(Path("kdr.ext000")),
            uintmax_t(seg::kGrowSegments) * seg::kSegmentSize);

  std::vector<uint8_t> data(seg::kSegmentSize, 0xA5);
  CaptureStdout();
  EXPECT_EQ(KDRCSegment_WriteSegmentData(toc_, data.data(), 8 + 256, 10), KDRC_ERROR_SEGMENT_BAD_OFFSET);
  EXPECT_EQ(KDRCSegment_WriteSegmentData(toc_, data.data(), -1, 10), KDRC_ERROR_SEGMENT_BAD_OFFSET);
  EXPECT_EQ(KDRCSegment_WriteSegmentData(toc_, data.data(), 9, seg::kSegmentSize + 1),
            KDRC_ERROR_IF_BAD_LENGTH);
  GetCapturedStdout();
  int32_t taken = -1;
  ASSERT_EQ(KDRCFile_GetFreeSegment(toc_, &taken), 0);
  EXPECT_EQ(taken, 8);
  ASSERT_EQ(KDRCSegment_WriteSegmentData(toc_, data.data(), 8, 10), 0);      // extent 0, seg 0
  ASSERT_EQ(KDRCSegment_WriteSegmentData(toc_, data.data(), 8 + 3, 20), 0);  // extent 0, seg 3
  ASSERT_EQ(KDRCSegment_WriteSegmentData(toc_, data.data(), 7, 5), 0);       // segment file
  // A cached block in an extent segment reads back through the window cache.
  kdrc::meta::Page* first = AddFile(kdrc_test::Guid(8).c_str(), 0);
  ASSERT_EQ(WriteBlock(first, 0, 0x3C, 300), 0);
  EXPECT_EQ(first->entries[0].segment, 8 + 1);  // 8 was taken above, lowest free first
  std::vector<uint8_t> back(seg::kSegmentSize);
  int32_t len = 0;
  ASSERT_EQ(KDRCFile_ReadBlock(toc_, first, 0, back.data(), &len), 0);
  EXPECT_EQ(len, 300);
  EXPECT_EQ(back[299], 0x3C);
  Close();
  auto ext = ReadAll("kdr.ext000");
  EXPECT_EQ(ext[9], 0xA5);
  EXPECT_EQ(ext[10], 0);
  EXPECT_EQ(ext[3 * seg::kSegmentSize + 19], 0xA5);
  EXPECT_EQ(ext[3 * seg::kSegmentSize + 20], 0);
  auto segf = ReadAll("kdr.seg");
  EXPECT_EQ(segf[7 * seg::kSegmentSize + 4], 0xA5);

  // The store reopens with its extent file and the extent counts from the header.
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(toc_->pShared->extentFiles, 1);
  ASSERT_NE(toc_->pSegmentToc->pExtents[0], nullptr);
  // Segment 8 was written but never recorded in a page: only the file's segment is in use.
  EXPECT_EQ(toc_->freeSegCount, 8 + seg::kGrowSegments - 1);
}

TEST_F(Segments, NoGrowthBeyondTheMaximumOfExtentFiles) {
  StoreSize s;
  s.maxExtentFiles = 0;
  ASSERT_EQ(Open(s), 0);
  Drain();
  EXPECT_EQ(KDRC_SegmentExpandExtents(toc_), 0);
  EXPECT_EQ(toc_->freeSegHead, -1);
  EXPECT_EQ(toc_->freeSegCount, 0);
  EXPECT_FALSE(std::filesystem::exists(Path("kdr.ext000")));
}

TEST_F(Segments, NewCacheDeletesExtentFilesUpToTheFirstGap) {
  for (const char* n : {"kdr.ext000", "kdr.ext001", "kdr.ext002", "kdr.ext004"})
    WriteAll(n, std::vector<uint8_t>(16, 1));
  ASSERT_EQ(Open(StoreSize(), "t", 1, 1), 0);
  EXPECT_FALSE(std::filesystem::exists(Path("kdr.ext000")));
  EXPECT_FALSE(std::filesystem::exists(Path("kdr.ext002")));
  EXPECT_TRUE(std::filesystem::exists(Path("kdr.ext004")));
  EXPECT_EQ(toc_->pShared->extentFiles, 0);
  EXPECT_EQ(toc_->pShared->extentSegments, 0);
}

TEST_F(Segments, FailedCreateOfAnExtentFileLeavesNoRecordBehind) {
  ASSERT_EQ(Open(), 0);
  Drain();
  kdr::platform::InjectFault(kdr::platform::Sys::kOpen, EACCES);
  CaptureStdout();
  EXPECT_EQ(KDRC_SegmentExpandExtents(toc_), KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("OS_ERR      = (13)"), std::string::npos) << out;
  EXPECT_EQ(toc_->pSegmentToc->pExtents[0], nullptr);
}

}  // namespace
