// Exchanges with an in-process peer: the master -> secondary connect, the version check, the
// framing of replies and every way a reply can be wrong.
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "client/result_codes.h"
#include "protocol/control_messages.h"
#include "protocol/message_framing.h"
#include "protocol/protocol_fixture.h"
#include "protocol/server_connect.h"

namespace kdr {
namespace {

class Exchange : public ProtocolTest {
 protected:
  ThreadRecord* Connected() {
    EXPECT_EQ(EnsureConnected(), 0);
    ThreadRecord* r = KdrThreadRecord();
    EXPECT_NE(r->pipe, kInvalidPipe);
    return r;
  }
  std::string ErrorText() {
    const char* t = KdrThreadRecord()->errorText;
    return t != nullptr ? t : "(none)";
  }
};

TEST_F(Exchange, ConnectsThroughTheMasterPipeAndChecksTheVersion) {
  StartPeer("");
  ThreadRecord* r = Connected();
  EXPECT_EQ(r->busy.load(), 0);
  EXPECT_EQ(EnsureConnected(), 0);  // connected already: no second connection
  EXPECT_EQ(peer_->MasterConnections(), 1);

  std::vector<testpeer::Request> reqs = peer_->Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].bytes, (std::vector<unsigned char>{1, 0, 0, 0, 0x00, 0x0F, 0xFF, 0xF0, 0, 0,
                                                       0, 4, 0x0A, 0x00, 0x00, 0x0A}));

  std::string secondary = runtime_ + "/KDRClientPipe.";
  std::regex expected(
      "ConnectProxy: Opening pipe\\.\n"
      "Connecting to master pipe name '\\\\\\\\\\.\\\\pipe\\\\KDRClientPipe' file for CLIENT\n"
      "Open Pipe '\\\\\\\\\\.\\\\pipe\\\\KDRClientPipe'\\.\\.\\.\n"
      "Master pipe connected, setting mode\\.\n"
      "Master pipe CLIENT listening for secondary pipe name\\.\n"
      "Closing master pipe\n"
      "([0-9]+) byte secondary pipe name '([^']+)' successfully read from master pipe\n"
      "Creating secondary pipe name '([^']+)' file for CLIENT\n"
      "Pipe changing secondary CLIENT to MESSAGE_MODE\\.\n"
      "Pipe secondary CLIENT successfully connected to server\\.\n"
      "16 byte VERSION CHECK request sent to VXN\n"
      "12 byte reply received from VXN\n");
  std::smatch m;
  std::string log = NewLog();
  ASSERT_TRUE(std::regex_match(log, m, expected)) << log;
  EXPECT_EQ(m[2].str(), m[3].str());
  EXPECT_EQ(m[2].str().rfind(secondary, 0), 0u) << m[2].str();
  EXPECT_EQ(std::stoul(m[1].str()), m[2].str().size() + 1);  // the NUL is counted
  // The secondary name is gone once the connection is made.
  EXPECT_FALSE(std::filesystem::exists(m[2].str()));

  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(NewLog(), "12 byte ECHO request sent to VXN\n12 byte reply received from VXN\n");
  EXPECT_EQ(peer_->Requests().back().seq, 1);
}

TEST_F(Exchange, RefusedVersion) {
  StartPeer(
      "on VERSION_CHECK#1 error 100 \"client too old\"\n"
      "on VERSION_CHECK#2 error -100 \"still too old\"\n");
  ThreadRecord* r = KdrThreadRecord();
  EXPECT_EQ(ConnectProxyLocked(r), ERR_KDRCP_VERSION);
  EXPECT_NE(r->pipe, kInvalidPipe);  // the new pipe stays open
  EXPECT_EQ(ErrorText(), "client too old");
  EXPECT_NE(Log().find("ERROR REPLY: -100 client too old\n"), std::string::npos);
  EXPECT_EQ(r->busy.load(), 0);
  {
    // The fast cache's way in: the refusal is the bare code.
    ProxyLockGuard a(ProxyLock::kA);
    EXPECT_EQ(VersionCheck(1), -100);
  }
  EXPECT_EQ(peer_->Sessions(), 1);
}

