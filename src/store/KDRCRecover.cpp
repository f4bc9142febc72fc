// KDRCRecover: the checksum of every block, and the repair of a store whose owner did not
// close it (killed, or crashed).
//
// Checksums. "kdr.crc" beside the metafile holds a 4096-byte header (the text "KDRCSUM1",
// then the number of segments the store can have, 32-bit) and one 32-bit word per segment at
// 4096 + 4 * g: the CRC32C of the block segment g holds, extended over the block's identity
// (its block number, length, file size and GUID), so a segment's old bytes, or another
// block's, never pass for the block an entry names. A block's word is set after its bytes are
// in the segment and before the page entry that names it is written; an entry whose word does
// not match is a block the owner did not finish, or bytes damaged since. Disk space of the
// file is allocated for the segments in use only (the rest grows with the extent files).
//
// Repair. A killed owner leaves the files as its last instructions left them: a block being
// copied, a page half moved between lists, a hash bucket half linked. The repair keeps what
// it can vouch for and frees the rest: pages that are sound and reachable from their file's
// single first page through consistent links, entries whose segment is in range and named by
// no other entry, and, once the segments are mapped, whose checksum matches. The free list,
// the hash file and the date list are rebuilt from the pages kept. The repair reads the pages
// from the file and writes only what it changes: after a kill most of a store is sound, and
// each page written is one more page of the metafile to fault in and flush to the disk.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/durable.h"
#include "platform/fs.h"
#include "platform/shared_objects.h"
#include "store/crc32c.h"
#include "store/hash_format.h"
#include "store/kdrc_internal.h"
#include "store/segment_format.h"

static const char kModule[] = "KDRCRecover";

namespace plat = kdr::platform;
namespace meta = kdrc::meta;
using kdrc::seg::kSegmentSize;

