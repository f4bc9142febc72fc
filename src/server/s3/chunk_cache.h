// The chunk cache: reads of a volume in chunks of kChunkBytes, fetched once for everyone who
// wants them (single flight), kept in a bounded memory of recent chunks, with read-ahead.
//
// A chunk's bytes reach its readers as they arrive: a reader waits for the bytes it asked
// for, not for the whole chunk. A chunk missing for a reader who starts afresh (a handle's
// first read, or one after a seek) and wants its first bytes starts with a GET of its first
// kFirstPiece bytes alone, on that reader's thread (a store reads all of a range before it
// sends a byte of it); the rest comes on a thread of the cache when a reader wants more,
// resumed where a broken answer stopped. Any other reader's chunk comes in one GET.
//
// A streaming reader's read-ahead is one GET from the chunk after its own to the object's
// end (each GET waits for the store's start-up before its first byte, and several at once
// deliver less than one): its bytes fill chunk after chunk, and it waits at a chunk's start
// while it is as far ahead of its reader as the reader's window allows, the store's sending
// held back by TCP meanwhile. It ends when the reader goes elsewhere or its handle closes,
// when its reader has passed it, or when it waited kPauseLimitMs for a reader that did not
// move on. When kStreams such GETs run already, read-ahead fetches runs of chunks with one
// ranged GET each, which stop when the handle that asked for them says so (it closed).
//
// The memory holds S3Settings::cacheChunks chunks, least recently used out first, but a
// chunk read-ahead brought in for a handle is kept until it is read or the handle closes:
// read-ahead takes no more than kAheadShare of the bound, so those chunks never push each
// other out, and others go first. A chunk a streaming reader has read to its end goes at
// once (Passed): its buffer serves the chunks ahead, already faulted in, instead of a fresh
// one for each chunk until the bound is reached (the server keeps what it read in its own
// store).
//
// Every answer's range, ETag and version are checked (http.h). A chunk that holds a whole
// object is also checked against the object's digest (checksum.h): readers see no more than
// its first piece until all of it is in and matches; on a mismatch it fails (EIO) and is
// dropped, so a later read fetches it again.
//
// Concurrency: mu_ guards the map, the LRU list and every Chunk's state, `filled`, `err`,
// `wanted` and `aheadFor` (the analysis checks the cache's own fields; a Chunk's are in this
// prose, as it cannot name another object's mutex); a chunk's bytes below `filled` never
// change again, so readers copy them without the lock. Only the fetcher that owns a chunk
// (state kFetching) writes its bytes, and sizes them before `filled` moves.
#ifndef KDR_SERVER_S3_CHUNK_CACHE_H_
#define KDR_SERVER_S3_CHUNK_CACHE_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "server/s3/checksum.h"
#include "server/s3/client.h"
#include "server/s3/settings.h"
#include "server/s3/workers.h"

namespace kdr::server::s3 {

// One volume of a file as the store holds it.
struct VolumeRef {
  std::string key;
  std::string version;
  std::string etag;  // empty: not checked
  uint64_t size = 0;
  ObjectDigest digest;  // what the whole object's bytes are checked against
};

// Buffers of kChunkBytes kept for reuse: a buffer freed by one chunk serves the next, so its
// pages stay mapped and faulted in (a fresh one costs a fault per page on its first fill, and
// freeing it unmaps it again). A fresh one for a chunk filled whole is mapped with huge pages
// asked for, so it faults in a few large pages; one whose first bytes come alone is not, as
// the first of them would have a whole huge page cleared (2 MiB for a 16 KiB first piece, a
// few milliseconds here). Keeps up to `keep` free buffers; any more are unmapped.
class ChunkPool {
 public:
  explicit ChunkPool(size_t keep) : keep_(keep) {}
  ~ChunkPool();
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;
  // A buffer of kChunkBytes, or null when no memory could be mapped. `hugePages`: a fresh one
  // asks for huge pages.
  unsigned char* Take(bool hugePages) EXCLUDES(mu_);
  void Give(unsigned char* bytes) EXCLUDES(mu_);