TEST_F(Exchange, ErrorRepliesMapTheirCodesAndKeepTheConnection) {
  StartPeer(
      "on ECHO#1 error 5 five\n"
      "on ECHO#2 error -5 \"minus five\"\n"
      "on ECHO#3 error 0 zero\n"
      "on ECHO#4 reply kind=1 be32=7 be32=0 text=unterminated\n"
      "on ECHO#5 reply kind=1 hex=0000\n");
  Connected();
  NewLog();
  EXPECT_EQ(EchoMsg(), -5);
  EXPECT_EQ(ErrorText(), "five");
  EXPECT_NE(NewLog().find("ERROR REPLY: -5 five\n"), std::string::npos);
  EXPECT_EQ(EchoMsg(), -5);
  EXPECT_EQ(ErrorText(), "minus five");
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_FILE);
  EXPECT_EQ(ErrorText(), "zero");
  // A text without its NUL ends with the reply; a reply too short for its code is malformed.
  EXPECT_EQ(EchoMsg(), -7);
  EXPECT_EQ(ErrorText(), "unterminated");
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(peer_->Sessions(), 1);
}

TEST_F(Exchange, ReplyArrivingInPiecesIsAssembled) {
  StartPeer(
      "on ECHO#1 reply split=5,4\n"                          // header in three pipe messages
      "on ECHO#2 reply hex=0102030405060708 split=3,12\n"     // header and payload straddled
      "on ECHO#3 reply hex=01020304 trickle=1\n");            // bytes dribble out one by one
  Connected();
  NewLog();
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(EchoMsg(), 0);
  std::string log = NewLog();
  EXPECT_NE(log.find("12 byte reply received from VXN\n"), std::string::npos);
  EXPECT_NE(log.find("20 byte reply received from VXN\n"), std::string::npos);
  EXPECT_NE(log.find("16 byte reply received from VXN\n"), std::string::npos);
  EXPECT_EQ(peer_->Sessions(), 1);
}

TEST_F(Exchange, SequenceNumbersWrapAt65536) {
  StartPeer("on ECHO#4 reply seq=+1\n");
  ThreadRecord* r = Connected();
  r->seqNum = 65534;
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(r->seqNum, 1);
  std::vector<testpeer::Request> reqs = peer_->Requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[1].seq, 65534);
  EXPECT_EQ(reqs[2].seq, 65535);
  EXPECT_EQ(reqs[3].seq, 0);
  // A reply one ahead after the wrap is still caught.
  NewLog();
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  EXPECT_NE(NewLog().find("MESSAGE ERROR: Invalid SeqNum 0x2, expecting 0x1 (KDR_ECHO_MSG)\n"),
            std::string::npos);
}

// A wrong msgType or typeID fails the exchange and keeps the connection; a reply of another
// exchange (wrong SeqNum) closes it, or every later exchange would read the reply before its
// own: the next exchange connects afresh.
TEST_F(Exchange, MismatchedRepliesFailTheExchangeAndAStraySeqNumReconnects) {
  StartPeer(
      "on ECHO#1 reply seq=+1\n"
      "on ECHO#2 reply msgtype=0x0005FFFA\n"
      "on ECHO#3 reply seq=+3 msgtype=1\n"
      "on ECHO#4 end\n"
      "on ECHO#5 progress\n"
      "on VERSION_CHECK#4 reply seq=+5 msgtype=0x0006FFF9\n");
  ThreadRecord* r = Connected();
  NewLog();
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  EXPECT_NE(NewLog().find("MESSAGE ERROR: Invalid SeqNum 0x2, expecting 0x1 (KDR_ECHO_MSG)\n"),
            std::string::npos);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  EXPECT_NE(NewLog().find("MESSAGE ERROR: Invalid msgType 5FFFA, expecting 6FFF9 (KDR_ECHO_MSG)\n"),
            std::string::npos);
  EXPECT_NE(r->pipe, kInvalidPipe);
  // Both wrong: the echo looks at the msgType first, and still leaves the stray connection.
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  std::string log = NewLog();
  EXPECT_NE(log.find("Invalid msgType 1, expecting 6FFF9 (KDR_ECHO_MSG)"), std::string::npos);
  EXPECT_EQ(log.find("Invalid SeqNum"), std::string::npos);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_TYPE_ID);
  EXPECT_NE(NewLog().find("MESSAGE ERROR: Invalid typeID 2\n"), std::string::npos);
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_TYPE_ID);
  EXPECT_NE(NewLog().find("MESSAGE ERROR: Invalid typeID 3\n"), std::string::npos);
  {
    ProxyLockGuard a(ProxyLock::kA);
    EXPECT_EQ(VersionCheck(0), ERR_KDRCP_BAD_ARG);
  }
  EXPECT_NE(
      NewLog().find("MESSAGE ERROR: Invalid msgType 6FFF9, expecting FFFF0 (KDR_VERSION_CHECK)\n"),
      std::string::npos);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(peer_->Sessions(), 4);
}