namespace {

constexpr char kSumsMagic[8] = {'K', 'D', 'R', 'C', 'S', 'U', 'M', '1'};
constexpr uint64_t kSumsHeader = 4096;

struct BlockIdentity {
  int32_t block;
  int32_t length;
  uint32_t sizeLow;
  uint32_t sizeHigh;
  char guid[meta::kGuidLength];
};

int64_t Capacity(const KDRC_FILESHARED_T* sh) {
  return int64_t(sh->segments) + int64_t(sh->totalExtentMB) * meta::kSegmentsPerMegabyte;
}

uint64_t SumsBytesFor(int64_t segments) { return kSumsHeader + 4 * uint64_t(segments); }

bool IsSharedTocPage(const meta::Page* p) {
  return p->guid[0] == KDRC_SHARED_TOC_GUID[0] &&
         std::strncmp(p->guid, KDRC_SHARED_TOC_GUID, meta::kGuidLength) == 0;
}

bool Printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

bool SoundGuid(const meta::Page* p) {
  bool sound = true;  // no early exit: the compiler checks many bytes at a step
  for (int i = 0; i < kdrc::hash::kMinGuidLength; ++i)
    sound &= Printable(static_cast<unsigned char>(p->guid[i]));
  for (int i = kdrc::hash::kMinGuidLength; i < meta::kGuidLength; ++i) {
    auto c = static_cast<unsigned char>(p->guid[i]);
    sound &= c == 0 || Printable(c);
  }
  return sound;
}

void FreeEntry(meta::SegmentEntry* e) { std::memset(e, 0xFF, sizeof *e); }

// Removes entry i of the page, keeping the others packed at the front.
void RemoveEntry(meta::Page* p, int32_t i) {
  int32_t last = p->used - 1;
  if (i != last) p->entries[i] = p->entries[last];
  FreeEntry(&p->entries[last]);
  p->used = last;
}

// A hash of the GUID as SameGuid compares it (up to its first NUL), eight bytes at a step.
uint64_t GuidHash(const meta::Page* p) {
  uint64_t w[5] = {};
  const size_t len = strnlen(p->guid, meta::kGuidLength);
  std::memcpy(w, p->guid, len);
  uint64_t h = 1469598103934665603ull ^ len;
  for (uint64_t x : w) {
    h = (h ^ x) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return h * 0xBF58476D1CE4E5B9ull;
}

bool SameGuid(const meta::Page* a, const meta::Page* b) {
  return std::strncmp(a->guid, b->guid, meta::kGuidLength) == 0;
}

}  // namespace

namespace {

// Extends the CRC of a block's bytes over its identity.
uint32_t WithIdentity(uint32_t c, const KDRC_PAGE_T* page, int32_t block, int32_t length) {
  BlockIdentity id;
  std::memset(&id, 0, sizeof id);
  id.block = block;
  id.length = length;
  id.sizeLow = page->sizeLow;
  id.sizeHigh = page->sizeHigh;
  std::memcpy(id.guid, page->guid, meta::kGuidLength);
  return kdrc::Crc32c(c, &id, sizeof id);
}

}  // namespace

uint32_t KDRCX_BlockSum(const KDRC_PAGE_T* page, int32_t block, const void* data, int32_t length) {
  return WithIdentity(kdrc::Crc32c(0, data, size_t(length < 0 ? 0 : length)), page, block, length);
}

int64_t KDRCX_SegmentCapacity(const KDRC_FILESHARED_T* sh) { return Capacity(sh); }

int KDRCX_SegmentTrusted(const KDRC_FILETOC_T* pToc, int32_t g) {
  // Without bits: a stand-alone store or its tool, which read what they check themselves; a
  // client of an owner without them trusts nothing.
  if (pToc->pTrusted == nullptr) return pToc->client ? 0 : 1;
  if (g < 0 || g >= pToc->trustedSegments) return 0;
  return (pToc->pTrusted[g >> 3] >> (g & 7)) & 1;
}

void KDRCX_TrustSegment(KDRC_FILETOC_T* pToc, int32_t g) {
  // Only the owner sets bits, under the cache lock; clients read them under it.
  if (pToc->pTrusted == nullptr || pToc->client || g < 0 || g >= pToc->trustedSegments) return;
  pToc->pTrusted[g >> 3] = uint8_t(pToc->pTrusted[g >> 3] | (1u << (g & 7)));
}

void KDRCX_SetBlockSum(KDRC_FILETOC_T* pToc, int32_t segment, uint32_t sum) {
  // The owner wrote these bytes itself in this run: they need no check when read.
  KDRCX_TrustSegment(pToc, segment);
  if (pToc->pSums == nullptr || segment < 0) return;
  uint64_t at = SumsBytesFor(segment);
  if (at + 4 > pToc->sumsAllocated) return;
  std::memcpy(pToc->pSums + at, &sum, 4);
  // The word goes before the entry that names the block: a repair after a kill between the
  // two finds the word of a segment no entry names, never an entry with an old word. Only the
  // compiler could reorder the two for a kill (the stores a process made are in the shared
  // mapping when it dies); readers in other processes read both under the cache lock.
  std::atomic_signal_fence(std::memory_order_release);
}

int KDRCX_SumsUsable(KDRC_FILETOC_T* pToc) {
  char* path = nullptr;
  if (KDRCX_getFilePath(pToc, pToc->cacheDir, nullptr, nullptr, meta::kSumsFile, &path) != 0)
    return 0;
  int fd = KDRC_NO_FILE;
  int usable = 0;
  if (plat::OpenFile(path, plat::FileMode::kReadOnly, &fd) == 0) {
    char head[12];
    size_t done = 0;
    uint64_t size = 0;
    if (plat::ReadFileAt(fd, 0, head, sizeof head, &done) == 0 && done == sizeof head &&
        std::memcmp(head, kSumsMagic, 8) == 0 && plat::FileSize(fd, &size) == 0) {
      uint32_t capacity = 0;
      std::memcpy(&capacity, head + 8, 4);
      usable = int64_t(capacity) == Capacity(pToc->pShared) &&
               size >= SumsBytesFor(capacity) ? 1 : 0;
    }
    plat::CloseFile(fd);
  }
  std::free(path);
  return usable;
}

int KDRCX_OpenSums(KDRC_FILETOC_T* pToc, int fresh, int readOnly, int* pFilled) {
  KDRC_CHECK_SHARED(pToc);
  if (pFilled != nullptr) *pFilled = 0;
  KDRC_FILESHARED_T* sh = pToc->pShared;
  int64_t capacity = Capacity(sh);
  uint64_t bytes = SumsBytesFor(capacity);
  bool usable = !fresh && KDRCX_SumsUsable(pToc);
  if (readOnly && !usable) return 0;  // nothing to check against
  char* path = nullptr;
  if (int rc = KDRCX_getFilePath(pToc, pToc->cacheDir, nullptr, nullptr, meta::kSumsFile, &path))
    return KDRC_PASS(rc);
  int fd = KDRC_NO_FILE;
  int os = 0;
  if (usable) {
    os = plat::OpenFile(path, readOnly ? plat::FileMode::kReadOnly : plat::FileMode::kReadWrite, &fd);
  } else {
    // A new file, never the old one rewritten: its words belong to another store.
    plat::DeleteFile(path);
    os = plat::OpenFile(path, plat::FileMode::kCreatePrivate, &fd);
    if (os == 0) os = plat::AllocateFile(fd, 0, kSumsHeader);
    if (os == 0) {
      char head[12];
      std::memcpy(head, kSumsMagic, 8);
      uint32_t c = uint32_t(capacity);
      std::memcpy(head + 8, &c, 4);
      os = plat::WriteFileAt(fd, 0, head, sizeof head);
    }
    if (os == 0) os = plat::SetFileSize(fd, bytes);  // sparse beyond what is allocated
  }
  std::free(path);
  if (os != 0) {
    if (fd != KDRC_NO_FILE) plat::CloseFile(fd);
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING, os);
  }
  void* view = nullptr;
  os = plat::MapFile(fd, 0, size_t(bytes), !readOnly, &view);
  if (os != 0) {
    plat::CloseFile(fd);
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING, os);
  }
  pToc->pSums = static_cast<uint8_t*>(view);
  pToc->sumsBytes = bytes;
  pToc->sumsFile = fd;
  pToc->sumsAllocated = readOnly ? bytes : 0;
  if (!readOnly) {
    if (int rc = KDRCX_AllocateSums(pToc, int64_t(sh->segments) + sh->extentSegments)) {
      KDRCX_CloseSums(pToc);
      return KDRC_PASS(rc);
    }
  }
  if (pFilled != nullptr) *pFilled = usable ? 1 : 0;
  return 0;
}

int KDRCX_AllocateSums(KDRC_FILETOC_T* pToc, int64_t segments) {
  if (pToc->pSums == nullptr) return 0;
  uint64_t want = SumsBytesFor(segments);
  if (want > pToc->sumsBytes) want = pToc->sumsBytes;
  if (want <= pToc->sumsAllocated) return 0;
  if (int os = plat::AllocateFile(pToc->sumsFile, 0, want))
    return KDRC_FAIL_OS(pToc, KDRC_ERROR_FILE_SEGMENT_BEYOND_END_OF_EXTENT_FILE, os);
  pToc->sumsAllocated = want;
  return 0;
}

