// The store's consistency checks on a real store: bytes changed at known places of the mapped
// metafile, hash file and lists are reported with the code of the rule they break, a sound
// store passes every pass, and no damage makes a check hang or read outside the mapping.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "store/store_fixture.h"

namespace {

using kdrc_test::Guid;
using kdrc_test::StoreSize;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace meta = kdrc::meta;

class Check : public kdrc_test::StoreTest {
 protected:
  // Three files: page 0 (3 blocks), pages 1 and 2 (37 blocks), page 3 (1 block); pages 4..63
  // free; segments 0..40 held, 41..47 free.
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(Open(StoreSize{64, 48}), 0);
    a_ = AddFile(Guid(1).c_str(), 3);
    b_ = AddFile(Guid(2).c_str(), 37);
    c_ = AddFile(Guid(3).c_str(), 1);
    ASSERT_TRUE(a_ != nullptr && b_ != nullptr && c_ != nullptr);
    ASSERT_EQ(KDRCX_PageNumber(toc_, c_), 3);
  }
  void TearDown() override {
    if (toc_ != nullptr) toc_->client = 0;  // the arrays are private: let the close free them
    StoreTest::TearDown();
  }

  // Runs the check with its printing captured; the printed text is kept in out_.
  int Run(int mask) {
    CaptureStdout();
    int rc = KDRCFile_CheckMetaFile(toc_, mask);
    out_ = GetCapturedStdout();
    return rc;
  }
  // Run(mask), and the same passes as an open runs them: from the record of a fresh pass over
  // the pages (KDRCX_CheckOpenedPages), which must find the same.
  int RunBoth(int mask) {
    int mapped = Run(mask);
    CaptureStdout();
    int rc = KDRCFile_GetFreeSegmentMap(toc_);
    if (rc == 0) rc = KDRCX_CheckOpenedPages(toc_, mask);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(rc, mapped) << out;
    return mapped;
  }
  int RunPage(int32_t n, int kind) {
    CaptureStdout();
    int rc = KDRCFile_CheckPageConsistency(toc_, Page(n), kind);
    out_ = GetCapturedStdout();
    return rc;
  }

  meta::Page* a_ = nullptr;
  meta::Page* b_ = nullptr;
  meta::Page* c_ = nullptr;
  std::string out_;
};

TEST_F(Check, SoundStorePassesEveryPassAlsoAfterEvictionAndFreeing) {
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
  EXPECT_EQ(out_, "");
  ASSERT_EQ(KRDCFile_DeleteOldest(toc_), 0);  // evicts page 0, the first page of file 1
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
  ASSERT_EQ(KRDCFile_DeleteThisPage(toc_, Page(1)), 0);  // file 2 keeps its second page only
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
  EXPECT_EQ(Page(2)->firstPage, 1);
  // A metafile that cannot be read is passed over through its mapping.
  namespace plat = kdr::platform;
  plat::InjectFault(plat::Sys::kPread, EIO, 0, -1);
  EXPECT_EQ(RunBoth(KDRC_CHECK_PAGES | KDRC_CHECK_FREE_LIST | KDRC_CHECK_HASH), 0) << out_;
  EXPECT_GT(plat::FaultsFired(plat::Sys::kPread), 0);
  plat::ClearFaults();
  EXPECT_EQ(toc_->freeSegCount, 46);  // file 2 (its block 36) and file 3 hold one each
}

TEST_F(Check, HeaderDisagreeingWithTheSharedRecordOrItself) {
  struct Case {
    size_t offset;  // header field
    int32_t value;
    int code;
  } cases[] = {
      {offsetof(meta::Header, extentFiles), 5, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE},
      {offsetof(meta::Header, filePages), 65, KDRC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG},
      {offsetof(meta::Header, hashBlocks), 2, KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY},
      {offsetof(meta::Header, segments), 47, KDRC_ERROR_SEGMENT_BAD_OFFSET},
      {offsetof(meta::Header, extentSegments), 64, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE},
  };
  auto* bytes = reinterpret_cast<uint8_t*>(Header());
  for (const Case& c : cases) {
    int32_t saved;
    std::memcpy(&saved, bytes + c.offset, 4);
    std::memcpy(bytes + c.offset, &c.value, 4);
    EXPECT_EQ(Run(KDRC_CHECK_HEADER), c.code) << "offset " << c.offset;
    EXPECT_NE(out_.find("KDR_ERR(" + std::to_string(c.code) + ")"), std::string::npos) << out_;
    EXPECT_NE(out_.find("***TRACEBACK: KDRCFile_CheckMetaFile"), std::string::npos);
    std::memcpy(bytes + c.offset, &saved, 4);
  }
  EXPECT_EQ(Run(KDRC_CHECK_HEADER), 0);
}

