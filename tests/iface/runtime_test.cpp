#include "iface/runtime.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/result_codes.h"
#include "platform/fault.h"
#include "platform/thread.h"

namespace kdr {
namespace {

// Runs first in a fresh process (ctest case iface_init_locks); elsewhere the locks may be set
// up already and there is nothing left to race.
TEST(InitLocks, ConcurrentCallersAllReturnWithUsableLocks) {
  if (KdrLocksReady()) GTEST_SKIP() << "locks already set up in this process";
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::atomic<int> returned_ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) {
      }
      KdrInitLocks();
      if (KdrLocksReady()) returned_ready.fetch_add(1);
      // Each lock must be usable at once by whoever returned.
      ProxyLockGuard b(ProxyLock::kB);
      ProxyLockGuard a(ProxyLock::kA);
      ProxyLockGuard c(ProxyLock::kC);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(returned_ready.load(), kThreads);
}

TEST(Locks, AreReentrantAndExclusive) {
  KdrInitLocks();
  synchronize();
  synchronize();  // a holder may take it again
  EXPECT_TRUE(KdrHoldsLock(ProxyLock::kA));
  std::atomic<bool> entered{false};
  std::thread other([&] {
    synchronize();
    entered = true;
    endSynchronize();
  });
  KdrSleepMs(50);
  endSynchronize();
  KdrSleepMs(50);
  EXPECT_FALSE(entered.load()) << "released once of twice: still held";
  endSynchronize();
  other.join();
  EXPECT_TRUE(entered.load());
  EXPECT_FALSE(KdrHoldsLock(ProxyLock::kA));
}

uint32_t RecordOwnId(void* arg) {
  auto* seen = static_cast<std::atomic<uint32_t>*>(arg);
  seen->store(ThreadId());
  return 77;
}

TEST(Threads, StartReportsTheNewThreadsIdBeforeReturning) {
  std::atomic<uint32_t> seen{0};
  uint32_t id = 0;
  void* h = VXNStartThread(&RecordOwnId, &seen, &id);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, ThreadId());
  uint32_t code = 0;
  ASSERT_EQ(platform::ThreadJoin(static_cast<platform::Thread*>(h), &code), 0);
  EXPECT_EQ(seen.load(), id);
  EXPECT_EQ(code, 77u);
}

TEST(Threads, StartFailureGivesNullAndStoresNoId) {
  platform::InjectFault(platform::Sys::kThreadCreate, EAGAIN);
  std::atomic<uint32_t> seen{0};
  uint32_t id = 12345;
  EXPECT_EQ(VXNStartThread(&RecordOwnId, &seen, &id), nullptr);
  EXPECT_EQ(id, 12345u);
  platform::ClearFaults();
  EXPECT_EQ(VXNStartThread(nullptr, nullptr, &id), nullptr);
}

uint32_t SleepLong(void*) {
  KdrSleepMs(60000);
  return 1;
}

