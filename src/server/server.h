// kdrcached: serves the master pipe, hands every client its own secondary pipe and runs one
// thread per connection (Session). A housekeeping thread joins finished connection threads
// and releases the handles of client processes that have exited.
//
// Concurrency contract.
//   connMu_       guards conns_ (the live connections and their pipes) and stopping_ as
//                 seen by connection threads; PipeInterrupt() of a registered pipe happens
//                 only under it, and a thread unregisters its pipe under it before closing.
//   houseMu_      guards houseStop_, which ends the housekeeping thread's waits.
//   ServerState   its members guard themselves (see each); versionsMu guards versions.
//   Order: connMu_ is never held while taking any other lock of the server.
// The fields marked GUARDED_BY are checked by the compiler (-Wthread-safety).
//
// Bounds. At most config.maxConnections connections are served at once, and one client
// process holds at most half of them (ConnectionsPerProcess), so no single process can lock
// the others out. A request must arrive whole within kRequestTimeoutMs of its first byte, and
// a client must come to its secondary pipe within platform::kHandOffTimeoutMs: a peer that
// stops half-way is disconnected, and never holds a connection for longer.
#ifndef KDR_SERVER_SERVER_H_
#define KDR_SERVER_SERVER_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/mutex.h"
#include "platform/pipe_server.h"
#include "platform/pipes.h"
#include "server/block_cache.h"
#include "server/catalog.h"
#include "server/config.h"
#include "server/file_cache.h"
#include "server/handles.h"
#include "server/revalidation.h"
#include "server/vault.h"

namespace kdr::server {

// What every connection shares.
//
// Versions. A cached block or whole-file copy is only ever served for the volume it was read
// from. `versions` holds, for every file the store may hold blocks of, the volume they were
// read from (the newest this server knows). Whenever the server learns of another volume --
// an open finds it, an upload or roll-back of its own makes it, the revalidation round or the
// local vault's watcher sees it -- the file's blocks are dropped from the store (under the
// cache lock, so attached fast-cache clients see the store without them at once) and its
// whole-file copies are superseded. Blocks enter the store only under versionsMu together
// with the check that they belong to the noted volume, so a reader of an older volume never
// puts its blocks back. Dropping them waits for the cache lock, so it happens outside
// versionsMu: the file is marked in `forgetting` first, and no server read gets or puts its
// blocks until they are gone; readers of other files never wait for it.
//
// The window. A change made behind the server's back (another server instance on the same
// vault, `kdrvault put`) is seen by the vault directory's watcher within milliseconds (the
// watcher thread rechecks a file whose directory gained or lost a volume), and otherwise by
// the revalidation scheduler (revalidation.h): a file in use is rechecked once its last
// check is `revalidateSeconds` old (default 5), a file nobody uses is not asked about until
// it is used again. An open through the server asks the vault (or trusts an answer younger
// than the bound), so an open that starts more than the bound after a change never gets
// bytes of an older volume; a read through the fast cache of a file unused for a while can
// see the older volume until the next tick of the scheduler has rechecked it. Changes made
// through this server are seen at once. A handle the server opened keeps reading the volume
// it was opened on (the vault keeps it readable; its blocks then come from the vault, not the
// store); for handles opened through the fast cache see fastcache/fast_cache.h.
//
// Across restarts the notes are kept in <cacheDir>/store.versions, a journal: every change is
// appended as it is made (and flushed to the disk before the open that made it returns), the
// whole is rewritten in place at start and at a clean stop, and read back at the next start,
// after a crash too. They come back dormant (nothing is asked of the vault before the first
// client is served) and each is rechecked when its file is next used. A store without them is
// emptied, as nothing tells what its blocks were read from. The store names the volume of each
// file's blocks with its VolumeStamp (set before the first block is put, and again on a hit),
// which is what the fast cache checks.
struct ServerState : RevalidationTarget {
  ServerState(ServerConfig cfg, std::unique_ptr<Vault> v, std::unique_ptr<BlockCache> c);