int KDRCX_SyncSums(KDRC_FILETOC_T* pToc) {
  if (pToc->pSums == nullptr || pToc->sumsAllocated == 0) return 0;
  return plat::SyncMapped(pToc->pSums, size_t(pToc->sumsAllocated));
}

void KDRCX_CloseSums(KDRC_FILETOC_T* pToc) {
  if (pToc->pSums != nullptr) plat::UnmapFile(pToc->pSums, size_t(pToc->sumsBytes));
  if (pToc->sumsFile != KDRC_NO_FILE) plat::CloseFile(pToc->sumsFile);
  pToc->pSums = nullptr;
  pToc->sumsBytes = pToc->sumsAllocated = 0;
  pToc->sumsFile = KDRC_NO_FILE;
}

namespace {

// What the repair notes of each page in its pass over the pages (read from the file, see
// KDRCX_PageStream), so that it decides without touching the mapping and writes only what
// changes: every page written is one more page of the metafile to fault in and flush.
struct SalvageInfo {
  int32_t next;
  int32_t prev;
  int32_t guid;   // the page's GUID and size in the table of them, -1 none
  uint8_t state;  // kDrop, kCandidate or kKept
  uint8_t flags;
  uint8_t used;  // entries of an allocated page (0 when the count is out of range)
};
enum : uint8_t { kDrop = 0, kCandidate = 1, kKept = 2 };
enum : uint8_t {
  kFirstPage = 1,  // a first page
  kSharedToc = 2,  // a page the shared TOC reserved
  kLate = 4,       // an access time from the future
  kFreeAsIs = 8,   // a free page that stays as it is, but for its list links
  kListed = 16,    // placed in the new free list
  kTwice = 32,     // a first page whose GUID another first page has too
};

// The GUID and size of a page that is, or may be, on a chain of more than one page: the chain
// walk compares each page with the one before, byte for byte, as the pages hold them.
struct ChainKey {
  char guid[meta::kGuidLength];
  uint32_t sizeLow;
  uint32_t sizeHigh;
};

// The bits of a page number: the store has at most 2^21 - 1 pages.
constexpr uint64_t kPageMask = (uint64_t(1) << 21) - 1;
static_assert(uint64_t(meta::kMaxFilePages) <= kPageMask);

// Scratch memory of a pass over every page (tens of megabytes for the largest store), zero
// until written: mapped with huge pages asked for, which spares the faults of touching it a
// small page at a time. Empty when there is no memory (ok() false).
template <class T>
class Scratch {
 public:
  explicit Scratch(size_t n) : n_(n) {
    void* a = nullptr;
    if (n > 0 && plat::MapMemory(n * sizeof(T), &a) == 0) p_ = static_cast<T*>(a);
  }
  ~Scratch() { plat::UnmapMemory(p_, n_ * sizeof(T)); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  bool ok() const { return p_ != nullptr || n_ == 0; }
  T* data() { return p_; }
  T& operator[](size_t i) { return p_[i]; }

 private:
  size_t n_;
  T* p_ = nullptr;
};

// Sorts the n words of v into out: placed by their top 16 bits (one pass to count, one to
// place), then each run sorted where it fits the cache.
void SortWords(const uint64_t* v, size_t n, uint64_t* out) {
  std::vector<size_t> at(size_t(1) << 16 | 1, 0);
  for (size_t i = 0; i < n; ++i) ++at[(v[i] >> 48) + 1];
  for (size_t d = 1; d < at.size(); ++d) at[d] += at[d - 1];
  std::vector<size_t> end(at.begin() + 1, at.end());
  for (size_t i = 0; i < n; ++i) out[at[v[i] >> 48]++] = v[i];
  size_t from = 0;
  for (size_t to : end) {
    if (to - from > 1) std::sort(out + from, out + to);
    from = to;
  }
}

bool SoundEntry(const meta::SegmentEntry& e, int64_t limit) {
  return e.segment >= 0 && e.segment < limit && e.block >= 0 && e.length >= 0 &&
         e.length <= kSegmentSize;
}

}  // namespace

int KDRCX_SalvagePages(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_SHARED(pToc);
  KDRCX_ForgetPageScan(pToc);
  const KDRC_FILESHARED_T* sh = pToc->pShared;
  meta::Header* h = pToc->pHeader;
  const int32_t pages = pToc->pageCount;
  const int64_t limit = int64_t(sh->segments) + sh->extentSegments;
  if (sh->segments < 1 || sh->extentSegments < 0 || limit > Capacity(sh))
    return KDRC_FAIL(pToc, KDRC_ERROR_METAFILE_DATE_LIST_COUNT_IS_WRONG);
  const int32_t now = int32_t(std::time(nullptr));
  int64_t dropped = 0;

  // 1. Sound allocated pages are candidates; their unsound entries go.
  Scratch<SalvageInfo> info{size_t(pages)};
  // First pages by a hash of their GUID above their page number (below 2^21): one word each.
  Scratch<uint64_t> firsts{size_t(pages)};
  // The GUID and size of each page that may be on a chain (touched only as far as used).
  Scratch<ChainKey> keys{size_t(pages)};
  if (!info.ok() || !firsts.ok() || !keys.ok()) {
    KDRCX_OutOfMemory(KDRC_HERE, "pages");
    return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
  }
  size_t firstCount = 0, keyCount = 0;
  std::vector<uint8_t> refs(size_t(limit), 0);
  bool shared = false;  // a segment two entries name
  {
    KDRCX_PageStream stream(pToc);
    for (int32_t n = 0; n < pages; ++n) {
      const meta::Page* p = stream.At(n);
      SalvageInfo& in = info[size_t(n)];
      in = SalvageInfo{p->next, p->prev, -1, kDrop, 0, 0};
      if (p->kind == meta::kFree && p->self == n && p->used == 0 && p->firstPage == 0)
        in.flags |= kFreeAsIs;
      if (p->kind != meta::kAllocated) continue;
      if (IsSharedTocPage(p)) in.flags |= kSharedToc;
      if (p->used > 0 && p->used <= meta::kEntriesPerPage) in.used = uint8_t(p->used);
      if (p->self != n || p->used < 0 || p->used > meta::kEntriesPerPage || !SoundGuid(p) ||
          p->guid[0] == '\0')
        continue;
      bool unsound = false;
      for (int32_t i = 0; i < p->used && !unsound; ++i) unsound = !SoundEntry(p->entries[i], limit);
      if (unsound) {
        meta::Page* m = KDRCX_PageAt(pToc, n);
        for (int32_t i = m->used - 1; i >= 0; --i) {
          if (!SoundEntry(m->entries[i], limit)) {
            RemoveEntry(m, i);
            ++dropped;
          }
        }
        p = m;
        in.used = uint8_t(p->used);
      }
      for (int32_t i = 0; i < p->used; ++i) {
        uint8_t& r = refs[size_t(p->entries[i].segment)];
        if (r < 2 && ++r == 2) shared = true;
      }
      if (p->firstPage) {
        in.flags |= kFirstPage;
        firsts[firstCount++] = (GuidHash(p) & ~kPageMask) | uint64_t(n);
      }
      if (!p->firstPage || p->next != -1) {
        ChainKey& k = keys[keyCount];
        std::memcpy(k.guid, p->guid, sizeof k.guid);
        k.sizeLow = p->sizeLow;
        k.sizeHigh = p->sizeHigh;
        in.guid = int32_t(keyCount++);
      }
      if (p->accessTime > now) in.flags |= kLate;
      in.state = kCandidate;
    }
  }
  // 2. A segment two entries name belongs to neither for sure.
  if (shared) {
    KDRCX_PageStream stream(pToc);
    for (int32_t n = 0; n < pages; ++n) {
      SalvageInfo& in = info[size_t(n)];
      if (in.state != kCandidate || in.used == 0) continue;
      const meta::Page* c = stream.At(n);
      bool named = false;
      for (int32_t i = 0; i < c->used && !named; ++i)
        named = refs[size_t(c->entries[i].segment)] > 1;
      if (!named) continue;
      meta::Page* p = KDRCX_PageAt(pToc, n);
      for (int32_t i = p->used - 1; i >= 0; --i) {
        if (refs[size_t(p->entries[i].segment)] > 1) {
          RemoveEntry(p, i);
          ++dropped;
        }
      }
      in.used = uint8_t(p->used);
    }
  }
  // 3. One first page per GUID (two for one GUID: neither is kept); its chain is kept up to
  // the first link that does not hold. First pages are grouped by a hash of their GUID, so a
  // store of two million files needs no map of strings.
  {
    Scratch<uint64_t> sorted{firstCount};
    if (!sorted.ok()) {
      KDRCX_OutOfMemory(KDRC_HERE, "firsts");
      return KDRC_PASS(KDRC_ERROR_OUT_OF_MEMORY);
    }
    SortWords(firsts.data(), firstCount, sorted.data());
    auto page = [](uint64_t v) { return int32_t(v & kPageMask); };
    for (size_t i = 0; i < firstCount;) {
      size_t j = i + 1;
      while (j < firstCount && (sorted[j] & ~kPageMask) == (sorted[i] & ~kPageMask)) ++j;
      for (size_t a = i; j - i > 1 && a < j; ++a) {
        bool twice = false;
        for (size_t b = i; b < j && !twice; ++b)
          twice = a != b && SameGuid(KDRCX_PageAt(pToc, page(sorted[a])),
                                     KDRCX_PageAt(pToc, page(sorted[b])));
        if (twice) info[size_t(page(sorted[a]))].flags |= kTwice;
      }
      i = j;
    }
  }
  auto sameFile = [&](const SalvageInfo& a, const SalvageInfo& b) {
    if (a.guid < 0 || b.guid < 0) return false;
    const ChainKey& x = keys[size_t(a.guid)];
    const ChainKey& y = keys[size_t(b.guid)];
    return std::strncmp(x.guid, y.guid, meta::kGuidLength) == 0 && x.sizeLow == y.sizeLow &&
           x.sizeHigh == y.sizeHigh;
  };
  for (int32_t first = 0; first < pages; ++first) {
    SalvageInfo& f = info[size_t(first)];
    if (f.state != kCandidate || (f.flags & (kFirstPage | kTwice)) != kFirstPage) continue;
    if (f.prev != -1) f.prev = KDRCX_PageAt(pToc, first)->prev = -1;
    f.state = kKept;
    int32_t p = first;
    for (int32_t steps = 0; steps <= pages; ++steps) {
      SalvageInfo& at = info[size_t(p)];
      const int32_t next = at.next;
      if (next == -1) break;
      if (next < 0 || next >= pages || info[size_t(next)].state != kCandidate ||
          (info[size_t(next)].flags & kFirstPage) || info[size_t(next)].prev != p ||
          !sameFile(at, info[size_t(next)])) {
        at.next = KDRCX_PageAt(pToc, p)->next = -1;  // the rest cannot be vouched for
        break;
      }
      info[size_t(next)].state = kKept;
      p = next;
    }
  }
  // 4. Everything not kept is free. The free list keeps the order it had as far as it holds
  // (free pages that are sound stay as they are); the pages freed now follow in ascending
  // order. Kept pages lose any time stamp from the future; their hash links are relinked by
  // KDRCX_RebuildHash.
  int64_t kept = 0;
  std::vector<int32_t> order;
  for (int32_t n = h->freeHead, steps = 0; n >= 0 && n < pages && steps < pages; ++steps) {
    SalvageInfo& in = info[size_t(n)];
    if (in.state == kKept || !(in.flags & kFreeAsIs) || (in.flags & kListed)) break;
    in.flags |= kListed;
    order.push_back(n);
    n = in.next;
  }
  for (int32_t n = 0; n < pages; ++n) {
    SalvageInfo& in = info[size_t(n)];
    if (in.state == kKept) {
      if (in.flags & kLate) KDRCX_PageAt(pToc, n)->accessTime = now;
      if (!(in.flags & kSharedToc)) kept += in.used;
      continue;
    }
    if (!(in.flags & kSharedToc)) dropped += in.used;
    if (!(in.flags & kListed)) order.push_back(n);
  }
  for (size_t i = 0; i < order.size(); ++i) {
    const int32_t n = order[i];
    const int32_t prev = i > 0 ? order[i - 1] : -1;
    const int32_t next = i + 1 < order.size() ? order[i + 1] : -1;
    const SalvageInfo& in = info[size_t(n)];
    if (in.flags & kFreeAsIs) {
      if (in.next != next) KDRCX_PageAt(pToc, n)->next = next;
      if (in.prev != prev) KDRCX_PageAt(pToc, n)->prev = prev;
      continue;
    }
    meta::Page* p = KDRCX_PageAt(pToc, n);
    std::memset(p, 0, sizeof *p);
    p->mark = meta::kPageMark;
    p->kind = meta::kFree;
    p->self = n;
    p->next = next;
    p->prev = prev;
    p->hashLink = -1;
    std::memset(p->entries, 0xFF, sizeof p->entries);
  }
  h->freeHead = order.empty() ? -1 : order.front();
  h->freeTail = order.empty() ? -1 : order.back();
  h->freeCount = int32_t(order.size());
  pToc->recoveredDropped = dropped;
  pToc->recoveredKept = kept;
  return 0;
}

namespace {

// Sets page n's hash link to `to` in the page and in the record, writing only a change.
void SetHashLink(KDRC_FILETOC_T* pToc, KDRC_PAGESCAN_T::Entry& e, int32_t n, int32_t to) {
  if (e.link == to) return;
  KDRCX_PageAt(pToc, n)->hashLink = to;
  e.link = to;
}

// KDRCX_RebuildHash from the record of the pass over the pages: each bucket keeps its chain as
// far as it holds (first pages of the bucket, each once), the first pages no chain reached go
// to the end of their bucket's, and only links and buckets that change are written.
int RelinkFromRecord(KDRC_FILETOC_T* pToc, KDRC_PAGESCAN_T* s) {
  using Entry = KDRC_PAGESCAN_T::Entry;
  int32_t* buckets = pToc->pHashToc->pBuckets;
  const int32_t count = pToc->pHashToc->buckets;
  const int32_t pages = pToc->pageCount;
  auto isFirst = [](const Entry& e) {
    return (e.kind & KDRC_PAGESCAN_T::kKindMask) == meta::kAllocated &&
           (e.kind & KDRC_PAGESCAN_T::kFirst);
  };
  std::vector<int32_t> tails(size_t(count), -1);
  for (int32_t b = 0; b < count; ++b) {
    int32_t last = -1;
    for (int32_t m = buckets[b]; m >= 0 && m < pages;) {
      Entry& e = s->pages[m];
      if (!isFirst(e) || e.aux != b || (e.kind & KDRC_PAGESCAN_T::kPlaced)) break;
      e.kind |= KDRC_PAGESCAN_T::kPlaced;
      last = m;
      m = e.link;
    }
    if (last == -1 && buckets[b] != kdrc::hash::kEmpty) buckets[b] = kdrc::hash::kEmpty;
    tails[size_t(b)] = last;
  }
  int rc = 0;
  for (int32_t n = 0; n < pages; ++n) {
    Entry& e = s->pages[n];
    if ((e.kind & KDRC_PAGESCAN_T::kKindMask) != meta::kAllocated) continue;
    if (!isFirst(e)) {
      SetHashLink(pToc, e, n, -1);
      continue;
    }
    if (e.kind & KDRC_PAGESCAN_T::kPlaced) continue;
    if (e.aux < 0 || e.aux >= count) {  // a GUID with no bucket: the lookup says why
      char guid[meta::kGuidLength + 1] = {};
      std::memcpy(guid, KDRCX_PageAt(pToc, n)->guid, meta::kGuidLength);
      int32_t bucket = -1;
      rc = KDRCHash_Entry(pToc, guid, &bucket);
      if (rc == 0)
        rc = KDRC_FAIL_VALUE(pToc, n, KDRC_ERROR_HASH_PAGE_IS_NOT_IN_THE_HASH_TABLE_ENTRY);
      break;
    }
    int32_t& tail = tails[size_t(e.aux)];
    if (tail == -1) {
      if (buckets[e.aux] != n) buckets[e.aux] = n;
    } else {
      SetHashLink(pToc, s->pages[tail], tail, n);
    }
    tail = n;
  }
  for (int32_t b = 0; rc == 0 && b < count; ++b) {
    const int32_t t = tails[size_t(b)];
    if (t != -1) SetHashLink(pToc, s->pages[t], t, -1);
  }
  for (int32_t n = 0; n < pages; ++n) s->pages[n].kind &= uint8_t(~KDRC_PAGESCAN_T::kPlaced);
  return rc;
}

}  // namespace

int KDRCX_RebuildHash(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_TOC(pToc);
  KDRC_HASHTOC_T* ht = pToc->pHashToc;
  if (ht == nullptr || ht->pBuckets == nullptr || ht->buckets < 1)
    return KDRCX_NullPointer("pToc->pHashToc", KDRC_HERE);
  KDRC_PAGESCAN_T* s = pToc->pPageScan;
  if (s != nullptr && s->scanned == pToc->pageCount && s->buckets == ht->buckets &&
      pToc->pShared != nullptr && s->changes == pToc->pShared->changes) {
    if (int rc = RelinkFromRecord(pToc, s)) {
      KDRCX_ForgetPageScan(pToc);
      return KDRC_PASS(rc);
    }
    return 0;
  }
  // Without the record: through the mapping, every chain anew.
  KDRCX_ForgetPageScan(pToc);
  for (int32_t b = 0; b < ht->buckets; ++b) {
    if (ht->pBuckets[b] != kdrc::hash::kEmpty) ht->pBuckets[b] = kdrc::hash::kEmpty;
  }
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    meta::Page* p = KDRCX_PageAt(pToc, n);
    if (p->kind != meta::kAllocated) continue;
    int32_t link = -1;
    if (p->firstPage) {
      char guid[meta::kGuidLength + 1] = {};
      std::memcpy(guid, p->guid, meta::kGuidLength);
      int32_t bucket = -1;
      if (int rc = KDRCHash_Entry(pToc, guid, &bucket)) return KDRC_PASS(rc);
      link = ht->pBuckets[bucket];
      ht->pBuckets[bucket] = n;
    }
    if (p->hashLink != link) p->hashLink = link;
  }
  return 0;
}

