// kdr_test_peer: the scriptable cache-server stand-in as a program of its own.
// Usage and script format: README.md in this folder, or kdr_test_peer --help.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer/peer.h"
#include "platform/process.h"

namespace {

const char kUsage[] =
    "usage: kdr_test_peer --pipe NAME [options]\n"
    "  --pipe NAME         master pipe to serve (\\\\.\\pipe\\X lives in the runtime directory)\n"
    "  --script FILE       rules, one per line (may be given more than once)\n"
    "  --rule 'LINE'       one rule (may be given more than once; after the script files)\n"
    "  --reload FILE       rules read again whenever FILE's text changes, ahead of the others;\n"
    "                      occurrences (#N) then count again from 1\n"
    "  --counts FILE       rewritten after every request: request counts by message type\n"
    "  --requests FILE     rewritten after every request: every request received, in hex\n"
    "  --ready-file FILE   written with the process id once the pipe is served\n"
    "  --lifetime MS       end after MS milliseconds whatever happens (default 120000)\n"
    "Exit status: 0 at the end of the lifetime; the code of an 'exit' action; 2 for bad\n"
    "arguments or a script error; 3 when the pipe cannot be served.\n";

std::mutex g_files_lock;

bool WriteAtomically(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    out << text;
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  return !ec;
}

void WriteFiles(const kdr::testpeer::Peer& peer, const std::string& counts,
                const std::string& requests) {
  std::lock_guard<std::mutex> lock(g_files_lock);
  if (!counts.empty()) {
    std::ostringstream s;
    s << "requests " << peer.TotalRequests() << "\n";
    s << "connections " << peer.MasterConnections() << "\n";
    s << "sessions " << peer.Sessions() << "\n";
    for (const auto& [code, n] : peer.Counts()) {
      s << kdr::testpeer::MessageName(code) << " " << n << "\n";
    }
    WriteAtomically(counts, s.str());
  }
  if (!requests.empty()) {
    std::ostringstream s;
    for (const auto& r : peer.Requests()) {
      s << kdr::testpeer::MessageName(r.code) << " seq=" << r.seq << " len=" << r.bytes.size()
        << " hex=";
      char hex[3];
      for (unsigned char c : r.bytes) {
        std::snprintf(hex, sizeof hex, "%02x", c);
        s << hex;
      }
      s << "\n";
    }
    WriteAtomically(requests, s.str());
  }
}

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream in(path);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return true;
}

// The --reload file: checked before each match; a changed text replaces the rules (its own
// rules first, then the fixed ones). A text that does not parse leaves the rules as they were.
struct Reloader {
  std::string path;
  std::string fixed;  // the --script and --rule text
  std::string last;
  std::mutex mu;

  void Check(kdr::testpeer::Peer* peer) {
    std::lock_guard<std::mutex> lock(mu);
    std::string text;
    if (!ReadText(path, &text)) text.clear();  // a missing file is an empty script
    if (text == last) return;
    last = text;
    std::vector<kdr::testpeer::Rule> parsed;
    std::string error;
    if (!kdr::testpeer::ParseScript(text + "\n" + fixed, &parsed, &error)) {
      std::fprintf(stderr, "kdr_test_peer: script error in '%s': %s\n", path.c_str(),
                   error.c_str());
      return;
    }
    peer->SetRules(std::move(parsed));
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string pipe, counts, requests, ready, reload;
  std::vector<std::string> scripts, rules;
  long lifetime = 120000;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kdr_test_peer: %s needs a value\n%s", arg.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--pipe") {
      pipe = value();
    } else if (arg == "--script") {
      scripts.push_back(value());
    } else if (arg == "--rule") {
      rules.push_back(value());
    } else if (arg == "--reload") {
      reload = value();
    } else if (arg == "--counts") {
      counts = value();
    } else if (arg == "--requests") {
      requests = value();
    } else if (arg == "--ready-file") {
      ready = value();
    } else if (arg == "--lifetime") {
      lifetime = std::strtol(value().c_str(), nullptr, 10);
    } else {
      std::fprintf(stderr, "kdr_test_peer: unknown argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (pipe.empty()) {
    std::fprintf(stderr, "kdr_test_peer: --pipe is required\n%s", kUsage);
    return 2;
  }

  std::string text;
  for (const auto& path : scripts) {
    std::ifstream in(path);
    if (!in) {
      std::fprintf(stderr, "kdr_test_peer: cannot read script '%s'\n", path.c_str());
      return 2;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    text += ss.str();
    text += "\n";
  }
  for (const auto& r : rules) text += r + "\n";
  std::vector<kdr::testpeer::Rule> parsed;
  std::string error;
  if (!kdr::testpeer::ParseScript(text, &parsed, &error)) {
    std::fprintf(stderr, "kdr_test_peer: script error: %s\n", error.c_str());
    return 2;
  }

  kdr::testpeer::Peer peer(pipe, std::move(parsed));
  Reloader reloader;
  if (!reload.empty()) {
    reloader.path = reload;
    reloader.fixed = text;
    reloader.Check(&peer);
    peer.SetBeforeMatch([&] { reloader.Check(&peer); });
  }
  peer.SetRequestObserver([&] { WriteFiles(peer, counts, requests); });
  peer.SetExitHandler([&](int code) {
    WriteFiles(peer, counts, requests);
    std::fflush(nullptr);
    std::_Exit(code);
  });
  int rc = peer.Start();
  if (rc != kdr::platform::kPipeOk) {
    std::fprintf(stderr, "kdr_test_peer: cannot serve '%s' (error %d)\n", pipe.c_str(), rc);
    return 3;
  }
  WriteFiles(peer, counts, requests);
  if (!ready.empty()) {
    WriteAtomically(ready, std::to_string(kdr::platform::CurrentProcessId()) + "\n");
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetime);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  peer.Stop();
  WriteFiles(peer, counts, requests);
  return 0;
}
