// Set-up shared by the store interface tests: stores opened through KDRCIF_OpenS in a private
// directory, and the bytes a test writes into blocks.
#ifndef KDR_TESTS_STORE_STORE_IF_FIXTURE_H_
#define KDR_TESTS_STORE_STORE_IF_FIXTURE_H_

#include <cstring>
#include <string>
#include <vector>

#include "store/segment_format.h"
#include "store/store_fixture.h"

namespace kdrc_test {

// The sizes of a store opened through the interface: two hash blocks and no extent files
// unless a test says otherwise.
struct IfSize : StoreSize {
  IfSize() {
    hashBlocks = 2;
    maxExtentFiles = 0;
  }
};

class StoreIfTest : public StoreTest {
 protected:
  void TearDown() override {
    for (KDRC_FILETOC_T*& s : open_) KDRCIF_Close(&s);
    open_.clear();
    StoreTest::TearDown();
  }

  KDRCIF_OPEN_PARAMS Params(int mode, const IfSize& s = IfSize(), int deleteFirst = 0) {
    KDRCIF_OPEN_PARAMS p{};
    p.cacheDir = dir_.data();
    p.mapName = name_.data();
    p.filePages = s.pages;
    p.segments = s.segments;
    p.hashBlocks = s.hashBlocks;
    p.totalExtentMB = s.maxExtentFiles * s.extentMB;
    p.extentMB = s.extentMB;
    p.maxExtentFiles = s.maxExtentFiles;
    p.create = 1;
    p.deleteFirst = deleteFirst;
    p.mode = mode;
    return p;
  }
  // Opens a store; on success it is closed by TearDown unless the test closes it first.
  int OpenS(int mode, KDRC_FILETOC_T** out, const IfSize& s = IfSize(), int deleteFirst = 0) {
    KDRCIF_OPEN_PARAMS p = Params(mode, s, deleteFirst);
    int rc = KDRCIF_OpenS(&p, out);
    if (rc == 0) open_.push_back(*out);
    return rc;
  }
  // OpenS with what the store prints on opening discarded.
  int OpenSQuietly(int mode, KDRC_FILETOC_T** out) {
    ::testing::internal::CaptureStdout();
    int rc = OpenS(mode, out);
    ::testing::internal::GetCapturedStdout();
    return rc;
  }
  int CloseS(KDRC_FILETOC_T** s) {
    for (KDRC_FILETOC_T*& o : open_)
      if (o == *s) o = nullptr;
    return KDRCIF_Close(s);
  }

  // Block contents that name their file and block: reading them back proves where they came
  // from.
  static std::vector<uint8_t> BlockBytes(int file, int32_t block, int32_t length = 1000) {
    std::vector<uint8_t> b(size_t(length > 0 ? length : 1));
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(file * 31 + block * 7 + int(i));
    return b;
  }
  static int Write(KDRC_FILETOC_T* s, KDRC_PAGE_T** first, int file, int32_t block,
                   int32_t length = 1000) {
    std::vector<uint8_t> b = BlockBytes(file, block, length);
    return KDRCIF_WriteBlock(s, first, block, b.data(), length);
  }
  // -1: not cached; 1: cached with the right bytes; 0: cached with wrong bytes or a failure.
  static int ReadBack(KDRC_FILETOC_T* s, KDRC_PAGE_T* first, int file, int32_t block,
                      int32_t length = 1000) {
    std::vector<uint8_t> buf(kdrc::seg::kSegmentSize);
    int32_t len = 0;
    if (KDRCIF_ReadBlock(s, first, block, buf.data(), &len) != 0) return 0;
    if (len == -1) return -1;
    std::vector<uint8_t> want = BlockBytes(file, block, length);
    return len == length && std::memcmp(buf.data(), want.data(), size_t(length)) == 0 ? 1 : 0;
  }
  static KDRC_PAGE_T* Find(KDRC_FILETOC_T* s, int file) {
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {-1, -1};
    EXPECT_EQ(KDRCIF_FindFile(s, Guid(file).c_str(), size, &first), 0);
    return first;
  }

  std::string name_ = "t";
  std::vector<KDRC_FILETOC_T*> open_;
};

}  // namespace kdrc_test

#endif  // KDR_TESTS_STORE_STORE_IF_FIXTURE_H_