namespace {

// Where segment g's bytes are for a pass over every block: the segment file through the TOC's
// view, the extent files each through one read-only view of its used part, made on first use
// (the TOC's extent windows hold one segment at a time: a pass would map every block anew).
class BlockReader {
 public:
  explicit BlockReader(KDRC_FILETOC_T* toc) : toc_(toc) {}
  ~BlockReader() {
    for (const View& v : views_) {
      if (v.data != nullptr) plat::UnmapFile(v.data, v.bytes);
    }
  }
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // *moves: the address is in one of the TOC's extent windows, which the next lookup may move.
  int Address(int32_t g, const uint8_t** out, bool* moves) {
    *moves = false;
    const KDRC_FILESHARED_T* sh = toc_->pShared;
    const KDRC_SEGMENTTOC_T* seg = toc_->pSegmentToc;
    if (g < sh->segments || sh->segsPerExtent < 1 || seg == nullptr)
      return KDRCX_SegmentAddress(toc_, g, out);
    int32_t e = (g - sh->segments) / sh->segsPerExtent;
    int32_t r = (g - sh->segments) % sh->segsPerExtent;
    if (e >= seg->extentSlots || seg->pExtents[e] == nullptr || seg->pExtents[e]->path == nullptr)
      return Window(g, out, moves);
    if (size_t(e) >= views_.size()) views_.resize(size_t(e) + 1);
    View& v = views_[size_t(e)];
    if (v.data == nullptr) {
      int64_t inUse = int64_t(sh->extentSegments) - int64_t(sh->segsPerExtent) * e;
      if (inUse > sh->segsPerExtent) inUse = sh->segsPerExtent;
      int fd = KDRC_NO_FILE;
      void* data = nullptr;
      if (inUse < 1 ||
          plat::OpenFile(seg->pExtents[e]->path, plat::FileMode::kReadOnly, &fd) != 0)
        return Window(g, out, moves);
      uint64_t size = 0;
      size_t bytes = size_t(inUse) * kSegmentSize;
      bool mapped = plat::FileSize(fd, &size) == 0 && size >= bytes &&
                    plat::MapFile(fd, 0, bytes, false, &data) == 0;
      plat::CloseFile(fd);
      if (!mapped) return Window(g, out, moves);
      v.data = static_cast<uint8_t*>(data);
      v.bytes = bytes;
    }
    if (uint64_t(r + 1) * kSegmentSize > v.bytes) return Window(g, out, moves);
    *out = v.data + uint64_t(r) * kSegmentSize;
    return 0;
  }