TEST(Threads, TerminateEndsASleepingThreadAndIgnoresTheInvalidHandle) {
  VXNTerminateThread(kInvalidThreadHandle, 3);
  VXNTerminateThread(nullptr, 3);
  KdrReleaseThreadHandle(kInvalidThreadHandle, true);

  void* h = VXNStartThread(&SleepLong, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  KdrClockValue t0 = KdrClock();
  VXNTerminateThread(h, 9);
  uint32_t code = 0;
  ASSERT_EQ(platform::ThreadJoin(static_cast<platform::Thread*>(h), &code), 0);
  EXPECT_EQ(code, 9u);
  EXPECT_LT(KdrDeltaMs(KdrClock(), t0), 10000);
}

TEST(Clock, IsMonotonicMillisecondsAndSleepWaitsAtLeastItsTime) {
  KdrClockValue t0 = KdrClock();
  KdrSleepMs(30);
  KdrClockValue t1 = KdrClock();
  EXPECT_GE(KdrDeltaMs(t1, t0), 30);
  EXPECT_LT(KdrDeltaMs(t1, t0), 5000);
}

TEST(Clock, DeltaFollowsThirtyTwoBitArithmetic) {
  EXPECT_EQ(KdrDeltaMs(700, 700), 0);
  EXPECT_EQ(KdrDeltaMs(1500, 500), 1000);
  EXPECT_EQ(KdrDeltaMs(500, 1500), -1000);
  // Across the wrap of the clock value.
  EXPECT_EQ(KdrDeltaMs(INT_MIN + 5, INT_MAX - 4), 10);
  EXPECT_EQ(KdrDeltaMs(INT_MAX - 4, INT_MIN + 5), -10);
  // Largest difference the millisecond product still holds, and the first one it does not:
  // 2147484 * 1000 wraps to -2147483296.
  EXPECT_EQ(KdrDeltaMs(2147483, 0), 2147483);
  EXPECT_EQ(KdrDeltaMs(2147484, 0), -2147483);
  EXPECT_EQ(KdrDeltaMs(INT_MAX, INT_MIN), -1);  // the difference itself wraps to -1
}

// A ticket of `length` characters with `type` and `digits` at 64 to 67, in a heap block of
// exactly that size, so reading past its NUL is caught by AddressSanitizer.
std::unique_ptr<char[]> Ticket(size_t length, char type = 'F', const char* digits = "012") {
  auto t = std::make_unique<char[]>(length + 1);
  std::memset(t.get(), 'a', length);
  t[length] = '\0';
  if (length > 64) t[64] = type;
  for (size_t i = 0; i < 3 && 65 + i < length; ++i) t[65 + i] = digits[i];
  return t;
}

TEST(Tickets, ValidityBoundsAndForm) {
  EXPECT_FALSE(IsValidTicket(Ticket(224).get()));
  EXPECT_TRUE(IsValidTicket(Ticket(225).get()));
  EXPECT_TRUE(IsValidTicket(Ticket(2000).get()));
  EXPECT_FALSE(IsValidTicket(Ticket(2001).get()));
  EXPECT_TRUE(IsValidTicket(Ticket(300, 'v', "999").get()));
  EXPECT_TRUE(IsValidTicket(Ticket(300, 'M', "000").get()));
  EXPECT_FALSE(IsValidTicket(Ticket(300, 'x').get()));
  EXPECT_FALSE(IsValidTicket(Ticket(300, 'f').get()));
  EXPECT_FALSE(IsValidTicket(Ticket(300, 'F', "01a").get()));
  EXPECT_FALSE(IsValidTicket(Ticket(300, 'F', "/12").get()));
  EXPECT_FALSE(IsValidTicket(nullptr));
  // Short texts are refused without being read past their end.
  EXPECT_FALSE(IsValidTicket(Ticket(0).get()));
  EXPECT_FALSE(IsValidTicket(Ticket(10).get()));
  EXPECT_FALSE(IsValidTicket(Ticket(66).get()));
}

TEST(Tickets, GuidLengthByTypeLetter) {
  EXPECT_EQ(GUIDLength(Ticket(300, 'v').get()), 32);
  EXPECT_EQ(GUIDLength(Ticket(300, 'F').get()), 32);
  EXPECT_EQ(GUIDLength(Ticket(300, 'M').get()), 36);
  EXPECT_EQ(GUIDLength(Ticket(300, 'x').get()), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(GUIDLength(nullptr), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(GUIDLength(Ticket(64).get()), ERR_KDRCP_BAD_TICKET);  // no type letter at all
  EXPECT_EQ(GUIDLength(Ticket(65, 'M').get()), 36);
}

TEST(Tickets, RegistryEntrySignature) {
  uint32_t live[6] = {kTicketEntrySignature, 1, 2, 3, 4, 5};
  uint32_t released[6] = {0xC105EDDDu, 1, 2, 3, 4, 5};
  EXPECT_TRUE(IsTicketEntry(live));
  EXPECT_FALSE(IsTicketEntry(released));
  EXPECT_FALSE(IsTicketEntry(nullptr));
}

TEST(Tickets, KeyHashIsTheByteSumModulo256) {
  EXPECT_EQ(TicketKeyHash("abc"), 38);
  EXPECT_EQ(TicketKeyHash(""), 0);
  EXPECT_EQ(TicketKeyHash(nullptr), 0);
  EXPECT_EQ(TicketKeyHash("\xff\xff"), 254);  // bytes count as unsigned
  std::string key(64, 'z');                  // 64 * 122 = 7808 = 30 * 256 + 128
  EXPECT_EQ(TicketKeyHash(key.c_str()), 128);
}

TEST(Texts, SizeCountsTheTerminator) {
  EXPECT_EQ(TextSize("abc"), 4);
  EXPECT_EQ(TextSize(""), 1);
  EXPECT_EQ(TextSize(nullptr), 1);
}

}  // namespace
}  // namespace kdr