 private:
  const size_t keep_;
  kdr::Mutex mu_;
  std::vector<unsigned char*> free_ GUARDED_BY(mu_);
};

// A chunk's bytes: allocated, not cleared (a fetcher writes every one before `filled`
// passes it). With a pool, a whole chunk's buffer comes from it and goes back to it; a
// volume's short last chunk (or any, when the pool has none) is allocated to its size.
class ChunkBytes {
 public:
  ChunkBytes() = default;
  explicit ChunkBytes(std::shared_ptr<ChunkPool> pool) : pool_(std::move(pool)) {}
  ChunkBytes(ChunkBytes&& o) noexcept { *this = std::move(o); }
  ChunkBytes& operator=(ChunkBytes&& o) noexcept {
    if (this != &o) {
      Release();
      bytes_ = std::move(o.bytes_);
      pooled_ = std::exchange(o.pooled_, nullptr);
      size_ = std::exchange(o.size_, 0);
      pool_ = std::move(o.pool_);
    }
    return *this;
  }
  ~ChunkBytes() { Release(); }

  size_t size() const { return size_; }
  unsigned char* data() { return pooled_ != nullptr ? pooled_ : bytes_.get(); }
  const unsigned char* data() const { return pooled_ != nullptr ? pooled_ : bytes_.get(); }
  // `hugePages`: a fresh pooled buffer asks for huge pages (ChunkPool).
  void resize(size_t n, bool hugePages = true) {
    if (n == size_ && data() != nullptr) return;
    if (!(n == kChunkBytes && pooled_ != nullptr)) {
      Release();
      if (pool_ != nullptr && n == kChunkBytes) pooled_ = pool_->Take(hugePages);
      if (pooled_ == nullptr) bytes_.reset(new unsigned char[n > 0 ? n : 1]);
    }
    size_ = n;
  }

 private:
  void Release() {
    if (pooled_ != nullptr) pool_->Give(std::exchange(pooled_, nullptr));
    bytes_.reset();
    size_ = 0;
  }

  std::unique_ptr<unsigned char[]> bytes_;  // when not from the pool
  unsigned char* pooled_ = nullptr;         // kChunkBytes from pool_
  size_t size_ = 0;
  std::shared_ptr<ChunkPool> pool_;
};

struct Chunk {
  // kPartial: its first bytes are in and no one fetches the rest; the next reader who needs
  // more fetches it.
  enum State { kQueued, kFetching, kPartial, kReady, kFailed } state = kQueued;
  ChunkBytes data;    // sized by its fetcher before `filled` moves
  size_t filled = 0;  // bytes of `data` that are in (all of them when kReady)
  int err = 0;
  bool wanted = false;  // a reader waits for it (a download then keeps its bytes in memory)
  // The lowest offset a waiting reader needs: bytes filled past it wake the readers, and
  // bytes that do not are added without a wake-up.
  uint64_t awaitedAt = UINT64_MAX;
  // Read-ahead's for a handle (its close flag) and not read yet: kept while the handle is open.
  std::shared_ptr<std::atomic<bool>> aheadFor;
};

// One streaming reader's read-ahead GET (ChunkCache::Stream); the reader moves it on
// (Follow) and ends it (Stop).
struct AheadStream {
  std::shared_ptr<std::atomic<bool>> handleClosed;  // the reader's handle: its chunks are kept
  std::atomic<bool> stop{false};                    // the reader went elsewhere
  std::atomic<uint64_t> reader{0};                  // the chunk the reader is in
  std::atomic<uint64_t> window{1};                  // chunks past it the GET may fill
  std::atomic<bool> paused{false};                  // waits for the reader to move on
  std::atomic<bool> ended{false};
};

// How many open handles (files) each volume has: a download keeps the chunks it fetches in
// memory only while another handle may read them.
class OpenVolumes {
 public:
  void Add(const std::string& volume, int delta) EXCLUDES(mu_);
  int Count(const std::string& volume) EXCLUDES(mu_);

 private:
  kdr::Mutex mu_;
  std::unordered_map<std::string, int> counts_ GUARDED_BY(mu_);
};

class ChunkCache {
 public:
  explicit ChunkCache(Client* client);
  ~ChunkCache();
  ChunkCache(const ChunkCache&) = delete;
  ChunkCache& operator=(const ChunkCache&) = delete;

