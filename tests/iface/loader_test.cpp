// The loader's four states, each in a process of its own (the table is filled once per
// process). ctest runs this binary once per state with KDR_LOADER_SCENARIO and KDR_HOME set;
// the tests of the other states skip themselves.
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/result_codes.h"
#include "iface/interface.h"

namespace kdr {
namespace {

const char kBanner[] = "VXN interface version 1.3(20090224).\n";
const char kWarning[] =
    "***** WARNING: The VXN Client Proxy shared library is not installed. *****\n"
    "*****   Reverting to self-proxying mode. *****\n"
    "***** (Installing an KDR client update will silence this warning.) *****\n\n";
constexpr int kStub = 4200;  // the stub library answers 4200 + slot

class Loader : public ::testing::Test {
 protected:
  static bool Scenario(std::initializer_list<const char*> scenarios) {
    const char* s = std::getenv("KDR_LOADER_SCENARIO");
    for (const char* want : scenarios) {
      if (s != nullptr && std::string(s) == want) return true;
    }
    return false;
  }
  static std::string LibraryPath() {
    return std::string(std::getenv("KDR_HOME")) + "/lib/libVXNClientProxyDll.so";
  }
  static void ExpectSelfProxying() {
    for (int slot = 1; slot <= kInterfaceSlots; ++slot) {
      EXPECT_EQ(InterfaceSlot(slot), BuiltinEntry(slot)) << InterfaceEntryName(slot);
    }
    EXPECT_NE(BuiltinEntry(32), nullptr);  // KdrErrorCode is always built in
  }
  // Captures what a call prints on standard output and standard error.
  struct Printed {
    std::string out, err;
  };
  template <typename F>
  static Printed Capture(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    Printed p;
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
  }
};

TEST_F(Loader, MissingHomeLeavesTheTableEmptyForGood) {
  if (!Scenario({"unset", "empty"})) GTEST_SKIP() << "runs as a ctest case of its own";
  // VXN_Term before anything else answers 0 and loads nothing.
  Printed p = Capture([] { EXPECT_EQ(If_VXN_Term(), 0); });
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "");

  int first = 0, second = 0, enabled = -1;
  p = Capture([&] {
    first = If_VXN_Init(nullptr, nullptr);
    second = If_VXN_Init(nullptr, nullptr);
    EXPECT_EQ(If_VXN_IsVXNEnabled(&enabled), 0);
  });
  EXPECT_EQ(first, ERR_KDRCP_NO_HOME);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(enabled, -1);  // the empty slot was not called
  EXPECT_EQ(p.out, kBanner);
  EXPECT_EQ(p.err, "ERROR: Could not find KDR_HOME.\n");

