// The store interface in one process: the shared TOC an owner publishes and clients attach
// to, the counters and the trace file, the stores an owner refuses, eviction when the store
// is full, clearing in place and the interface-level lock.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/fault.h"
#include "store/crc32c.h"
#include "store/store_if_fixture.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
namespace meta = kdrc::meta;
using kdrc_test::Guid;

class StoreIf : public kdrc_test::StoreIfTest {
 protected:
  std::string Log() const {
    std::ifstream in(Path("kdr.log"));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::vector<std::vector<uint8_t>> Files() const {
    return {ReadAll("kdr.mf"), ReadAll("kdr.seg"), ReadAll("kdr.hsh")};
  }
};

TEST_F(StoreIf, OwnerPublishesTheSharedTocAndClientsWorkOnIt) {
  KDRC_FILETOC_T* owner = nullptr;
  kdrc_test::IfSize size;
  size.pages = 1024;
  CaptureStdout();
  ASSERT_EQ(OpenS(KDRC_MODE_OWNER, &owner, size), 0);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("1024 file headers requires 12625 bytes, 1 segments, for shared TOC.\n"
                     " 1 file headers are being reserved for shared TOC.\n"),
            std::string::npos)
      << out;
  // The shared record is the start of segment 0; page 0 holds the pseudo-file, pinned.
  auto* shared = reinterpret_cast<KDRC_FILESHARED_T*>(owner->pSegmentToc->pSegment0);
  ASSERT_EQ(owner->pShared, shared);
  EXPECT_EQ(shared->signature, KDRC_FILESHARED_T_SIG);
  EXPECT_EQ(shared->sharedTocSegments, 1);
  EXPECT_EQ(shared->dateCount, 0);
  EXPECT_EQ(owner->pHeader->cleanMarker, meta::kOpenMarker);
  EXPECT_STREQ(reinterpret_cast<char*>(owner->pSegmentToc->pSegment0) + 76 + 12 * 1024, "t");

