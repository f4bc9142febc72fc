// Shared set-up of the store tests: a private temporary cache directory and runtime directory,
// and stores opened the way the store interface opens them (metafile, segment file, hash file).
#ifndef KDR_TESTS_STORE_STORE_FIXTURE_H_
#define KDR_TESTS_STORE_STORE_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "store/kdrc.h"

namespace kdrc_test {

struct StoreSize {
  int32_t pages = 64;
  int32_t segments = 8;
  int32_t hashBlocks = 1;
  int32_t maxExtentFiles = 4;
  int32_t extentMB = 16;
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kdrstoreXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    std::filesystem::create_directory(dir_ + "/run");
    std::filesystem::permissions(dir_ + "/run", std::filesystem::perms::owner_all);
    setenv("KDR_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    for (const char* v : kEnv) unsetenv(v);
  }
  void TearDown() override {
    if (toc_ != nullptr) KDRCFile_Close(toc_);
    toc_ = nullptr;
    kdr::platform::ClearFaults();
    for (const char* v : kEnv) unsetenv(v);
    std::filesystem::remove_all(dir_);
  }

  // Opens (creating when missing) a stand-alone store in dir_ under map name `name`.
  int Open(const StoreSize& s = StoreSize(), const char* name = "t", int create = 1,
           int deleteFirst = 0, KDRC_FILETOC_T** out = nullptr) {
    KDRC_FILETOC_T** where = out != nullptr ? out : &toc_;
    int fresh = 0;
    int rc = KDRCFile_Open(where, dir_.c_str(), name, s.pages, s.segments, s.hashBlocks,
                           s.maxExtentFiles, s.extentMB, create, deleteFirst, 0, 0,
                           KDRC_MODE_STANDALONE, &fresh);
    if (rc != 0) return rc;
    rc = KDRCSegment_Open(*where, dir_.c_str(), name, create, fresh, 0);
    if (rc == 0) rc = KDRCHash_Open(*where, dir_.c_str(), name, create, deleteFirst, 0);
    if (rc != 0) {
      KDRCFile_Close(*where);
      *where = nullptr;
    }
    return rc;
  }

  void Close() {
    ASSERT_EQ(KDRCFile_Close(toc_), 0);
    toc_ = nullptr;
  }

  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::vector<uint8_t> ReadAll(const char* name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  void WriteAll(const char* name, const std::vector<uint8_t>& bytes) const {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  // Overwrites 4 bytes of a closed store file at `offset`.
  void Poke32(const char* name, uint64_t offset, int32_t value) const {
    std::fstream f(Path(name), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(std::streamoff(offset));
    f.write(reinterpret_cast<const char*>(&value), 4);
  }

  kdrc::meta::Page* Page(int32_t n) const { return KDRCX_PageAt(toc_, n); }
  kdrc::meta::Header* Header() const { return toc_->pHeader; }

  // Adds a file and writes `blocks` blocks whose first bytes carry the block number.
  kdrc::meta::Page* AddFile(const char* guid, int32_t blocks) {
    kdrc::meta::Page* first = nullptr;
    EXPECT_EQ(KDRCHash_AddPage(toc_, guid, 1000, 0, &first), 0);
    for (int32_t b = 0; b < blocks && first != nullptr; ++b) EXPECT_EQ(WriteBlock(first, b, b), 0);
    return first;
  }
  int WriteBlock(kdrc::meta::Page* first, int32_t block, int32_t tag, int32_t length = 100) {
    int32_t g = -1;
    if (int rc = KDRCFile_GetFreeSegment(toc_, &g)) return rc;
    std::vector<uint8_t> data(static_cast<size_t>(length), static_cast<uint8_t>(tag));
    if (!data.empty()) data[0] = uint8_t(tag);
    if (int rc = KDRCSegment_WriteSegmentData(toc_, data.data(), g, length)) return rc;
    int full = 0;
    return KDRCFile_AllocateSegment(toc_, first, block, g, length, &full);
  }

  static constexpr const char* kEnv[] = {
      "KDRC_DEFAULT_CACHE_DIR",        "KDRC_EXTENT_MAPS",        "KDRC_SEGMENTS_PER_MAP",
      "KDRC_MAX_NUMBER_OF_FILE_PAGES", "KDRC_CHECK_EVERY_CALL",   "KDRC_DEBUG",
      "KDRC_MAX_EXT_FILES",            "KDRC_MAXIMUM_EXTENT_MEGABYTES",
      "KDRC_HASH_BLOCK_PAGES",         "KDRC_MAXIMUM_NUMBER_OF_SEGMENTS", "KDRC_CACHE_TRACE"};

  std::string dir_;
  KDRC_FILETOC_T* toc_ = nullptr;
};

// A GUID of 32 characters made from a number.
inline std::string Guid(int n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%032d", n);
  return buf;
}

}  // namespace kdrc_test

#endif  // KDR_TESTS_STORE_STORE_FIXTURE_H_
