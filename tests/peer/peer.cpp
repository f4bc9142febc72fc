#include "peer/peer.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <sstream>

namespace kdr::testpeer {
namespace {

constexpr int kHandOffTimeoutMs = 3000;  // short, so that Stop() never waits long
constexpr int kAcceptSliceMs = 100;

struct Known {
  const char* name;
  int code;
};
constexpr Known kNames[] = {
    {"OPEN", 1},         {"GET_SIZE", 2},        {"GET_DATA", 3},
    {"GET_FILE", 4},     {"CLOSE", 5},           {"ECHO", 6},
    {"UPLOAD", 7},       {"ROLLBACK", 8},        {"READ_AHEAD", 9},
    {"STATUS", 10},      {"LOCALE", 11},         {"LOCALIZE", 12},
    {"GET_LOCATION", 13}, {"GET_CACHE_INIT_INFO", 14}, {"VERSION_CHECK", 15},
    {"CLEAR_CACHE", 256},
};
constexpr int kStatusCode = 10;
constexpr int kUploadCode = 7;
constexpr int kRollbackCode = 8;
constexpr size_t kCountedRequestSize = 16;  // header, handle, 16-bit length

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

struct Token {
  std::string text;
  bool quoted = false;
};

// Splits a line into words; "..." is one word (with \" \\ \n \t \0 escapes); ';' outside
// quotes is a word of its own; '#' at the start of a word starts a comment (inside a word, as
// in ECHO#2, it is part of the word).
bool Tokenize(const std::string& line, std::vector<Token>* out, std::string* error) {
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == ';') {
      out->push_back({";", false});
      ++i;
    } else {
      Token t;
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) &&
             line[i] != ';') {
        if (line[i] == '"') {
          if (t.text.empty()) t.quoted = true;  // a quoted word, not key="value"
          ++i;
          while (i < line.size() && line[i] != '"') {
            char d = line[i++];
            if (d == '\\' && i < line.size()) {
              char e = line[i++];
              d = e == 'n' ? '\n' : e == 't' ? '\t' : e == '0' ? '\0' : e;
            }
            t.text.push_back(d);
          }
          if (i >= line.size()) {
            *error = "unterminated quote";
            return false;
          }
          ++i;
        } else {
          t.text.push_back(line[i++]);
        }
      }
      out->push_back(std::move(t));
    }
  }
  return true;
}

bool ParseInt(const std::string& s, long long* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  *v = std::strtoll(s.c_str(), &end, 0);
  return end != nullptr && *end == '\0';
}

