// The peer's script language: what later suites rely on when they write scripts.
#include "peer/peer.h"

#include <gtest/gtest.h>

namespace kdr::testpeer {
namespace {

TEST(PeerScript, ParsesRulesOccurrencesAndReplyFields) {
  std::vector<Rule> rules;
  std::string error;
  ASSERT_TRUE(ParseScript(
      "# comment\n"
      "on VERSION_CHECK error 100 \"Version; refused\"\n"
      "on kdr_echo_msg#2 reply seq=+1 split=5,4 hex=0102 be32=7 ; sleep 10 ; close\n"
      "on * end dir=1 msgtype=0x0005FFFA len=99 pad=3 trickle=1 textz=\"a b\"\n"
      "master#1 drop\n",
      &rules, &error))
      << error;
  ASSERT_EQ(rules.size(), 4u);

  const Action& err = rules[0].actions.at(0);
  EXPECT_EQ(rules[0].code, 15);
  EXPECT_EQ(err.typeId, 1);
  // Code, four unread bytes, then the text with its NUL (a quoted ';' stays in the text).
  std::vector<unsigned char> want = {0, 0, 0, 100, 0, 0, 0, 0};
  for (char c : std::string("Version; refused")) want.push_back(static_cast<unsigned char>(c));
  want.push_back(0);
  EXPECT_EQ(err.payload, want);

  EXPECT_EQ(rules[1].code, 6);
  EXPECT_EQ(rules[1].nth, 2);
  ASSERT_EQ(rules[1].actions.size(), 3u);
  const Action& r = rules[1].actions[0];
  EXPECT_FALSE(r.seqAbsolute);
  EXPECT_EQ(r.seqValue, 1);
  EXPECT_EQ(r.split, (std::vector<uint32_t>{5, 4}));
  EXPECT_EQ(r.payload, (std::vector<unsigned char>{1, 2, 0, 0, 0, 7}));
  EXPECT_EQ(rules[1].actions[2].kind, Action::kClose);

  EXPECT_EQ(rules[2].code, -1);
  const Action& e = rules[2].actions[0];
  EXPECT_EQ(e.typeId, 2);
  EXPECT_EQ(e.direction, 1);
  EXPECT_EQ(e.msgType, 0x0005FFFAu);
  EXPECT_TRUE(e.lengthSet);
  EXPECT_EQ(e.payloadLength, 99u);
  EXPECT_EQ(e.pad, 3u);
  EXPECT_EQ(e.trickleMs, 1);
  EXPECT_EQ(e.payload, (std::vector<unsigned char>{'a', ' ', 'b', 0}));

  EXPECT_TRUE(rules[3].master);
  EXPECT_EQ(rules[3].nth, 1);
}

TEST(PeerScript, ReportsTheLineOfAnError) {
  std::vector<Rule> rules;
  std::string error;
  EXPECT_FALSE(ParseScript("on ECHO reply\non NOPE reply\n", &rules, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(ParseScript("on ECHO reply bogus=1\n", &rules, &error));
  EXPECT_NE(error.find("bogus"), std::string::npos) << error;
  EXPECT_FALSE(ParseScript("on ECHO reply text=\"open\n", &rules, &error));
  EXPECT_FALSE(ParseScript("on ECHO#0 reply\n", &rules, &error));
}

}  // namespace
}  // namespace kdr::testpeer
