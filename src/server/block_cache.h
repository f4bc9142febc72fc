// The server's view of the cache store: whole 16384-byte blocks of files named by GUID.
//
// The data path asks the store first and the vault only for what the store does not hold, and
// puts every block it reads from the vault back into the store, so the client's fast cache
// finds it the next time without a request. An implementation changes the store only under
// the store's cache lock, so clients attached to it stay consistent.
//
// Thread-safe: any number of connection threads call in at once.
#ifndef KDR_SERVER_BLOCK_CACHE_H_
#define KDR_SERVER_BLOCK_CACHE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/config.h"

namespace kdr::server {

// What a client needs to attach to the store (the KDR_GET_CACHE_INIT_INFO reply).
struct StoreInfo {
  int32_t filePages = 0;
  int32_t segments = 0;
  int32_t hashBlocks = 0;
  int32_t extentMB = 0;
  int32_t extents = 0;
  int32_t filePagesUsed = 0;  // file pages that hold cached files
  uint64_t lookupHits = 0;    // the store's own counts: lookups that found the block (the
  uint64_t lookupMisses = 0;  // owner's and the clients'), and the owner's that did not
  uint64_t clientReads = 0;   // reads the clients served from the store themselves since its
  uint64_t clientBytes = 0;   // open, and their bytes
  std::string directory;
  std::string mapName;
};

class BlockCache {
 public:
  virtual ~BlockCache() = default;

  // Whether there is a store at all. Without one, Get() always misses and Put() drops.
  virtual bool Enabled() const = 0;

  // Copies block `block` of file `guid` (of `fileSize` bytes) into `buf` (16384 bytes) and
  // sets *len, when the store holds it. Returns false on a miss. `stamp` is the
  // VolumeStamp of the volume the caller reads, which must be the one the store's blocks of
  // `guid` were read from (the caller's notes say so): on a hit the store is made to say so
  // too, so that fast-cache handles of that volume read these blocks.
  virtual bool Get(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
                   unsigned char* buf, uint32_t* len) = 0;

  // Get() for blocks first, first + 1, ... (at most `count`), lent in place instead of copied:
  // finds them in order, stopping at the first one the store does not hold whole (shorter than
  // the file's size makes it), then calls `use` once with the n found (n may be 0) while no
  // change of the store can reach their bytes (under the cache lock, so `use` must not wait),
  // and returns n. A block whose place in memory may move meanwhile is copied into its slot of
  // `slots` (count blocks of kBlockSize bytes) and lent from there. The base finds none.
  struct Lent {
    const unsigned char* bytes;
    uint32_t len;
  };
  using LentUse = std::function<void(const Lent* blocks, int n)>;
  virtual int GetRun(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t first,
                     int count, unsigned char* slots, const LentUse& use) {
    (void)guid, (void)fileSize, (void)stamp, (void)first, (void)count, (void)slots;
    use(nullptr, 0);
    return 0;
  }

  // Offers a block of the volume `stamp` read from the vault. The store may keep it or not
  // (full, evicting); it names the volume before it holds any of its bytes.
  virtual void Put(std::string_view guid, uint64_t fileSize, uint64_t stamp, int32_t block,
                   const unsigned char* data, uint32_t len) = 0;

  // Drops every block of `guid`: its content changed. Fast-cache handles opened on the old
  // volume stop reading the store for it, whether the store held any of its blocks or not.
  // On return no read or attach finds them: when the store cannot be changed in time (its
  // cache lock held past its wait by a stopped client), the whole store is let go of and
  // rebuilt blank under new names.
  virtual void Forget(std::string_view guid) = 0;

  // Empties the store in place. Returns 0 or a store error code.
  virtual int Clear() = 0;

  // The parameters of the open store. False when there is none.
  virtual bool Info(StoreInfo* info) const = 0;

  // Closes the store cleanly; afterwards the cache holds nothing. Also done on destruction.
  virtual void Close() = 0;

  // Adds to *guids the files whose blocks were read or written at or after `sinceSeconds`
  // (seconds since 1970, the store's clock), by this server or by the clients' fast caches.
  // A store of nothing has none.
  virtual void UsedSince(int64_t sinceSeconds, std::vector<std::string>* guids) {
    (void)sinceSeconds;
    (void)guids;
  }
};

// The stamp of one volume of a file: a non-zero 64-bit hash of the GUID, the vault's volume
// id and the size. The open reply hands it to the client, and the store names the volume of
// its blocks with it, so a handle reads the store only for the volume it opened. The same
// volume has the same stamp in every server instance, so a handle that outlives a restart
// can tell whether the file it reopens is still its volume.
uint64_t VolumeStamp(std::string_view guid, std::string_view version, uint64_t size);

// A cache that holds nothing: every read goes to the vault.
std::unique_ptr<BlockCache> NewNullBlockCache();

// The cache the server runs with: the store in `cacheDir` under the mapping name `mapName`,
// opened in owner mode with the given sizes (0: the store's own choice). A store that was not
// closed cleanly, or not made by an owner, is rebuilt blank: it is only a cache, the vault is
// the truth. When no store can be opened at all the null cache is returned. Notices go to
// the log.
// With `awaitEarlier`, named objects in the runtime directory other than those of `mapName`
// that a live owner mark does not cover are earlier servers' objects, whatever map name they
// ran under: while their clients still hold any, the store is kept from clients that know
// only an open store's first signature (they would take the earlier server's cache lock), and
// opened to them once none is held.
std::unique_ptr<BlockCache> OpenBlockCache(const std::string& cacheDir, const std::string& mapName,
                                           const StoreSizes& sizes, bool awaitEarlier = false);

}  // namespace kdr::server

#endif  // KDR_SERVER_BLOCK_CACHE_H_