TEST_F(Check, HeaderDamageInTheFileRefusesTheOpen) {
  Close();
  Poke32("kdr.mf", offsetof(meta::Header, extentFiles), 9);
  CaptureStdout();
  EXPECT_EQ(Open(StoreSize{64, 48}), KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE);
  GetCapturedStdout();
}

// Extent sizes past what any store is made with, kept consistent with each other, are refused
// before the open sizes its tables by them (gigabytes otherwise).
TEST_F(Check, HeaderClaimingAHugeStoreRefusesTheOpen) {
  Close();
  struct Claim {
    int32_t maxExtentFiles, segsPerExtent;
  } claims[] = {{600000000, 0}, {1000, 64 * 1000000}};
  for (const Claim& c : claims) {
    Poke32("kdr.mf", offsetof(meta::Header, maxExtentFiles), c.maxExtentFiles);
    Poke32("kdr.mf", offsetof(meta::Header, segsPerExtent), c.segsPerExtent);
    Poke32("kdr.mf", offsetof(meta::Header, totalExtentMB),
           static_cast<int32_t>(int64_t{c.segsPerExtent} * c.maxExtentFiles / 64));
    CaptureStdout();
    EXPECT_EQ(Open(StoreSize{64, 48}), KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE)
        << c.maxExtentFiles;
    GetCapturedStdout();
  }
}

TEST_F(Check, GuidTimeAndEntryRulesOfAnAllocatedPage) {
  meta::Page* p = Page(3);
  char saved[meta::kGuidLength];
  std::memcpy(saved, p->guid, sizeof saved);

  std::memset(p->guid, 0, sizeof p->guid);
  std::memcpy(p->guid, "abc", 3);
  EXPECT_EQ(RunPage(3, meta::kAllocated), KDRC_ERROR_METAFILE_BAD_GUID_FIELD);
  std::memcpy(p->guid, saved, sizeof saved);
  std::memset(p->guid + 32, 0, 4);
  EXPECT_EQ(RunPage(3, meta::kAllocated), 0);
  for (uint8_t bad : {uint8_t(0x7F), uint8_t(0x80), uint8_t(0x1F)}) {
    p->guid[17] = char(bad);
    EXPECT_EQ(RunPage(3, meta::kAllocated), KDRC_ERROR_METAFILE_BAD_GUID_FIELD) << int(bad);
    EXPECT_EQ(Run(KDRC_CHECK_PAGES), KDRC_ERROR_METAFILE_BAD_GUID_FIELD);
  }
  std::memcpy(p->guid, saved, sizeof saved);
  p->guid[34] = 0x01;  // characters 33 to 36 may be NUL or printable, nothing else
  EXPECT_EQ(RunPage(3, meta::kAllocated), KDRC_ERROR_METAFILE_BAD_GUID_FIELD);
  std::memcpy(p->guid, saved, sizeof saved);

  int32_t t = p->accessTime;
  p->accessTime = int32_t(std::time(nullptr)) + 3600;
  EXPECT_EQ(Run(KDRC_CHECK_PAGES), KDRC_ERROR_METAFILE_BAD_TIME_FIELD);
  p->accessTime = t;

  meta::SegmentEntry e = p->entries[0];
  p->entries[0].length = 16385;
  EXPECT_EQ(RunPage(3, meta::kAllocated), KDRC_ERROR_METAFILE_SEGMENT_LENGTH);
  p->entries[0] = e;
  p->used = 37;  // more entries than a page has: never used as a bound
  EXPECT_EQ(RunPage(3, meta::kAllocated), KDRC_ERROR_METAFILE_PAGE_SIZE_IS_WRONG);
  p->used = 1;
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
}

