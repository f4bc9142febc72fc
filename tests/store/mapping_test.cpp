// OS mappings, the extent window cache and the path helpers.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/shared_objects.h"
#include "store/segment_format.h"
#include "store/store_fixture.h"

namespace {

using kdrc_test::StoreSize;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace seg = kdrc::seg;

class Mapping : public kdrc_test::StoreTest {
 protected:
  // A file of `n` segments whose segment k is filled with the byte k + 1.
  std::string MakeSegments(const char* name, int n) {
    std::vector<uint8_t> bytes;
    for (int k = 0; k < n; ++k) bytes.insert(bytes.end(), seg::kSegmentSize, uint8_t(k + 1));
    WriteAll(name, bytes);
    return Path(name);
  }
  // Four extent files of two segments each, recorded in the open store's segment TOC.
  void MakeExtents() {
    for (int k = 0; k < 4; ++k) {
      char name[32];
      KDRCX_ExtentName(name, "kdr.ext", k);
      MakeSegments(name, 2);
      ASSERT_EQ(KDRCSegment_AddExtentFileRecord(toc_, "t", 0, k), 0);
    }
  }
};

TEST_F(Mapping, WholeFileAndWindowsWithThePointerPastTheAlignedStart) {
  ASSERT_EQ(Open(), 0);
  std::string path = MakeSegments("data", 3);
  KDRC_VIEW view = nullptr;
  void* mem = nullptr;
  KDRC_OSFILE fd = KDRC_NO_FILE;
  KDRC_MAPHANDLE map = nullptr;
  ASSERT_EQ(KDRCX_MapOSFile(toc_, path.c_str(), "m1", 0, -1, &view, &mem, &fd, &map), 0);
  EXPECT_EQ(mem, kdr::platform::ViewBase(view));
  EXPECT_EQ(static_cast<uint8_t*>(mem)[0], 1);
  EXPECT_EQ(static_cast<uint8_t*>(mem)[2 * seg::kSegmentSize], 3);
  ASSERT_EQ(KDRCX_UnMapOSFile(toc_, &view, &fd, &map, 0), 0);
  EXPECT_EQ(view, nullptr);
  EXPECT_EQ(map, nullptr);
  EXPECT_EQ(fd, KDRC_NO_FILE);

  ASSERT_EQ(KDRCX_MapOSFile(toc_, path.c_str(), "m1", 0, 1, &view, &mem, &fd, &map), 0);
  auto base = static_cast<uint8_t*>(kdr::platform::ViewBase(view));
  EXPECT_EQ(static_cast<uint8_t*>(mem) - base, seg::kSegmentSize % KDRCX_AllocationGranularity());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % KDRCX_AllocationGranularity(), 0u);
  EXPECT_EQ(static_cast<uint8_t*>(mem)[0], 2);
  EXPECT_EQ(static_cast<uint8_t*>(mem)[seg::kSegmentSize - 1], 2);
  ASSERT_EQ(KDRCX_UnMapOSFile(toc_, &view, &fd, &map, 0), 0);
}

TEST_F(Mapping, SecondCreatorOfANameGets23AndKeepsNoHandle) {
  ASSERT_EQ(Open(), 0);
  std::string path = MakeSegments("data", 1);
  KDRC_VIEW v1 = nullptr, v2 = nullptr;
  void *m1 = nullptr, *m2 = nullptr;
  KDRC_OSFILE f1 = KDRC_NO_FILE, f2 = KDRC_NO_FILE;
  KDRC_MAPHANDLE h1 = nullptr, h2 = nullptr;
  ASSERT_EQ(KDRCX_MapOSFile(toc_, path.c_str(), "dup", 0, -1, &v1, &m1, &f1, &h1), 0);
  CaptureStdout();
  EXPECT_EQ(KDRCX_MapOSFile(toc_, path.c_str(), "dup", 0, -1, &v2, &m2, &f2, &h2),
            KDRC_ERROR_FILE_MAPPING_OBJECT_ALREADY_EXISTS);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("KDR_ERR(23) = KDRC_ERROR_FILE_MAPPING_OBJECT_ALREADY_EXISTS"), std::string::npos);
  EXPECT_EQ(h2, nullptr);
  EXPECT_EQ(f2, KDRC_NO_FILE);
  // A client opens the first creator's object by name and sees its bytes.
  ASSERT_EQ(KDRCX_MapOSFile(toc_, path.c_str(), "dup", 1, -1, &v2, &m2, &f2, &h2), 0);
  EXPECT_EQ(f2, KDRC_NO_FILE);
  static_cast<uint8_t*>(m1)[5] = 0x77;
  EXPECT_EQ(static_cast<uint8_t*>(m2)[5], 0x77);
  ASSERT_EQ(KDRCX_UnMapOSFile(toc_, &v2, &f2, &h2, 0), 0);
  ASSERT_EQ(KDRCX_UnMapOSFile(toc_, &v1, &f1, &h1, 0), 0);
  // With every handle closed the name is free again.
  ASSERT_EQ(KDRCX_MapOSFile(toc_, path.c_str(), "dup", 0, -1, &v1, &m1, &f1, &h1), 0);
  ASSERT_EQ(KDRCX_UnMapOSFile(toc_, &v1, &f1, &h1, 0), 0);
  CaptureStdout();
  EXPECT_EQ(KDRCX_MapOSFile(toc_, path.c_str(), "gone", 1, -1, &v1, &m1, &f1, &h1),
            KDRC_ERROR_CLIENT_CANNOT_MAP_VM_FILE);
  GetCapturedStdout();
}

