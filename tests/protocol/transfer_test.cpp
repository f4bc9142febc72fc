// Transfer conversations against the in-process peer: progress replies and the status
// requests that answer them, the callback's three outcomes, final replies good and bad, the
// target path of a download to a location, upload and rollback writes.
#include <cstdlib>
#include <cstring>
#include <random>

#include "client/result_codes.h"
#include "protocol/message_framing.h"
#include "protocol/protocol_fixture.h"
#include "protocol/transfer_messages.h"
#include "proxy/open_files.h"

namespace kdr {
namespace {

const char kKey[] = "K123456789012345678901234567890123456789012345678901234567890123";

struct Calls {
  int count = 0;
  int result = 0;        // what the callback returns
  int keepGoing = 1;     // what it sets the flag to
  const char* key = nullptr;
  void* context = nullptr;
  std::vector<std::pair<int64_t, int64_t>> seen;
};

int Record(const char* key, void* context, int64_t done, int64_t total, int* keepGoing) {
  Calls* c = static_cast<Calls*>(context);
  ++c->count;
  c->key = key;
  c->context = context;
  EXPECT_EQ(*keepGoing, 0);
  EXPECT_EQ(KdrThreadRecord()->busy.load(), 1);
  c->seen.emplace_back(done, total);
  *keepGoing = c->keepGoing;
  return c->result;
}

class Transfer : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    file_.serverHandle = 0x1234;
    file_.ticketKey = kKey;
    file_.fileSize = -1;
    file_.bufferedBytes = 7;
  }
  void TearDown() override {
    std::free(out_);
    ProtocolTest::TearDown();
  }
  // The requests after the version check.
  std::vector<testpeer::Request> Sent() {
    std::vector<testpeer::Request> all = peer_->Requests();
    return std::vector<testpeer::Request>(all.begin() + 1, all.end());
  }
  static int32_t Status(const testpeer::Request& r) { return GetBE32(r.bytes.data(), 12); }

  OpenFileRecord file_{};
  char* out_ = nullptr;
};

TEST_F(Transfer, DownloadAnswersEveryProgressReplyAndKeepsTheFirstSize) {
  StartPeer(
      "on GET_FILE progress be64=10 be64=300\n"
      "on STATUS#1 progress be64=100 be64=999\n"
      "on STATUS#2 progress be64=300 be64=999\n"
      "on STATUS#3 reply be16=9 text=a/b/c.dat\n");
  ASSERT_EQ(GetFileMsg(&file_, &out_, "TAGXYZ", nullptr, nullptr), 0);
  EXPECT_STREQ(out_, "a/b/c.dat");  // the native separator is '/' already
  EXPECT_EQ(file_.fileSize, 300);   // set by the first progress reply only
  EXPECT_EQ(file_.bufferedBytes, 0);
  EXPECT_EQ(KdrThreadRecord()->busy.load(), 0);

  std::vector<testpeer::Request> sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].bytes, (std::vector<unsigned char>{1, 0, 0, 1, 0x00, 0x04, 0xFF, 0xFB, 0, 0,
                                                       0, 5, 0x12, 0x34, 'T', 'A', 'G'}));
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(sent[i].code, 10);
    EXPECT_EQ(sent[i].seq, 2);  // the request's SeqNum + 1, never stepped
    EXPECT_EQ(sent[i].bytes.size(), 16u);
    EXPECT_EQ(Status(sent[i]), 0);
  }
  std::string log = Log();
  EXPECT_EQ(CountOf(log, "16 byte STATUS: CONTINUE request sent to VXN\n"), 3);
  EXPECT_NE(log.find("17 byte FILE request sent to VXN\n"), std::string::npos);
}