bool ParseHex(const std::string& s, std::vector<unsigned char>* out) {
  std::string digits;
  for (char c : s) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
    else if (c != ':' && c != '-' && c != '_') return false;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    out->push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

void PutBE(std::vector<unsigned char>* out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// Parses the key=value fields of a reply into `a`.
bool ParseReplyField(const Token& t, Action* a, std::string* error) {
  size_t eq = t.text.find('=');
  if (t.quoted || eq == std::string::npos) {
    *error = "expected key=value, got '" + t.text + "'";
    return false;
  }
  std::string key = t.text.substr(0, eq);
  std::string value = t.text.substr(eq + 1);
  long long n = 0;
  if (key == "hex") return ParseHex(value, &a->payload) || (*error = "bad hex", false);
  if (key == "text" || key == "textz") {
    a->payload.insert(a->payload.end(), value.begin(), value.end());
    if (key == "textz") a->payload.push_back(0);
    return true;
  }
  if (key == "split") {
    std::stringstream ss(value);
    std::string part;
    while (std::getline(ss, part, ',')) {
      if (!ParseInt(part, &n) || n < 0) {
        *error = "bad split";
        return false;
      }
      a->split.push_back(static_cast<uint32_t>(n));
    }
    return true;
  }
  if (key == "seq" && !value.empty() && (value[0] == '+' || value[0] == '-')) {
    if (!ParseInt(value, &n)) return (*error = "bad seq", false);
    a->seqAbsolute = false;
    a->seqValue = static_cast<int>(n);
    return true;
  }
  if (!ParseInt(value, &n)) {
    *error = "bad number in '" + t.text + "'";
    return false;
  }
  if (key == "be16") PutBE(&a->payload, static_cast<uint64_t>(n), 2);
  else if (key == "be32") PutBE(&a->payload, static_cast<uint64_t>(n), 4);
  else if (key == "be64") PutBE(&a->payload, static_cast<uint64_t>(n), 8);
  else if (key == "zeros") a->payload.insert(a->payload.end(), static_cast<size_t>(n), 0);
  else if (key == "dir") a->direction = static_cast<int>(n);
  else if (key == "kind") a->typeId = static_cast<int>(n);
  else if (key == "seq") {
    a->seqAbsolute = true;
    a->seqValue = static_cast<int>(n);
  } else if (key == "msgtype") {
    a->msgTypeSet = true;
    a->msgType = static_cast<uint32_t>(n);
  } else if (key == "len") {
    a->lengthSet = true;
    a->payloadLength = static_cast<uint32_t>(n);
  } else if (key == "pad") a->pad = static_cast<uint32_t>(n);
  else if (key == "trickle") a->trickleMs = static_cast<int>(n);
  else {
    *error = "unknown field '" + key + "'";
    return false;
  }
  return true;
}

bool ParseAction(bool master, const std::vector<Token>& w, Action* a, std::string* error) {
  const std::string word = w.empty() ? "" : w[0].text;
  long long n = 0;
  auto needNumber = [&](size_t i) {
    if (w.size() <= i || !ParseInt(w[i].text, &n)) {
      *error = word + " needs a number";
      return false;
    }
    return true;
  };
  if (master) {
    if (word == "drop" && w.size() == 1) {
      a->kind = Action::kDrop;
    } else if (word == "delay") {
      if (!needNumber(1)) return false;
      a->kind = Action::kDelay;
      a->number = static_cast<int>(n);
    } else if (word == "name" && w.size() == 2) {
      a->kind = Action::kName;
      a->bytes.assign(w[1].text.begin(), w[1].text.end());
      a->bytes.push_back(0);
    } else if (word == "garbage" && w.size() == 2) {
      a->kind = Action::kGarbage;
      if (!ParseHex(w[1].text, &a->bytes)) return (*error = "bad hex", false);
    } else {
      *error = "unknown master action '" + word + "'";
      return false;
    }
    return true;
  }
  size_t first = 1;
  if (word == "reply" || word == "end" || word == "progress") {
    a->kind = Action::kReply;
    a->typeId = word == "end" ? 2 : word == "progress" ? 3 : 0;
  } else if (word == "error") {
    if (!needNumber(1)) return false;
    a->kind = Action::kReply;
    a->typeId = 1;
    PutBE(&a->payload, static_cast<uint64_t>(n), 4);
    PutBE(&a->payload, 0, 4);
    first = 2;
    std::string text;
    if (w.size() > 2 && (w[2].quoted || w[2].text.find('=') == std::string::npos)) {
      text = w[2].text;
      first = 3;
    }
    a->payload.insert(a->payload.end(), text.begin(), text.end());
    a->payload.push_back(0);
  } else if ((word == "none" || word == "close" || word == "hang") && w.size() == 1) {
    a->kind = word == "none" ? Action::kNone : word == "close" ? Action::kClose : Action::kHang;
    return true;
  } else if (word == "sleep") {
    if (!needNumber(1)) return false;
    a->kind = Action::kSleep;
    a->number = static_cast<int>(n);
    return true;
  } else if (word == "garbage" && w.size() == 2) {
    a->kind = Action::kGarbage;
    if (!ParseHex(w[1].text, &a->bytes)) return (*error = "bad hex", false);
    return true;
  } else if (word == "exit") {
    a->kind = Action::kExit;
    if (w.size() > 1 && !needNumber(1)) return false;
    a->number = w.size() > 1 ? static_cast<int>(n) : 0;
    return true;
  } else {
    *error = "unknown action '" + word + "'";
    return false;
  }
  for (size_t i = first; i < w.size(); ++i) {
    if (!ParseReplyField(w[i], a, error)) return false;
  }
  return true;
}

// Splits "WORD#N" into WORD and N (0 without a '#').
bool SplitOccurrence(const std::string& s, std::string* word, int* nth) {
  size_t hash = s.find('#');
  *word = s.substr(0, hash);
  *nth = 0;
  if (hash == std::string::npos) return true;
  long long n = 0;
  if (!ParseInt(s.substr(hash + 1), &n) || n < 1) return false;
  *nth = static_cast<int>(n);
  return true;
}

}  // namespace

int MessageCode(const std::string& name) {
  std::string n = Upper(name);
  if (n.rfind("KDR_", 0) == 0) n = n.substr(4);
  if (n.size() > 4 && n.compare(n.size() - 4, 4, "_MSG") == 0) n = n.substr(0, n.size() - 4);
  for (const Known& k : kNames) {
    if (n == k.name) return k.code;
  }
  long long v = 0;
  if (ParseInt(n, &v) && v >= 0 && v <= 0xFFFF) return static_cast<int>(v);
  return -1;
}

std::string MessageName(int code) {
  for (const Known& k : kNames) {
    if (k.code == code) return k.name;
  }
  return std::to_string(code);
}

bool ParseRule(const std::string& line, Rule* rule, std::string* error) {
  std::vector<Token> tokens;
  if (!Tokenize(line, &tokens, error)) return false;
  const std::vector<Token>& words = tokens;
  if (words.empty()) {
    *error = "empty rule";
    return false;
  }
  *rule = Rule{};
  size_t next = 0;
  std::string head;
  int nth = 0;
  if (!SplitOccurrence(words[0].text, &head, &nth)) return (*error = "bad occurrence", false);
  if (head == "master") {
    rule->master = true;
    rule->nth = nth;
    next = 1;
  } else if (head == "on" && nth == 0 && words.size() >= 2) {
    std::string type;
    if (!SplitOccurrence(words[1].text, &type, &rule->nth)) {
      *error = "bad occurrence in '" + words[1].text + "'";
      return false;
    }
    rule->code = type == "*" ? -1 : MessageCode(type);
    if (type != "*" && rule->code < 0) {
      *error = "unknown message type '" + type + "'";
      return false;
    }
    next = 2;
  } else {
    *error = "a rule starts with 'on TYPE' or 'master'";
    return false;
  }
  std::vector<Token> action;
  for (size_t i = next; i <= words.size(); ++i) {
    if (i == words.size() || (words[i].text == ";" && !words[i].quoted)) {
      if (action.empty()) {
        *error = "empty action";
        return false;
      }
      Action a;
      if (!ParseAction(rule->master, action, &a, error)) return false;
      rule->actions.push_back(std::move(a));
      action.clear();
    } else {
      action.push_back(words[i]);
    }
  }
  return true;
}

bool ParseScript(const std::string& text, std::vector<Rule>* rules, std::string* error) {
  std::stringstream ss(text);
  std::string line;
  int number = 0;
  while (std::getline(ss, line)) {
    ++number;
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    Rule rule;
    std::string why;
    if (!ParseRule(line, &rule, &why)) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
    rules->push_back(std::move(rule));
  }
  return true;
}

// ---- Peer ----

struct Peer::Session {
  platform::PipeHandle master = platform::kNoPipe;
  platform::PipeHandle pipe = platform::kNoPipe;
  int occurrence = 0;  // 1-based number of the master connection
};

Peer::Peer(std::string pipeName, std::vector<Rule> rules)
    : pipeName_(std::move(pipeName)),
      rules_(std::make_shared<const std::vector<Rule>>(std::move(rules))) {}

void Peer::SetRules(std::vector<Rule> rules) {
  auto set = std::make_shared<const std::vector<Rule>>(std::move(rules));
  std::lock_guard<std::mutex> lock(mu_);
  rules_ = std::move(set);
  baseCounts_ = counts_;
  baseTotal_ = total_;
  baseMasters_ = masters_;
}

Peer::~Peer() { Stop(); }

int Peer::Start() {
  int rc = platform::PipeListen(pipeName_.c_str(), 16, &listener_);
  if (rc != platform::kPipeOk) return rc;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return platform::kPipeOk;
}

void Peer::Shutdown() {
  stopping_.store(true);
  std::lock_guard<std::mutex> lock(mu_);
  if (listener_ != nullptr) platform::PipeListenerShutdown(listener_);
  for (auto& s : sessions_) {
    platform::PipeInterrupt(s->master);
    platform::PipeInterrupt(s->pipe);
  }
}

void Peer::Stop() {
  Shutdown();
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  platform::PipeListenerClose(listener_);
  listener_ = nullptr;
}

void Peer::AcceptLoop() {
  while (!stopping_.load()) {
    platform::PipeHandle master = platform::kNoPipe;
    int rc = platform::PipeAccept(listener_, kAcceptSliceMs, &master);
    if (rc == platform::kPipeBroken) break;
    if (rc != platform::kPipeOk) continue;
    auto session = std::make_shared<Session>();
    session->master = master;
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_.load()) {
      platform::PipeAbort(master);
      break;
    }
    session->occurrence = ++masters_;
    sessions_.push_back(session);
    workers_.emplace_back([this, session] { Serve(session); });
  }
}

