// The data exchanges against the scriptable peer: series of pieces, early ends, and every kind
// of faulty piece or reply; and the reply parsers driven with arbitrary bytes.
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "client/result_codes.h"
#include "protocol/data_messages.h"
#include "protocol/message_format.h"
#include "protocol_fixture.h"
#include "proxy/open_files.h"

namespace kdr {
namespace {

class DataMessagesTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    file_ = NewFileHandle();
    ASSERT_NE(file_, nullptr);
    ASSERT_EQ(CopyOpenFileText("TICKET-0001", &file_->ticket), 0);
  }
  void TearDown() override {
    FreeFileHandle(file_);
    ProtocolTest::TearDown();
  }
  int Count(const char* name) { return peer_->Count(testpeer::MessageCode(name)); }

  OpenFileRecord* file_ = nullptr;
  unsigned char dest_[64] = {};
};

TEST_F(DataMessagesTest, OpenStoresHandleAndSizeAndSizeNeedsNoExchange) {
  StartPeer("on OPEN reply be16=7 be64=1000\n");
  ASSERT_EQ(OpenMsg(file_), 7);
  EXPECT_EQ(file_->serverHandle, 7);
  EXPECT_EQ(file_->fileSize, 1000);
  EXPECT_EQ(GetSizeMsg(file_), 1000);
  EXPECT_EQ(peer_->TotalRequests(), 2);  // version check and open
  // The ticket went as a second write with its NUL.
  std::vector<testpeer::Request> requests = peer_->Requests();
  const std::vector<unsigned char>& open = requests.back().bytes;
  ASSERT_EQ(open.size(), kHeaderSize + 12);
  EXPECT_EQ(GetBEU32(open.data(), kOffPayloadLength), 12u);
  EXPECT_EQ(std::memcmp(open.data() + kHeaderSize, "TICKET-0001", 12), 0);
  EXPECT_NE(Log().find("12 byte OPEN ticket sent to VXN\n"), std::string::npos);
}

TEST_F(DataMessagesTest, OpenFailuresAreNegative) {
  StartPeer(
      "on OPEN#1 reply be16=0x8000 be64=5\n"
      "on OPEN#2 reply be16=1\n"
      "on OPEN#3 error 42 \"no such file\"\n");
  EXPECT_LT(OpenMsg(file_), 0);                    // top bit set: a failure to every caller
  EXPECT_EQ(OpenMsg(file_), ERR_KDRCP_BAD_ARG);    // reply too short for its fields
  EXPECT_EQ(OpenMsg(file_), -42);
  EXPECT_EQ(Log().find("ERROR REPLY"), std::string::npos);  // open does not log it
}

TEST_F(DataMessagesTest, SizeAndCloseWithoutServerHandle) {
  StartPeer("on OPEN reply be16=3 be64=-1\non GET_SIZE reply be64=123456789012\n");
  EXPECT_EQ(CloseMsg(file_), 0);  // not open at the server: nothing sent
  EXPECT_EQ(peer_->TotalRequests(), 0);
  EXPECT_EQ(GetSizeMsg(file_), 123456789012);  // opens first, the open gave no size
  EXPECT_EQ(Count("OPEN"), 1);
  EXPECT_EQ(Count("GET_SIZE"), 1);
  EXPECT_EQ(CloseMsg(file_), 0);
  EXPECT_EQ(Count("CLOSE"), 1);
  EXPECT_EQ(file_->serverHandle, 3);  // the caller resets it
}

TEST_F(DataMessagesTest, SeriesOfPiecesFillsTheRange) {
  StartPeer(
      "on GET_DATA#1 reply be64=10 be32=3 hex=414243 ; reply be64=13 be32=2 hex=4445\n"
      "on GET_DATA#2 reply be64=10 be32=2 hex=5859 ; end\n"
      "on GET_DATA#3 reply be64=10 be32=1 hex=51 ; error 7 \"broken\"\n"
      "on GET_DATA#4 error 7 \"unlucky piece\"\n");
  file_->serverHandle = 9;
  file_->position = 10;
  EXPECT_EQ(GetDataMsg(file_, "abcdef", dest_, 5, 5), 5);  // empty range: no exchange
  EXPECT_EQ(peer_->TotalRequests(), 0);

  ASSERT_EQ(GetDataMsg(file_, "abcdef", dest_, 5, 0), 5);
  EXPECT_EQ(std::memcmp(dest_, "ABCDE", 5), 0);
  std::vector<unsigned char> req = peer_->Requests().back().bytes;
  ASSERT_EQ(req.size(), kRangeRequestSize);
  EXPECT_EQ(GetBE16(req.data(), kOffRequestHandle), 9);
  EXPECT_EQ(GetBE64(req.data(), kOffRangeOffset), 10);
  EXPECT_EQ(GetBE32(req.data(), kOffRangeLength), 5);
  EXPECT_EQ(std::memcmp(req.data() + kOffRangeTag, "abc", 3), 0);

  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), 2);  // ended early
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), -7);
  EXPECT_EQ(dest_[0], 'Q');  // bytes before the error reply stay
  EXPECT_NE(Log().find("ERROR REPLY: -7 broken\n"), std::string::npos);
  // An error reply exactly as long as the first of two pieces expected (10 bytes up to the
  // block's end, then 10 more) ends the read; nothing behind it is waited for.
  file_->position = 16374;
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 20, 0), -7);
}