  for (int slot = 1; slot <= kInterfaceSlots; ++slot) EXPECT_FALSE(InterfaceSlotFilled(slot));
  const char* tickets[1] = {"t"};
  const char* keys[1] = {nullptr};
  int results[1] = {0};
  EXPECT_EQ(If_VXN_RegisterTickets(1, tickets, keys, results), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_VXN_UnRegisterTickets(1, tickets, results), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_VXN_DownloadFilesFromPLM("tag", 1, tickets, nullptr, nullptr, nullptr, results),
            ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_VXN_DownloadFilesToLocation("tag", 1, tickets, nullptr, nullptr, "/d", tickets,
                                           results),
            ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_VXN_UploadFilesToPLM(1, tickets, nullptr, nullptr, tickets, 0, nullptr, results),
            ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_VXN_RollbackFilesUploadedToPLM(1, tickets, nullptr, results),
            ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_VXN_SetLocale("de"), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_KdrClearCache(), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_KdrErrorCode(ERR_KDRCP_BAD_ARG), ERR_KDRCP_NOT_INITIALIZED);
  If_KdrClearLastError();
  const char* message = "untouched";
  EXPECT_EQ(If_VXN_GetLastError(&message), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(message, nullptr);
  EXPECT_EQ(If_VXN_GetLastError(nullptr), ERR_KDRCP_NOT_INITIALIZED);
  EXPECT_EQ(If_VXN_Term(), 0);

  // Setting KDR_HOME afterwards changes nothing: the attempt was made.
  setenv("KDR_HOME", KDR_STUB_HOMES "/home_complete", 1);
  p = Capture([] { EXPECT_EQ(LoadInterface(), 0); });
  EXPECT_EQ(p.out + p.err, "");
  EXPECT_FALSE(InterfaceSlotFilled(2));
}

TEST_F(Loader, AbsentLibraryFallsBackToTheBuiltInEntries) {
  if (!Scenario({"nolib"})) GTEST_SKIP() << "runs as a ctest case of its own";
  Printed p = Capture([] { EXPECT_EQ(LoadInterface(), 0); });
  EXPECT_EQ(p.out, kBanner);
  EXPECT_EQ(p.err, "Could not load library '" + LibraryPath() + "'\n" + kWarning);
  ExpectSelfProxying();

  // Later loads are quiet and change nothing; calls reach the built-in entries.
  p = Capture([] { EXPECT_EQ(LoadInterface(), 0); });
  EXPECT_EQ(p.out + p.err, "");
  ExpectSelfProxying();
  EXPECT_EQ(If_KdrErrorCode(ERR_KDRCP_BAD_TICKET), ERR_KDRCP_BAD_TICKET);
}

TEST_F(Loader, OverlongHomeIsALibraryThatCannotBeLoaded) {
  if (!Scenario({"longhome"})) GTEST_SKIP() << "runs as a ctest case of its own";
  ASSERT_GE(LibraryPath().size(), 1024u);
  Printed p = Capture([] { EXPECT_EQ(LoadInterface(), 0); });
  EXPECT_EQ(p.out, kBanner);
  // Reported in full, never cut short to another path.
  EXPECT_EQ(p.err, "Could not load library '" + LibraryPath() + "'\n" + kWarning);
  ExpectSelfProxying();
}

TEST_F(Loader, CompleteLibraryServesEverySlot) {
  if (!Scenario({"complete"})) GTEST_SKIP() << "runs as a ctest case of its own";
  int enabled = 0;
  Printed p = Capture([&] {
    EXPECT_EQ(If_VXN_IsVXNEnabled(&enabled), kStub + 1);
    EXPECT_EQ(If_VXN_Init(nullptr, nullptr), kStub + 2);
    EXPECT_EQ(If_VXN_IsVXNEnabled(&enabled), kStub + 1);
    EXPECT_EQ(If_VXN_Init(nullptr, nullptr), kStub + 2);
  });
  // One banner however often the loading wrappers run; no warning.
  EXPECT_EQ(p.out, kBanner);
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(enabled, 1);

  for (int slot = 1; slot <= kInterfaceSlots; ++slot) {
    EXPECT_TRUE(InterfaceSlotFilled(slot)) << InterfaceEntryName(slot);
  }
  // Every wrapper passes its call through to the library, arguments and result unchanged.
  const char* message = nullptr;
  EXPECT_EQ(If_VXN_Term(), kStub + 3);
  EXPECT_EQ(If_VXN_SetLocale("de"), kStub + 4);
  EXPECT_EQ(If_VXN_GetLastError(&message), kStub + 5);
  EXPECT_STREQ(message, "stub");
  EXPECT_EQ(If_VXN_RegisterTickets(0, nullptr, nullptr, nullptr), kStub + 9);
  EXPECT_EQ(If_VXN_UnRegisterTickets(0, nullptr, nullptr), kStub + 11);
  EXPECT_EQ(If_VXN_DownloadFilesFromPLM("t", 0, nullptr, nullptr, nullptr, nullptr, nullptr),
            kStub + 13);
  EXPECT_EQ(If_VXN_DownloadFilesToLocation("t", 0, nullptr, nullptr, nullptr, "/", nullptr,
                                           nullptr),
            kStub + 15);
  EXPECT_EQ(If_VXN_UploadFilesToPLM(0, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr),
            kStub + 17);
  EXPECT_EQ(If_VXN_RollbackFilesUploadedToPLM(0, nullptr, nullptr, nullptr), kStub + 19);
  EXPECT_EQ(If_KdrClearCache(), kStub + 31);
  EXPECT_EQ(If_KdrErrorCode(-3002), kStub + 32);
  EXPECT_EQ(Interface().KdrClock(), kStub + 35);
}

TEST_F(Loader, ThreadsRacingTheFirstLoadAllSeeTheFilledTable) {
  if (!Scenario({"race"})) GTEST_SKIP() << "runs as a ctest case of its own";
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::atomic<int> reached_library{0};
  Printed p = Capture([&] {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        waiting.fetch_sub(1);
        while (waiting.load() > 0) {
        }
        if (If_VXN_Init(nullptr, nullptr) == kStub + 2) reached_library.fetch_add(1);
      });
    }
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(reached_library.load(), kThreads);
  EXPECT_EQ(p.out, kBanner);
  EXPECT_EQ(p.err, "");
}

TEST_F(Loader, LibraryLackingOneEntryIsReportedAndUnloaded) {
  if (!Scenario({"incomplete"})) GTEST_SKIP() << "runs as a ctest case of its own";
  Printed p = Capture([] { EXPECT_EQ(LoadInterface(), 0); });
  EXPECT_EQ(p.out, kBanner);
  // Exactly one missing name; the full stop of that line comes after its line end.
  EXPECT_EQ(p.err, "Could not find entry point 'VXN_ScheduleRange'\n.Library '" + LibraryPath() +
                       "' corrupted.\n" + kWarning);
  // Every slot holds the built-in entry (the stub library's ones are gone with it).
  ExpectSelfProxying();
}

}  // namespace
}  // namespace kdr