const Rule* Peer::FindRule(bool master, int code, int occurrence,
                           std::shared_ptr<const std::vector<Rule>>* set) const {
  *set = rules_;
  for (const Rule& r : **set) {
    if (r.master != master) continue;
    if (!master && r.code != -1 && r.code != code) continue;
    int nth = occurrence;
    if (!master && r.code == -1) nth = total_ - baseTotal_;  // "*#N": the Nth of any type
    if (r.nth != 0 && r.nth != nth) continue;
    return &r;
  }
  return nullptr;
}

bool Peer::ReadRequest(platform::PipeHandle pipe, std::vector<unsigned char>* request) {
  request->clear();
  unsigned char chunk[4096];
  size_t need = 12;
  while (request->size() < need) {
    // One pipe message.
    size_t before = request->size();
    for (;;) {
      uint32_t got = 0;
      int rc = platform::PipeRead(pipe, chunk, sizeof chunk, &got);
      request->insert(request->end(), chunk, chunk + got);
      if (rc == platform::kPipeOk) break;
      if (rc != platform::kPipeMoreData) return false;
    }
    if (request->size() == before) return false;  // an empty message starts no request
    if (request->size() >= 12) {
      const unsigned char* b = request->data();
      need = 12 + ((uint32_t{b[8]} << 24) | (uint32_t{b[9]} << 16) | (uint32_t{b[10]} << 8) | b[11]);
    }
  }
  // UPLOAD and ROLLBACK always come in two writes; with an empty path or volume id the second
  // is an empty message, part of the request.
  if (request->size() == kCountedRequestSize) {
    int code = (request->at(4) << 8) | request->at(5);
    if (code == kUploadCode || code == kRollbackCode) {
      uint32_t got = 0;
      int rc = platform::PipeRead(pipe, chunk, sizeof chunk, &got);
      if (rc != platform::kPipeOk || got != 0) return false;
      ++emptyWrites_;
    }
  }
  return true;
}

