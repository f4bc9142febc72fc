// Control exchanges against the in-process peer: the store parameters, clearing the cache
// (and when the fast cache is detached), and the localization of error texts.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>

#include "client/result_codes.h"
#include "protocol/control_messages.h"
#include "protocol/message_framing.h"
#include "protocol/protocol_fixture.h"

namespace kdr {
namespace {

std::atomic<int> g_detaches{0};
void CountDetach() { g_detaches.fetch_add(1); }

class Control : public ProtocolTest {
 protected:
  void TearDown() override {
    SetFastCacheDetach(nullptr);
    KdrSetErrorTextLocalizer(nullptr);
    KdrRelease(map_);
    KdrRelease(dir_name_);
    ProtocolTest::TearDown();
  }
  int Info() {
    return GetCacheInitInfoMsg(&map_, &dir_name_, &n_[0], &n_[1], &n_[2], &n_[3], &n_[4]);
  }
  char* map_ = nullptr;
  char* dir_name_ = nullptr;
  int32_t n_[5] = {};
};

TEST_F(Control, CacheInitInfo) {
  StartPeer(
      "on GET_CACHE_INIT_INFO#1 reply be32=100 be32=200 be32=3 be32=0 be32=0 be16=10 be16=5 "
      "text=/kdr/cache text=m/a/p\n"
      "on GET_CACHE_INIT_INFO#2 reply be32=100 be32=0 be32=3 be32=0 be32=0 be16=1 be16=1 "
      "text=ab\n"
      "on GET_CACHE_INIT_INFO#3 reply be32=1 be32=1 be32=1 be32=0 be32=0 be16=10 be16=5 "
      "text=/kdr/cache text=m\n"
      "on GET_CACHE_INIT_INFO#4 reply be32=1 be32=1\n"
      "on GET_CACHE_INIT_INFO#5 error 12 \"no store\"\n");
  ASSERT_EQ(Info(), 0);
  EXPECT_STREQ(dir_name_, "/kdr/cache");
  EXPECT_STREQ(map_, "m/a/p");
  EXPECT_EQ(n_[0], 100);
  EXPECT_EQ(n_[1], 200);
  EXPECT_EQ(n_[2], 3);
  EXPECT_EQ(n_[3], 0);  // no extents is fine
  EXPECT_NE(Log().find("CACHE INFO:\n Map 'm/a/p', dir '/kdr/cache'\n 100 FilePages, 200 "
                       "Segments, 3 HashBlockPages, 0 MBExtents, 0 Extents.\n"),
            std::string::npos);
  KdrRelease(map_);
  KdrRelease(dir_name_);
  map_ = dir_name_ = nullptr;

  EXPECT_EQ(Info(), ERR_KDRCP_BAD_ARG);  // 0 segments
  EXPECT_EQ(Info(), ERR_KDRCP_BAD_ARG);  // map name runs past the reply
  EXPECT_EQ(Info(), ERR_KDRCP_BAD_ARG);  // too short for its fields
  EXPECT_EQ(map_, nullptr);
  EXPECT_EQ(dir_name_, nullptr);
  KdrSetErrorText(nullptr);
  EXPECT_EQ(Info(), -12);
  EXPECT_EQ(KdrThreadRecord()->errorText, nullptr);  // the text is logged, not kept
  std::string log = Log();
  EXPECT_NE(log.find("MESSAGE ERROR: Invalid number of segments 0 (KDR_GET_CACHE_INIT_INFO)\n"),
            std::string::npos);
  EXPECT_NE(log.find("MESSAGE ERROR: Invalid map name size 5 (KDR_GET_CACHE_INIT_INFO)\n"),
            std::string::npos);
  EXPECT_NE(log.find("ERROR REPLY: -12 no store\n"), std::string::npos);
}

TEST_F(Control, CacheInitInfoParserStaysInsideAnyReply) {
  std::mt19937 rng(11);
  for (int round = 0; round < 4000; ++round) {
    int total = 12 + static_cast<int>(rng() % 48);
    std::vector<unsigned char> reply(static_cast<size_t>(total));
    for (unsigned char& b : reply) b = static_cast<unsigned char>(rng() % 8);
    CacheInitInfo info;
    if (ParseCacheInitInfo(reply.data(), total, &info) == 0) {
      const char* end = reinterpret_cast<const char*>(reply.data()) + total;
      EXPECT_LE(info.map + info.mapLength, end);
      EXPECT_GT(info.dirLength, 0);
    }
  }
}

TEST_F(Control, ClearCacheDetachesOnlyOnceConnected) {
  SetFastCacheDetach(&CountDetach);
  g_detaches = 0;
  EXPECT_EQ(ClearCacheMsg(), ERR_KDRCP_NO_SERVER);
  EXPECT_EQ(g_detaches.load(), 0);

  StartPeer("on CLEAR_CACHE#2 error 3 busy\n");
  EXPECT_EQ(ClearCacheMsg(), 0);
  EXPECT_EQ(g_detaches.load(), 1);
  EXPECT_EQ(ClearCacheMsg(), -3);  // detached whatever the server answers
  EXPECT_EQ(g_detaches.load(), 2);
  EXPECT_STREQ(KdrThreadRecord()->errorText, "busy");
  EXPECT_EQ(peer_->Count(256), 2);
  EXPECT_NE(Log().find("12 byte CLEAR CACHE request sent to VXN\n"), std::string::npos);
}

TEST_F(Control, Localize) {
  StartPeer(
      "on LOCALIZE#1 reply be16=7 text=Fehler!\n"
      "on LOCALIZE#2 error 4 \"no catalogue\"\n"
      "on LOCALIZE#3 reply be16=9 text=short\n"
      "on LOCALIZE#4 reply be16=4 text=Nein\n");
  char* result = reinterpret_cast<char*>(1);
  EXPECT_EQ(LocalizeMsg(nullptr, &result), 0);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(peer_->TotalRequests(), 0);  // not even connected
  EXPECT_EQ(LocalizeMsg("x", nullptr), ERR_KDRCP_BAD_ARG);

  EXPECT_EQ(LocalizeMsg("Error!", &result), 0);
  EXPECT_STREQ(result, "Fehler!");
  std::free(result);

  KdrSetErrorText("kept");
  EXPECT_EQ(LocalizeMsg("Error!", &result), -4);
  EXPECT_STREQ(result, "Error!");  // the caller's text is never lost
  std::free(result);
  EXPECT_STREQ(KdrThreadRecord()->errorText, "kept");
  EXPECT_EQ(LocalizeMsg("Error!", &result), ERR_KDRCP_BAD_ARG);  // length past the reply
  EXPECT_STREQ(result, "Error!");
  std::free(result);

  // Through the thread's error text: asked once, however often it is read.
  KdrSetErrorTextLocalizer(&LocalizeErrorText);
  KdrClearLastError();
  KdrErrorCode(ERR_KDRCP_BAD_ARG);
  EXPECT_STREQ(KdrLocalizedErrorText(), "Nein");
  EXPECT_STREQ(KdrLocalizedErrorText(), "Nein");
  EXPECT_EQ(peer_->Count(12), 4);
  std::vector<testpeer::Request> reqs = peer_->Requests();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reqs.back().bytes.data()) + 12),
            "ERR_KDRCP_BAD_ARG");
}

}  // namespace
}  // namespace kdr