  const ServerConfig config;
  const std::unique_ptr<Vault> vault;
  // Set before the first connection is served and never changed afterwards.
  std::unique_ptr<BlockCache> cache;
  // A random, non-zero number of this server instance, fixed at start. The store's object
  // names carry it, so the store of an earlier instance never stands in the way; the
  // version-check reply carries it, so a client can tell that file handles it holds came
  // from an earlier instance.
  const uint64_t instanceId;
  HandleTable handles;
  Catalogs catalogs;

  // The whole-file cache (<cacheDir>/files, see file_cache.h); partial copies in
  // <cacheDir>/.partial.
  FileCache files;
  std::string partialDir;
  // Whether a client may still read the whole-file copy of that volume.
  bool CopyInUse(const std::string& guid, const std::string& version) const {
    return handles.Holds(guid, version);
  }

  // A fresh number for temporary names.
  unsigned NextSerial() { return serial.fetch_add(1); }
  std::atomic<unsigned> serial{0};

  // Notes the version of `guid` that an open found. When it differs from the one noted
  // before, the store may hold blocks of older content: they are dropped.
  void NoteVersion(const std::string& guid, const std::string& version);
  // Marks `guid` changed by this server (an upload or roll-back) and drops its blocks; on
  // return no new open can be served the old bytes, from the store or the whole-file cache.
  void ContentChanged(const std::string& guid);
  // The store's Get / Put for a reader of `version` of `guid`: a miss, or nothing stored,
  // unless that version is the one noted.
  bool GetIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                    int32_t block, unsigned char* buf, uint32_t* len);
  void PutIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                    int32_t block, const unsigned char* data, uint32_t len);
  // The store's GetRun on the same terms: none found unless `version` is the one noted.
  int GetRunIfCurrent(const std::string& guid, const std::string& version, uint64_t size,
                      int32_t first, int count, unsigned char* slots,
                      const BlockCache::LentUse& use);
  // Asks the vault for the newest volume of every noted file (as few requests as the vault
  // can); drops what changed. Returns how many files had changed.
  size_t Revalidate();
  // Asks the vault for the newest volume of `guid` and applies it (Rechecked).
  void Recheck(const std::string& guid);
  // The vault answered `rc` (0 or ENOENT) and `newest` for `guid`: when it is noted with
  // another volume, its note, blocks and whole-file copy go. True when they went.
  bool Rechecked(const std::string& guid, int rc, const std::string& newest) override;
  // The revalidation scheduler's view of the notes and the vault (see revalidation.h).
  void NotedInUseSince(int64_t sinceSec, std::vector<std::string>* guids) override;
  void AskVault(const std::vector<std::string>& guids, std::vector<std::string>* newest,
                std::vector<int>* results) override;
  bool VaultAway() override { return vault->Away(); }
  // The content of `guid` changed: its whole-file copies are superseded. A new open never
  // gets one (each copy is of one volume), and a path handed out before keeps its promise
  // (see file_cache.h).
  void DropWholeFile(const std::string& guid);
  // The notes across a restart (see above). LoadVersions returns false when there were none.
  void SaveVersions();
  bool LoadVersions();
  // Appends a change of the notes to their journal (version null: `guid` is no longer
  // noted; guid empty: none is). Called under versionsMu held exclusively, after the store's
  // blocks were dropped for the change, so that a journal read after a crash never names a
  // volume the store holds other blocks for. SyncVersions makes the appended lines durable.
  void JournalVersion(const std::string& guid, const std::string* version) REQUIRES(versionsMu);
  void SyncVersions();
  void RewriteJournalLocked() REQUIRES(versionsMu);
  int journalFd GUARDED_BY(versionsMu) = -1;
  size_t journalLines GUARDED_BY(versionsMu) = 0;
  // Held shared by the block reads and writes of the data path (GetIfCurrent, PutIfCurrent),
  // which run in every session at once; exclusive by whatever changes the notes.
  SharedMutex versionsMu;
  std::map<std::string, std::string> versions GUARDED_BY(versionsMu);  // bounded: see NoteVersion
  // Files whose blocks ContentChanged is dropping (how many calls at once): the data path
  // neither gets nor puts their blocks meanwhile.
  std::map<std::string, int> forgetting GUARDED_BY(versionsMu);
  // Drops the blocks of `guid`, which the caller entered in `forgetting` under versionsMu,
  // without holding versionsMu across the cache lock's waits; then takes it out again.
  void ForgetOutsideNotes(const std::string& guid);
  std::string versionsFile;

  // The vault directory's watcher (null when the system gives none): every noted file's
  // directory is watched, and a volume that comes or goes there is rechecked at once.
  platform::DirWatcher* watcher = nullptr;
  void Watch(const std::string& guid);
  // Handles what the watcher reported.
  void OnVaultEvents(const std::vector<platform::DirEvent>& events);
  Mutex watchMu;
  std::map<int, std::string> watched GUARDED_BY(watchMu);  // watch id -> GUID

  std::atomic<bool> stopping{false};

  // Schedules the rechecks of the files in use (see above). Last: it uses the members above.
  Revalidator revalidator{this, config.revalidateSeconds};
};