  int Window(int32_t g, const uint8_t** out, bool* moves) {
    *moves = true;
    return KDRCX_SegmentAddress(toc_, g, out);
  }

 private:
  struct View {
    uint8_t* data = nullptr;
    size_t bytes = 0;
  };
  KDRC_FILETOC_T* toc_;
  std::vector<View> views_;
};

}  // namespace

int KDRCX_VerifyBlocks(KDRC_FILETOC_T* pToc, int drop, int64_t* pChecked, int64_t* pBad) {
  KDRC_CHECK_SHARED(pToc);
  *pChecked = *pBad = 0;
  if (pToc->pSums == nullptr) return 0;
  const KDRC_FILESHARED_T* sh = pToc->pShared;
  BlockReader reader(pToc);
  // The pages are read from the file (the mapping only where a block is dropped); the blocks
  // of a page are checked three at a time (see kdrc::Crc32cMany).
  // Pages the open's record shows without entries are not read at all (a drop below only
  // removes entries).
  KDRCX_PageStream stream(pToc);
  const KDRC_PAGESCAN_T* scan = pToc->pPageScan;
  if (scan != nullptr && (scan->scanned != pToc->pageCount || scan->changes != sh->changes))
    scan = nullptr;
  constexpr uint8_t kWithEntries = meta::kAllocated | KDRC_PAGESCAN_T::kEntries;
  constexpr int kBatch = 3;
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    if (scan != nullptr && (scan->pages[n].kind & (KDRC_PAGESCAN_T::kKindMask |
                                                   KDRC_PAGESCAN_T::kEntries)) != kWithEntries)
      continue;
    const meta::Page* p = stream.At(n);
    if (p->kind != meta::kAllocated || IsSharedTocPage(p) || p->used <= 0) continue;
    bool bad[meta::kEntriesPerPage] = {};
    int32_t used = std::min<int32_t>(p->used, meta::kEntriesPerPage);
    for (int32_t i = 0; i < used;) {
      const uint8_t* data[kBatch];
      size_t len[kBatch];
      int32_t index[kBatch];
      int k = 0;
      for (; k < kBatch && i < used; ++i) {
        const meta::SegmentEntry& e = p->entries[i];
        if (e.segment < 0 || e.segment >= int64_t(sh->segments) + sh->extentSegments ||
            e.length < 0 || e.length > kSegmentSize) {
          bad[i] = true;
          continue;
        }
        bool moves = false;
        if (int rc = reader.Address(e.segment, &data[k], &moves)) return KDRC_PASS(rc);
        len[k] = size_t(e.length);
        index[k] = i;
        ++k;
        if (moves) {
          ++i;
          break;
        }
      }
      uint32_t sums[kBatch];
      kdrc::Crc32cMany(data, len, sums, k);
      for (int j = 0; j < k; ++j) {
        const meta::SegmentEntry& e = p->entries[index[j]];
        uint64_t at = SumsBytesFor(e.segment);
        uint32_t stored = 0;
        if (at + 4 <= pToc->sumsBytes) std::memcpy(&stored, pToc->pSums + at, 4);
        bad[index[j]] = WithIdentity(sums[j], p, e.block, e.length) != stored;
      }
    }
    for (int32_t i = used - 1; i >= 0; --i) {
      ++*pChecked;
      if (!bad[i]) continue;
      ++*pBad;
      if (drop) {
        if (int rc = KDRCX_DropEntry(pToc, KDRCX_PageAt(pToc, n), i)) return KDRC_PASS(rc);
      }
    }
  }
  return 0;
}

