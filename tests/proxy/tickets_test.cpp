// The ticket registry and the transfer entries against the stand-in server: registration and
// its reference counts, lists with per-item results, all-or-nothing uploads, roll-backs, and
// the key a progress callback gets while another call unregisters the ticket.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/interface.h"
#include "iface/runtime.h"
#include "peer/peer.h"
#include "protocol/message_format.h"
#include "protocol/pipe_transport.h"
#include "proxy/lifecycle.h"
#include "proxy/open_files.h"
#include "proxy/tickets.h"
#include "proxy/transfers.h"
#include "support/proxy_fixture.h"

namespace kdr {
namespace {

// A well-formed ticket: key of 64 `c`, type 'v', digits, a 32-character GUID, filler to 225.
std::string Ticket(char c, char type = 'v') {
  std::string t(64, c);
  t += type;
  t += "001XY";
  t += std::string(type == 'M' ? 36 : 32, 'g');
  t.resize(225, '.');
  return t;
}

const char kOpenReply[] = "on OPEN reply be16=5 be64=1000\n";

class Tickets : public ProxyFixture {
 protected:
  Tickets() : ProxyFixture("kdr-tick") {}

  void TearDown() override {
    ReleaseAllTickets();
    while (KdrProxyInitialized()) VXN_Term();
    KdrReleaseAllThreadRecords(MonitorHooks{&ClosePipe, nullptr});
    ProxyFixture::TearDown();
  }

  const char* Register(const std::string& ticket) {
    const char* key = nullptr;
    EXPECT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    return key;
  }

  static std::string LastError() {
    const char* t = KdrFindThreadRecord() != nullptr ? KdrFindThreadRecord()->errorText : nullptr;
    return t != nullptr ? t : "(none)";
  }