  static std::string Name(const VolumeRef& v, uint64_t index);
  static uint64_t ChunkLen(const VolumeRef& v, uint64_t index);

  // Copies up to `len` bytes at `at` of chunk `index` of `v` into `buf` as soon as at least
  // one is there (or the chunk is shorter: *got 0). 0, or the error that failed the chunk.
  // `firstPiece`: the reader starts afresh, and a missing chunk may begin with a first piece.
  // `streaming`: the reader reads on in a row; when its bytes are on their way it waits for
  // a few pieces of them at once (kStreamingLead) instead of waking for each.
  // *waited (when given): the bytes were not there yet, the reader waited for the store.
  int Read(const VolumeRef& v, uint64_t index, uint64_t at, unsigned char* buf, size_t len,
           bool firstPiece, bool streaming, size_t* got, bool* waited = nullptr) EXCLUDES(mu_);
  // Read() without the copy, and not before all `len` bytes at `at` are in (or the chunk
  // ends before them): *out is the chunk, whose bytes [at, at + *got) never change while it
  // is held. `len` is at least 1.
  int Lend(const VolumeRef& v, uint64_t index, uint64_t at, size_t len, bool firstPiece,
           bool streaming, std::shared_ptr<Chunk>* out, size_t* got, bool* waited) EXCLUDES(mu_);
  // The whole chunk, once all its bytes are in.
  int GetWhole(const VolumeRef& v, uint64_t index, std::shared_ptr<Chunk>* out) EXCLUDES(mu_);
  // Has chunks `from` .. `from + count - 1` of `v` fetched in the background, those not held
  // or on their way already, as far as read-ahead's share of the memory allows; the fetches
  // stop when *cancel becomes true. Returns the chunk before which all were seen to.
  uint64_t ReadAhead(const VolumeRef& v, uint64_t from, uint64_t count,
                     const std::shared_ptr<std::atomic<bool>>& cancel) EXCLUDES(mu_);
  // Starts `stream`'s GET at the first chunk from `from` that is not in memory or on its way;
  // false when kStreams GETs run already (nothing started).
  bool Stream(const VolumeRef& v, uint64_t from, const std::shared_ptr<AheadStream>& stream)
      EXCLUDES(mu_);
  // The stream's reader reads chunk `index`, and the GET may fill `window` chunks past it.
  void Follow(AheadStream* stream, uint64_t index, uint64_t window) EXCLUDES(mu_);
  void Stop(AheadStream* stream) EXCLUDES(mu_);
  // A reader that streams through `v` has read chunk `index` to its end: a ready chunk is
  // let go (its buffer returns to the pool once no reader copies from it any more).
  void Passed(const VolumeRef& v, uint64_t index) EXCLUDES(mu_);
  // Forgets the ready chunks of one volume (it was removed).
  void DropVolume(const std::string& key, const std::string& version) EXCLUDES(mu_);

  // For a download that fetches chunks itself: takes chunk `index` over when no one holds
  // or fetches it (null otherwise); the caller then ends it with Complete or Drop.
  std::shared_ptr<Chunk> Claim(const VolumeRef& v, uint64_t index) EXCLUDES(mu_);
  void Complete(const std::shared_ptr<Chunk>& chunk, ChunkBytes data) EXCLUDES(mu_);
  void Drop(const VolumeRef& v, uint64_t index, const std::shared_ptr<Chunk>& chunk, int err)
      EXCLUDES(mu_);
  bool Wanted(const std::shared_ptr<Chunk>& chunk) EXCLUDES(mu_);
  // Empty bytes for Complete, whose buffer comes from the cache's pool.
  ChunkBytes NewBytes() const { return ChunkBytes(pool_); }

