// A randomized run against a small model of the store: which blocks of which files are cached,
// in which pages, and the order of last use of the pages. Eviction must take exactly the page
// the model says, reads must give back exactly what was written last for the first entry of a
// block, and the store's own checks must pass after every step.
#include <algorithm>
#include <list>
#include <map>
#include <random>

#include "store/store_if_fixture.h"

namespace {

namespace meta = kdrc::meta;
using kdrc_test::Guid;

// What the store should hold. Pages are numbered by the model; only their contents and their
// order of use matter.
struct Model {
  struct Page {
    std::vector<std::pair<int32_t, int>> entries;  // block, tag of the bytes written
  };
  int32_t pageLimit = 0;     // pages the files may use (pinned pages excluded)
  int32_t segmentLimit = 0;  // segments the blocks may use
  int32_t usedSegments = 0;
  int nextId = 0;
  std::map<int, std::vector<int>> files;  // file -> its pages, first page first
  std::map<int, Page> pages;
  std::map<int, int> owner;  // page -> file
  std::list<int> lru;        // least recently used first

  void Touch(int id) {
    lru.remove(id);
    lru.push_back(id);
  }
  void EvictOldest() {
    if (lru.empty()) return;
    int id = lru.front();
    lru.pop_front();
    int f = owner[id];
    auto& chain = files[f];
    chain.erase(std::find(chain.begin(), chain.end(), id));
    if (chain.empty()) files.erase(f);
    usedSegments -= int32_t(pages[id].entries.size());
    pages.erase(id);
    owner.erase(id);
  }
  void NewPage(int f) {
    if (int32_t(pages.size()) == pageLimit) EvictOldest();
    int id = nextId++;
    pages[id];
    owner[id] = f;
    files[f].push_back(id);
    lru.push_back(id);
  }
  void Add(int f) {
    if (files.count(f) == 0) NewPage(f);
  }
  void DeleteAPage(int f) {
    EvictOldest();
    Add(f);
  }
  // Mirrors a block write; returns the code the store must give.
  int Write(int f, int32_t block, int tag) {
    while (usedSegments == segmentLimit) {
      const auto& chain = files[f];
      bool ownEmpty = !lru.empty() && lru.front() == chain.front() && chain.size() == 1 &&
                      pages[chain.front()].entries.empty();
      if (lru.empty() || ownEmpty) return KDRC_ERROR_OUT_OF_DATA_SEGMENTS;
      DeleteAPage(f);
    }
    usedSegments += 1;
    for (int attempt = 0; attempt < 2; ++attempt) {
      for (int id : files[f]) {
        if (pages[id].entries.size() < size_t(meta::kEntriesPerPage)) {
          pages[id].entries.emplace_back(block, tag);
          Touch(id);
          return 0;
        }
      }
      if (int32_t(pages.size()) < pageLimit) {
        NewPage(f);
        pages[files[f].back()].entries.emplace_back(block, tag);
        return 0;
      }
      if (attempt == 0) DeleteAPage(f);
    }
    usedSegments -= 1;
    return KDRC_ERROR_METAFILE_OUT_OF_FREE_PAGES;
  }
  // The tag of the block's first entry (touching its page), -1 when not cached, -2 when the
  // file is not cached at all.
  int Read(int f, int32_t block) {
    auto it = files.find(f);
    if (it == files.end()) return -2;
    for (int id : it->second) {
      for (auto& e : pages[id].entries) {
        if (e.first == block) {
          Touch(id);
          return e.second;
        }
      }
    }
    return -1;
  }
};

struct Shape {
  int mode;
  int32_t pages;
  int32_t segments;
};

class StoreModel : public kdrc_test::StoreIfTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(StoreModel, AgreesWithTheStoreThroughThousandsOfOperations) {
  const Shape shape = GetParam();
  kdrc_test::IfSize size;
  size.pages = shape.pages;
  size.segments = shape.segments;
  // The owner's runs also check the store around every operation themselves.
  if (shape.mode == KDRC_MODE_OWNER) setenv("KDRC_CHECK_EVERY_CALL", "1", 1);
  KDRC_FILETOC_T* s = nullptr;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(OpenS(shape.mode, &s, size), 0);
  ASSERT_EQ(s->checkEveryCall, shape.mode == KDRC_MODE_OWNER ? 1 : 0);
  ::testing::internal::GetCapturedStdout();
  const int32_t pinnedPages = shape.mode == KDRC_MODE_OWNER ? 1 : 0;
  const int32_t pinnedSegments = pinnedPages;  // the shared TOC of these sizes: one of each
  Model m;
  m.pageLimit = shape.pages - pinnedPages;
  m.segmentLimit = shape.segments - pinnedSegments;
  constexpr int kFiles = 10;
  constexpr int32_t kBlocks = 60;
  std::mt19937 rng(1234u + uint32_t(shape.pages) * 7u + uint32_t(shape.mode));
  int tag = 0;