bool Peer::SendReply(platform::PipeHandle pipe, const Action& a, const Request& req) {
  int seq = req.code == kStatusCode ? req.seq - 1 : req.seq;
  if (a.seqAbsolute) seq = a.seqValue;
  else seq += a.seqValue;
  uint32_t msgType = a.msgTypeSet ? a.msgType : req.msgType;
  // A reply to a status request belongs to the transfer the status answers.
  if (!a.msgTypeSet && req.code == kStatusCode && req.exchangeMsgType != 0) {
    msgType = req.exchangeMsgType;
  }
  uint32_t length = a.lengthSet ? a.payloadLength : static_cast<uint32_t>(a.payload.size());
  std::vector<unsigned char> bytes;
  bytes.push_back(static_cast<unsigned char>(a.direction));
  bytes.push_back(static_cast<unsigned char>(a.typeId));
  PutBE(&bytes, static_cast<uint16_t>(seq), 2);
  PutBE(&bytes, msgType, 4);
  PutBE(&bytes, length, 4);
  bytes.insert(bytes.end(), a.payload.begin(), a.payload.end());
  bytes.insert(bytes.end(), a.pad, 0xA5);

  // Cut into pipe messages.
  std::vector<std::vector<unsigned char>> messages;
  size_t at = 0;
  for (uint32_t n : a.split) {
    size_t take = std::min<size_t>(n, bytes.size() - at);
    messages.emplace_back(bytes.begin() + static_cast<long>(at),
                          bytes.begin() + static_cast<long>(at + take));
    at += take;
  }
  if (at < bytes.size() || messages.empty()) {
    messages.emplace_back(bytes.begin() + static_cast<long>(at), bytes.end());
  }
  for (const auto& m : messages) {
    if (a.trickleMs < 0) {
      if (platform::PipeWrite(pipe, m.data(), static_cast<uint32_t>(m.size()), nullptr) !=
          platform::kPipeOk) {
        return false;
      }
      continue;
    }
    std::vector<unsigned char> framed;
    PutBE(&framed, m.size(), 4);
    framed.insert(framed.end(), m.begin(), m.end());
    for (unsigned char c : framed) {
      if (platform::PipeWriteRaw(pipe, &c, 1) != platform::kPipeOk) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(a.trickleMs));
    }
  }
  return true;
}

bool Peer::Act(Session& session, const Action& a, const Request& req) {
  switch (a.kind) {
    case Action::kReply:
      return SendReply(session.pipe, a, req);
    case Action::kNone:
      return true;
    case Action::kClose:
      return false;
    case Action::kHang: {
      std::vector<unsigned char> ignored;
      while (!stopping_.load() && ReadRequest(session.pipe, &ignored)) {
      }
      return false;
    }
    case Action::kSleep:
      std::this_thread::sleep_for(std::chrono::milliseconds(a.number));
      return true;
    case Action::kGarbage:
      return platform::PipeWriteRaw(session.pipe, a.bytes.data(),
                                    static_cast<uint32_t>(a.bytes.size())) == platform::kPipeOk;
    case Action::kExit:
      exited_.store(true);
      if (exitHandler_) {
        exitHandler_(a.number);
      } else {
        Shutdown();
      }
      return false;
    default:
      return true;
  }
}

