// The store tool run as a process on real stores: its exit codes and lines on a clean store, a
// damaged one and a missing one; attaching to a store that is open, with and without its
// cache lock free; and that inspecting never changes a byte of the store.
#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/shared_objects.h"
#include "store/hash_format.h"
#include "store/store_fixture.h"

namespace {

using kdrc_test::Guid;
using kdrc_test::StoreSize;
namespace meta = kdrc::meta;

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)
#define EXPECT_LACKS(text, part) EXPECT_EQ((text).find(part), std::string::npos) << (text)

struct Result {
  int status = -1;
  std::string out;
};

// Runs the tool with `args` and returns its exit status and everything it printed.
Result RunTool(const std::string& args) {
  Result r;
  std::string cmd = std::string(KDRCSTORE_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

class Tool : public kdrc_test::StoreTest {
 protected:
  // A closed store of three files (pages 0 to 3 allocated, 4 to 63 free).
  void MakeStore() {
    ASSERT_EQ(Open(StoreSize{64, 48}), 0);
    ASSERT_NE(AddFile(Guid(1).c_str(), 3), nullptr);
    ASSERT_NE(AddFile(Guid(2).c_str(), 37), nullptr);
    ASSERT_NE(AddFile(Guid(3).c_str(), 1), nullptr);
    Close();
  }
  std::vector<std::vector<uint8_t>> Files() const {
    return {ReadAll("kdr.mf"), ReadAll("kdr.hsh"), ReadAll("kdr.seg")};
  }
  std::string Args(const std::string& more = "") const { return "--name t " + more + " " + dir_; }
};

TEST_F(Tool, CleanStoreIsInspectedAndPassesWithoutBeingChanged) {
  MakeStore();
  auto before = Files();
  Result r = RunTool(Args());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_HAS(r.out, "state:       not open; closed cleanly\n");
  EXPECT_HAS(r.out, "files:       3\n");
  EXPECT_HAS(r.out, "pages:       4 allocated, 60 free, 0 floating\n");
  EXPECT_HAS(r.out, "blocks:      41 cached");
  EXPECT_HAS(r.out, "segments:    41 in use, 7 free, of 48");
  EXPECT_HAS(r.out, "check segment map         ok\n");
  EXPECT_HAS(r.out, "result: clean\n");
  EXPECT_LACKS(r.out, "FINDING");
  EXPECT_EQ(Files(), before);

  Result c = RunTool(Args("--check-only"));
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_LACKS(c.out, "files:");
  Result i = RunTool(Args("-i"));
  EXPECT_EQ(i.status, 0) << i.out;
  EXPECT_LACKS(i.out, "result:");
  // The tool's own mapping names are gone with it: the store opens as before.
  ASSERT_EQ(Open(StoreSize{64, 48}), 0);
}

TEST_F(Tool, EachDamagedStructureIsOneFinding) {
  MakeStore();
  // Cut the free list one page before its tail, and drop file 2 from the hash file.
  Poke32("kdr.mf", meta::PageOffset(62) + offsetof(meta::Page, next), -1);
  ASSERT_EQ(Open(StoreSize{64, 48}), 0);
  int32_t bucket = -1;
  ASSERT_EQ(KDRCHash_Entry(toc_, Guid(2).c_str(), &bucket), 0);
  Close();
  Poke32("kdr.hsh", uint64_t(bucket) * kdrc::hash::kBucketSize, -1);

  auto before = Files();
  Result r = RunTool(Args());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_HAS(r.out, "FINDING free page list: 16 "
                               "KDRC_ERROR_METAFILE_LINKED_FREEPAGE_COUNT_DOES_NOT_EQUAL_HEADER_COUNT");
  EXPECT_HAS(r.out, "FINDING hash coverage: 71 KDRC_ERROR_METAFILE_FILE_NOT_IN_HASH_LIST:= 1\n");
  EXPECT_HAS(r.out, "check pages               ok\n");
  EXPECT_HAS(r.out, "result: 2 findings\n");
  EXPECT_EQ(Files(), before);
}

TEST_F(Tool, DamageThatRefusesTheOpenIsAFindingAndMissingFilesAreNot) {
  MakeStore();
  Poke32("kdr.mf", meta::PageOffset(20) + offsetof(meta::Page, self), 21);
  Result r = RunTool(Args());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_HAS(r.out, "FINDING open: 25 KDRC_ERROR_METAFILE_ATTEMPT_TO_FREE_PAGE_WITH_BAD_OFFSET\n");

  Result missing = RunTool(Args() + "/nowhere");
  EXPECT_EQ(missing.status, 2) << missing.out;
  EXPECT_HAS(missing.out, "kdrcstore: no cache store in " + dir_ + "/nowhere");

  Poke32("kdr.mf", meta::PageOffset(20) + offsetof(meta::Page, self), 20);
  std::filesystem::remove(Path("kdr.hsh"));
  Result nohash = RunTool(Args());
  EXPECT_EQ(nohash.status, 2) << nohash.out;
  EXPECT_HAS(nohash.out, "kdrcstore: cannot open the store in");
}

TEST_F(Tool, UsageErrorsAndHelp) {
  Result h = RunTool("--help");
  EXPECT_EQ(h.status, 0);
  EXPECT_HAS(h.out, "Usage: kdrcstore");
  EXPECT_HAS(h.out, "Exit status:");
  EXPECT_EQ(RunTool("--frobnicate " + dir_).status, 2);
  EXPECT_EQ(RunTool(dir_ + " " + dir_).status, 2);
}

TEST_F(Tool, OpenStoreIsInspectedAsAClientUnderItsCacheLock) {
  MakeStore();
  ASSERT_EQ(Open(StoreSize{64, 48}), 0);  // this process keeps the store open (name "t")
  auto before = Files();
  Result r = RunTool(Args());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_HAS(r.out, "open by a cache server; inspected as a client, without a cache lock");
  EXPECT_HAS(r.out, "files:       3\n");
  EXPECT_EQ(Files(), before);

  // With the cache lock shared, the tool waits for it; held elsewhere, it gives up after 5 s.
  kdr::platform::NamedMutex* m = nullptr;
  ASSERT_EQ(kdr::platform::CreateNamedMutex("t", &m), 0);
  Result free = RunTool(Args("-c"));
  EXPECT_EQ(free.status, 0) << free.out;
  ASSERT_EQ(kdr::platform::WaitNamedMutex(m, 1000), kdr::platform::kWaitObject0);
  Result busy = RunTool(Args());
  EXPECT_EQ(busy.status, 2) << busy.out;
  EXPECT_HAS(busy.out, "stayed busy");
  kdr::platform::ReleaseNamedMutex(m);
  Result info = RunTool(Args("-i"));
  EXPECT_HAS(info.out, "inspected as a client holding the cache lock");
  kdr::platform::CloseNamedMutex(m);
}

TEST_F(Tool, OwnerIsFoundByTheNameItRecordedAndItsSharedDateListIsChecked) {
  std::string name = "own";
  KDRCIF_OPEN_PARAMS prm{dir_.data(), name.data(), 64, 48, 1, 0, 16, 0, 1, 0, KDRC_MODE_OWNER, 0};
  KDRC_FILETOC_T* owner = nullptr;
  ::testing::internal::CaptureStdout();
  int rc = KDRCIF_OpenS(&prm, &owner);
  std::string opened = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0) << opened;
  meta::Page* first = nullptr;
  ASSERT_EQ(KDRCIF_AddFile(owner, Guid(5).c_str(), 50000, 0, &first), 0);
  std::vector<uint8_t> block(16384, 7);
  for (int32_t b = 0; b < 4; ++b)
    ASSERT_EQ(KDRCIF_WriteBlock(owner, &first, b, block.data(), int32_t(block.size())), 0);

  Result r = RunTool(dir_);  // no name given: the one the owner recorded is used
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_HAS(r.out, "map name:    own\n");
  EXPECT_HAS(r.out, "inspected as a client holding the cache lock");
  EXPECT_HAS(r.out, "owner:       open");
  EXPECT_HAS(r.out, "clients:     0\n");
  EXPECT_HAS(r.out, "check date list (shared)  ok\n");
  EXPECT_EQ(owner->pShared->clients, 0);

  owner->pDateHead[2] += 1;  // the owner's list, in shared memory, miscounted
  Result bad = RunTool("-c " + dir_);
  EXPECT_EQ(bad.status, 1) << bad.out;
  EXPECT_HAS(bad.out, "FINDING date list (shared): 67 KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG");
  EXPECT_HAS(bad.out, "result: 1 finding\n");
  owner->pDateHead[2] -= 1;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(KDRCIF_Close(&owner), 0);
  ::testing::internal::GetCapturedStdout();

  // Closed, the store is read from its files; the owner's last counters are still shown.
  Result closed = RunTool(dir_);
  EXPECT_EQ(closed.status, 0) << closed.out;
  EXPECT_HAS(closed.out, "state:       not open; closed cleanly");
  EXPECT_HAS(closed.out, "owner:       closed");
}

TEST_F(Tool, RandomlyDamagedFilesGiveFindingsNeverACrash) {
  MakeStore();
  const std::vector<uint8_t> mf = ReadAll("kdr.mf");
  const std::vector<uint8_t> hsh = ReadAll("kdr.hsh");
  std::mt19937 rng(11);
  int findings = 0;
  for (int round = 0; round < 24; ++round) {
    std::vector<uint8_t> m = mf;
    std::vector<uint8_t> h = hsh;
    for (int k = 0; k < 1 + round % 3; ++k) {
      // A field of the header, of a file's page (pages 0 to 3) or a link of a free page; or a
      // byte of the hash file.
      size_t record = rng() % 6;
      size_t at = record == 0   ? rng() % 56
                  : record < 5 ? record * 512 + rng() % 144
                               : (5 + rng() % 60) * 512 + 4 + rng() % 12;
      m[at] ^= uint8_t(1u << (rng() % 8));
      if (round % 2 == 0) h[rng() % h.size()] = uint8_t(rng());
    }
    WriteAll("kdr.mf", m);
    WriteAll("kdr.hsh", h);
    Result r = RunTool(Args("-c"));
    ASSERT_TRUE(r.status == 0 || r.status == 1) << "round " << round << ": " << r.status << "\n" << r.out;
    if (r.status == 1) ++findings;
  }
  EXPECT_GT(findings, 12);
}

}  // namespace