  KDRC_PAGE_T* a = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(owner, Guid(1).c_str(), 5000, 0, &a), 0);
  EXPECT_EQ(KDRCX_PageNumber(owner, a), 1);
  ASSERT_EQ(Write(owner, &a, 1, 0), 0);
  ASSERT_EQ(Write(owner, &a, 1, 1, 300), 0);
  EXPECT_EQ(a->entries[0].segment, 1);  // segment 0 is the shared TOC's

  KDRC_FILETOC_T* c1 = nullptr;
  KDRC_FILETOC_T* c2 = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_CLIENT, &c1, size), 0);
  EXPECT_EQ(shared->clients, 1);
  ASSERT_EQ(OpenS(KDRC_MODE_CLIENT, &c2, size), 0);
  EXPECT_EQ(shared->clients, 2);
  EXPECT_STREQ(c1->wellKnownName, "t");

  ASSERT_EQ(KDRCIF_LockCache(c1), 0);
  KDRC_PAGE_T* seen = nullptr;
  int32_t sz[2] = {-1, -1};
  ASSERT_EQ(KDRCIF_FindFile(c1, Guid(1).c_str(), sz, &seen), 0);
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(sz[0], 5000);
  EXPECT_EQ(sz[1], 0);
  EXPECT_EQ(ReadBack(c1, seen, 1, 0), 1);
  EXPECT_EQ(ReadBack(c1, seen, 1, 1, 300), 1);
  EXPECT_EQ(ReadBack(c1, seen, 1, 2), -1);
  // Clients count hits only; the reads moved the page to the newest end of the shared list.
  EXPECT_EQ(KDRCIF_Hits(owner), 2u);
  EXPECT_EQ(KDRCIF_Misses(owner), 0u);
  // The reads a client served itself are the owner's to report.
  KDRCIF_CountClientRead(c1, 300);
  KDRCIF_CountClientRead(c2, 16384);
  uint64_t reads = 0, bytes = 0;
  KDRCIF_ClientReads(owner, &reads, &bytes);
  EXPECT_EQ(reads, 2u);
  EXPECT_EQ(bytes, 16684u);
  // A file's volume stamp is for clients of this make: where a client of an earlier make
  // (which knows no trusted bits) looks for it, past the 16 KiB of counters, nothing is.
  KDRCIF_SetVolumeStamp(owner, Guid(1).c_str(), 77);
  EXPECT_EQ(KDRCIF_VolumeStamp(c1, Guid(1).c_str()), 77u);
  std::ifstream gen(dir_ + "/kdr.gen", std::ios::binary);
  std::string earlier(1 << 20, '\1');
  gen.seekg(16384);
  gen.read(earlier.data(), std::streamsize(earlier.size()));
  EXPECT_EQ(earlier, std::string(1 << 20, '\0'));
  EXPECT_EQ(shared->dateLast, 1);
  // Clients only read.
  CaptureStdout();
  EXPECT_EQ(Write(c1, &seen, 1, 3), KDRC_ERROR_CLIENT_CANNOT_MAP_VM_FILE);
  GetCapturedStdout();
  ASSERT_EQ(KDRCIF_UnLockCache(c1), 0);

  ASSERT_EQ(CloseS(&c2), 0);
  EXPECT_EQ(c2, nullptr);
  EXPECT_EQ(shared->clients, 1);

  // The owner goes while c1 is attached: the warning, and the record says it is closed.
  EXPECT_NE(KDRCIF_ChangeCount(c1), 0u);
  CaptureStdout();
  ASSERT_EQ(CloseS(&owner), 0);
  out = GetCapturedStdout();
  EXPECT_NE(out.find("***** WARNING: Closing KDRCache with client(s) attached! *****\n"),
            std::string::npos);
  auto* seen_by_c1 = reinterpret_cast<KDRC_FILESHARED_T*>(c1->pSegmentToc->pSegment0);
  EXPECT_EQ(seen_by_c1->signature, KDRC_FILESHARED_T_CLOSED_SIG);
  // A closed (or retired) record gives no change count, so no copy made without the lock
  // stands against it, also one whose count was read after the owner went.
  EXPECT_EQ(KDRCIF_ChangeCount(c1), 0u);
  // c1 still holds the mapping objects, so a new client finds them but no owner: 61.
  CaptureStdout();
  EXPECT_EQ(OpenS(KDRC_MODE_CLIENT, &c2, size), KDRC_ERROR_IF_BAD_LENGTH);
  EXPECT_EQ(c2, nullptr);
  EXPECT_EQ(KDRCIF_LockCache(c1), KDRC_ERROR_BAD_TYPE_SIG);
  GetCapturedStdout();
  ASSERT_EQ(CloseS(&c1), 0);
  // With nobody holding them, the mapping objects are gone; still no owner: 61.
  CaptureStdout();
  EXPECT_EQ(OpenS(KDRC_MODE_CLIENT, &c2, size), KDRC_ERROR_IF_BAD_LENGTH);
  GetCapturedStdout();

  // The owner's next open finds its pseudo-file in place and the cached blocks still there.
  CaptureStdout();
  ASSERT_EQ(OpenS(KDRC_MODE_OWNER, &owner, size), 0);
  GetCapturedStdout();
  EXPECT_EQ(KDRCIF_Hits(owner), 0u);
  a = Find(owner, 1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ReadBack(owner, a, 1, 1, 300), 1);
  EXPECT_EQ(ReadBack(owner, a, 1, 7), -1);
  EXPECT_EQ(KDRCIF_Misses(owner), 1u);
  EXPECT_EQ(owner->pShared->dateCount, 1);  // file 1's page; the pseudo-file is pinned again
}

TEST_F(StoreIf, TraceLinesAreNumberedPerHandle) {
  setenv("KDRC_CACHE_TRACE", "1", 1);
  KDRC_FILETOC_T* owner = nullptr;
  ASSERT_EQ(OpenSQuietly(KDRC_MODE_OWNER, &owner), 0);
  std::string dir = dir_;
  EXPECT_EQ(Log(), "00000000,AddFile,CBA81E5BC44A4bb18B5E93035DA083B7,1105\n"
                   "00000001,WriteBlock,CBA81E5BC44A4bb18B5E93035DA083B7,0,17\n"
                   "00000002,OpenS," + dir + ",64,8,2,0,1,0\n");
  KDRC_FILETOC_T* client = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_CLIENT, &client), 0);
  KDRC_PAGE_T* none = nullptr;
  int32_t size[2] = {7, 8};
  ASSERT_EQ(KDRCIF_FindFile(client, Guid(42).c_str(), size, &none), 0);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(size[0], 7);  // left as the caller set it
  EXPECT_EQ(size[1], 8);
  EXPECT_EQ(KDRCIF_Misses(owner), 0u);  // clients do not count misses
  ASSERT_EQ(CloseS(&client), 0);
  std::string log = Log();
  EXPECT_NE(log.find("00000000,OpenS," + dir + ",64,8,2,0,1,0\n00000001,FindFile," + Guid(42) +
                     "\n00000002,Close\n"),
            std::string::npos)
      << log;
}