// A read does not look at the idle pipe first: the server that closed it (it stopped, or died)
// shows when the request cannot go at all, and the read is made again on a new connection.
TEST_F(DataMessagesTest, ReadAfterTheServerClosedTheIdlePipeConnectsAgain) {
  const std::string script =
      "on OPEN reply be16=1 be64=3\non GET_DATA reply be64=0 be32=3 hex=414243\n";
  StartPeer(script);
  file_->serverHandle = 1;
  ASSERT_EQ(GetDataMsg(file_, "t", dest_, 3, 0), 3);
  StopPeer();
  StartPeer(script);
  std::memset(dest_, 0, 3);
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 3, 0), 3);
  EXPECT_EQ(std::memcmp(dest_, "ABC", 3), 0);
  EXPECT_EQ(Count("GET_DATA"), 1);
  EXPECT_EQ(CountOf(Log(), "The cache server closed the pipe; connecting again\n"), 1);
}

TEST_F(DataMessagesTest, FaultyPiecesAreRejected) {
  StartPeer(
      "on GET_DATA#1 reply be64=0 be32=2 hex=0102 ; reply be64=0 be32=2 hex=0304\n"
      "on GET_DATA#2 reply be64=0 be32=16 zeros=16\n"
      "on GET_DATA#3 reply be64=0 be32=5 hex=01020304\n"
      "on GET_DATA#4 reply be64=0 be32=-1\n"
      "on GET_DATA#5 reply hex=0000\n"
      "on GET_DATA#6 reply kind=3 be64=0 be32=0\n"
      "on GET_DATA#7 reply be64=0 be32=8 seq=+1\n");
  file_->serverHandle = 1;
  // A piece that repeats the previous offset: the bytes before it stay.
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), ERR_KDRCP_SEQUENCE);
  EXPECT_EQ(dest_[1], 2);
  EXPECT_NE(Log().find("MESSAGE ERROR: Invalid offset 0, expected 2\n"), std::string::npos);
  // A piece larger than what is left of the range never runs past it in the caller's buffer.
  std::memset(dest_, 0xEE, sizeof dest_);
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), ERR_KDRCP_MSG_DATA);
  EXPECT_EQ(dest_[8], 0xEE);
  EXPECT_EQ(dest_[15], 0xEE);
  EXPECT_NE(Log().find("MESSAGE ERROR: Invalid length 16, expected at most 8\n"),
            std::string::npos);
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), ERR_KDRCP_MSG_DATA);  // n != payload - 12
  EXPECT_NE(Log().find("MESSAGE ERROR: Invalid length 5, expected 4\n"), std::string::npos);
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), ERR_KDRCP_MSG_DATA);  // negative n
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), ERR_KDRCP_MSG_DATA);  // no piece header
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), ERR_KDRCP_TYPE_ID);
  EXPECT_EQ(GetDataMsg(file_, "t", dest_, 8, 0), ERR_KDRCP_SEQUENCE);
  // The rest of a rejected series would be read as the next exchange's replies: each fault
  // closed the connection, and each next read connected afresh.
  EXPECT_EQ(KdrThreadRecord()->pipe, kInvalidPipe);
  EXPECT_EQ(peer_->Sessions(), 7);
}

TEST_F(DataMessagesTest, ReadAheadOpensLazily) {
  StartPeer("on OPEN reply be16=4 be64=100\non READ_AHEAD#2 reply msgtype=0x0003FFFC\n");
  EXPECT_EQ(ReadAheadMsg(file_, "xyz", 50, 20), 0);
  EXPECT_EQ(file_->serverHandle, 4);
  EXPECT_EQ(ReadAheadMsg(file_, "xyz", 50, 20), ERR_KDRCP_MSG_TYPE);
  EXPECT_NE(Log().find("expecting 9FFF6 (KDR_READ_AHEAD_MSG)"), std::string::npos);
  EXPECT_EQ(Count("OPEN"), 1);
  EXPECT_EQ(KdrThreadRecord()->busy.load(), 0);
}

// The parsers read only reply[0, total) whatever the bytes claim (the sanitizers watch).
TEST(DataReplyParsers, ArbitraryBytesNeverReadOutOfBounds) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 2000; ++round) {
    int total = static_cast<int>(rng() % 64);
    std::vector<unsigned char> reply(static_cast<size_t>(total));
    for (unsigned char& b : reply) b = static_cast<unsigned char>(rng());
    if (total >= 24 && (round & 1)) {  // often a consistent length, to reach the later checks
      PutBE32(reply.data(), kDataPieceLength, static_cast<uint32_t>(total - 24));
      PutBE64(reply.data(), kDataPieceOffset, 0);
    }
    const unsigned char* p = reply.data();
    DataPiece piece;
    PieceFault fault;
    int r = ParseDataPiece(p, total, 0, 16, &piece, &fault);
    if (r == 0) {
      ASSERT_LE(piece.length, 16);
      ASSERT_LE(piece.bytes + piece.length, p + total);
    } else {
      ASSERT_TRUE(r == ERR_KDRCP_SEQUENCE || r == ERR_KDRCP_MSG_DATA);
    }
    int16_t h;
    int64_t size;
    ASSERT_EQ(ParseOpenReply(p, total, &h, &size) == 0, total >= 22);
    ASSERT_EQ(ParseSizeReply(p, total, &size) == 0, total >= 20);
  }
}

}  // namespace
}  // namespace kdr