TEST_F(Exchange, MalformedRepliesCloseTheConnectionAndTheNextExchangeReconnects) {
  StartPeer(
      "on ECHO#1 reply dir=1\n"
      "on ECHO#3 reply zeros=16397\n"   // 16409 bytes: one more than the reply buffer
      "on ECHO#4 reply zeros=16396\n"   // exactly fills it
      "on ECHO#5 reply pad=4\n");       // the pipe message runs past the announced length
  ThreadRecord* r = Connected();
  NewLog();
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_NE(NewLog().find("CloseProxy: Closing pipe.\nCloseProxy: ClosePipe successful.\n"),
            std::string::npos);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(peer_->Sessions(), 2);
  EXPECT_EQ(peer_->Count(KDR_VERSION_CHECK_CODE), 2);

  NewLog();
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_NE(NewLog().find("MESSAGE ERROR: Reply of 16409 bytes exceeds the 16408 byte reply buffer\n"),
            std::string::npos);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_NE(NewLog().find("16408 byte reply received from VXN\n"), std::string::npos);
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(peer_->Sessions(), 4);
}

// A failed read closes the pipe at once: one failure, and the very next exchange connects.
TEST_F(Exchange, PeerThatHangsUpOrSendsGarbage) {
  StartPeer(
      "on ECHO#1 close\n"
      "on ECHO#2 garbage FFFFFFFF00\n"   // announces a message of 4 GiB
      "on ECHO#3 reply split=0\n");      // an empty message where the reply should be
  ThreadRecord* r = Connected();
  NewLog();
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_NO_SERVER);
  EXPECT_NE(NewLog().find("I/O Error 109 reading pipe\nCloseProxy: Closing pipe.\n"),
            std::string::npos);
  EXPECT_EQ(r->pipe, kInvalidPipe);

  EXPECT_EQ(EchoMsg(), ERR_KDRCP_NO_SERVER);
  EXPECT_NE(NewLog().find("I/O Error 109 reading pipe\n"), std::string::npos);
  EXPECT_EQ(r->pipe, kInvalidPipe);

  EXPECT_EQ(EchoMsg(), ERR_KDRCP_NO_SERVER);
  EXPECT_NE(NewLog().find("Error ZERO_BYTES reading pipe\nCloseProxy: Closing pipe.\n"),
            std::string::npos);
  EXPECT_EQ(r->pipe, kInvalidPipe);
  EXPECT_EQ(EchoMsg(), 0);
  EXPECT_EQ(peer_->Sessions(), 4);
  EXPECT_EQ(r->busy.load(), 0);
}

// A server that takes the secondary pipe and then never answers the version check: the
// connect gives up after the bound, and lock A is free again for the other threads.
TEST_F(Exchange, VersionCheckOfAHungServerIsBounded) {
  StartPeer("on VERSION_CHECK#1 hang\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(EnsureConnected(), ERR_KDRCP_NO_SERVER);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(9000));
  EXPECT_LT(took, std::chrono::milliseconds(15000));
  EXPECT_EQ(KdrThreadRecord()->pipe, kInvalidPipe);
  EXPECT_EQ(EchoMsg(), 0);  // the next exchange connects afresh
}

TEST_F(Exchange, BusyIsPutBackOnEveryWayOut) {
  StartPeer("on ECHO#1 error 5 x\non ECHO#2 close\n");
  ThreadRecord* r = Connected();
  r->busy.store(1);  // as inside an outer exchange
  EXPECT_EQ(EchoMsg(), -5);
  EXPECT_EQ(r->busy.load(), 1);
  r->busy.store(0);
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_NO_SERVER);
  EXPECT_EQ(r->busy.load(), 0);
  StopPeer();
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_NO_SERVER);
  // No server at all: the connect's waits and the failed launch leave busy as it was.
  gProxyConfig.connectTimeout = 0;
  gProxyConfig.startupTimeout = 0;
  EXPECT_EQ(EchoMsg(), ERR_KDRCP_NO_SERVER);
  EXPECT_EQ(r->busy.load(), 0);
}