class Server {
 public:
  Server(ServerConfig config, std::unique_ptr<Vault> vault, std::unique_ptr<BlockCache> cache);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Prepares the directories and starts serving the master pipe; then, the pipe won, opens
  // the store (when the server was made without a cache) under names of this instance and
  // checks it against the vault. Returns 0, or a pipe result (platform::kPipeAccessDenied:
  // another server serves the name; platform::kPipeFailed also when another server holds the
  // cache directory's lock) with *error set.
  int Start(std::string* error);

  // Accepts clients until Stop(); then closes every connection, waits for their threads and
  // returns. A thread still waiting for its client to come to the secondary pipe (up to
  // platform::kHandOffTimeoutMs) is not waited for: see Abandoned(). REQUIRES: Start()
  // succeeded.
  void Run() EXCLUDES(houseMu_);

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
    platform::PeerProcess peer;          // the process at the master pipe; set before start
    // When the session began to read a request (a MonotonicMs() value, never 0); 0 while it
    // waits for one. The housekeeping thread closes a connection whose request stays
    // incomplete for longer than kRequestTimeoutMs.
    std::atomic<int32_t> requestSince{0};
    bool timedOut = false;  // guarded by connMu_
  };

  void ServeConnection(Conn* conn, platform::PipeHandle master);
  // Whether a new connection of `peer` would pass the bounds; when not, says why (at most
  // once a minute). Under connMu_.
  bool Admit(const platform::PeerProcess& peer) REQUIRES(connMu_);
  // Closes the connections whose request stopped half-way.
  void CloseStalledRequests();
  // After a failure to accept or hand off a client: whether the process is out of
  // descriptors; logged once while it lasts.
  bool NoteDescriptorShortage();
  void Housekeeping() EXCLUDES(houseMu_);
  void WatchVault();
  void JoinFinished();
  void ReleaseDeadOwners();
  int OpenStore(std::string* error);
  void PrepareCacheDir();

  ServerState state_;
  // Set by Start(); read by Stop(), which a signal may bring during Start().
  std::atomic<platform::PipeListener*> listener_{nullptr};
  int dirLock_ = -1;  // the exclusive lock on the cache directory, held for the server's life

  Mutex connMu_;
  std::list<std::unique_ptr<Conn>> conns_ GUARDED_BY(connMu_);

  Mutex houseMu_;
  CondVar houseCv_;  // signalled when houseStop_ is set
  bool houseStop_ GUARDED_BY(houseMu_) = false;
  bool abandoned_ = false;  // set by Run() only
  int32_t refusalLoggedAt_ = 0;  // Run() only: when a refusal was last logged (0: never)
  uint64_t refusedUnlogged_ = 0;  // Run() only: refusals since then
  std::atomic<bool> descriptorsShort_{false};  // the shortage was logged and lasts
};

}  // namespace kdr::server

#endif  // KDR_SERVER_SERVER_H_