TEST_F(Transfer, CallbackCancelsOrFailsAndTheServerDecides) {
  StartPeer(
      "on GET_FILE#1 progress be64=5 be64=50\n"
      "on STATUS#1 error -3016 cancelled\n"
      "on GET_FILE#2 progress be64=6 be64=60\n"
      "on STATUS#2 progress be64=7 be64=60\n"
      "on STATUS#3 error 7 \"failed by client\"\n");
  Calls calls;
  calls.keepGoing = 0;
  EXPECT_EQ(GetFileMsg(&file_, &out_, "t", &Record, &calls), ERR_KDRCP_CANCELLED);
  EXPECT_EQ(out_, nullptr);
  EXPECT_EQ(calls.count, 1);
  EXPECT_EQ(calls.key, kKey);
  EXPECT_EQ(calls.context, &calls);
  EXPECT_EQ(calls.seen[0], std::make_pair(int64_t{5}, int64_t{50}));
  EXPECT_EQ(Status(Sent()[1]), ERR_KDRCP_CANCELLED);
  EXPECT_NE(Log().find("16 byte STATUS: CANCEL request sent to VXN\n"), std::string::npos);

  // FAIL: the status carries the callback's code and the proxy reads on.
  calls = Calls{};
  calls.result = -7;
  EXPECT_EQ(GetFileMsg(&file_, &out_, "t", &Record, &calls), -7);
  EXPECT_EQ(calls.count, 2);
  EXPECT_EQ(calls.seen[1].second, 50);  // the size known from before is kept
  std::vector<testpeer::Request> sent = Sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(Status(sent[3]), -7);
  EXPECT_EQ(Status(sent[4]), -7);
  EXPECT_EQ(sent[4].seq, 3);
  EXPECT_STREQ(KdrThreadRecord()->errorText, "failed by client");
  EXPECT_EQ(CountOf(Log(), "16 byte STATUS: FAIL (-7) request sent to VXN\n"), 2);
}

TEST_F(Transfer, MalformedRepliesGetACode) {
  StartPeer(
      "on GET_FILE#1 reply be16=0\n"
      "on GET_FILE#2 reply be16=-4 text=abcd\n"
      "on GET_FILE#3 reply be16=100 text=short\n"
      "on GET_FILE#4 reply hex=00\n"
      "on GET_FILE#5 progress be64=1\n"
      "on GET_FILE#6 reply kind=2\n"
      "on GET_FILE#7 reply seq=+1\n"
      "on GET_FILE#8 reply msgtype=0x0005FFFA\n"
      "on UPLOAD#1 reply be16=3 text=ab\n"
      "on GET_LOCATION#1 progress be64=1 be64=2\n"
      "on STATUS#1 reply kind=7\n");
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(GetFileMsg(&file_, &out_, "t", nullptr, nullptr),
              i == 5 ? ERR_KDRCP_TYPE_ID : ERR_KDRCP_BAD_ARG)
        << i;
    EXPECT_EQ(out_, nullptr);
  }
  EXPECT_EQ(file_.bufferedBytes, 7);  // untouched by a rejected reply
  EXPECT_EQ(GetFileMsg(&file_, &out_, "t", nullptr, nullptr), ERR_KDRCP_SEQUENCE);
  EXPECT_EQ(GetFileMsg(&file_, &out_, "t", nullptr, nullptr), ERR_KDRCP_MSG_TYPE);
  EXPECT_EQ(UploadMsg(&file_, "/tmp/x", nullptr, nullptr, &out_), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(out_, nullptr);
  EXPECT_EQ(GetLocationMsg(&file_, "t", nullptr, nullptr, nullptr, "a"), ERR_KDRCP_TYPE_ID);
  std::string log = Log();
  EXPECT_NE(log.find("MESSAGE ERROR: Invalid filename length 0 (KDR_GET_FILE_MSG)\n"),
            std::string::npos);
  EXPECT_NE(log.find("MESSAGE ERROR: Invalid filename length 100 (KDR_GET_FILE_MSG)\n"),
            std::string::npos);
  EXPECT_NE(log.find("MESSAGE ERROR: Invalid volumeID length 3 (KDR_UPLOAD_MSG)\n"),
            std::string::npos);
  // A malformed progress reply, a reply of an unknown kind and a stray SeqNum leave the
  // conversation out of step: each closed the connection (the next exchange connected anew).
  EXPECT_EQ(peer_->Sessions(), 4);
  EXPECT_EQ(KdrThreadRecord()->pipe, kInvalidPipe);
}

TEST_F(Transfer, ParsersStayInsideAnyReply) {
  std::mt19937 rng(7);
  for (int round = 0; round < 4000; ++round) {
    int total = 12 + static_cast<int>(rng() % 40);
    std::vector<unsigned char> reply(static_cast<size_t>(total));
    for (unsigned char& b : reply) b = static_cast<unsigned char>(rng());
    if (round % 2 == 0 && total > 13) {
      reply[12] = 0;  // small lengths, so that some fit
      reply[13] = static_cast<unsigned char>(rng() % 48);
    }
    const char* text = nullptr;
    int field = 0;
    int n = ParseCountedText(reply.data(), total, &text, &field);
    if (n > 0) {
      EXPECT_LE(text + n, reinterpret_cast<const char*>(reply.data()) + total);
    } else {
      EXPECT_EQ(n, ERR_KDRCP_BAD_ARG);
    }
    int64_t done = 0;
    int64_t size = 0;
    EXPECT_EQ(ParseProgressReply(reply.data(), total, &done, &size),
              total >= 28 ? 0 : ERR_KDRCP_BAD_ARG);
  }
}