TEST_F(StoreIf, OwnerRefusesStoresItCannotShareAndLeavesThemUntouched) {
  KDRC_FILETOC_T* s = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_STANDALONE, &s), 0);
  KDRC_PAGE_T* a = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(1).c_str(), 100, 0, &a), 0);
  ASSERT_EQ(Write(s, &a, 1, 0), 0);
  ASSERT_EQ(CloseS(&s), 0);
  auto before = Files();

  // Made stand-alone: page 0 and segment 0 hold file 1, not the shared TOC.
  KDRC_FILETOC_T* owner = nullptr;
  CaptureStdout();
  EXPECT_EQ(OpenS(KDRC_MODE_OWNER, &owner),
            KDRC_ERROR_SEGMENT_CLIENT_MAPPED_VIRTUAL_MEMORY_HAS_BAD_SIGNATURE);
  GetCapturedStdout();
  EXPECT_EQ(owner, nullptr);
  EXPECT_EQ(Files(), before);

  // Left open by an owner that never closed it (the marker says so): 103, untouched.
  Poke32("kdr.mf", 52, meta::kOpenMarker);
  before = Files();
  CaptureStdout();
  EXPECT_EQ(OpenS(KDRC_MODE_STANDALONE, &s), KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
  EXPECT_EQ(OpenS(KDRC_MODE_OWNER, &owner), KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("***ERROR(103): KDRC_ERROR_CACHE_NOT_CLEANLY_CLOSED\n"), std::string::npos);
  EXPECT_EQ(Files(), before);

  // Starting blank makes it an owner's store.
  CaptureStdout();
  ASSERT_EQ(OpenS(KDRC_MODE_OWNER, &owner, kdrc_test::IfSize(), 1), 0);
  GetCapturedStdout();
  EXPECT_EQ(Find(owner, 1), nullptr);
}

TEST_F(StoreIf, WritingIntoAFullStoreEvictsTheOldestPageEvenTheFilesOwnFirstPage) {
  kdrc_test::IfSize size;
  size.pages = 4;
  size.segments = 2;
  KDRC_FILETOC_T* s = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_STANDALONE, &s, size), 0);
  KDRC_PAGE_T* a = nullptr;
  KDRC_PAGE_T* b = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(1).c_str(), 7, 0, &a), 0);
  ASSERT_EQ(Write(s, &a, 1, 0), 0);
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(2).c_str(), 9, 0, &b), 0);
  ASSERT_EQ(Write(s, &b, 2, 0), 0);
  EXPECT_EQ(s->freeSegCount, 0);
  // No segment is free: file 1's only page is the least recently used and goes; the file is
  // added again and the block lands under its new first page.
  ASSERT_EQ(Write(s, &a, 1, 5), 0);
  EXPECT_EQ(Find(s, 1), a);
  EXPECT_EQ(a->sizeLow, 7u);
  EXPECT_EQ(ReadBack(s, a, 1, 0), -1);
  EXPECT_EQ(ReadBack(s, a, 1, 5), 1);
  EXPECT_EQ(ReadBack(s, Find(s, 2), 2, 0), 1);

  // Nothing evictable holds a segment: the write fails and loses nothing.
  ASSERT_EQ(KRDCFile_LockPage(s, a), 0);
  ASSERT_EQ(KRDCFile_LockPage(s, Find(s, 2)), 0);
  KDRC_PAGE_T* c = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(3).c_str(), 1, 0, &c), 0);
  CaptureStdout();
  EXPECT_EQ(Write(s, &c, 3, 0), KDRC_ERROR_OUT_OF_DATA_SEGMENTS);
  GetCapturedStdout();
  EXPECT_EQ(ReadBack(s, Find(s, 2), 2, 0), 1);
  EXPECT_EQ(KDRCFile_CheckMetaFile(s, 127), 0);
}