int KDRCX_FillSums(KDRC_FILETOC_T* pToc) {
  KDRC_CHECK_SHARED(pToc);
  if (pToc->pSums == nullptr) return 0;
  for (int32_t n = 0; n < pToc->pageCount; ++n) {
    meta::Page* p = KDRCX_PageAt(pToc, n);
    if (p->kind != meta::kAllocated || IsSharedTocPage(p)) continue;
    for (int32_t i = 0; i < p->used && i < meta::kEntriesPerPage; ++i) {
      const meta::SegmentEntry& e = p->entries[i];
      const uint8_t* data = nullptr;
      if (e.length < 0 || e.length > kSegmentSize) continue;
      if (int rc = KDRCX_SegmentAddress(pToc, e.segment, &data)) return KDRC_PASS(rc);
      KDRCX_SetBlockSum(pToc, e.segment, KDRCX_BlockSum(p, e.block, data, e.length));
    }
  }
  return 0;
}

int KDRCX_DropEntry(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pPage, int32_t i) {
  KDRC_CHECK_SHARED(pToc);
  if (pPage == nullptr || i < 0 || i >= pPage->used || i >= meta::kEntriesPerPage)
    return KDRC_FAIL_VALUE(pToc, i, KDRC_ERROR_IF_BAD_LENGTH);
  int32_t segment = pPage->entries[i].segment;
  // The entry goes first: from the change on, no reader is led to the segment.
  KDRCX_NoteStoreChange(pToc);
  RemoveEntry(pPage, i);
  if (int rc = KDRCSegment_FreeThisSegment(pToc, pPage, segment)) return KDRC_PASS(rc);
  return 0;
}

