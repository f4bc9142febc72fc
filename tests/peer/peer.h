// A scriptable stand-in for the cache server, for tests.
//
// The peer serves a master pipe the way the cache server does (a secondary pipe per client,
// handed out by name), reads the client's requests whole (both writes of a two-write request)
// and answers each with what its script says: normal replies, error replies, replies in
// pieces, wrong sequence numbers, wrong directions, garbage, dropped connections, hangs.
// It counts the requests it received by message code, so tests can assert for instance that
// no data request was made. Script format: README.md in this folder.
//
// Runs in-process on threads of its own (Peer) or as the standalone program kdr_test_peer.
#ifndef KDR_TESTS_PEER_PEER_H_
#define KDR_TESTS_PEER_PEER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipes.h"

namespace kdr::testpeer {

// Message code (upper half of msgType) of a name such as "ECHO", "KDR_ECHO_MSG",
// "VERSION_CHECK", "GET_CACHE_INIT_INFO" or a decimal code. Letter case is ignored.
// Returns -1 for an unknown name.
int MessageCode(const std::string& name);
// The short name of a code ("ECHO"), or its number as text.
std::string MessageName(int code);

struct Action {
  enum Kind { kReply, kNone, kClose, kHang, kSleep, kGarbage, kExit, kDrop, kName, kDelay };
  Kind kind = kNone;
  // Reply fields.
  int direction = 2;
  int typeId = 0;
  bool seqAbsolute = false;
  int seqValue = 0;              // absolute SeqNum, or offset from the default
  bool msgTypeSet = false;
  uint32_t msgType = 0;
  bool lengthSet = false;
  uint32_t payloadLength = 0;    // announced payloadLength (default: the real one)
  std::vector<unsigned char> payload;
  std::vector<uint32_t> split;   // send the reply as pipe messages of these sizes (rest last)
  uint32_t pad = 0;              // junk bytes after the reply, in the same pipe message
  int trickleMs = -1;            // >= 0: send the framed bytes one at a time, this far apart
  // Other actions.
  int number = 0;                // sleep/delay milliseconds, exit code
  std::vector<unsigned char> bytes;  // garbage bytes, or the name message
};

struct Rule {
  bool master = false;   // a rule about master connections rather than requests
  int code = -1;         // message code; -1 matches every request
  int nth = 0;           // 1-based occurrence it applies to; 0 = every occurrence
  std::vector<Action> actions;
};

// Parses script text: one rule per line, '#' comments. On failure returns false with the
// line number and the reason in *error.
bool ParseScript(const std::string& text, std::vector<Rule>* rules, std::string* error);
bool ParseRule(const std::string& line, Rule* rule, std::string* error);

struct Request {
  int code;
  uint16_t seq;
  uint32_t msgType;
  std::vector<unsigned char> bytes;  // the whole request, header included
  uint32_t exchangeMsgType = 0;      // a STATUS request's: the msgType of the transfer before it
};

class Peer {
 public:
  Peer(std::string pipeName, std::vector<Rule> rules);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Starts serving. Returns a platform pipe result (kPipeOk on success).
  int Start();
  // Stops serving: closes the master pipe, drops every connection and joins every thread.
  void Stop();

  // What an "exit" action does. Default: stop serving (drop all, close the master pipe)
  // without joining; the standalone program replaces it with ending the process.
  void SetExitHandler(std::function<void(int)> handler) { exitHandler_ = std::move(handler); }
  // Called after every request is counted (the standalone program writes its files there).
  void SetRequestObserver(std::function<void()> observer) { observer_ = std::move(observer); }
  // Called before every request and master connection is matched against the rules (the
  // standalone program reloads a changed script there). Set it before Start().
  void SetBeforeMatch(std::function<void()> hook) { beforeMatch_ = std::move(hook); }

  // Replaces the rules. Occurrences (`#N`) of requests and master connections received
  // from now on count again from 1; Count() and the other totals go on over the whole life.
  void SetRules(std::vector<Rule> rules);

  int Count(int code) const;           // requests received with this code
  int TotalRequests() const;
  int MasterConnections() const;       // clients that came to the master pipe
  int Sessions() const;                // secondary connections made
  int EmptySecondWrites() const;       // UPLOAD/ROLLBACK requests whose second write was empty
  std::vector<Request> Requests() const;
  std::map<int, int> Counts() const;
  // Waits up to `timeoutMs` until Count(code) >= n (code -1: all requests). Returns whether
  // it got there.
  bool WaitForCount(int code, int n, int timeoutMs) const;
  bool exited() const { return exited_.load(); }

 private:
  struct Session;
  void AcceptLoop();
  void Serve(std::shared_ptr<Session> session);
  bool ReadRequest(platform::PipeHandle pipe, std::vector<unsigned char>* request);
  // Runs one rule's actions; returns false when the connection ends.
  bool Act(Session& session, const Action& action, const Request& request);
  bool SendReply(platform::PipeHandle pipe, const Action& action, const Request& request);
  void Shutdown();
  // With mu_ held. The rule points into *set, which the caller keeps while it uses the rule.
  const Rule* FindRule(bool master, int code, int occurrence,
                       std::shared_ptr<const std::vector<Rule>>* set) const;

  const std::string pipeName_;
  std::shared_ptr<const std::vector<Rule>> rules_;  // guarded by mu_; replaced whole
  platform::PipeListener* listener_ = nullptr;
  std::thread acceptThread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> exited_{false};
  std::function<void(int)> exitHandler_;
  std::function<void()> observer_;
  std::function<void()> beforeMatch_;

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<std::shared_ptr<Session>> sessions_;
  std::vector<std::thread> workers_;
  std::map<int, int> counts_;
  std::vector<Request> requests_;
  int total_ = 0;
  int masters_ = 0;
  int secondaries_ = 0;
  // Totals at the last SetRules: occurrences are counted from there.
  std::map<int, int> baseCounts_;
  int baseTotal_ = 0;
  int baseMasters_ = 0;
  std::atomic<int> emptyWrites_{0};
};

}  // namespace kdr::testpeer

#endif  // KDR_TESTS_PEER_PEER_H_