TEST_F(Transfer, TargetPathJoinsWithOneSlash) {
  char out[32];
  struct Case {
    const char* dir;
    const char* expected;
  } cases[] = {{"/out", "/out/a.txt"},
               {"/out/", "/out/a.txt"},
               {"C:\\out", "C:\\out/a.txt"},
               {nullptr, "a.txt"},
               {"", "a.txt"}};
  for (const Case& c : cases) {
    EXPECT_EQ(JoinTargetPath(c.dir, "a.txt", out, sizeof out),
              static_cast<long>(std::strlen(c.expected)));
    EXPECT_STREQ(out, c.expected);
  }
  EXPECT_EQ(JoinTargetPath("/out", "a.txt", out, 10), -1);  // 10 bytes + NUL do not fit
  EXPECT_EQ(JoinTargetPath("/out", "a.txt", out, 11), 10);

  StartPeer("on GET_LOCATION progress be64=1 be64=2\non STATUS reply\n");
  ASSERT_EQ(GetLocationMsg(&file_, "XY", nullptr, nullptr, "/out/", "a.txt"), 0);
  std::vector<testpeer::Request> sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  const std::vector<unsigned char>& b = sent[0].bytes;
  ASSERT_EQ(b.size(), 17u + 11u);
  EXPECT_EQ(GetBE32(b.data(), 8), 6 + 10);
  EXPECT_EQ(std::memcmp(b.data() + 14, "XY\0/out/a.txt\0", 14), 0);

  // A target path longer than the request can carry is refused before anything is sent.
  std::string longName(kMaxTargetPath, 'n');
  EXPECT_EQ(GetLocationMsg(&file_, "XY", nullptr, nullptr, "/d", longName.c_str()),
            ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(Sent().size(), 2u);
  longName.resize(kMaxTargetPath - 3);  // "/d/" + name: exactly the longest
  EXPECT_EQ(GetLocationMsg(&file_, "XY", nullptr, nullptr, "/d", longName.c_str()), 0);
  EXPECT_EQ(Sent()[2].bytes.size(), 2072u);
}

TEST_F(Transfer, UploadAndRollbackWrites) {
  StartPeer(
      "on UPLOAD progress be64=1 be64=4\n"
      "on STATUS reply be16=5 text=vol/1\n");
  file_.fileSize = 300;  // the size of the volume the open found
  Calls calls;
  ASSERT_EQ(UploadMsg(&file_, "/tmp/up.dat", &Record, &calls, &out_), 0);
  EXPECT_STREQ(out_, "vol/1");
  ASSERT_EQ(calls.count, 1);
  EXPECT_EQ(calls.seen[0], std::make_pair(int64_t{1}, int64_t{4}));  // the server's total
  EXPECT_EQ(RollbackMsg(&file_, out_), 0);
  EXPECT_EQ(RollbackMsg(&file_, nullptr), 0);
  std::vector<testpeer::Request> sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(GetBE32(sent[0].bytes.data(), 8), 4 + 11);
  EXPECT_EQ(GetBE16(sent[0].bytes.data(), 14), 11);
  EXPECT_EQ(std::string(sent[0].bytes.begin() + 16, sent[0].bytes.end()), "/tmp/up.dat");
  EXPECT_EQ(GetBE16(sent[2].bytes.data(), 12), 0x1234);
  EXPECT_EQ(std::string(sent[2].bytes.begin() + 16, sent[2].bytes.end()), "vol/1");
  EXPECT_EQ(GetBE32(sent[3].bytes.data(), 8), 4);
  EXPECT_EQ(sent[3].bytes.size(), 16u);
  EXPECT_EQ(peer_->EmptySecondWrites(), 1);
  std::string log = Log();
  EXPECT_NE(log.find("32 byte UPLOAD request sent to VXN\n27 byte UPLOAD filepath sent to VXN\n"),
            std::string::npos);
  EXPECT_NE(log.find("16 byte ROLLBACK request sent to VXN\n0 byte ROLLBACK volumeID sent to VXN\n"),
            std::string::npos);
}

}  // namespace
}  // namespace kdr