  // Names of the requests the peer got after the connection's version check and echo.
  std::vector<std::string> Sent(std::vector<std::string>* bodies = nullptr) {
    std::vector<std::string> names;
    for (const testpeer::Request& r : peer_->Requests()) {
      if (r.code == KDR_VERSION_CHECK_CODE || r.code == KDR_ECHO_CODE) continue;
      names.push_back(testpeer::MessageName(r.code));
      if (bodies != nullptr) bodies->emplace_back(r.bytes.begin() + 12, r.bytes.end());
    }
    return names;
  }

};

TEST_F(Tickets, RegistrationCountsAndForms) {
  const char* key = nullptr;
  std::string a = Ticket('a');
  EXPECT_EQ(VXN_RegisterTicket(a.c_str(), &key), ERR_KDRCP_NOT_INITIALIZED);
  Start("");

  const char* k1 = Register(a);
  const char* k2 = Register(a);
  ASSERT_NE(k1, nullptr);
  EXPECT_EQ(k1, k2);  // the same entry, counted twice
  EXPECT_EQ(std::string(k1), std::string(64, 'a'));
  EXPECT_EQ(TicketCount(), 1);
  std::string key65 = std::string(k1) + "a";
  EXPECT_EQ(VXN_UnRegisterTicket(std::string(63, 'a').c_str()), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(VXN_UnRegisterTicket(key65.c_str()), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(VXN_UnRegisterTicket(k1), 0);
  EXPECT_EQ(TicketCount(), 1);
  EXPECT_EQ(VXN_UnRegisterTicket(std::string(64, 'a').c_str()), 0);
  EXPECT_EQ(TicketCount(), 0);
  EXPECT_EQ(VXN_UnRegisterTicket(std::string(64, 'a').c_str()), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(LastError(), "ERR_KDRCP_BAD_TICKET");

  std::string shortT = a.substr(0, 224);
  std::string badType = a;
  badType[64] = 'x';
  std::string badDigits = a;
  badDigits[66] = 'z';
  for (const std::string& t : {shortT, badType, badDigits}) {
    EXPECT_EQ(VXN_RegisterTicket(t.c_str(), &key), ERR_KDRCP_BAD_TICKET);
  }
  EXPECT_EQ(VXN_RegisterTicket(nullptr, &key), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(VXN_RegisterTicket(a.c_str(), nullptr), ERR_KDRCP_BAD_ARG);

  // A list goes on past a bad ticket; the error text is the last failure's.
  std::string m = Ticket('m', 'M');
  std::string c = Ticket('c');
  const char* tickets[] = {m.c_str(), badType.c_str(), c.c_str()};
  const char* keys[3];
  int results[3];
  EXPECT_EQ(VXN_RegisterTickets(3, tickets, keys, results), 1);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(results[2], 0);
  EXPECT_EQ(keys[1], nullptr);
  EXPECT_EQ(LastError(), "ERR_KDRCP_BAD_TICKET");
  TicketEntry* e = LookupTicket(keys[0]);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(e->guid), std::string(36, 'g'));
  ReleaseTicket(e);

  // Unregistration lists stop at the first failure.
  const char* ukeys[] = {keys[0], "nope", keys[2]};
  EXPECT_EQ(VXN_UnRegisterTickets(3, ukeys, results), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(results[2], ERR_KDRCP_NOT_EXECUTED);
  EXPECT_EQ(TicketCount(), 1);
}

TEST_F(Tickets, ConcurrentRegistrationsShareOneEntry) {
  Start("");
  std::string t = Ticket('r');
  constexpr int kThreads = 8;
  const char* keys[kThreads] = {};
  std::atomic<int> go{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (go.load() == 0) {
      }
      EXPECT_EQ(VXN_RegisterTicket(t.c_str(), &keys[i]), 0);
    });
  }
  go = 1;
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(TicketCount(), 1);
  for (int i = 1; i < kThreads; ++i) EXPECT_EQ(keys[i], keys[0]);
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(VXN_UnRegisterTicket(keys[0]) , 0) << i;
  EXPECT_EQ(TicketCount(), 0);
}

struct Unregistering {
  std::string seen;
  bool unregistered = false;
};

int UnregisterDuringProgress(const char* key, void* context, int64_t, int64_t, int* keepGoing) {
  Unregistering* u = static_cast<Unregistering*>(context);
  if (!u->unregistered) {
    std::thread([key] { EXPECT_EQ(VXN_UnRegisterTicket(key), 0); }).join();
    u->unregistered = true;
  }
  u->seen = key;  // still readable: the transfer holds the entry
  *keepGoing = 1;
  return 0;
}

TEST_F(Tickets, DownloadKeepsItsKeyThroughAConcurrentUnregistration) {
  Start(std::string(kOpenReply) +
       "on GET_FILE progress be64=1 be64=9\n"
       "on STATUS#1 progress be64=5 be64=9\n"
       "on STATUS#2 reply be16=7 text=c/x.bin\n");
  std::string t = Ticket('d');
  const char* key = Register(t);
  Unregistering u;
  char* path = nullptr;
  ASSERT_EQ(VXN_DownloadFileFromPLM("tag", key, &UnregisterDuringProgress, &u, &path), 0);
  EXPECT_STREQ(path, "c/x.bin");
  std::free(path);
  EXPECT_EQ(u.seen, std::string(64, 'd'));
  EXPECT_EQ(TicketCount(), 0);
  EXPECT_EQ(LookupTicket(std::string(64, 'd').c_str()), nullptr);
  EXPECT_EQ(OpenFileCount(), 0);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"OPEN", "GET_FILE", "STATUS", "STATUS", "CLOSE"}));
}

TEST_F(Tickets, DownloadListStopsAtTheFirstFailure) {
  Start(std::string(kOpenReply) + "on GET_FILE reply be16=3 text=p/1\n");
  std::string t = Ticket('e');
  const char* key = Register(t);
  std::string unknown(64, 'z');
  const char* keys[] = {key, unknown.c_str(), key};
  char* paths[3];
  int results[3];
  EXPECT_EQ(VXN_DownloadFilesFromPLM("tag", 3, keys, nullptr, nullptr, paths, results),
            ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(results[2], ERR_KDRCP_NOT_EXECUTED);
  EXPECT_STREQ(paths[0], "p/1");
  EXPECT_EQ(paths[2], nullptr);
  std::free(paths[0]);
  EXPECT_EQ(LastError(), "ERR_KDRCP_BAD_TICKET");

  // A failed open ends the item with the server's code and leaves no handle behind.
  peer_->Stop();
  peer_.reset();
  std::vector<testpeer::Rule> rules;
  std::string error;
  ASSERT_TRUE(testpeer::ParseScript("on OPEN error 44 \"no such file\"\n", &rules, &error));
  peer_ = std::make_unique<testpeer::Peer>(kDefaultPipeName, std::move(rules));
  ASSERT_EQ(peer_->Start(), 0);
  KdrReleaseAllThreadRecords(MonitorHooks{&ClosePipe, nullptr});  // reconnect to the new peer
  EXPECT_EQ(VXN_DownloadFileToLocation("tag", key, nullptr, nullptr, "/out", "a"), -44);
  EXPECT_EQ(LastError(), "no such file");
  EXPECT_EQ(OpenFileCount(), 0);
}

class Uploads : public Tickets {
 protected:
  void Run(int continueOnError, int expected) {
    Start(std::string(kOpenReply) +
         "on UPLOAD#1 reply be16=2 text=v1\n"
         "on UPLOAD#2 reply be16=2 text=v2\n"
         "on UPLOAD#3 error 9 \"disk full\"\n"
         "on UPLOAD#4 reply be16=2 text=v4\n"
         "on ROLLBACK#1 error 5 \"rollback refused\"\n");
    std::string ta = Ticket('a');
    std::string tb = Ticket('b');
    keys_[0] = Register(ta);
    keys_[1] = Register(tb);
    keys_[2] = keys_[0];
    keys_[3] = keys_[1];
    const char* paths[] = {"/l/1", "/l/2", "/l/3", "/l/4"};
    EXPECT_EQ(VXN_UploadFilesToPLM(4, keys_, nullptr, nullptr, paths, continueOnError, ids_,
                                   results_),
              expected);
    EXPECT_EQ(results_[0], 0);
    EXPECT_EQ(results_[1], 0);
    EXPECT_EQ(results_[2], -9);
    EXPECT_EQ(LastError(), "disk full");
  }
  void TearDown() override {
    for (char* id : ids_) std::free(id);
    Tickets::TearDown();
  }
  const char* keys_[4];
  char* ids_[4] = {};
  int results_[4];
};

TEST_F(Uploads, AllOrNothingRollsTheEarlierOnesBack) {
  Run(0, -9);
  EXPECT_EQ(results_[3], ERR_KDRCP_NOT_EXECUTED);
  std::vector<std::string> bodies;
  std::vector<std::string> sent = Sent(&bodies);
  EXPECT_EQ(sent, (std::vector<std::string>{"OPEN", "UPLOAD", "CLOSE", "OPEN", "UPLOAD", "CLOSE",
                                            "OPEN", "UPLOAD", "CLOSE", "OPEN", "ROLLBACK",
                                            "CLOSE", "OPEN", "ROLLBACK", "CLOSE"}));
  EXPECT_EQ(bodies[10].substr(4), "v1");
  EXPECT_EQ(bodies[13].substr(4), "v2");
}

TEST_F(Uploads, ContinueOnErrorCountsAndRollsNothingBack) {
  Run(1, 1);
  EXPECT_EQ(results_[3], 0);
  EXPECT_STREQ(ids_[3], "v4");
  EXPECT_EQ(peer_->Count(KDR_ROLLBACK_CODE), 0);
}

TEST_F(Tickets, RollbacksGoOnAndCountFailures) {
  Start(std::string(kOpenReply) + "on ROLLBACK#3 error 3 refused\n");
  std::string t = Ticket('f');
  const char* key = Register(t);
  EXPECT_EQ(VXN_RollbackFileUploadedToPLM(key, nullptr), 0);
  EXPECT_EQ(peer_->EmptySecondWrites(), 1);
  const char* keys[] = {key, key, key};
  const char* ids[] = {"a", "b", "c"};
  int results[3];
  EXPECT_EQ(VXN_RollbackFilesUploadedToPLM(3, keys, ids, results), 1);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], -3);
  EXPECT_EQ(results[2], 0);
  EXPECT_EQ(LastError(), "refused");
  EXPECT_EQ(VXN_RollbackFilesUploadedToPLM(0, keys, ids, results), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(VXN_RollbackFilesUploadedToPLM(3, nullptr, ids, results), ERR_KDRCP_BAD_TICKET);
}

}  // namespace
}  // namespace kdr