TEST_F(Mapping, LeastRecentlyUsedSlotIsReusedAndHitsMoveToTheHead) {
  ASSERT_EQ(Open(), 0);
  MakeExtents();
  ASSERT_EQ(toc_->numExtentMaps, 3);
  KDRC_EXTENTMAP_T* m[4] = {};
  for (int k = 0; k < 3; ++k) ASSERT_EQ(KDRCX_GetExtentMapping(toc_, k, 1, &m[k]), 0);
  EXPECT_NE(m[0], m[1]);
  EXPECT_NE(m[1], m[2]);
  auto* window0 = toc_->pSegmentToc->pExtents[0]->pWindow;
  EXPECT_EQ(window0[0], 2);  // segment 1 of extent file 0
  KDRC_EXTENTMAP_T* again = nullptr;
  ASSERT_EQ(KDRCX_GetExtentMapping(toc_, 1, 1, &again), 0);
  EXPECT_EQ(again, m[1]);
  EXPECT_EQ(&toc_->pExtentMaps[toc_->mapHead], m[1]);
  ASSERT_EQ(KDRCX_GetExtentMapping(toc_, 3, 0, &m[3]), 0);
  EXPECT_EQ(m[3], m[0]);  // file 0's slot was the least recently used
  EXPECT_EQ(m[3]->extent, 3);
  EXPECT_EQ(toc_->pSegmentToc->pExtents[0]->pWindow, nullptr);
  EXPECT_EQ(toc_->pSegmentToc->pExtents[3]->pWindow[0], 1);

  // Wiping empties every slot, unmaps the windows and chains the slots in array order.
  ASSERT_EQ(KDRCX_WipeMappings(toc_), 0);
  EXPECT_EQ(toc_->mapHead, 0);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(toc_->pExtentMaps[k].extent, -1);
    EXPECT_EQ(toc_->pExtentMaps[k].prev, k - 1);
    EXPECT_EQ(toc_->pExtentMaps[k].next, k < 2 ? k + 1 : -1);
  }
  for (int k = 0; k < 4; ++k) EXPECT_EQ(toc_->pSegmentToc->pExtents[k]->pWindow, nullptr);
  ASSERT_EQ(KDRCX_GetExtentMapping(toc_, 3, 1, &again), 0);
  EXPECT_EQ(toc_->pSegmentToc->pExtents[3]->pWindow[0], 2);

  CaptureStdout();
  EXPECT_EQ(KDRCX_GetExtentMapping(toc_, 9, 0, &again), KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE);
  EXPECT_EQ(KDRCX_GetExtentMapping(toc_, 0, 1 << 20, &again), KDRC_ERROR_SEGMENT_BAD_OFFSET);
  GetCapturedStdout();
  // An extent file's mapping object covers the file's full size from the start (it is never
  // re-created while clients may hold it): a window past the written end reads zeros.
  ASSERT_EQ(KDRCX_GetExtentMapping(toc_, 2, 5, &again), 0);
  EXPECT_EQ(toc_->pSegmentToc->pExtents[2]->pWindow[0], 0);
}