TEST_F(Check, KindAndOwnNumberRules) {
  EXPECT_EQ(RunPage(3, meta::kFree), KDRC_ERROR_METAFILE_PAGE_TYPE_DOES_NOT_MATCH_REQUIRED_TYPE);

  meta::Page* f = Page(10);  // a free page made floating by hand
  f->kind = meta::kFloating;
  EXPECT_EQ(RunPage(10, meta::kFloating), KDRC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_SUCCESSORS);
  f->next = -1;
  EXPECT_EQ(RunPage(10, meta::kFloating), KDRC_ERROR_METAFILE_FLOATING_PAGE_SHOULD_NOT_HAVE_PREDECESSORS);
  f->prev = -1;
  EXPECT_EQ(RunPage(10, meta::kFloating), 0);

  meta::Page* g = Page(20);
  g->kind = 9;
  EXPECT_EQ(RunPage(20, 9), KDRC_ERROR_METAFILE_INVALID_PAGE_TYPE_OR_OUT_OF_DISK_SPACE);
  EXPECT_EQ(Run(KDRC_CHECK_PAGES), KDRC_ERROR_METAFILE_INVALID_PAGE_TYPE_OR_OUT_OF_DISK_SPACE);
  g->kind = meta::kFree;

  g->self = 21;
  EXPECT_EQ(RunPage(20, meta::kFree), KDRC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET);
  EXPECT_EQ(Run(KDRC_CHECK_PAGES), KDRC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET);
  // Outside the store: returned without a record, after the traceback line.
  g->self = -2;
  EXPECT_EQ(RunPage(20, meta::kFree), KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO);
  EXPECT_EQ(out_.find("KDR_ERR"), std::string::npos) << out_;
  EXPECT_NE(out_.find("***TRACEBACK: KDRCFile_CheckPageConsistency"), std::string::npos);
  g->self = 20;

  // With the floating page 10 counted, the header's free count is one too high.
  EXPECT_EQ(Run(KDRC_CHECK_PAGES), KDRC_ERROR_METAFILE_NUMBER_OF_FREE_PAGES_DOESNT_MATCH_HEADER_COUNT);
}

TEST_F(Check, FreeListWalksBothWaysAndStopsOnLoops) {
  // Pages 4..63 are free, 4 the head. Cut the forward chain one page before its tail.
  ASSERT_EQ(Header()->freeHead, 4);
  ASSERT_EQ(Header()->freeTail, 63);
  Page(62)->next = -1;
  EXPECT_EQ(RunBoth(KDRC_CHECK_FREE_LIST),
            KDRC_ERROR_METAFILE_LINKED_FREEPAGE_COUNT_DOES_NOT_EQUAL_HEADER_COUNT);
  Page(62)->next = 63;
  EXPECT_EQ(RunBoth(KDRC_CHECK_FREE_LIST), 0);

  Page(30)->next = -7;
  EXPECT_EQ(RunBoth(KDRC_CHECK_FREE_LIST), KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_LESS_THAN_ZERO);
  Page(30)->next = 64;
  EXPECT_EQ(RunBoth(KDRC_CHECK_FREE_LIST),
            KDRC_ERROR_METAFILE_FREEPAGE_OFFSET_IS_GREATER_THAN_KDRC_MAX_NUMBER_OF_FILE_PAGES);
  Page(30)->next = 4;  // a loop back to the head ends as a count, not a hang
  EXPECT_EQ(RunBoth(KDRC_CHECK_FREE_LIST),
            KDRC_ERROR_METAFILE_LINKED_FREEPAGE_COUNT_DOES_NOT_EQUAL_HEADER_COUNT);
  Page(30)->next = 31;
  Page(40)->prev = 3;  // backward into a file's page
  EXPECT_EQ(RunBoth(KDRC_CHECK_FREE_LIST), KDRC_ERROR_CORRUPT_FREE_PAGE_LIST);
  Page(40)->prev = 39;
  Header()->freeCount = 1 << 30;  // a count no store holds: still a bounded walk
  EXPECT_EQ(RunBoth(KDRC_CHECK_FREE_LIST),
            KDRC_ERROR_METAFILE_LINKED_FREEPAGE_COUNT_DOES_NOT_EQUAL_HEADER_COUNT);
  Header()->freeCount = 60;
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
}

