// The revalidation scheduler: which noted files are asked about again, and when.
//
// The server notes, for every file the store may hold blocks of, the volume they were read
// from (ServerState::versions). Opens through the server ask the vault themselves; files
// read through the clients' fast caches are opened without the server, so the store's page
// stamps (BlockCache::UsedSince) tell which files are in use. A file in use -- opened
// through the server, or read from the store by anyone -- is rechecked once its last check
// is `revalidateSeconds` old, so a change committed behind the server's back is seen within
// that bound of the file being used; a file nobody uses is not asked about at all (its note
// stays, dormant, and its blocks with it: the next open through the server asks the vault,
// and a read through the fast cache makes it due at the next tick). Many files due at once
// are answered by Vault::CurrentVersions, which lists up to 1,000 keys with one request.
// While the vault is away (an outage its own prober watches) nothing is asked: files that
// fall due wait, and are asked about at the first tick after it is back.
//
// The scheduler runs on a thread of its own from the moment the server serves, never before
// the first client; it stops promptly with the server (its requests are cancelled).
//
// Concurrency: mu_ guards uses_, scannedSec_ and stop_ (the compiler checks it); it is never
// held while calling the target (which takes the notes' lock and asks the vault).
#ifndef KDR_SERVER_REVALIDATION_H_
#define KDR_SERVER_REVALIDATION_H_

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"

namespace kdr::server {

// What the scheduler asks of the server (its state implements it).
class RevalidationTarget {
 public:
  // The noted files among those the store saw read since `sinceSec` (seconds of the wall
  // clock, the store's page stamps).
  virtual void NotedInUseSince(int64_t sinceSec, std::vector<std::string>* guids) = 0;
  // The vault's newest volume of each of `guids` (Vault::CurrentVersions; stops early when
  // the server stops).
  virtual void AskVault(const std::vector<std::string>& guids, std::vector<std::string>* versions,
                        std::vector<int>* results) = 0;
  // Whether the vault is known to be unreachable now (Vault::Away).
  virtual bool VaultAway() = 0;
  // The vault answered `rc` (0 or ENOENT) and `newest` for `guid`: true when its note went.
  virtual bool Rechecked(const std::string& guid, int rc, const std::string& newest) = 0;

 protected:
  ~RevalidationTarget() = default;
};

class Revalidator {
 public:
  // Rechecks files in use every `revalidateSeconds` (0 or less: half a second).
  Revalidator(RevalidationTarget* target, int revalidateSeconds);
  ~Revalidator();
  Revalidator(const Revalidator&) = delete;
  Revalidator& operator=(const Revalidator&) = delete;

  // Starts the thread. Stop() (also on destruction) ends it.
  void Start() EXCLUDES(mu_);
  void Stop() EXCLUDES(mu_);

  // An open through the server noted `guid`; `fresh`: the note is new, the open's answer its
  // first check.
  void Opened(const std::string& guid, bool fresh) EXCLUDES(mu_);

  // One tick at `nowMs` (platform::MonotonicMs): takes in what the store says is in use and
  // rechecks what is due, unless the vault is away. Returns how many files were asked about.
  size_t Tick(int32_t nowMs) EXCLUDES(mu_);

 private:
  struct Use {
    int32_t usedMs = 0;     // the last use seen
    int32_t checkedMs = 0;  // the last check (or the open that made the note)
    bool pending = false;   // used since that check
  };
  void Loop() EXCLUDES(mu_);

  RevalidationTarget* const target_;
  const int32_t boundMs_;
  Mutex mu_;
  CondVar cv_;                                       // signalled when stop_ is set
  std::map<std::string, Use> uses_ GUARDED_BY(mu_);  // files in use
  int64_t scannedSec_ GUARDED_BY(mu_) = 0;           // the store was scanned up to here
  bool stop_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // made by Start() under mu_; joined by Stop(), on the thread that starts
};

}  // namespace kdr::server

#endif  // KDR_SERVER_REVALIDATION_H_