  auto readAndCompare = [&](int f, int32_t block) {
    int want = m.Read(f, block);
    KDRC_PAGE_T* first = Find(s, f + 1);
    if (want == -2) {
      ASSERT_EQ(first, nullptr) << "file " << f;
      return;
    }
    ASSERT_NE(first, nullptr) << "file " << f;
    if (want == -1) {
      ASSERT_EQ(ReadBack(s, first, 0, block), -1) << "file " << f << " block " << block;
    } else {
      ASSERT_EQ(ReadBack(s, first, want, block, 100 + want % 900), 1)
          << "file " << f << " block " << block;
    }
  };

  for (int step = 0; step < 3000; ++step) {
    int f = int(rng() % kFiles);
    int32_t block = int32_t(rng() % kBlocks);
    uint32_t op = rng() % 100;
    if (op < 50) {
      KDRC_PAGE_T* first = nullptr;
      m.Add(f);
      ASSERT_EQ(KDRCIF_AddFile(s, Guid(f + 1).c_str(), 1, 0, &first), 0);
      ++tag;
      ::testing::internal::CaptureStdout();
      int rc = Write(s, &first, tag, block, 100 + tag % 900);
      ::testing::internal::GetCapturedStdout();
      ASSERT_EQ(rc, m.Write(f, block, tag)) << "step " << step;
      if (rc == 0) {
        ASSERT_EQ(Find(s, f + 1), first) << "step " << step;
      }
    } else if (op < 98) {
      ASSERT_NO_FATAL_FAILURE(readAndCompare(f, block)) << "step " << step;
    } else if (op < 99) {
      ASSERT_EQ(KDRCIF_ClearCache(s), 0);
      while (!m.lru.empty()) m.EvictOldest();
    } else {
      for (int g = 0; g < kFiles; ++g) {
        for (int32_t b = 0; b < kBlocks; ++b) {
          ASSERT_NO_FATAL_FAILURE(readAndCompare(g, b));
        }
      }
    }
    ASSERT_EQ(s->pHeader->freeCount, shape.pages - pinnedPages - int32_t(m.pages.size()))
        << "step " << step;
    ASSERT_EQ(s->freeSegCount, m.segmentLimit - m.usedSegments) << "step " << step;
    ASSERT_EQ(s->pShared->dateCount, int32_t(m.lru.size())) << "step " << step;
    ASSERT_EQ(KDRCFile_CheckMetaFile(s, 127), 0) << "step " << step;
  }
  // The run put the store under pressure: pages were evicted many times over.
  EXPECT_GT(m.nextId, 5 * m.pageLimit);
  // The least recently used page of the model is the store's.
  if (!m.lru.empty()) {
    KDRC_PAGE_T* oldest = KDRCX_PageAt(s, s->pShared->dateFirst);
    ASSERT_NE(oldest, nullptr);
    EXPECT_EQ(std::string(oldest->guid, 32), Guid(m.owner[m.lru.front()] + 1));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, StoreModel,
                         ::testing::Values(Shape{KDRC_MODE_STANDALONE, 16, 200},
                                           Shape{KDRC_MODE_STANDALONE, 64, 40},
                                           Shape{KDRC_MODE_OWNER, 16, 200},
                                           Shape{KDRC_MODE_OWNER, 64, 40}));

}  // namespace