// A write that fails after its block was recorded (the date list is damaged, so the access
// time cannot be moved) keeps the block's segment taken: handing it out again would let the
// next write overwrite a block that a page still names.
TEST_F(StoreIf, AFailedWriteNeverFreesASegmentAPageStillNames) {
  KDRC_FILETOC_T* s = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_STANDALONE, &s), 0);
  KDRC_PAGE_T* a = nullptr;
  KDRC_PAGE_T* b = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(1).c_str(), 5000, 0, &a), 0);
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(2).c_str(), 5000, 0, &b), 0);
  int32_t na = KDRCX_PageNumber(s, a);
  ASSERT_EQ(s->pDateHead[0], na);  // file 1 is the oldest, file 2 the newest
  s->dateNext[na] = -7;            // file 1's successor link is broken
  CaptureStdout();
  EXPECT_EQ(Write(s, &a, 1, 0), KDRC_ERROR_METAFILE_BAD_DATE_LIST);
  GetCapturedStdout();
  ASSERT_EQ(a->used, 1);  // recorded before the failure
  int32_t kept = a->entries[0].segment;
  ASSERT_EQ(Write(s, &b, 2, 0), 0);  // the newest page: its access time needs no link
  EXPECT_NE(b->entries[0].segment, kept);
  s->dateNext[na] = KDRCX_PageNumber(s, b);  // mended, so reads can move the page again
  EXPECT_EQ(ReadBack(s, a, 1, 0), 1);
}

TEST_F(StoreIf, ClearingEmptiesTheStoreButKeepsTheSharedToc) {
  KDRC_FILETOC_T* owner = nullptr;
  ASSERT_EQ(OpenSQuietly(KDRC_MODE_OWNER, &owner), 0);
  for (int f = 1; f <= 5; ++f) {
    KDRC_PAGE_T* p = nullptr;
    ASSERT_EQ(KDRCIF_AddFile(owner, Guid(f).c_str(), 1, 0, &p), 0);
    ASSERT_EQ(Write(owner, &p, f, 0), 0);
  }
  ASSERT_EQ(KDRCIF_ClearCache(owner), 0);
  for (int f = 1; f <= 5; ++f) EXPECT_EQ(Find(owner, f), nullptr);
  KDRC_PAGE_T* toc = nullptr;
  int32_t size[2] = {0, 0};
  ASSERT_EQ(KDRCIF_FindFile(owner, KDRC_SHARED_TOC_GUID, size, &toc), 0);
  EXPECT_EQ(KDRCX_PageNumber(owner, toc), 0);
  EXPECT_EQ(owner->pHeader->freeCount, 63);
  EXPECT_EQ(owner->freeSegCount, 7);
  EXPECT_EQ(owner->lockHeld, 0);
  EXPECT_EQ(KDRCFile_CheckMetaFile(owner, 127), 0);
}

TEST_F(StoreIf, AnInterfaceLockOutlastsInnerUnlocksAndIsReallyReleased) {
  KDRC_FILETOC_T* owner = nullptr;
  ASSERT_EQ(OpenSQuietly(KDRC_MODE_OWNER, &owner), 0);
  ASSERT_EQ(KDRCIF_LockCache(owner), 0);
  ASSERT_EQ(KDRCFile_UnLockCache(owner), 0);  // what the engine does inside an operation
  EXPECT_EQ(owner->lockHeld, 1);
  ASSERT_EQ(KDRCIF_UnLockCache(owner), 0);
  EXPECT_EQ(owner->lockHeld, 0);
  EXPECT_EQ(owner->lockPinned, 0);
  // Not left owned: a client on another thread gets it at once.
  KDRC_FILETOC_T* client = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_CLIENT, &client), 0);
  int rc = -1;
  std::thread([&] {
    rc = KDRCIF_LockCache(client);
    if (rc == 0) KDRCIF_UnLockCache(client);
  }).join();
  EXPECT_EQ(rc, 0);
}

