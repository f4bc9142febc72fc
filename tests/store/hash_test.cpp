// The hash file on real files: blank layout, lookup, add, bucket chains and deletion, and
// damaged buckets and links.
#include <string>
#include <vector>

#include "store/hash_format.h"
#include "store/store_fixture.h"

namespace {

using kdrc_test::Guid;
using kdrc_test::StoreSize;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace meta = kdrc::meta;

class Hash : public kdrc_test::StoreTest {
 protected:
  int32_t Bucket(const std::string& guid) {
    int32_t b = -1;
    EXPECT_EQ(KDRCHash_Entry(toc_, guid.c_str(), &b), 0);
    return b;
  }
  // Two GUIDs other than `avoid` that fall into one bucket.
  std::pair<std::string, std::string> Collision(int from) {
    std::vector<int32_t> seen(kdrc::hash::kBucketsPerBlock, -1);
    for (int n = from;; ++n) {
      int32_t b = Bucket(Guid(n));
      if (seen[b] >= 0) return {Guid(seen[b]), Guid(n)};
      seen[b] = n;
    }
  }
  meta::Page* Find(const std::string& guid) {
    meta::Page* p = nullptr;
    EXPECT_EQ(KDRCHash_FindFile(toc_, guid.c_str(), &p), 0);
    return p;
  }
  int32_t* Buckets() { return toc_->pHashToc->pBuckets; }
};

TEST_F(Hash, BlankFileIsAllEmptyBuckets) {
  StoreSize s;
  s.hashBlocks = 15;
  ASSERT_EQ(Open(s), 0);
  auto bytes = ReadAll("kdr.hsh");
  ASSERT_EQ(bytes.size(), 15u * 512);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xFF), std::ptrdiff_t(bytes.size()));
  EXPECT_EQ(toc_->pHashToc->buckets, 1920);
  EXPECT_EQ(Find(Guid(1)), nullptr);
}

TEST_F(Hash, AddingTwiceTakesOnePageAndShortGuidsAreRefused) {
  ASSERT_EQ(Open(), 0);
  meta::Page* a = nullptr;
  meta::Page* b = nullptr;
  ASSERT_EQ(KDRCHash_AddPage(toc_, Guid(7).c_str(), 5, 6, &a), 0);
  ASSERT_EQ(KDRCHash_AddPage(toc_, Guid(7).c_str(), 99, 99, &b), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->sizeLow, 5u);
  EXPECT_EQ(a->sizeHigh, 6u);
  EXPECT_EQ(a->firstPage, 1);
  EXPECT_EQ(Header()->freeCount, 63);
  EXPECT_EQ(Find(Guid(7)), a);
  EXPECT_EQ(Buckets()[Bucket(Guid(7))], KDRCX_PageNumber(toc_, a));

  CaptureStdout();
  EXPECT_EQ(KDRCHash_AddPage(toc_, "short-guid", 0, 0, &b), KDRC_ERROR_METAFILE_BAD_GUID_FIELD);
  EXPECT_EQ(KDRCHash_FindFile(toc_, nullptr, &b), KDRC_EROR_NULL_PARAMETER);
  GetCapturedStdout();
}

TEST_F(Hash, SharedBucketChainsAndDeletingItsHead) {
  ASSERT_EQ(Open(), 0);
  auto [g1, g2] = Collision(100);
  meta::Page* p1 = AddFile(g1.c_str(), 0);
  meta::Page* p2 = AddFile(g2.c_str(), 0);
  int32_t b = Bucket(g1);
  EXPECT_EQ(Buckets()[b], KDRCX_PageNumber(toc_, p1));
  EXPECT_EQ(p1->hashLink, KDRCX_PageNumber(toc_, p2));
  EXPECT_EQ(p2->hashLink, -1);
  EXPECT_EQ(Find(g2), p2);

  ASSERT_EQ(KDRCHash_DeleteEntry(toc_, p1), 0);
  EXPECT_EQ(Buckets()[b], KDRCX_PageNumber(toc_, p2));
  EXPECT_EQ(p1->firstPage, 0);
  EXPECT_EQ(Find(g1), nullptr);
  EXPECT_EQ(Find(g2), p2);
  CaptureStdout();
  EXPECT_EQ(KDRCHash_DeleteEntry(toc_, p1), KDRC_ERROR_METAFILE_REFERENCED_FILE_PAGE_IS_NOT_FIRST);
  GetCapturedStdout();
}