 private:
  // Finds chunk `index`, or makes it; *mine: the caller fetches it (Fetch).
  std::shared_ptr<Chunk> FindLocked(const VolumeRef& v, uint64_t index, bool* mine) REQUIRES(mu_);
  // Fetches the rest of `chunk`; `firstPiece`: its first kFirstPiece bytes alone, first.
  void Fetch(const VolumeRef& v, uint64_t index, const std::shared_ptr<Chunk>& chunk,
             bool firstPiece) EXCLUDES(mu_);
  // A chunk left partial is fetched on, for a reader that wants more of it.
  void ContinueLocked(const VolumeRef& v, uint64_t index, const std::shared_ptr<Chunk>& chunk)
      REQUIRES(mu_);
  // Fetches chunk `index` of `v` when no one does (letting mu_ go meanwhile), then waits
  // until it holds byte `at` or has ended (ready or failed), continuing it where a broken
  // answer left it partial. While its bytes are on their way it waits for byte `until` (at
  // least `at`) too, as far as the chunk reaches. *waited becomes true when it had to wait
  // or fetch.
  std::shared_ptr<Chunk> AwaitLocked(const VolumeRef& v, uint64_t index, uint64_t at,
                                     uint64_t until, bool firstPiece, bool* waited) REQUIRES(mu_);
  // The fetcher that owns `chunk` puts `n` bytes in at `at` and shows them; true when they
  // complete it.
  bool Fill(Chunk* chunk, size_t at, const unsigned char* data, size_t n) EXCLUDES(mu_);
  void FetchSpan(const VolumeRef& v, uint64_t first, std::vector<std::shared_ptr<Chunk>> span,
                 std::shared_ptr<std::atomic<bool>> cancel) EXCLUDES(mu_);
  // `first`: chunk `from`, claimed for the stream.
  void RunStream(const VolumeRef& v, uint64_t from, const std::shared_ptr<AheadStream>& stream,
                 std::shared_ptr<Chunk> first) EXCLUDES(mu_);
  // Waits until `stream` may fill chunk `index` (`chunk`, which it claimed); false when it
  // is to end instead.
  bool StreamMayFillLocked(uint64_t index, AheadStream* stream, const Chunk& chunk) REQUIRES(mu_);
  // Chunk `index`, taken over (kFetching, no bytes yet) when no one holds it or fetches it;
  // null otherwise. Not placed in the LRU list: the caller does that when it has bytes.
  std::shared_ptr<Chunk> ClaimLocked(const VolumeRef& v, uint64_t index) REQUIRES(mu_);
  // The stream begins to fill a chunk it claimed: its bytes, and its place in the memory.
  void FillingLocked(const VolumeRef& v, uint64_t index, const std::shared_ptr<Chunk>& chunk,
                     const AheadStream& stream) REQUIRES(mu_);
  void DropLocked(const std::string& name, const std::shared_ptr<Chunk>& chunk, int err)
      REQUIRES(mu_);
  // Takes `name` out of the map and the LRU list.
  void EraseLocked(const std::string& name) REQUIRES(mu_);
  void TouchLocked(const std::string& name) REQUIRES(mu_);
  std::shared_ptr<Chunk> NewChunk() const;
  // A reader reads `chunk`: kept for read-ahead no more.
  void ReadLocked(Chunk* chunk) REQUIRES(mu_);
  // `chunk` holds `filled` bytes now; wakes the readers when one of them waits for them.
  void FilledLocked(Chunk* chunk, size_t filled) REQUIRES(mu_);
  // How many chunks read-ahead keeps for open handles.
  size_t KeptAheadLocked() const REQUIRES(mu_);

  Client* client_;
  const size_t bound_;                     // chunks kept
  const std::shared_ptr<ChunkPool> pool_;  // buffers of evicted chunks, for the next ones
  kdr::Mutex mu_;
  kdr::CondVar cv_;  // signalled when a chunk's bytes come in or it ends
  std::unordered_map<std::string, std::shared_ptr<Chunk>> chunks_ GUARDED_BY(mu_);
  std::list<std::string> lru_ GUARDED_BY(mu_);  // most recent first
  std::unordered_map<std::string, std::list<std::string>::iterator> lruPos_ GUARDED_BY(mu_);
  int streams_ GUARDED_BY(mu_) = 0;   // streams' GETs running
  std::atomic<bool> closing_{false};  // the cache goes: streams end
  // Declared last: destroyed (joined) first, before the map their jobs fill.
  std::unique_ptr<Workers> demand_;
  std::unique_ptr<Workers> ahead_;
  std::unique_ptr<Workers> streamers_;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CHUNK_CACHE_H_