TEST_F(Mapping, WindowNearTheEndStartsAtTheLastFullWindow) {
  setenv("KDRC_SEGMENTS_PER_MAP", "4", 1);
  ASSERT_EQ(Open(), 0);
  // Windows of several segments are read only in shared-structures mode.
  KDRCX_TermMappings(toc_);
  toc_->numExtentMaps = 0;
  toc_->sharedStructs = 1;
  ASSERT_EQ(KDRCX_InitMappings(toc_), 0);
  toc_->sharedStructs = 0;
  EXPECT_EQ(toc_->segmentsPerMap, 4);
  int32_t perExtent = toc_->pShared->segsPerExtent;
  MakeSegments("kdr.ext000", perExtent);
  ASSERT_EQ(KDRCSegment_AddExtentFileRecord(toc_, "t", 0, 0), 0);
  KDRC_EXTENTMAP_T* m = nullptr;
  ASSERT_EQ(KDRCX_GetExtentMapping(toc_, 0, perExtent - 1, &m), 0);
  EXPECT_EQ(m->firstSegment, perExtent - 4);
  EXPECT_EQ(toc_->pSegmentToc->pExtents[0]->pWindow[3 * seg::kSegmentSize], uint8_t(perExtent));
  std::filesystem::remove(Path("kdr.ext000"));
}

TEST_F(Mapping, SlotCountFromTheEnvironment) {
  ASSERT_EQ(Open(), 0);
  struct Case { const char* value; int32_t slots; } cases[] = {{"0", 3}, {"abc", 3}, {"2", 2}, {"99", 4}};
  for (const auto& c : cases) {
    setenv("KDRC_EXTENT_MAPS", c.value, 1);
    ASSERT_EQ(KDRCX_TermMappings(toc_), 0);
    toc_->numExtentMaps = 0;
    ASSERT_EQ(KDRCX_InitMappings(toc_), 0);
    EXPECT_EQ(toc_->numExtentMaps, c.slots) << c.value;
    EXPECT_EQ(toc_->mapHead, 0);
  }
}

TEST_F(Mapping, PathsAndFileTests) {
  ASSERT_EQ(Open(), 0);
  char buf[KDRC_PATH_BUFFER];
  ASSERT_EQ(KDRCX_MakeFullPath(toc_->pErr, ".", "kdr.seg", buf), 0);
  EXPECT_STREQ(buf, "./kdr.seg");
  ASSERT_EQ(KDRCX_MakeFullPath(toc_->pErr, "/out/", "a.txt", buf), 0);
  EXPECT_STREQ(buf, "/out/a.txt");
  ASSERT_EQ(KDRCX_MakeFullPath(toc_->pErr, "", "a.txt", buf), 0);
  EXPECT_STREQ(buf, "a.txt");
  std::string longName(KDRC_PATH_BUFFER, 'x');
  CaptureStdout();
  EXPECT_EQ(KDRCX_MakeFullPath(toc_->pErr, "/d", longName.c_str(), buf), KDRC_ERROR_UTIL_CANNOT_OPEN_FILE);
  GetCapturedStdout();

  char* value = nullptr;
  setenv("KDRC_DEFAULT_CACHE_DIR", "/from/env", 1);
  ASSERT_EQ(KDRCX_getGetEnv(toc_, nullptr, "KDRC_DEFAULT_CACHE_DIR", ".", &value), 0);
  EXPECT_STREQ(value, "/from/env");
  free(value);
  ASSERT_EQ(KDRCX_getGetEnv(toc_, "/given", "KDRC_DEFAULT_CACHE_DIR", ".", &value), 0);
  EXPECT_STREQ(value, "/given");
  free(value);

  EXPECT_EQ(KDRCX_OSFileExists(toc_->pErr, Path("kdr.mf").c_str()), 1);
  EXPECT_EQ(KDRCX_OSFileExists(toc_->pErr, Path("nothing").c_str()), 0);
  EXPECT_EQ(KDRCX_DeleteOSFile(toc_->pErr, Path("nothing").c_str()), 0);
  kdr::platform::InjectFault(kdr::platform::Sys::kStat, EACCES);
  CaptureStdout();
  EXPECT_EQ(KDRCX_OSFileExists(toc_->pErr, Path("kdr.mf").c_str()), KDRC_ERROR_UTIL_CANNOT_STAT_FILE);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("KDR_ERR(74) = KDRC_ERROR_UTIL_CANNOT_STAT_FILE"), std::string::npos);
  EXPECT_NE(out.find("OS_ERR      = (13)"), std::string::npos);
}

}  // namespace