TEST_F(Hash, DeletingTheFirstPageOfATwoPageFilePromotesTheSecondInPlace) {
  ASSERT_EQ(Open(StoreSize{64, 40}), 0);
  auto [g1, g2] = Collision(200);
  meta::Page* head = AddFile(g1.c_str(), 0);
  meta::Page* first = AddFile(g2.c_str(), 37);
  ASSERT_NE(first->next, -1);
  meta::Page* second = Page(first->next);
  ASSERT_EQ(KDRCHash_DeleteEntry(toc_, first), 0);
  EXPECT_EQ(second->firstPage, 1);
  EXPECT_EQ(first->firstPage, 0);
  EXPECT_EQ(head->hashLink, KDRCX_PageNumber(toc_, second));
  EXPECT_EQ(second->hashLink, -1);
  EXPECT_EQ(Find(g2), second);
  EXPECT_EQ(Find(g1), head);
}

TEST_F(Hash, ShortHashFileFailsWith70) {
  ASSERT_EQ(Open(), 0);
  Close();
  auto bytes = ReadAll("kdr.hsh");
  bytes.pop_back();
  WriteAll("kdr.hsh", bytes);
  CaptureStdout();
  EXPECT_EQ(Open(), KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("***ERROR(70): KDRC_ERROR_HASH_ENTRY_DOES_NOT_EXIST\n"), std::string::npos);
  EXPECT_NE(out.find("***TRACEBACK: KDRCHash_Open\n"), std::string::npos);
}

TEST_F(Hash, DamagedBucketsAndLinksAreCodesNotCrashesOrLoops) {
  ASSERT_EQ(Open(), 0);
  auto [g1, g2] = Collision(300);
  meta::Page* p1 = AddFile(g1.c_str(), 0);
  Close();
  // The bucket names a page beyond the store.
  int32_t b = 0;
  {
    ASSERT_EQ(Open(), 0);
    b = Bucket(g1);
    Close();
  }
  Poke32("kdr.hsh", uint64_t(b) * 4, 5000);
  ASSERT_EQ(Open(), 0);
  meta::Page* found = nullptr;
  CaptureStdout();
  EXPECT_EQ(KDRCHash_FindFile(toc_, g2.c_str(), &found), KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
  EXPECT_EQ(KDRCHash_AddPage(toc_, g2.c_str(), 0, 0, &found), KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
  // The chain loops back on itself.
  Buckets()[b] = 0;
  p1 = Page(0);
  p1->hashLink = 0;
  EXPECT_EQ(KDRCHash_FindFile(toc_, g2.c_str(), &found), KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("KDR_ERR(54) = KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY:= 5000"),
            std::string::npos) << out;
  p1->hashLink = -1;
}

TEST_F(Hash, AddingWhenFullEvictsTheChainsLastPageAndLinksTheChainAsItStandsAfter) {
  ASSERT_EQ(Open(StoreSize{2, 8}), 0);
  auto [g1, g2] = Collision(400);
  meta::Page* old = AddFile(g1.c_str(), 1);   // page 0, the least recently used
  meta::Page* other = AddFile(Guid(1).c_str(), 1);  // page 1
  ASSERT_EQ(Header()->freeCount, 0);
  ASSERT_EQ(toc_->pDateHead[0], KDRCX_PageNumber(toc_, old));
  int32_t freeSegments = toc_->freeSegCount;

  // g2 shares g1's bucket, whose only page is evicted to make room and comes back as g2's.
  meta::Page* fresh = nullptr;
  ASSERT_EQ(KDRCHash_AddPage(toc_, g2.c_str(), 1, 0, &fresh), 0);
  EXPECT_EQ(fresh, old);
  EXPECT_EQ(Buckets()[Bucket(g2)], KDRCX_PageNumber(toc_, fresh));
  EXPECT_EQ(fresh->hashLink, -1);
  EXPECT_EQ(fresh->used, 0);
  EXPECT_EQ(toc_->freeSegCount, freeSegments + 1);  // the evicted block's segment came back
  EXPECT_EQ(Find(g1), nullptr);
  EXPECT_EQ(Find(g2), fresh);
  EXPECT_EQ(Find(Guid(1)), other);
  EXPECT_EQ(toc_->pDateHead[2], 2);
  EXPECT_EQ(toc_->pDateHead[1], KDRCX_PageNumber(toc_, fresh));
}

}  // namespace
