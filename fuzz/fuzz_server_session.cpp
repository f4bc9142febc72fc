// A cache server connection fed arbitrary requests: the server's request framing (header,
// payload length, second writes, the texts in them) and every request kind's own checks, over
// a real pipe. The vault is empty and the store is the null one, so the session answers from
// its checks alone; what matters is that no request makes it read or write outside its
// buffers, and that it always comes back. The empty vault also keeps the fuzzer off the disk:
// every request that reads or writes a path the client names needs an open file first.
//
// Input: messages, each a 2-byte big-endian length and that many bytes (at most 32, the rest
// of the input is dropped). The messages go out on the client end of a fresh connection,
// then the farewell; the session serves them on this thread and returns at the farewell (or
// earlier, at a message it cannot frame). Its replies wait unread in the pipe: few and small.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/pipe_server.h"
#include "platform/pipes.h"
#include "platform/process.h"
#include "server/block_cache.h"
#include "server/log.h"
#include "server/server.h"
#include "server/session.h"
#include "server/vault.h"

namespace {

namespace pf = kdr::platform;
namespace srv = kdr::server;

constexpr int kMostMessages = 32;

struct Fixture {
  std::string dir;
  std::string pipeName;
  srv::ServerState* state = nullptr;
  pf::PipeListener* listener = nullptr;
};

// Lives until the process ends; never destroyed.
Fixture* gFixture = nullptr;

void RemoveDir() {
  if (gFixture == nullptr) return;
  pf::PipeListenerClose(gFixture->listener);
  gFixture->listener = nullptr;
  std::error_code ec;
  std::filesystem::remove_all(gFixture->dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto* f = new Fixture;
  std::error_code ec;
  std::filesystem::path base = "/dev/shm";
  if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path(ec);
  f->dir = (base / ("kdr_fuzz_session." + std::to_string(pf::CurrentProcessId()))).string();
  std::filesystem::remove_all(f->dir, ec);
  std::filesystem::create_directories(f->dir + "/vault", ec);
  std::filesystem::create_directories(f->dir + "/cache", ec);
  KDR_FUZZ_CHECK(!ec);
  KDR_FUZZ_CHECK(::setenv("KDR_RUNTIME_DIR", (f->dir + "/run").c_str(), 1) == 0);

  srv::ServerConfig config;
  config.cacheDir = f->dir + "/cache";
  config.vaultDir = f->dir + "/vault";
  config.localeDir = KDR_FUZZ_LOCALE_DIR;  // the catalogs of the source tree
  config.logLevel = srv::LogLevel::kError;
  srv::SetLogLevel(srv::LogLevel::kError);  // a warning per malformed request is no use here
  f->pipeName = "kdr_fuzz_session";
  config.pipeName = f->pipeName;
  f->state = new srv::ServerState(config, srv::NewLocalVault(config.vaultDir),
                                  srv::NewNullBlockCache());
  KDR_FUZZ_CHECK(pf::PipeListen(f->pipeName.c_str(), 4, &f->listener) == pf::kPipeOk);
  gFixture = f;
  std::atexit(RemoveDir);  // run when the fuzzing ends; a crash leaves the directory behind
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture* f = gFixture;
  pf::PipeHandle client = pf::kNoPipe, server = pf::kNoPipe;
  KDR_FUZZ_CHECK(pf::PipeConnect(f->pipeName.c_str(), &client) == pf::kPipeOk);
  KDR_FUZZ_CHECK(pf::PipeAccept(f->listener, 5000, &server) == pf::kPipeOk);

  size_t at = 0;
  for (int m = 0; m < kMostMessages && at + 2 <= size; ++m) {
    size_t n = (size_t{data[at]} << 8) | data[at + 1];
    at += 2;
    if (n > size - at) n = size - at;
    KDR_FUZZ_CHECK(pf::PipeWrite(client, data + at, static_cast<uint32_t>(n), nullptr) ==
                   pf::kPipeOk);
    at += n;
  }
  // The farewell, twice: a request waiting for its second write takes the first one as that
  // (an empty text) and is refused. The client end stays open until the session is done: its
  // replies must find a reader's end to go to.
  for (int i = 0; i < 2; ++i) {
    KDR_FUZZ_CHECK(pf::PipeWrite(client, nullptr, 0, nullptr) == pf::kPipeOk);
  }

  pf::PeerProcess peer;
  peer.pid = pf::CurrentProcessId();
  auto session = std::make_unique<srv::Session>(f->state, server, peer);
  session->Serve();
  pf::PipeAbort(server);
  pf::PipeAbort(client);
  // Handles a request opened stay with their owner; drop them between inputs.
  f->state->handles.RemoveOwner(peer);
  return 0;
}