int KDRCIF_CheckBlock(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* pFirst, int32_t block, int* pBad) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (pBad == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pBad");
  *pBad = 0;
  if (pToc->pSums == nullptr || pFirst == nullptr) return 0;
  KDRC_PAGE_T* hit = nullptr;
  int32_t segment = -1, length = -1;
  if (int rc = KDRCFile_FindSegment(pToc, pFirst, block, &hit, &segment, &length))
    return KDRC_PASS(rc);
  if (hit == nullptr || segment < 0) return 0;
  return KDRCX_CheckSegment(pToc, hit, block, segment, length, pBad);
}

int KDRCX_CheckSegment(KDRC_FILETOC_T* pToc, KDRC_PAGE_T* page, int32_t block, int32_t g,
                       int32_t length, int* pBad) {
  *pBad = 0;
  if (pToc->pSums == nullptr) {  // nothing to check against
    KDRCX_TrustSegment(pToc, g);
    return 0;
  }
  const uint8_t* data = nullptr;
  if (int rc = KDRCX_SegmentAddress(pToc, g, &data)) return KDRC_PASS(rc);
  uint32_t stored = 0;
  uint64_t at = SumsBytesFor(g);
  if (at + 4 <= pToc->sumsBytes) std::memcpy(&stored, pToc->pSums + at, 4);
  if (KDRCX_BlockSum(page, block, data, length) == stored) {
    KDRCX_TrustSegment(pToc, g);
    return 0;
  }
  *pBad = 1;
  for (int32_t i = 0; i < page->used && i < meta::kEntriesPerPage; ++i) {
    if (page->entries[i].block == block && page->entries[i].segment == g)
      return KDRCX_DropEntry(pToc, page, i) == 0 ? 0 : KDRC_PASS(KDRC_ERROR_IF_BAD_LENGTH);
  }
  return 0;
}

