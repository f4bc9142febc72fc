// kdrcached: serves the master pipe, hands every client its own secondary pipe and runs one
// thread per connection (Session). A housekeeping thread joins finished connection threads
// and releases the handles of client processes that have exited.
//
// Concurrency contract.
//   connMu_       guards conns_ (the live connections and their pipes) and stopping_ as
//                 seen by connection threads; PipeInterrupt() of a registered pipe happens
//                 only under it, and a thread unregisters its pipe under it before closing.
//   ServerState   its members guard themselves (see each); fileCacheMu orders every change
//                 of the whole-file cache; versionsMu guards versions.
//   Order: connMu_ is never held while taking any other lock of the server.
#ifndef KDR_SERVER_SERVER_H_
#define KDR_SERVER_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/pipes.h"
#include "server/block_cache.h"
#include "server/catalog.h"
#include "server/config.h"
#include "server/handles.h"
#include "server/vault.h"

namespace kdr::server {

// What every connection shares.
struct ServerState {
  ServerState(ServerConfig cfg, std::unique_ptr<Vault> v, std::unique_ptr<BlockCache> c);

  const ServerConfig config;
  const std::unique_ptr<Vault> vault;
  const std::unique_ptr<BlockCache> cache;
  HandleTable handles;
  Catalogs catalogs;

  // The whole-file cache: <cacheDir>/files/<GUID>/<name>, with the vault version each was
  // copied from in <cacheDir>/files/.versions/<GUID>; partial copies in <cacheDir>/.partial.
  std::string filesDir;
  std::string versionsDir;
  std::string partialDir;
  std::mutex fileCacheMu;  // held around the check, the commit and the clearing of files

  // A fresh number for temporary names.
  unsigned NextSerial() { return serial.fetch_add(1); }
  std::atomic<unsigned> serial{0};

  // Notes the version of `guid` that an open found. When it differs from the one noted
  // before, the store may hold blocks of older content: they are dropped.
  void NoteVersion(const std::string& guid, const std::string& version);
  // Marks `guid` changed by this server (an upload or roll-back) and drops its blocks.
  void ContentChanged(const std::string& guid);
  // Whether blocks read from `version` of `guid` may go into the store (it is still the
  // newest version this server knows of).
  bool IsCurrent(const std::string& guid, const std::string& version);
  std::mutex versionsMu;
  std::map<std::string, std::string> versions;  // bounded: see NoteVersion

  std::atomic<bool> stopping{false};

  // Random and non-zero, made when the server starts; sent in the version-check reply, so a
  // client can tell that file handles it holds came from an earlier instance.
  const uint64_t instanceId;
};

class Server {
 public:
  Server(ServerConfig config, std::unique_ptr<Vault> vault, std::unique_ptr<BlockCache> cache);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Prepares the directories and starts serving the master pipe. Returns 0, or a pipe result
  // (platform::kPipeAccessDenied: another server serves the name) with *error set.
  int Start(std::string* error);

  // Accepts clients until Stop(); then closes every connection, waits for their threads and
  // returns. A thread still waiting for its client to come to the secondary pipe (up to
  // platform::kHandOffTimeoutMs) is not waited for: see Abandoned(). REQUIRES: Start()
  // succeeded.
  void Run();

  // Whether Run() left threads behind in a hand-off. The server object must then outlive the
  // process: the caller ends the process without destroying it (after Release()).
  bool Abandoned() const { return abandoned_; }

  // Removes the master pipe's name, so no client finds a server that is going, and closes
  // the store. Safe while abandoned threads still run (they never reached the store).
  void Release();

  // Makes Run() return. Any thread.
  void Stop();

  ServerState* state() { return &state_; }

  // This server instance's id (see ServerState::instanceId).
  uint64_t InstanceId() const { return state_.instanceId; }

 private:
  struct Conn {
    std::thread thread;
    platform::PipeHandle pipe = platform::kNoPipe;  // the secondary pipe while it is served
    std::atomic<bool> done{false};
    std::atomic<bool> handingOff{true};  // not yet serving: the hand-off may take 10 s
  };

  void ServeConnection(Conn* conn, platform::PipeHandle master);
  void Housekeeping();
  void JoinFinished();
  void ReleaseDeadOwners();

  ServerState state_;
  platform::PipeListener* listener_ = nullptr;

  std::mutex connMu_;
  std::list<std::unique_ptr<Conn>> conns_;

  std::mutex houseMu_;
  std::condition_variable houseCv_;
  bool houseStop_ = false;  // guarded by houseMu_
  bool abandoned_ = false;  // set by Run() only
};

}  // namespace kdr::server

#endif  // KDR_SERVER_SERVER_H_