TEST_F(Check, DateListOrderLinksAndCount) {
  int32_t* head = toc_->pDateHead;
  int32_t* when = toc_->lastFileAccess;
  int32_t* next = toc_->dateNext;
  ASSERT_EQ(head[2], 4);
  // Equal times, so that only the damage below breaks the order.
  for (int32_t n = head[0], i = 0; n != -1 && i < 4; n = next[n], ++i) when[n] = 1000;
  int32_t first = head[0];
  int32_t second = next[first];
  ASSERT_NE(second, -1);

  next[10] = first;  // a free page with a date link
  EXPECT_EQ(Run(KDRC_CHECK_DATE_LIST), KDRC_ERROR_METAFILE_FREEPAGE_ALSO_IN_DATELIST);
  next[10] = -1;

  int32_t t = when[second];
  when[second] = when[first] - 10;
  EXPECT_EQ(Run(KDRC_CHECK_DATE_LIST), KDRC_ERROR_METAFILE_DATE_LIST_IS_NOT_SORTED);
  when[second] = 0;
  EXPECT_EQ(Run(KDRC_CHECK_DATE_LIST), KDRC_ERROR_METAFILE_DATE_LIST_BAD_DATE);
  when[second] = t;

  int32_t after = next[second];
  next[second] = second;
  EXPECT_EQ(Run(KDRC_CHECK_DATE_LIST), KDRC_ERROR_METAFILE_DATELIST_SELFLINK);
  next[second] = first;  // a loop: counted, not followed for ever
  EXPECT_EQ(Run(KDRC_CHECK_DATE_LIST), KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
  next[second] = 1000;  // beyond the store
  EXPECT_EQ(Run(KDRC_CHECK_DATE_LIST), KDRC_ERROR_METAFILE_BAD_DATE_LIST);
  next[second] = after;

  head[2] = 5;
  EXPECT_EQ(Run(KDRC_CHECK_DATE_LIST), KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
  head[2] = 4;
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
}

TEST_F(Check, ClientKeepsOnlyTheDateListPass) {
  Header()->hashBlocks = 7;
  Page(20)->self = 21;
  toc_->freeSegHead = 1;
  toc_->client = 1;
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
  int32_t first = toc_->pDateHead[0];
  toc_->lastFileAccess[first] = -1;
  EXPECT_EQ(Run(KDRC_CHECK_ALL), KDRC_ERROR_METAFILE_DATE_LIST_BAD_DATE);
  toc_->client = 0;
  EXPECT_EQ(Run(KDRC_CHECK_ALL), KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
}

TEST_F(Check, EveryAllocatedPageIsFoundThroughTheHashFile) {
  int32_t bucket = -1;
  ASSERT_EQ(KDRCHash_Entry(toc_, Guid(2).c_str(), &bucket), 0);
  int32_t* buckets = toc_->pHashToc->pBuckets;
  int32_t saved = buckets[bucket];
  ASSERT_EQ(saved, 1);
  // Hash blocks 1: all three files share one 128-bucket table; drop file 2's chain entry.
  buckets[bucket] = Page(1)->hashLink;
  EXPECT_EQ(RunBoth(KDRC_CHECK_HASH), KDRC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST);
  buckets[bucket] = 5000;  // a bucket naming no page
  EXPECT_EQ(RunBoth(KDRC_CHECK_HASH), KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
  buckets[bucket] = saved;
  EXPECT_EQ(RunBoth(KDRC_CHECK_HASH), 0);
  // File 2's second page carrying a GUID no file has is found out too.
  std::memcpy(Page(2)->guid, Guid(9).c_str(), 32);
  EXPECT_EQ(RunBoth(KDRC_CHECK_HASH), KDRC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST);
  EXPECT_NE(out_.find("KDRC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST:= 2"), std::string::npos) << out_;
  std::memcpy(Page(2)->guid, Guid(2).c_str(), 32);
  EXPECT_EQ(RunBoth(KDRC_CHECK_PAGES | KDRC_CHECK_FREE_LIST | KDRC_CHECK_HASH), 0) << out_;
  // Chains the record cannot follow alone (a loop, a link into a free page or out of the
  // store), and file 3 on file 2's chain instead of its own bucket's, where no lookup of it
  // looks: the open's check finds what the mapping's finds.
  int32_t own = -1;
  ASSERT_EQ(KDRCHash_Entry(toc_, Guid(3).c_str(), &own), 0);
  ASSERT_EQ(buckets[own], 3);
  const int32_t link = Page(3)->hashLink;
  for (int32_t to : {3, 0, 1, 10, 5000}) {
    Page(3)->hashLink = to;
    RunBoth(KDRC_CHECK_HASH);
    buckets[bucket] = 3;
    RunBoth(KDRC_CHECK_HASH);
    buckets[own] = link;
    EXPECT_NE(RunBoth(KDRC_CHECK_HASH), 0);
    buckets[own] = 3;
    buckets[bucket] = saved;
  }
  Page(3)->hashLink = link;
  EXPECT_EQ(RunBoth(KDRC_CHECK_ALL & ~KDRC_CHECK_DATE_LIST), 0) << out_;
}

// A repair after a kill writes only what it changes: each damage below, left by a kill or
// found in the files, must still be mended (the whole check passes after it), with the blocks
// it cannot vouch for gone. The hash chains are relinked from the open's record and, without
// one, through the mapping.
TEST_F(Check, ARepairMendsEveryLinkItDoesNotKeep) {
  int32_t* buckets = toc_->pHashToc->pBuckets;
  auto bucketOf = [&](int f) {
    int32_t b = -1;
    EXPECT_EQ(KDRCHash_Entry(toc_, Guid(f).c_str(), &b), 0);
    return b;
  };
  struct Case {
    const char* what;
    std::function<void()> damage;
    int64_t kept;  // blocks kept (of 41)
    int gone;      // files no longer found (bit f for file f)
  } cases[] = {
      {"hash links into a free page and off a cut chain",
       [&] {
         Page(0)->hashLink = 5;
         buckets[bucketOf(3)] = -1;
       },
       41, 0},
      {"a bucket naming another bucket's page, a chain looping",
       [&] {
         buckets[bucketOf(1)] = 3;
         Page(3)->hashLink = 3;
       },
       41, 0},
      {"a second page with a hash link", [&] { Page(2)->hashLink = 1; }, 41, 0},
      {"a free page still naming a segment",
       [&] {
         Page(9)->used = 1;
         Page(9)->entries[0] = Page(0)->entries[0];
       },
       41, 0},
      {"a free list looping, a page out of it",
       [&] {
         Page(30)->next = 4;
         Page(50)->kind = meta::kFloating;
       },
       41, 0},
      {"a second page linked back wrongly", [&] { Page(2)->prev = 3; }, 40, 0},
      {"two first pages of one GUID", [&] { std::memcpy(Page(3)->guid, Guid(1).c_str(), 32); }, 37,
       1 << 1 | 1 << 3},
      {"one segment named twice", [&] { Page(3)->entries[0] = Page(0)->entries[0]; }, 39, 0},
      {"a metafile that cannot be read (the mapping instead), a link into a free page",
       [&] {
         Page(0)->hashLink = 5;
         kdr::platform::InjectFault(kdr::platform::Sys::kPread, EIO, 0, -1);
       },
       41, 0},
      {"a block's bytes changed",
       [&] {
         const uint8_t* data = nullptr;
         ASSERT_EQ(KDRCX_SegmentAddress(toc_, Page(1)->entries[5].segment, &data), 0);
         const_cast<uint8_t*>(data)[7] ^= 1;
       },
       40, 0},
  };
  for (bool viaRecord : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (viaRecord ? "" : ", through the mapping"));
      Close();
      ASSERT_EQ(Open(StoreSize{64, 48}, "t", 1, 1), 0);
      int filled = 0;
      ASSERT_EQ(KDRCX_OpenSums(toc_, 1, 0, &filled), 0);
      a_ = AddFile(Guid(1).c_str(), 3);
      b_ = AddFile(Guid(2).c_str(), 37);
      c_ = AddFile(Guid(3).c_str(), 1);
      buckets = toc_->pHashToc->pBuckets;
      ASSERT_EQ(KDRCX_FillSums(toc_), 0);
      // A freed file leaves the free list out of page order, as a running store does.
      ASSERT_NE(AddFile(Guid(4).c_str(), 1), nullptr);
      ASSERT_EQ(KRDCFile_DeleteThisPage(toc_, Page(4)), 0);
      c.damage();
      CaptureStdout();
      int rc = KDRCX_SalvagePages(toc_);
      if (rc == 0) rc = KDRCFile_GetFreeSegmentMap(toc_);
      if (rc == 0 && !viaRecord) KDRCX_ForgetPageScan(toc_);
      if (rc == 0) rc = KDRCX_RebuildHash(toc_);
      int64_t checked = 0, bad = 0;
      if (rc == 0) rc = KDRCX_VerifyBlocks(toc_, 1, &checked, &bad);
      if (rc == 0) rc = KDRCFile_CheckMetaFile(toc_, KDRC_CHECK_ALL);
      kdr::platform::ClearFaults();
      out_ = GetCapturedStdout();
      ASSERT_EQ(rc, 0) << out_;
      EXPECT_EQ(checked - bad, c.kept);
      // Each bucket's chain holds the first pages of its GUIDs, each once, and ends; no other
      // page links anywhere (a stale link passes every lookup, but the next use of the page it
      // leads to joins two chains).
      int firsts = 0, chained = 0;
      for (int32_t n = 0; n < 64; ++n) {
        if (Page(n)->kind != meta::kAllocated) continue;
        if (Page(n)->firstPage) ++firsts;
        else EXPECT_EQ(Page(n)->hashLink, -1) << n;
      }
      for (int32_t b = 0; b < toc_->pHashToc->buckets; ++b) {
        for (int32_t m = buckets[b]; m != -1 && chained <= 64; m = Page(m)->hashLink, ++chained) {
          ASSERT_TRUE(m >= 0 && m < 64) << b;
          EXPECT_TRUE(Page(m)->kind == meta::kAllocated && Page(m)->firstPage) << m;
          int32_t own = -1;
          EXPECT_EQ(KDRCHash_Entry(toc_, Page(m)->guid, &own), 0);
          EXPECT_EQ(own, b) << m;
        }
      }
      EXPECT_EQ(chained, firsts);
      for (int f = 1; f <= 3; ++f) {
        KDRC_PAGE_T* first = nullptr;
        ASSERT_EQ(KDRCHash_FindFile(toc_, Guid(f).c_str(), &first), 0);
        EXPECT_EQ(first == nullptr, ((c.gone >> f) & 1) != 0) << f;
      }
    }
  }
}

TEST_F(Check, FreeSegmentListOrderAndAllocationMap) {
  // Free segments 41..47 in order.
  ASSERT_EQ(toc_->freeSegHead, 41);
  ASSERT_EQ(toc_->freeSegTail, 47);
  ASSERT_EQ(toc_->freeSegCount, 7);
  int32_t* next = toc_->freeSegNext;

  next[42] = 41;  // backwards
  EXPECT_EQ(Run(KDRC_CHECK_FREE_SEGMENT_ORDER), KDRC_ERROR_METAFILE_INVALID_SEGMENT_OFFSET_IN_FREELIST);
  next[42] = 48;  // one past the last segment the store has
  EXPECT_EQ(Run(KDRC_CHECK_FREE_SEGMENT_ORDER), KDRC_ERROR_METAFILE_INVALID_SEGMENT_OFFSET_IN_FREELIST);
  next[42] = 43;
  EXPECT_EQ(Run(KDRC_CHECK_FREE_SEGMENT_ORDER | KDRC_CHECK_SEGMENT_MAP), 0);

  // A segment held by a page entry and also free.
  meta::SegmentEntry e = c_->entries[0];
  c_->entries[0].segment = 44;
  EXPECT_EQ(Run(KDRC_CHECK_SEGMENT_MAP), KDRC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_AND_IN_THE_FREE_LIST);
  // Held twice.
  c_->entries[0].segment = a_->entries[1].segment;
  EXPECT_EQ(Run(KDRC_CHECK_SEGMENT_MAP), KDRC_ERROR_METAFILE_SEGMENT_IS_ALLOCATED_MORE_THAN_ONCE);
  // A segment number no map entry exists for is corrupt, never an index.
  for (int32_t beyond : {48, 1 << 30}) {
    c_->entries[0].segment = beyond;
    EXPECT_EQ(Run(KDRC_CHECK_SEGMENT_MAP), KDRC_ERROR_METAFILE_SEGMENT_OFFSET) << beyond;
  }
  c_->entries[0] = e;

  toc_->freeSegTail = -1;
  EXPECT_EQ(Run(KDRC_CHECK_SEGMENT_MAP), KDRC_ERROR_METAFILE_SEGMENT_FIRST_AND_LAST_OUT_OF_SYNC);
  toc_->freeSegTail = 46;
  EXPECT_EQ(Run(KDRC_CHECK_SEGMENT_MAP), KDRC_ERROR_METAFILE_ALLOCATED_PAGE_SIZE_IS_WRONG);
  toc_->freeSegTail = 47;
  toc_->freeSegCount = 6;
  EXPECT_EQ(Run(KDRC_CHECK_SEGMENT_MAP), KDRC_ERROR_METAFILE_SEGMENT_BAD_FREE_LIST_COUNT);
  toc_->freeSegCount = 7;
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
}

TEST_F(Check, CheckEveryCallRunsOnlyWithTheFlag) {
  Page(20)->self = 21;
  EXPECT_EQ(KDRCX_CheckEveryCall(toc_, "KDRCIF_FindFile"), 0);
  toc_->checkEveryCall = 1;
  CaptureStdout();
  EXPECT_EQ(KDRCX_CheckEveryCall(toc_, "KDRCIF_FindFile"),
            KDRC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("***ERROR(25): KDRC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET\n"
                     "***TRACEBACK: KDRCIF_FindFile\n"),
            std::string::npos)
      << out;
  Page(20)->self = 20;

  // The environment sets the flag at open.
  Close();
  setenv("KDRC_CHECK_EVERY_CALL", "1", 1);
  ASSERT_EQ(Open(StoreSize{64, 48}), 0);
  EXPECT_EQ(toc_->checkEveryCall, 1);
  EXPECT_EQ(KDRCX_CheckEveryCall(toc_, "x"), 0);
}

TEST_F(Check, RandomDamageNeverCrashesOrHangs) {
  // Every byte of the metafile may be anything: the check reports or passes, and stays inside
  // the mapping (the sanitizer builds catch any read outside it).
  auto* bytes = reinterpret_cast<uint8_t*>(Header());
  const size_t size = meta::FileSizeFor(64);
  std::vector<uint8_t> original(bytes, bytes + size);
  std::vector<int32_t> dates(toc_->dateNext, toc_->dateNext + 64);
  int32_t* buckets = toc_->pHashToc->pBuckets;
  const int32_t nb = toc_->pHashToc->buckets;
  std::vector<int32_t> hash(buckets, buckets + nb);
  std::mt19937 rng(7);
  int found = 0;
  for (int round = 0; round < 400; ++round) {
    for (int k = 0; k < 1 + round % 4; ++k) {
      // Mostly the fields that hold numbers and links (the first 72 bytes of the header or a
      // page, and the entries of the allocated pages), sometimes anywhere.
      size_t record = rng() % 65;
      size_t at = round % 7 == 0 ? rng() % size
                  : record <= 4 ? record * 512 + rng() % 504
                                : record * 512 + rng() % 72;
      bytes[at] = round % 3 == 0 ? uint8_t(rng()) : uint8_t(bytes[at] ^ (1u << (rng() % 8)));
    }
    if (round % 5 == 0) toc_->dateNext[rng() % 64] = int32_t(rng() % 200) - 100;
    if (round % 6 == 0) buckets[rng() % uint32_t(nb)] = int32_t(rng() % 200) - 100;
    if (Run(KDRC_CHECK_ALL) != 0) ++found;
    std::memcpy(bytes, original.data(), size);
    std::memcpy(toc_->dateNext, dates.data(), dates.size() * sizeof(int32_t));
    std::memcpy(buckets, hash.data(), hash.size() * sizeof(int32_t));
  }
  EXPECT_GT(found, 100);
  EXPECT_EQ(Run(KDRC_CHECK_ALL), 0) << out_;
}

}  // namespace