namespace {

// Kept pages walked by one call of KDRCIF_CheckKeptBlocks at most, whatever they hold.
constexpr int32_t kKeptPagesPerSlice = 4096;

// Whether page p holds blocks the check of kept blocks looks at.
bool HoldsKeptBlocks(const meta::Page* p) {
  return p->kind == meta::kAllocated && !IsSharedTocPage(p) && p->used > 0 &&
         p->used <= meta::kEntriesPerPage;
}

// The pages from `from` that hold the next `budget` unchecked kept blocks: *end is the page
// after the last one. With `read`, their bytes are read once (from the disk where they are
// not in memory yet), without the cache lock: only the owner changes entries and block bytes,
// and the caller is the owner's one user of the TOC. A block whose bytes cannot be found is
// left to the check under the lock.
void KeptSlice(KDRC_FILETOC_T* pToc, int32_t from, int32_t budget, bool read, int32_t* end) {
  int32_t n = from, blocks = 0;
  const int32_t last =
      int32_t(std::min<int64_t>(pToc->pageCount, int64_t(from) + kKeptPagesPerSlice));
  for (; n < last && blocks < budget; ++n) {
    const meta::Page* p = KDRCX_PageAt(pToc, n);
    if (!HoldsKeptBlocks(p)) continue;
    for (int32_t i = 0; i < p->used; ++i) {
      const meta::SegmentEntry& e = p->entries[i];
      const uint8_t* data = nullptr;
      if (e.segment < 0 || KDRCX_SegmentTrusted(pToc, e.segment)) continue;
      ++blocks;
      if (!read || e.length < 1 || e.length > kSegmentSize ||
          KDRCX_SegmentAddress(pToc, e.segment, &data) != 0)
        continue;
      const volatile uint8_t* bytes = data;
      for (int32_t at = 0; at < e.length; at += 4096) (void)bytes[at];
    }
  }
  *end = n;
}

}  // namespace

void KDRCIF_ReadKeptBlocksAhead(KDRC_FILETOC_T* pToc, int32_t budget) {
  if (pToc == nullptr || pToc->signature != KDRC_FILETOC_T_SIG || pToc->client ||
      pToc->pShared == nullptr || pToc->keptCheckCursor < 0)
    return;
  int32_t end = 0;
  KeptSlice(pToc, std::min(pToc->keptCheckCursor, pToc->pageCount), budget < 1 ? 1 : budget, true,
            &end);
}

int KDRCIF_CheckKeptBlocks(KDRC_FILETOC_T* pToc, int32_t budget, int* pDone, int64_t* pDropped) {
  KDRC_CHECK_TOC(pToc);
  KDRC_CHECK_SHARED(pToc);
  if (pDone == nullptr) return KDRC_NULL_PARAM(pToc->pErr, "pDone");
  *pDone = 0;
  if (pDropped != nullptr) *pDropped = 0;
  if (pToc->client) return KDRC_FAIL(pToc, KDRC_ERROR_CLIENT_CANNOT_MAP_VM_FILE);
  if (pToc->keptCheckCursor < 0) {
    *pDone = 1;
    return 0;
  }
  const int32_t from = std::min(pToc->keptCheckCursor, pToc->pageCount);
  const bool took = !pToc->lockHeld;
  int32_t end = from;
  KeptSlice(pToc, from, budget < 1 ? 1 : budget, took, &end);
  if (took) {
    if (int rc = KDRCFile_LockCache(pToc)) return KDRC_PASS(rc);
  }
  int rc = 0;
  int32_t n = from;
  for (; rc == 0 && n < end; ++n) {
    meta::Page* p = KDRCX_PageAt(pToc, n);
    if (!HoldsKeptBlocks(p)) continue;
    // Backwards: a drop moves the page's last entry, one already looked at, into its place.
    for (int32_t i = p->used - 1; rc == 0 && i >= 0; --i) {
      const meta::SegmentEntry e = p->entries[i];
      if (e.segment < 0 || KDRCX_SegmentTrusted(pToc, e.segment)) continue;
      int bad = 0;
      const uint8_t* data = nullptr;
      if (KDRCX_SegmentAddress(pToc, e.segment, &data) != 0) {
        // Bytes that cannot be reached (an extent file that cannot be mapped) are never
        // checked, so never served: the entry goes, or every later slice would stop at it.
        bad = 1;
        rc = KDRCX_DropEntry(pToc, p, i);
      } else {
        rc = KDRCX_CheckSegment(pToc, p, e.block, e.segment, e.length, &bad);
      }
      if (bad) {
        pToc->firstReadDropped += 1;
        if (pDropped != nullptr) *pDropped += 1;
      }
    }
  }
  if (rc == 0) pToc->keptCheckCursor = n;
  if (rc == 0 && n >= pToc->pageCount) {
    // Every block kept is checked (or dropped); blocks written since were trusted as written.
    pToc->keptCheckCursor = -1;
    if (!pToc->holdBack) {
      std::atomic_ref<int32_t>(pToc->pShared->signature)
          .store(KDRC_FILESHARED_T_SIG, std::memory_order_release);
    }
    *pDone = 1;
  }
  if (took) {
    int unlock = KDRCFile_UnLockCache(pToc);
    if (rc == 0 && unlock != 0) rc = unlock;
  }
  return rc != 0 ? KDRC_PASS(rc) : 0;
}
