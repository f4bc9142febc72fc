#include "client/thread_state.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "iface/runtime.h"

namespace kdr {
namespace {

// A thread that keeps its identity (and so its ThreadRecord) while the test runs closures on
// it one at a time.
class Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  ~Worker() {
    {
      std::lock_guard<std::mutex> l(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Run(std::function<void()> f) {
    std::unique_lock<std::mutex> l(mu_);
    job_ = std::move(f);
    cv_.notify_all();
    cv_.wait(l, [this] { return !job_; });
  }
  uint32_t Id() {
    uint32_t id = 0;
    Run([&] { id = ThreadId(); });
    return id;
  }
  ThreadRecord* Record() {
    ThreadRecord* r = nullptr;
    Run([&] { r = KdrThreadRecord(); });
    return r;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
      cv_.wait(l, [this] { return stop_ || job_; });
      if (job_) {
        job_();
        job_ = nullptr;
        cv_.notify_all();
      } else if (stop_) {
        return;
      }
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> job_;
  bool stop_ = false;
  std::thread thread_;
};

// Pipes "closed" by the table, counted per handle value.
std::atomic<int> g_closed[64];
void CountClose(PipeHandle p) {
  if (p >= 0 && p < 64) g_closed[p].fetch_add(1);
}
std::atomic<uint32_t> g_owner{0};
bool OwnsOpenFile(uint32_t tid) { return tid == g_owner.load(); }
const MonitorHooks kHooks{&CountClose, &OwnsOpenFile};

class ThreadTable : public ::testing::Test {
 protected:
  void SetUp() override {
    KdrInitLocks();
    KdrSetAllocator(nullptr, nullptr);
    KdrSetErrorTextLocalizer(nullptr);
    KdrReleaseAllThreadRecords(kHooks);
    for (auto& c : g_closed) c = 0;
    g_owner = 0;
  }
  void TearDown() override {
    KdrReleaseAllThreadRecords(kHooks);
    KdrSetAllocator(nullptr, nullptr);
    KdrSetErrorTextLocalizer(nullptr);
    if (!log_path_.empty()) {
      KdrLogClose();
      std::remove(log_path_.c_str());
    }
  }
  // Opens the proxy log in a fresh temporary file.
  void OpenLog() {
    log_path_ = (std::filesystem::temp_directory_path() /
                 ("kdr_thread_log_" + std::to_string(ThreadId()) + "_" +
                  std::to_string(std::random_device{}())))
                    .string();
    std::remove(log_path_.c_str());
    ASSERT_TRUE(KdrLogOpen(log_path_.c_str()));
  }
  std::string LogText() {
    std::ifstream in(log_path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Passes(int n) {
    for (int i = 0; i < n; ++i) KdrMonitorPass(kHooks);
  }
  static std::string Text() {
    ThreadRecord* r = KdrThreadRecord();
    return r != nullptr && r->errorText != nullptr ? r->errorText : "(none)";
  }
  std::string log_path_;
};

TEST_F(ThreadTable, FirstErrorTextOfAnOperationWins) {
  KdrClearLastError();
  EXPECT_EQ(KdrErrorCode(0), 0);
  EXPECT_EQ(Text(), "(none)");
  EXPECT_EQ(KdrErrorCode(ERR_KDRCP_BAD_TICKET), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(KdrErrorCode(ERR_KDRCP_NO_SERVER), ERR_KDRCP_NO_SERVER);
  EXPECT_EQ(Text(), "ERR_KDRCP_BAD_TICKET");
  // A server's error reply replaces it; so does a copy of the record's own text.
  KdrSetErrorText("Datei nicht gefunden");
  EXPECT_EQ(Text(), "Datei nicht gefunden");
  KdrSetErrorText(KdrThreadRecord()->errorText);
  EXPECT_EQ(Text(), "Datei nicht gefunden");
  KdrSetErrorText(nullptr);
  EXPECT_EQ(Text(), "(none)");
  EXPECT_EQ(KdrErrorCode(-12345), -12345);
  EXPECT_EQ(Text(), "ERR_KDRCP_UNKNOWN");
  KdrClearLastError();
  EXPECT_EQ(Text(), "(none)");
}

TEST_F(ThreadTable, SavedTextKeepsTheLatestFailure) {
  KdrClearLastError();
  KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  KdrSaveErrorText();
  EXPECT_EQ(Text(), "(none)");
  KdrErrorCode(ERR_KDRCP_EOF);
  KdrSaveErrorText();
  KdrSaveErrorText();  // nothing to save: the saved text stays
  KdrErrorCode(ERR_KDRCP_BAD_ARG);
  KdrClearLastError();  // leaves the saved text alone
  KdrRestoreErrorText();
  EXPECT_EQ(Text(), "ERR_KDRCP_EOF");
  KdrRestoreErrorText();  // nothing saved any more
  EXPECT_EQ(Text(), "ERR_KDRCP_EOF");
  EXPECT_EQ(KdrThreadRecord()->savedErrorText, nullptr);
}

std::atomic<int> g_localize_calls{0};
char* Bracket(const char* text) {
  g_localize_calls.fetch_add(1);
  std::string s = std::string("<") + text + ">";
  return strdup(s.c_str());
}
char* Fail(const char*) {
  g_localize_calls.fetch_add(1);
  return nullptr;
}

TEST_F(ThreadTable, TextIsLocalizedOnceAndKeptWhenLocalizingFails) {
  KdrClearLastError();
  EXPECT_EQ(KdrLocalizedErrorText(), nullptr);
  g_localize_calls = 0;
  KdrSetErrorTextLocalizer(&Bracket);
  KdrErrorCode(ERR_KDRCP_BAD_ARG);
  EXPECT_STREQ(KdrLocalizedErrorText(), "<ERR_KDRCP_BAD_ARG>");
  EXPECT_STREQ(KdrLocalizedErrorText(), "<ERR_KDRCP_BAD_ARG>");
  EXPECT_EQ(g_localize_calls.load(), 1);

  KdrSetErrorTextLocalizer(&Fail);
  KdrClearLastError();
  KdrErrorCode(ERR_KDRCP_EOF);
  EXPECT_STREQ(KdrLocalizedErrorText(), "ERR_KDRCP_EOF");
  EXPECT_STREQ(KdrLocalizedErrorText(), "ERR_KDRCP_EOF");
  EXPECT_EQ(g_localize_calls.load(), 2);
}

TEST_F(ThreadTable, CacheErrorCodesAreNegatedAndNamed) {
  KdrClearLastError();
  EXPECT_EQ(KdrCacheErrorCode(1), -1);
  EXPECT_EQ(Text(), "KDRC_ERROR_OUT_OF_MEMORY");
  EXPECT_EQ(KdrCacheErrorCode(2), -2);  // the first text stays
  EXPECT_EQ(Text(), "KDRC_ERROR_OUT_OF_MEMORY");
  KdrClearLastError();
  EXPECT_EQ(KdrCacheErrorCode(-2), -2);
  EXPECT_EQ(Text(), "KDRC_ERROR_NULL_POINTER");
  KdrClearLastError();
  EXPECT_EQ(KdrCacheErrorCode(0), 0);
  EXPECT_EQ(KdrCacheErrorCode(111), -111);
  EXPECT_EQ(KdrCacheErrorCode(INT_MIN), INT_MIN);
  EXPECT_EQ(KdrCacheErrorCode(INT_MAX), -INT_MAX);
  EXPECT_EQ(Text(), "(none)");
}

TEST_F(ThreadTable, HundredThreadsFillTheTableAndTheNextGetsNone) {
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<ThreadRecord*> records;
  for (int i = 0; i < kThreadSlots; ++i) {
    workers.push_back(std::make_unique<Worker>());
    records.push_back(workers.back()->Record());
    ASSERT_NE(records.back(), nullptr) << "thread " << i;
  }
  EXPECT_EQ(KdrThreadTableHighWater(), kThreadSlots);
  // The same thread finds the same record again.
  EXPECT_EQ(workers[37]->Record(), records[37]);

  Worker extra;
  EXPECT_EQ(extra.Record(), nullptr);
  extra.Run([] {
    // The error-text operations quietly do nothing; the code still comes back.
    EXPECT_EQ(KdrErrorCode(ERR_KDRCP_BAD_ARG), ERR_KDRCP_BAD_ARG);
    KdrClearLastError();
    KdrSetErrorText("x");
    KdrSaveErrorText();
    KdrRestoreErrorText();
    EXPECT_EQ(KdrLocalizedErrorText(), nullptr);
    EXPECT_EQ(KdrCacheErrorCode(3), -3);
  });

  // One thread goes idle and is reclaimed; its slot serves the newcomer.
  for (int pass = 0; pass <= kIdleTimeoutPasses; ++pass) {
    for (int i = 0; i < kThreadSlots; ++i) {
      if (i != 5) workers[i]->Record();
    }
    KdrMonitorPass(kHooks);
  }
  ThreadRecord* r = extra.Record();
  EXPECT_EQ(r, records[5]);
  EXPECT_EQ(r->threadId.load(), extra.Id());
}

TEST_F(ThreadTable, IdleThreadIsReclaimedOnTheEleventhPass) {
  OpenLog();
  Worker w;
  uint32_t id = w.Id();
  w.Run([] {
    ThreadRecord* r = KdrThreadRecord();
    r->pipe = 42;
    KdrErrorCode(ERR_KDRCP_NO_SERVER);
  });
  Passes(10);
  ThreadRecord* r = KdrThreadSlot(0);
  EXPECT_EQ(r->threadId.load(), id);
  EXPECT_EQ(g_closed[42].load(), 0);
  Passes(1);
  EXPECT_EQ(r->threadId.load(), kFreeSlot);
  EXPECT_EQ(g_closed[42].load(), 1);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_EQ(r->requestBuffer, nullptr);
  EXPECT_EQ(r->errorText, nullptr);

  std::string expected;
  char line[128];
  for (int left = 10; left >= 1; --left) {
    std::snprintf(line, sizeof line, ">>>THREAD 0 (ID %u) IDLE COUNTDOWN %d...\n", id, left);
    expected += line;
  }
  std::snprintf(line, sizeof line, ">>>THREAD 0 (ID %u) TIMEOUT...\n", id);
  expected += line;
  EXPECT_EQ(LogText(), expected);

  // Its next call gets a fresh record.
  w.Run([&] {
    ThreadRecord* again = KdrThreadRecord();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->pipe, kInvalidPipe);
    EXPECT_EQ(again->errorText, nullptr);
    EXPECT_EQ(again->seqNum, 0);
    EXPECT_NE(again->replyBuffer, nullptr);
  });
}

// A thread remembers its record between calls; once the slot is freed (by termination here,
// by the monitor alike) and made again for another thread, the first thread's next calls must
// get a record of their own and never touch the newcomer's.
TEST_F(ThreadTable, ReusedSlotIsNotTheFormerOwnersRecord) {
  Worker a, b;
  ThreadRecord* first = a.Record();
  a.Run([] { KdrErrorCode(ERR_KDRCP_BAD_ARG); });
  KdrReleaseAllThreadRecords(kHooks);
  ASSERT_EQ(b.Record(), first);
  b.Run([] { KdrErrorCode(ERR_KDRCP_EOF); });
  a.Run([&] {
    KdrClearLastError();
    KdrSetErrorText("a");
    ThreadRecord* own = KdrThreadRecord();
    EXPECT_NE(own, first);
    EXPECT_EQ(own->threadId.load(), ThreadId());
  });
  b.Run([] { EXPECT_EQ(Text(), "ERR_KDRCP_EOF"); });
}

TEST_F(ThreadTable, BusyOwnedOrReturningThreadsAreKept) {
  Worker w;
  uint32_t id = w.Id();
  ThreadRecord* r = w.Record();
  r->busy = 1;
  Passes(15);
  EXPECT_EQ(r->threadId.load(), id);
  EXPECT_EQ(r->idleTicks.load(), 0);
  r->busy = 0;

  g_owner = id;  // owns an open-file handle
  Passes(15);
  EXPECT_EQ(r->threadId.load(), id);
  g_owner = 0;
  Passes(1);
  EXPECT_EQ(r->threadId.load(), kFreeSlot);

  // A lookup after ten passes starts the count again.
  r = w.Record();
  Passes(10);
  EXPECT_EQ(w.Record(), r);
  Passes(10);
  EXPECT_EQ(r->threadId.load(), id);
  Passes(1);
  EXPECT_EQ(r->threadId.load(), kFreeSlot);
}

TEST_F(ThreadTable, ReleaseAllFreesIdleRecordsAndLeavesBusyOnesToTheirOwners) {
  Worker a, b, c;
  a.Run([] { KdrThreadRecord()->pipe = 1; });
  b.Run([] { KdrThreadRecord()->pipe = 2; });
  ThreadRecord* busy = c.Record();
  busy->pipe = 3;
  busy->busy = 1;
  KdrReleaseAllThreadRecords(kHooks);
  EXPECT_EQ(g_closed[1].load(), 1);
  EXPECT_EQ(g_closed[2].load(), 1);
  EXPECT_EQ(g_closed[3].load(), 0);
  EXPECT_EQ(KdrThreadTableHighWater(), 3);
  EXPECT_EQ(c.Record(), busy);
  EXPECT_NE(busy->replyBuffer, nullptr);
  busy->busy = 0;
  KdrReleaseAllThreadRecords(kHooks);
  EXPECT_EQ(g_closed[3].load(), 1);
  EXPECT_EQ(KdrThreadTableHighWater(), 0);
}

// The release at termination and a last monitor pass may run at the same moment: each
// record must be freed exactly once.
TEST_F(ThreadTable, ReleaseAllRacingAMonitorPassFreesEachRecordOnce) {
  constexpr int kRecords = 8;
  std::vector<std::unique_ptr<Worker>> workers;
  for (int round = 0; round < 10; ++round) {
    for (auto& c : g_closed) c = 0;
    workers.clear();
    for (int i = 0; i < kRecords; ++i) {
      workers.push_back(std::make_unique<Worker>());
      workers.back()->Run([i] { KdrThreadRecord()->pipe = 10 + i; });
    }
    Passes(kIdleTimeoutPasses);  // the next pass reclaims them all
    std::thread monitor([] { KdrMonitorPass(kHooks); });
    KdrReleaseAllThreadRecords(kHooks);
    monitor.join();
    for (int i = 0; i < kRecords; ++i) EXPECT_EQ(g_closed[10 + i].load(), 1) << i;
  }
}

// Owners keep using their records while a fast monitor reclaims the idle ones; under the
// sanitizers this shows that a lookup and a reclaim never both win.
TEST_F(ThreadTable, OwnersAndMonitorRaceWithoutLosingARecordInUse) {
  std::atomic<bool> stop{false};
  std::thread monitor([&] {
    while (!stop.load()) {
      KdrMonitorPass(kHooks);
      KdrSleepMs(3);
    }
  });
  std::vector<std::thread> owners;
  std::atomic<int> lost{0};
  for (int t = 0; t < 4; ++t) {
    owners.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 40; ++i) {
        ThreadRecord* r = KdrThreadRecord();
        if (r == nullptr) {
          lost.fetch_add(1);
          continue;
        }
        r->busy = 1;
        r->pipe = 50 + t;  // counts the reclaims in g_closed
        std::memset(r->requestBuffer, i, kRequestBufferSize);
        std::memset(r->replyBuffer, i, kReplyBufferSize);
        r->busy = 0;
        KdrErrorCode(ERR_KDRCP_BAD_ARG);
        KdrSaveErrorText();
        KdrErrorCode(ERR_KDRCP_EOF);
        KdrRestoreErrorText();
        KdrClearLastError();
        // Sometimes stay away long enough to be reclaimed.
        if (rng() % 4 == 0) KdrSleepMs(45 + rng() % 20);
      }
    });
  }
  for (auto& o : owners) o.join();
  stop = true;
  monitor.join();
  EXPECT_EQ(lost.load(), 0);
  int reclaimed = 0;
  for (int t = 0; t < 4; ++t) reclaimed += g_closed[50 + t].load();
  RecordProperty("reclaimed", reclaimed);
}

std::atomic<int> g_allocs{0};
void* CountingAlloc(size_t n) {
  g_allocs.fetch_add(1);
  return std::malloc(n);
}
void* FailingAlloc(size_t) { return nullptr; }
void PlainFree(void* p) { std::free(p); }

TEST_F(ThreadTable, BuffersComeFromTheConfiguredAllocator) {
  Worker w;
  KdrSetAllocator(&FailingAlloc, &PlainFree);
  EXPECT_EQ(w.Record(), nullptr);
  KdrSetAllocator(&CountingAlloc, nullptr);  // half a pair changes nothing
  EXPECT_EQ(w.Record(), nullptr);
  g_allocs = 0;
  KdrSetAllocator(&CountingAlloc, &PlainFree);
  ThreadRecord* r = w.Record();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(g_allocs.load(), 2);
  EXPECT_EQ(KdrThreadTableHighWater(), 1);
}

}  // namespace
}  // namespace kdr