void Peer::Serve(std::shared_ptr<Session> session) {
  auto release = [&](platform::PipeHandle* h) {
    platform::PipeHandle p;
    {
      std::lock_guard<std::mutex> lock(mu_);
      p = *h;
      *h = platform::kNoPipe;
    }
    platform::PipeAbort(p);
  };

  bool handOff = true;
  const Rule* mrule;
  std::shared_ptr<const std::vector<Rule>> mset;
  if (beforeMatch_) beforeMatch_();
  {
    std::lock_guard<std::mutex> lock(mu_);
    mrule = FindRule(true, -1, session->occurrence - baseMasters_, &mset);
  }
  if (mrule != nullptr) {
    for (const Action& a : mrule->actions) {
      if (a.kind == Action::kDelay) {
        std::this_thread::sleep_for(std::chrono::milliseconds(a.number));
      } else if (a.kind == Action::kName) {
        platform::PipeWrite(session->master, a.bytes.data(), static_cast<uint32_t>(a.bytes.size()),
                            nullptr);
        handOff = false;
      } else if (a.kind == Action::kGarbage) {
        platform::PipeWriteRaw(session->master, a.bytes.data(),
                               static_cast<uint32_t>(a.bytes.size()));
        handOff = false;
      } else if (a.kind == Action::kDrop) {
        handOff = false;
      }
    }
  }
  platform::PipeHandle pipe = platform::kNoPipe;
  int rc = handOff && !stopping_.load()
               ? platform::PipeHandOff(listener_, session->master, kHandOffTimeoutMs, &pipe)
               : platform::kPipeFailed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    session->pipe = pipe;
    if (rc == platform::kPipeOk) ++secondaries_;
  }
  if (!handOff) {
    // Give the client a moment to read what it was sent before the connection goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  release(&session->master);
  if (rc != platform::kPipeOk) return;
  if (stopping_.load()) platform::PipeInterrupt(pipe);

  std::vector<unsigned char> bytes;
  uint32_t exchangeMsgType = 0;  // msgType of the last request other than a status request
  while (!stopping_.load() && ReadRequest(session->pipe, &bytes)) {
    Request req;
    req.seq = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
    req.msgType = (uint32_t{bytes[4]} << 24) | (uint32_t{bytes[5]} << 16) |
                  (uint32_t{bytes[6]} << 8) | bytes[7];
    req.code = static_cast<int>(req.msgType >> 16);
    req.bytes = bytes;
    if (req.code == kStatusCode) {
      req.exchangeMsgType = exchangeMsgType;
    } else {
      exchangeMsgType = req.msgType;
    }
    const Rule* rule;
    std::shared_ptr<const std::vector<Rule>> set;
    if (beforeMatch_) beforeMatch_();
    {
      std::lock_guard<std::mutex> lock(mu_);
      int occurrence = ++counts_[req.code];
      ++total_;
      requests_.push_back(req);
      auto base = baseCounts_.find(req.code);
      if (base != baseCounts_.end()) occurrence -= base->second;
      rule = FindRule(false, req.code, occurrence, &set);
    }
    changed_.notify_all();
    if (observer_) observer_();
    bool open = true;
    if (rule == nullptr) {
      // Without a rule: a normal, empty reply; a status request has no reply of its own.
      if (req.code != kStatusCode) open = SendReply(session->pipe, Action{Action::kReply}, req);
    } else {
      for (const Action& a : rule->actions) {
        if (!(open = Act(*session, a, req))) break;
      }
    }
    if (!open) break;
  }
  release(&session->pipe);
}

int Peer::EmptySecondWrites() const { return emptyWrites_.load(); }

int Peer::Count(int code) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = counts_.find(code);
  return it == counts_.end() ? 0 : it->second;
}

int Peer::TotalRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_;
}

int Peer::MasterConnections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return masters_;
}

int Peer::Sessions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return secondaries_;
}

std::vector<Request> Peer::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::map<int, int> Peer::Counts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_;
}

bool Peer::WaitForCount(int code, int n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    if (code < 0) return total_ >= n;
    auto it = counts_.find(code);
    return it != counts_.end() && it->second >= n;
  });
}

}  // namespace kdr::testpeer
