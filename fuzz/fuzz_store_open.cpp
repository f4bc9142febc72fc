// Opening a cache store whose files hold arbitrary bytes: a stand-alone open, every check of
// the metafile (mask 127), close. A corrupt store must give a code, never a read or write
// outside the mapped files.
//
// At start-up a small store (8 file pages, 8 segments, 1 hash block, no extents, two cached
// files) is made in a private directory and its files kept as templates; each input gets the
// directory afresh and removes it when done. Input: the metafile's bytes, optionally followed
// by kSeparator and the hash file's bytes, and by a second kSeparator and the segment file's
// bytes; a file the input does not give is its template. An empty input is the sound store
// itself. With KDR_FUZZ_STORE_SEED set to a path, start-up also writes the store's metafile
// and hash file there in this format (the seed corpus).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "store/kdrc.h"
#include "store/metafile_format.h"

namespace {

namespace pf = kdr::platform;

constexpr std::string_view kSeparator = "#KDR-FILE#";
constexpr int32_t kFilePages = 8;
constexpr int32_t kSegments = 8;
constexpr int32_t kHashBlocks = 1;
constexpr int32_t kLargestFuzzedExtentMB = 1024;

struct Fixture {
  std::string dir;
  std::string files[3];      // metafile, hash file, segment file
  std::string templates[3];
};

// Lives until the process ends; never destroyed (nothing runs at exit but the clean-up).
Fixture* gFixture = nullptr;

bool WriteWhole(const std::string& path, std::string_view bytes) {
  int fd = pf::kNoFile;
  if (pf::OpenFile(path.c_str(), pf::FileMode::kCreateTruncate, &fd) != 0) return false;
  bool ok = bytes.empty() || pf::WriteFileAt(fd, 0, bytes.data(), bytes.size()) == 0;
  return pf::CloseFile(fd) == 0 && ok;
}

bool ReadWhole(const std::string& path, std::string* out) {
  int fd = pf::kNoFile;
  if (pf::OpenFile(path.c_str(), pf::FileMode::kReadOnly, &fd) != 0) return false;
  uint64_t size = 0;
  size_t done = 0;
  bool ok = pf::FileSize(fd, &size) == 0;
  if (ok) {
    out->assign(static_cast<size_t>(size), '\0');
    ok = size == 0 || (pf::ReadFileAt(fd, 0, out->data(), out->size(), &done) == 0 &&
                       done == out->size());
  }
  return pf::CloseFile(fd) == 0 && ok;
}

KDRCIF_OPEN_PARAMS Params(Fixture* f, bool create) {
  KDRCIF_OPEN_PARAMS p{};
  p.cacheDir = f->dir.data();
  p.mapName = nullptr;
  p.filePages = kFilePages;
  p.segments = kSegments;
  p.hashBlocks = kHashBlocks;
  p.create = create;
  p.deleteFirst = create;
  p.mode = KDRC_MODE_STANDALONE;
  return p;
}

void RemoveDir() {
  if (gFixture == nullptr) return;
  std::error_code ec;
  std::filesystem::remove_all(gFixture->dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The store prints its error lines on stdout: thousands a second are of no use here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  auto* f = new Fixture;
  std::error_code ec;
  // The files are rewritten for every input: a memory file system keeps that quick.
  std::filesystem::path base = "/dev/shm";
  if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path(ec);
  f->dir = (base / ("kdr_fuzz_store." + std::to_string(pf::CurrentProcessId()))).string();
  std::filesystem::remove_all(f->dir, ec);
  std::filesystem::create_directories(f->dir, ec);
  KDR_FUZZ_CHECK(!ec);
  // The store's named mapping objects go to a runtime directory of this run's own.
  KDR_FUZZ_CHECK(::setenv("KDR_RUNTIME_DIR", (f->dir + "/run").c_str(), 1) == 0);
  f->files[0] = f->dir + "/kdr.mf";
  f->files[1] = f->dir + "/kdr.hsh";
  f->files[2] = f->dir + "/kdr.seg";
  gFixture = f;

  KDRCIF_OPEN_PARAMS p = Params(f, true);
  KDRC_FILETOC_T* toc = nullptr;
  KDR_FUZZ_CHECK(KDRCIF_OpenS(&p, &toc) == 0);
  // Two cached files, so that pages, chains, the hash file and the date list have something
  // in them: one of three blocks (the last one short), one of a single block.
  static unsigned char block[16384];
  KDRC_PAGE_T* first = nullptr;
  KDR_FUZZ_CHECK(KDRCIF_AddFile(toc, "0123456789ABCDEF0123456789ABCDEF", 40000, 0, &first) == 0);
  KDR_FUZZ_CHECK(KDRCIF_WriteBlock(toc, &first, 0, block, 16384) == 0);
  KDR_FUZZ_CHECK(KDRCIF_WriteBlock(toc, &first, 1, block, 16384) == 0);
  KDR_FUZZ_CHECK(KDRCIF_WriteBlock(toc, &first, 2, block, 40000 - 2 * 16384) == 0);
  KDR_FUZZ_CHECK(KDRCIF_AddFile(toc, "01234567-89AB-CDEF-0123-456789ABCDEF", 100, 0, &first) == 0);
  KDR_FUZZ_CHECK(KDRCIF_WriteBlock(toc, &first, 0, block, 100) == 0);
  KDR_FUZZ_CHECK(KDRCFile_CheckMetaFile(toc, KDRC_CHECK_ALL) == 0);
  KDR_FUZZ_CHECK(KDRCIF_Close(&toc) == 0);
  for (int i = 0; i < 3; ++i) KDR_FUZZ_CHECK(ReadWhole(f->files[i], &f->templates[i]));
  RemoveDir();

  if (const char* seed = pf::GetEnv("KDR_FUZZ_STORE_SEED"); seed != nullptr) {
    std::string bytes = f->templates[0];
    bytes += kSeparator;
    bytes += f->templates[1];
    KDR_FUZZ_CHECK(WriteWhole(seed, bytes));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture* f = gFixture;
  // A header may claim any extent size the store allows (up to about 2 TB), and the open then
  // builds segment maps of that size, hundreds of megabytes: sound, and too slow to fuzz.
  // Those inputs are passed over; sizes past the store's limits still go through.
  if (size >= 52) {
    int32_t totalExtentMB = 0;
    std::memcpy(&totalExtentMB, data + 48, sizeof totalExtentMB);  // little-endian host
    if (totalExtentMB > kLargestFuzzedExtentMB && totalExtentMB <= kdrc::meta::kMaxTotalMegabytes)
      return 0;
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view parts[3];
  bool given[3] = {size > 0, false, false};
  parts[0] = input;
  for (int i = 1; i < 3 && given[i - 1]; ++i) {
    size_t at = parts[i - 1].find(kSeparator);
    if (at == std::string_view::npos) break;
    parts[i] = parts[i - 1].substr(at + kSeparator.size());
    parts[i - 1] = parts[i - 1].substr(0, at);
    given[i] = true;
  }
  std::error_code ec;
  std::filesystem::create_directories(f->dir, ec);
  for (int i = 0; i < 3; ++i) {
    KDR_FUZZ_CHECK(WriteWhole(f->files[i], given[i] ? parts[i] : f->templates[i]));
  }

  KDRCIF_OPEN_PARAMS p = Params(f, false);
  KDRC_FILETOC_T* toc = nullptr;
  int rc = KDRCIF_OpenS(&p, &toc);
  if (rc != 0) {
    KDR_FUZZ_CHECK(rc > 0);
    KDR_FUZZ_CHECK(toc == nullptr);
  } else {
    KDR_FUZZ_CHECK(toc != nullptr);
    int check = KDRCFile_CheckMetaFile(toc, KDRC_CHECK_ALL);
    KDR_FUZZ_CHECK(check >= 0);
    if (size == 0) KDR_FUZZ_CHECK(check == 0);  // the template store is sound
    KDR_FUZZ_CHECK(KDRCIF_Close(&toc) == 0);
    KDR_FUZZ_CHECK(toc == nullptr);
  }
  // Nothing stays behind between inputs: libFuzzer may end the process without running
  // exit handlers.
  RemoveDir();
  return 0;
}