TEST_F(Exchange, MasterPipeHandOffFailures) {
  StartPeer(
      "master#1 drop\n"
      "master#2 name \"" + std::string(256, 'n') + "\"\n");
  EXPECT_EQ(OpenClientPipe(gProxyConfig.pipeName), kInvalidPipe);
  std::string log = NewLog();
  EXPECT_NE(log.find("Master pipe CLIENT listening for secondary pipe name.\n"
                     "I/O Error 109 reading pipe\n"
                     "Closing master pipe\n"),
            std::string::npos)
      << log;
  // A 257-byte name with its NUL last is read whole (it is too long to connect to here).
  EXPECT_EQ(OpenClientPipe(gProxyConfig.pipeName), kInvalidPipe);
  EXPECT_NE(NewLog().find("257 byte secondary pipe name '" + std::string(256, 'n') +
                          "' successfully read from master pipe\n"),
            std::string::npos);
  PipeHandle h = OpenClientPipe(gProxyConfig.pipeName);
  EXPECT_NE(h, kInvalidPipe);
  ClosePipe(h);
}

TEST_F(Exchange, MultiUserModeSuffixesTheMasterPipeName) {
  const char* savedUser = std::getenv("USERNAME");
  std::string saved = savedUser != nullptr ? savedUser : "";
  auto nameFor = [](const char* mode, const char* user, const char* pipe) {
    if (mode != nullptr) setenv("KDR_WINDOWS_MULTIUSER", mode, 1);
    else unsetenv("KDR_WINDOWS_MULTIUSER");
    if (user != nullptr) setenv("USERNAME", user, 1);
    else unsetenv("USERNAME");
    ResetMultiUserForTesting();
    char name[kPipeNameMax + 1];
    MasterPipeName(pipe, name);
    return std::string(name);
  };
  const std::string def = kDefaultPipeName;
  EXPECT_EQ(nameFor("YeS", "ann", kDefaultPipeName), def + "_ann");
  EXPECT_EQ(nameFor("TRUE", "ann", "x_ann"), "x_ann");
  EXPECT_EQ(nameFor("1", "ann", "x_Ann"), "x_Ann_ann");
  EXPECT_EQ(nameFor("1", "ann", "_ann"), "_ann_ann");
  EXPECT_EQ(nameFor("1", nullptr, kDefaultPipeName), def);
  EXPECT_EQ(nameFor("on", "ann", kDefaultPipeName), def);
  EXPECT_EQ(nameFor("", "ann", kDefaultPipeName), def);
  EXPECT_EQ(nameFor(nullptr, "ann", kDefaultPipeName), def);
  EXPECT_EQ(nameFor("yes", "ann", std::string(255, 'p').c_str()), std::string(255, 'p') + "_");

  // The suffixed name is what gets opened.
  nameFor("yes", "ann", kDefaultPipeName);
  std::vector<testpeer::Rule> none;
  testpeer::Peer annPeer(def + "_ann", none);
  ASSERT_EQ(annPeer.Start(), 0);
  EXPECT_EQ(EnsureConnected(), 0);
  annPeer.Stop();
  if (savedUser != nullptr) setenv("USERNAME", saved.c_str(), 1);
  else unsetenv("USERNAME");
  unsetenv("KDR_WINDOWS_MULTIUSER");
  ResetMultiUserForTesting();
}

// Exchanges of different threads run in parallel: a thread whose server hangs holds up
// nobody else, shows as busy while it waits, and gets its failure when the server goes.
TEST_F(Exchange, AHangingExchangeHoldsUpNoOtherThread) {
  StartPeer("on ECHO#1 hang\n");
  std::atomic<ThreadRecord*> hung{nullptr};
  std::atomic<int> hungResult{1};
  std::thread waiter([&] {
    hung.store(KdrThreadRecord());
    hungResult.store(EchoMsg());
  });
  ASSERT_TRUE(peer_->WaitForCount(KDR_ECHO_CODE, 1, 10000));
  while (hung.load() == nullptr) std::this_thread::yield();
  EXPECT_EQ(hung.load()->busy.load(), 1);

  std::vector<std::thread> others;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t) {
    others.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        if (EchoMsg() != 0) failures.fetch_add(1);
      }
    });
  }
  for (auto& t : others) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(peer_->Sessions(), 4);  // one connection per thread
  EXPECT_EQ(hungResult.load(), 1);   // still waiting

  StopPeer();  // the server goes away: the hung read ends
  waiter.join();
  EXPECT_EQ(hungResult.load(), ERR_KDRCP_NO_SERVER);
}

}  // namespace
}  // namespace kdr