TEST_F(StoreIf, ExtentsGrowWhileAClientHoldsTheirMappings) {
  kdrc_test::IfSize size;
  size.segments = 4;
  size.maxExtentFiles = 2;
  KDRC_FILETOC_T* owner = nullptr;
  CaptureStdout();
  ASSERT_EQ(OpenS(KDRC_MODE_OWNER, &owner, size), 0);
  GetCapturedStdout();
  const int32_t perExtent = owner->pShared->segsPerExtent;
  KDRC_PAGE_T* a = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(owner, Guid(1).c_str(), 1, 0, &a), 0);
  // Segments 1..3 of the segment file, then the first extent file, taken whole.
  for (int32_t b = 0; b < 10; ++b) ASSERT_EQ(Write(owner, &a, 1, b, 100), 0);
  EXPECT_EQ(owner->pShared->extentFiles, 1);
  EXPECT_EQ(owner->pShared->extentSegments, perExtent);

  KDRC_FILETOC_T* client = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_CLIENT, &client, size), 0);
  ASSERT_EQ(KDRCIF_LockCache(client), 0);
  EXPECT_EQ(ReadBack(client, Find(client, 1), 1, 5, 100), 1);  // maps extent file 0 by name
  ASSERT_EQ(KDRCIF_UnLockCache(client), 0);

  // The owner fills extent file 0 and needs extent file 1; the client keeps extent 0's object.
  int32_t blocks = 3 + perExtent + 5;
  for (int32_t b = 10; b < blocks; ++b) ASSERT_EQ(Write(owner, &a, 1, b, 100), 0) << b;
  EXPECT_EQ(owner->pShared->extentFiles, 2);
  ASSERT_EQ(KDRCIF_LockCache(client), 0);
  KDRC_PAGE_T* seen = Find(client, 1);
  for (int32_t b : {0, 5, 3 + perExtent - 1, 3 + perExtent, blocks - 1})
    EXPECT_EQ(ReadBack(client, seen, 1, b, 100), 1) << b;
  ASSERT_EQ(KDRCIF_UnLockCache(client), 0);
  EXPECT_EQ(KDRCFile_CheckMetaFile(owner, 127), 0);
}

// A full disk while the store is made or grows: each allocation failing in turn is a code at
// open (and the next open works), and a growth that finds no space evicts instead; the
// blocks held stay right.
TEST_F(StoreIf, AFullDiskIsACodeOrAnEvictionNeverACrash) {
  namespace pf = kdr::platform;
  kdrc_test::IfSize size;
  size.segments = 8;
  size.maxExtentFiles = 2;
  int failedOpens = 0;
  for (int skip = 0; skip < 8; ++skip) {
    pf::InjectFault(pf::Sys::kFallocate, ENOSPC, skip);
    KDRC_FILETOC_T* s = nullptr;
    CaptureStdout();
    int rc = OpenS(KDRC_MODE_OWNER, &s, size, 1);
    GetCapturedStdout();
    pf::ClearFaults();
    if (rc != 0) {
      ++failedOpens;
      CaptureStdout();
      rc = OpenS(KDRC_MODE_OWNER, &s, size);
      GetCapturedStdout();
      ASSERT_EQ(rc, 0) << skip;
    }
    ASSERT_EQ(CloseS(&s), 0);
  }
  EXPECT_GE(failedOpens, 4);  // segment file, its space again, checksums, counters

  KDRC_FILETOC_T* s = nullptr;
  CaptureStdout();
  ASSERT_EQ(OpenS(KDRC_MODE_OWNER, &s, size, 1), 0);
  GetCapturedStdout();
  KDRC_PAGE_T* a = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(1).c_str(), 1, 0, &a), 0);
  pf::InjectFault(pf::Sys::kFallocate, ENOSPC, 0, -1);
  for (int32_t b = 0; b < 40; ++b) ASSERT_EQ(Write(s, &a, 1, b, 100), 0) << b;
  s->growRetryMs = 0;  // the growth ahead of the lock finds the disk as full
  EXPECT_NE(KDRCIF_PrepareGrowth(s), 0);
  pf::ClearFaults();
  EXPECT_EQ(s->pShared->extentSegments, 0);
  int held = 0;
  for (int32_t b = 0; b < 40; ++b) {
    int r = ReadBack(s, Find(s, 1), 1, b, 100);
    EXPECT_NE(r, 0) << b;
    held += r == 1;
  }
  EXPECT_GT(held, 0);
  EXPECT_EQ(KDRCFile_CheckMetaFile(s, 127), 0);
}

