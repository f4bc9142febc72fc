// The owner process of the fast-cache tests: the cache server's side of the store.
//   fastcache_owner DIR MAP STOP [churn]
// Opens the store in DIR (mapping name MAP) as its owner, deleting what was there, writes the
// files of fastcache_layout.h, prints "ready", and closes the store once the file STOP exists
// (or after 20 seconds), printing "closed=<rc>". Exit status 0, or 3 when the store could not
// be built.
// With "churn" the store has kChurnSegments segments and holds file L; once the file
// STOP.churn exists the owner keeps changing it until STOP: each round evicts one of L's pages,
// writes new blocks of file M (which evicts more), and writes L's missing blocks again, then
// lets go of the cache lock for a moment. It prints "rounds=<n>" before closing.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "fastcache/fastcache_layout.h"
#include "store/kdrc.h"

using namespace kdr::fastcache_test;

namespace {

int Build(KDRC_FILETOC_T* s) {
  for (const CachedFile& f : kFiles) {
    KDRC_PAGE_T* first = nullptr;
    int rc = KDRCIF_AddFile(s, Guid(f.letter).c_str(), uint32_t(f.size), uint32_t(f.size >> 32),
                            &first);
    if (rc != 0) return rc;
    KDRCIF_SetVolumeStamp(s, Guid(f.letter).c_str(), uint64_t(StampOf(f.letter)));
    for (int32_t b = 0; b < f.blocks; ++b) {
      int32_t length = b + 1 == f.blocks ? f.lastLength : kBlock;
      std::string bytes = FileBytes(f.letter, int64_t(b) * kBlock, length);
      if ((rc = KDRCIF_WriteBlock(s, &first, b, bytes.data(), length)) != 0) return rc;
    }
  }
  return 0;
}

bool Present(KDRC_FILETOC_T* s, KDRC_PAGE_T* first, int32_t block) {
  char none[1];
  int32_t length = -1;
  return KDRCIF_ReadBlockPart(s, first, block, 0, 0, none, &length) == 0 && length >= 0;
}

// The bytes of L's blocks and of a few blocks of M, made once.
struct ChurnBytes {
  std::string l = FileBytes(kFileL.letter, 0, kFileL.size);
  std::string m = FileBytes('M', 0, 8 * int64_t(kBlock));
};

// One round of changes to L (see above). Returns a store code.
int Churn(KDRC_FILETOC_T* s, std::mt19937* rng, int32_t* nextM) {
  static const ChurnBytes* const kBytes = new ChurnBytes;
  const std::string l = Guid(kFileL.letter);
  const std::string m = Guid('M');
  int32_t size[2] = {0, 0};
  KDRC_PAGE_T* first = nullptr;
  int rc = KDRCIF_FindFile(s, l.c_str(), size, &first);
  if (rc == 0 && first != nullptr) {
    KDRC_PAGE_T* victim = first;
    for (uint32_t k = (*rng)() % 3; k > 0 && victim->next != -1; --k) {
      victim = KDRCX_PageAt(s, victim->next);
    }
    if (victim != nullptr) rc = KRDCFile_DeleteThisPage(s, victim);
  }
  KDRC_PAGE_T* mFirst = nullptr;
  if (rc == 0) rc = KDRCIF_FindFile(s, m.c_str(), size, &mFirst);
  if (rc == 0 && mFirst == nullptr) rc = KDRCIF_AddFile(s, m.c_str(), 0, 1, &mFirst);
  for (int i = 0; rc == 0 && i < 30; ++i, ++*nextM) {
    const char* bytes = kBytes->m.data() + int64_t(*nextM % 8) * kBlock;
    rc = KDRCIF_WriteBlock(s, &mFirst, *nextM, bytes, kBlock);
  }
  if (rc == 0) rc = KDRCIF_FindFile(s, l.c_str(), size, &first);
  if (rc == 0 && first == nullptr)
    rc = KDRCIF_AddFile(s, l.c_str(), uint32_t(kFileL.size), uint32_t(kFileL.size >> 32), &first);
  KDRCIF_SetVolumeStamp(s, l.c_str(), uint64_t(StampOf(kFileL.letter)));
  for (int32_t b = 0; rc == 0 && b < kFileL.blocks; ++b) {
    if (Present(s, first, b)) continue;
    rc = KDRCIF_WriteBlock(s, &first, b, kBytes->l.data() + int64_t(b) * kBlock, kBlock);
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  const bool churn = argc == 5 && std::string(argv[4]) == "churn";
  std::string dir = argv[1];
  std::string map = argv[2];
  KDRCIF_OPEN_PARAMS p{};
  p.cacheDir = dir.data();
  p.mapName = map.data();
  p.filePages = kFilePages;
  p.segments = churn ? kChurnSegments : kSegments;
  p.hashBlocks = kHashBlocks;
  p.totalExtentMB = kExtentMB * kExtents;
  p.extentMB = kExtentMB;
  p.maxExtentFiles = kExtents;
  p.create = 1;
  p.deleteFirst = 1;
  p.mode = KDRC_MODE_OWNER;
  KDRC_FILETOC_T* s = nullptr;
  int rc = KDRCIF_OpenS(&p, &s);
  if (rc == 0 && KDRCIF_LockCache(s) == 0) {
    if (churn) {
      int32_t none = 0;
      std::mt19937 rng(1);
      rc = Churn(s, &rng, &none);
    } else {
      rc = Build(s);
    }
    KDRCIF_UnLockCache(s);
  }
  if (rc == 0) std::printf("ready\n");
  else std::printf("failed=%d\n", rc);
  std::fflush(stdout);
  if (rc != 0) return 3;
  const std::string go = std::string(argv[3]) + ".churn";
  int rounds = 0;
  int32_t nextM = 0;
  std::mt19937 rng(7);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && !std::filesystem::exists(argv[3])) {
    if (churn && rc == 0 && std::filesystem::exists(go)) {
      // A few rounds under one hold of the lock, then a moment for the readers.
      if ((rc = KDRCIF_LockCache(s)) != 0) break;
      for (int k = 0; k < 2 && rc == 0; ++k, ++rounds) rc = Churn(s, &rng, &nextM);
      KDRCIF_UnLockCache(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (churn) std::printf("rounds=%d rc=%d\n", rounds, rc);
  std::printf("closed=%d\n", KDRCIF_Close(&s));
  std::fflush(stdout);
  return 0;
}
