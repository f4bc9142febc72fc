// The proxy's start and end against a stand-in cache server: use counting, the allocator
// pair, failed initialisations and their texts, the one-shot enabled test, echo and locale,
// termination with other threads connected, and the idle monitor reclaiming a thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/interface.h"
#include "iface/runtime.h"
#include "peer/peer.h"
#include "platform/process.h"
#include "protocol/message_format.h"
#include "protocol/pipe_transport.h"
#include "proxy/lifecycle.h"
#include "support/process_wait.h"
#include "support/proxy_fixture.h"

namespace kdr {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int Occurrences(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

int OpenDescriptors() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

// An allocator pair that puts a tag before each block, so that a block freed with the other
// pair (or a foreign block freed with this one) is noticed rather than silently accepted.
constexpr uint64_t kTag = 0x4B44524C49464521ull;
std::atomic<int> g_allocs{0};
std::atomic<int> g_frees{0};
std::atomic<int> g_foreign{0};

void* TaggedAlloc(size_t size) {
  auto* p = static_cast<uint64_t*>(std::malloc(size + 16));
  if (p == nullptr) return nullptr;
  p[0] = kTag;
  g_allocs.fetch_add(1);
  return p + 2;
}

void TaggedFree(void* block) {
  if (block == nullptr) return;
  uint64_t* p = static_cast<uint64_t*>(block) - 2;
  if (p[0] != kTag) {
    g_foreign.fetch_add(1);
    return;  // leaked rather than corrupting the heap
  }
  p[0] = 0;
  g_frees.fetch_add(1);
  std::free(p);
}

class LifecycleTest : public ProxyFixture {
 protected:
  LifecycleTest() : ProxyFixture("kdr-life") {}

  void TearDown() override {
    while (KdrProxyInitialized()) VXN_Term();
    if (KdrIdleMonitorCount() > 0) {  // left running by a failed initialisation
      KdrInitLocks();
      ProxyLockGuard b(ProxyLock::kB);
      StopIdleMonitor();
    }
    KdrReleaseAllThreadRecords(MonitorHooks{&ClosePipe, nullptr});
    ProxyFixture::TearDown();
  }

  static std::string LastError(int* rc = nullptr) {
    const char* text = nullptr;
    int r = VXN_GetLastError(&text);
    if (rc != nullptr) *rc = r;
    return text != nullptr ? text : "(none)";
  }

};

const char kBanner[] = "VXN Interface Implementation 1.3(20090224) initialized.\n";
const char kTermLine[] = "VXN Interface Implementation 1.3(20090224) API terminated.\n";

TEST_F(LifecycleTest, EntriesWhileNotInitialised) {
  // After a termination the proxy answers as it does before the first initialisation (and
  // not with the text of some earlier failed attempt).
  StartPeer();
  testing::internal::CaptureStdout();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(VXN_Term(), 0);

  int rc = 0;
  EXPECT_EQ(VXN_Term(), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(LastError(&rc), "The VXN client proxy has not been initialized.");
  EXPECT_EQ(rc, ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(VXN_GetLastError(nullptr), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(VXN_Echo(), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(VXN_SetLocale("de"), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(VXN_IsVXNEnabled(nullptr), ERR_KDRCP_BAD_ARG);
  EXPECT_FALSE(KdrProxyInitialized());
  EXPECT_EQ(KdrInitCount(), 0);
}

TEST_F(LifecycleTest, NestedInitAndTermCountUses) {
  StartPeer();
  std::ofstream(logPath_) << "earlier run\n";
  setenv("VXN_PROXY_OPEN_CACHE_EARLY", "", 1);
  setenv("VXN_PROXY_PIPEONLY", "", 1);  // the early attach answers at once, without an exchange
  testing::internal::CaptureStdout();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  std::string out = testing::internal::GetCapturedStdout();
  unsetenv("VXN_PROXY_OPEN_CACHE_EARLY");
  unsetenv("VXN_PROXY_PIPEONLY");
  EXPECT_EQ(out,
            "\n***** NOTICE: VXN_PROXY_OPEN_CACHE_EARLY is set, attempting to open the KDR fast "
            "cache. *****\n\n***** WARNING: VXN proxy 'PIPE ONLY' mode detected. *****\n"
            "***** The KDR fast cache will continue to operate in pipe mode with possibly "
            "degraded performance. *****\n\n***** checkInitKDRC() returned: -1 *****\n" +
                std::string(kBanner));
  EXPECT_EQ(KdrInitCount(), 2);
  EXPECT_EQ(peer_->Count(KDR_VERSION_CHECK_CODE), 1);  // the first call connected; not the second

  EXPECT_EQ(VXN_Term(), 0);
  EXPECT_TRUE(KdrProxyInitialized());
  EXPECT_EQ(VXN_Echo(), 0);
  EXPECT_EQ(Log().find(kTermLine), std::string::npos);

  EXPECT_EQ(VXN_Term(), 0);
  EXPECT_FALSE(KdrProxyInitialized());
  EXPECT_EQ(KdrIdleMonitorCount(), 0);
  EXPECT_EQ(KdrThreadTableHighWater(), 0);
  EXPECT_EQ(VXN_Echo(), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(VXN_Term(), ERR_KDRCP_NOT_INITIALIZED);
  std::string log = Log();
  EXPECT_EQ(Occurrences(log, kBanner), 1);
  EXPECT_EQ(Occurrences(log, kTermLine), 1);
  EXPECT_NE(log.find("Monitoring idle threads...\n\n"), std::string::npos);
  EXPECT_NE(log.find("Idle thread monitor exiting...\n\n"), std::string::npos);
  EXPECT_LT(log.find("Idle thread monitor exiting"), log.find(kTermLine));
  EXPECT_EQ(log.rfind("earlier run\n", 0), 0u);  // appended to

  // The log stays open across termination: a later initialisation goes on writing to it.
  std::string other = dir_ + "/other.log";
  setenv("KDR_VXNPROXYLOG", other.c_str(), 1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Occurrences(Log(), kBanner), 2);
  EXPECT_FALSE(std::filesystem::exists(other));
}

TEST_F(LifecycleTest, AllocatorPairServesRecordsAndGetsBackItsOwnBlocks) {
  StartPeer();
  // A record made before the pair is installed holds blocks of the previous pair.
  KdrSetAllocator(nullptr, nullptr);
  EXPECT_EQ(KdrErrorCode(ERR_KDRCP_EOF), ERR_KDRCP_EOF);
  ASSERT_NE(KdrFindThreadRecord(), nullptr);
  g_allocs = g_frees = g_foreign = 0;

  ASSERT_EQ(VXN_Init(&TaggedAlloc, &TaggedFree), 0);
  EXPECT_EQ(VXN_Echo(), 0);
  std::thread other([] { EXPECT_EQ(VXN_Echo(), 0); });
  other.join();
  EXPECT_EQ(g_allocs.load(), 4);  // two buffers for each of the two threads
  EXPECT_EQ(VXN_Term(), 0);
  EXPECT_EQ(g_foreign.load(), 0);
  EXPECT_EQ(g_frees.load(), g_allocs.load());

  // The trial initialisation goes back to the C library's pair, after handing back the
  // records made with this one.
  EXPECT_EQ(KdrErrorCode(ERR_KDRCP_EOF), ERR_KDRCP_EOF);
  int enabled = 0;
  EXPECT_EQ(VXN_IsVXNEnabled(&enabled), 0);
  EXPECT_EQ(enabled, 1);
  EXPECT_EQ(g_foreign.load(), 0);
  EXPECT_EQ(g_frees.load(), g_allocs.load());
}

TEST_F(LifecycleTest, FailedInitReportsItsTextAndDoesNotCount) {
  unsetenv("KDR_HOME");
  testing::internal::CaptureStdout();
  EXPECT_EQ(VXN_Init(nullptr, nullptr), ERR_KDRCP_NO_HOME);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "KDR ERROR: KDR_HOME environment variable is not set.\n");
  int rc = 0;
  EXPECT_EQ(LastError(&rc), "The KDR_HOME environment variable must be set.");
  EXPECT_EQ(rc, ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_FALSE(KdrProxyInitialized());
  EXPECT_EQ(KdrInitCount(), 0);
  EXPECT_EQ(VXN_Term(), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(KdrIdleMonitorCount(), 1);  // a failed attempt leaves the monitor running

  // The next attempt succeeds, clears the text, and one VXN_Term ends it.
  setenv("KDR_HOME", home_.c_str(), 1);
  StartPeer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_EQ(LastError(&rc), "(none)");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(KdrIdleMonitorCount(), 1);
  EXPECT_EQ(VXN_Term(), 0);
  EXPECT_FALSE(KdrProxyInitialized());
  EXPECT_EQ(LastError(&rc), "The VXN client proxy has not been initialized.");
}

TEST_F(LifecycleTest, LaunchScriptThatExitsFailsInitAndTheEnabledTest) {
  SetScript("exit 3\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(VXN_Init(nullptr, nullptr), ERR_KDRCP_START_FAILED);
  int enabled = 1;
  EXPECT_EQ(VXN_IsVXNEnabled(&enabled), ERR_KDRCP_START_FAILED);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(enabled, 0);
  EXPECT_FALSE(KdrProxyInitialized());
  EXPECT_EQ(KdrInitCount(), 0);
  std::regex exited("PID [0-9]+ exited with status 3\\.\n");
  EXPECT_TRUE(std::regex_search(out, exited)) << out;
  EXPECT_EQ(out.find(kBanner), std::string::npos);
  EXPECT_EQ(LastError().rfind("The VXN process failed to start or restart. The output of ", 0), 0u)
      << LastError();
}

// A launched server slower than the start-up time-out: VXN_Init succeeds without a connection;
// exchanges report the absent server themselves and connect once it serves its pipe.
TEST_F(LifecycleTest, SlowServerStartLeavesInitSucceedingAndLaterExchangesConnect) {
  std::string pidFile = dir_ + "/server.pids";
  SetScript("echo $$ >> '" + pidFile + "'\nexec sleep 30\n");
  EXPECT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_TRUE(KdrProxyInitialized());
  EXPECT_EQ(VXN_Echo(), ERR_KDRCP_NO_SERVER);  // still absent (the script is launched again)
  ASSERT_NO_FATAL_FAILURE(StartPeer());
  EXPECT_EQ(VXN_Echo(), 0);
  EXPECT_EQ(Count("ECHO"), 1);

  std::istringstream pids(ReadFile(pidFile));
  int launched = 0;
  for (long pid = 0; pids >> pid; ++launched) {
    platform::KillProcessGroup(pid);
    WaitForProcessEnd(pid, 5000);
  }
  EXPECT_EQ(launched, 2);
}

TEST_F(LifecycleTest, EnabledTestLeavesTheProxyAsItFoundIt) {
  StartPeer();
  int enabled = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(VXN_IsVXNEnabled(&enabled), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kBanner);
  EXPECT_EQ(enabled, 1);
  EXPECT_FALSE(KdrProxyInitialized());
  EXPECT_EQ(KdrInitCount(), 0);
  EXPECT_EQ(KdrIdleMonitorCount(), 0);
  EXPECT_EQ(Occurrences(Log(), kTermLine), 1);

  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  int requests = peer_->TotalRequests();
  enabled = 0;
  EXPECT_EQ(VXN_IsVXNEnabled(&enabled), 0);
  EXPECT_EQ(enabled, 1);
  EXPECT_EQ(peer_->TotalRequests(), requests);  // answered without the server
  EXPECT_EQ(KdrInitCount(), 1);
  EXPECT_EQ(VXN_IsVXNEnabled(nullptr), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(LastError(), "ERR_KDRCP_BAD_ARG");
}

TEST_F(LifecycleTest, EchoAndLocale) {
  StartPeer("on ECHO#2 error 5 \"server busy\"\n");
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_EQ(VXN_Echo(), 0);
  EXPECT_EQ(VXN_Echo(), -5);
  int rc = 1;
  EXPECT_EQ(LastError(&rc), "server busy");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(peer_->Count(KDR_ECHO_CODE), 2);

  std::string name(kConfigTextMax, 'x');
  EXPECT_EQ(VXN_SetLocale(name.c_str()), 0);
  EXPECT_EQ(LastError(), "(none)");  // the entry cleared the echo's text
  EXPECT_EQ(std::string(gProxyConfig.locale), name);
  name += 'y';
  EXPECT_EQ(VXN_SetLocale(name.c_str()), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(LastError(), "ERR_KDRCP_BAD_ARG");
  EXPECT_EQ(VXN_SetLocale(nullptr), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(gProxyConfig.locale[kConfigTextMax - 1], 'x');

  // A new real initialisation reads the locale from the environment again.
  EXPECT_EQ(VXN_Term(), 0);
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  EXPECT_STREQ(gProxyConfig.locale, kDefaultLocale);
}

// Termination closes the pipes of threads that are still alive; each of them gets a fresh
// record and connection when it calls after the next initialisation.
TEST_F(LifecycleTest, TermClosesOtherThreadsPipes) {
  StartPeer();
  ASSERT_TRUE(KdrLogOpen(logPath_.c_str()));  // the log's descriptor is not counted
  int before = OpenDescriptors();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);

  constexpr int kThreads = 3;
  std::atomic<int> phase{0};
  std::atomic<int> done{0};
  std::vector<int> results(kThreads * 3, 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      results[t * 3] = VXN_Echo();
      done.fetch_add(1);
      while (phase.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      results[t * 3 + 1] = VXN_Echo();  // after the termination
      done.fetch_add(1);
      while (phase.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      results[t * 3 + 2] = VXN_Echo();  // after the next initialisation
    });
  }
  while (done.load() < kThreads) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(peer_->Sessions(), kThreads + 1);

  EXPECT_EQ(VXN_Term(), 0);
  EXPECT_EQ(KdrThreadTableHighWater(), 0);
  // Every client end is closed, and the peer lets go of its ends once it sees them end.
  int now = OpenDescriptors();
  for (int i = 0; i < 300 && now != before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = OpenDescriptors();
  }
  EXPECT_EQ(now, before);

  phase = 1;
  while (done.load() < 2 * kThreads) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  phase = 2;
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(results[t * 3], 0);
    EXPECT_EQ(results[t * 3 + 1], ERR_KDRCP_NOT_INITIALIZED);
    EXPECT_EQ(results[t * 3 + 2], 0);
  }
  EXPECT_EQ(peer_->Sessions(), 2 * (kThreads + 1));
  EXPECT_EQ(peer_->Count(KDR_VERSION_CHECK_CODE), 2 * (kThreads + 1));
}

// Termination racing threads that start exchanges: a record is either pinned by its owner or
// claimed by the termination, never both, so no owner writes into a freed record. Under the
// sanitizers a use after free fails the run; without them it is a crash. Bounded: 3 s.
TEST_F(LifecycleTest, TermWhileOtherThreadsStartExchanges) {
  StartPeer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> echoes{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        int r = VXN_Echo();
        const char* text = nullptr;
        VXN_GetLastError(&text);  // the text itself may be freed by the next termination
        if (r == 0) {
          echoes.fetch_add(1);
        } else if (r != ERR_KDRCP_NOT_INITIALIZED && r != ERR_KDRCP_NO_SERVER) {
          unexpected.fetch_add(1);
        }
      }
    });
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int cycles = 0;
  while (std::chrono::steady_clock::now() < end) {
    EXPECT_EQ(VXN_Term(), 0);
    EXPECT_EQ(VXN_Init(nullptr, nullptr), 0);
    ++cycles;
  }
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_GT(cycles, 10);
  EXPECT_GT(echoes.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
}

// About 11 s: a thread that stops calling loses its record and pipe, and its next call
// reconnects.
TEST_F(LifecycleTest, SlowIdleThreadLosesItsPipeAndReconnects) {
  StartPeer();
  ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
  uint32_t id = 0;
  std::string timeout;
  int first = 1;
  int second = 1;
  std::thread worker([&] {
    id = ThreadId();
    first = VXN_Echo();
    // Slot 1: the initialising thread took slot 0.
    timeout = ">>>THREAD 1 (ID " + std::to_string(id) + ") TIMEOUT...\n";
    for (int i = 0; i < 1500 && Log().find(timeout) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    second = VXN_Echo();
  });
  worker.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);

  std::string log = Log();
  size_t end = log.find(timeout);
  ASSERT_NE(end, std::string::npos) << log;
  std::string prefix = ">>>THREAD 1 (ID " + std::to_string(id) + ") IDLE COUNTDOWN ";
  for (int n = 10; n >= 1; --n) {
    size_t at = log.find(prefix + std::to_string(n) + "...\n");
    EXPECT_LT(at, end) << n;
  }
  EXPECT_EQ(log.find(prefix + "0..."), std::string::npos);
  // The worker's pipe was closed by the monitor; its second echo made a new connection.
  EXPECT_EQ(peer_->Sessions(), 3);
  EXPECT_EQ(peer_->Count(KDR_ECHO_CODE), 2);
}

}  // namespace
}  // namespace kdr