// The block checksum is CRC32C as others compute it, by instruction, table or side by side.
TEST(BlockChecksum, IsCrc32cWhicheverWayItIsComputed) {
  EXPECT_EQ(kdrc::Crc32c(0, "123456789", 9), 0xE3069283u);
  std::vector<uint8_t> bytes(16384 + 7);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 131 + (i >> 7));
  // Long pieces go in stripes of three lanes: lengths about a stripe's (4080 bytes) and two.
  for (size_t len : {size_t{0}, size_t{1}, size_t{7}, size_t{9}, size_t{1000}, size_t{4079},
                     size_t{4080}, size_t{4081}, size_t{8167}, size_t{16384}, bytes.size()}) {
    EXPECT_EQ(kdrc::Crc32c(0, bytes.data(), len), kdrc::Crc32cPortable(0, bytes.data(), len));
    EXPECT_EQ(kdrc::Crc32c(0x12345678u, bytes.data() + 5, len > 5 ? len - 5 : 0),
              kdrc::Crc32cPortable(0x12345678u, bytes.data() + 5, len > 5 ? len - 5 : 0))
        << len;
    const uint8_t* data[3] = {bytes.data(), bytes.data() + 1, bytes.data() + 3};
    size_t lens[3] = {len, len / 2, len > 3 ? len - 3 : 0};
    uint32_t many[3];
    kdrc::Crc32cMany(data, lens, many, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(many[i], kdrc::Crc32cPortable(0, data[i], lens[i])) << len;
  }
}

TEST_F(StoreIf, GrowingAStandAloneExtentFileKeepsWhatItHolds) {
  kdrc_test::IfSize size;
  size.segments = 2;
  size.maxExtentFiles = 1;
  KDRC_FILETOC_T* s = nullptr;
  ASSERT_EQ(OpenS(KDRC_MODE_STANDALONE, &s, size), 0);
  KDRC_PAGE_T* a = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, Guid(1).c_str(), 1, 0, &a), 0);
  // 256 extent segments at a time: the second step must not disturb the first's blocks.
  int32_t blocks = 2 + 256 + 10;
  for (int32_t b = 0; b < blocks; ++b) ASSERT_EQ(Write(s, &a, 1, b, 100), 0) << b;
  EXPECT_EQ(s->pShared->extentSegments, 512);
  for (int32_t b = 0; b < blocks; ++b) ASSERT_EQ(ReadBack(s, a, 1, b, 100), 1) << b;
  ASSERT_EQ(CloseS(&s), 0);
  ASSERT_EQ(OpenS(KDRC_MODE_STANDALONE, &s, size), 0);
  a = Find(s, 1);
  for (int32_t b = 0; b < blocks; b += 17) ASSERT_EQ(ReadBack(s, a, 1, b, 100), 1) << b;
}

// A rewrite of a block that fails after its entry was recorded (here: a damaged date list)
// keeps the segment that entry names, though an older entry of the same block comes first.
TEST_F(StoreIf, AFailedRewriteNeverFreesTheSegmentItsEntryNames) {
  KDRC_FILETOC_T* s = nullptr;
  ASSERT_EQ(OpenSQuietly(KDRC_MODE_OWNER, &s), 0);
  KDRC_PAGE_T* first = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, kdrc_test::Guid(4).c_str(), 1000, 0, &first), 0);
  ASSERT_EQ(Write(s, &first, 4, 0), 0);
  KDRC_PAGE_T* other = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(s, kdrc_test::Guid(5).c_str(), 1000, 0, &other), 0);
  ASSERT_EQ(Write(s, &other, 5, 0), 0);
  const int32_t n = KDRCX_PageNumber(s, first);
  const int32_t saved = s->dateNext[n];
  s->dateNext[n] = s->pageCount + 7;
  CaptureStdout();
  EXPECT_NE(Write(s, &first, 4, 0), 0);
  GetCapturedStdout();
  s->dateNext[n] = saved;
  CaptureStdout();
  int check = KDRCFile_CheckMetaFile(s, 127);
  std::string said = GetCapturedStdout();
  EXPECT_EQ(check, 0) << said;
}

}  // namespace
