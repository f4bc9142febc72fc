// The owner process of the fast-cache tests: the cache server's side of the store.
//   fastcache_owner DIR MAP STOP
// Opens the store in DIR (mapping name MAP) as its owner, deleting what was there, writes the
// files of fastcache_layout.h, prints "ready", and closes the store once the file STOP exists
// (or after 20 seconds), printing "closed=<rc>". Exit status 0, or 3 when the store could not
// be built.
#include <chrono>
#include <cstdio>
#include <filesystem>
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
    for (int32_t b = 0; b < f.blocks; ++b) {
      int32_t length = b + 1 == f.blocks ? f.lastLength : kBlock;
      std::string bytes = FileBytes(f.letter, int64_t(b) * kBlock, length);
      if ((rc = KDRCIF_WriteBlock(s, &first, b, bytes.data(), length)) != 0) return rc;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::string dir = argv[1];
  std::string map = argv[2];
  KDRCIF_OPEN_PARAMS p{};
  p.cacheDir = dir.data();
  p.mapName = map.data();
  p.filePages = kFilePages;
  p.segments = kSegments;
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
    rc = Build(s);
    KDRCIF_UnLockCache(s);
  }
  if (rc == 0) std::printf("ready\n");
  else std::printf("failed=%d\n", rc);
  std::fflush(stdout);
  if (rc != 0) return 3;
  for (int i = 0; i < 2000 && !std::filesystem::exists(argv[3]); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::printf("closed=%d\n", KDRCIF_Close(&s));
  std::fflush(stdout);
  return 0;
}
