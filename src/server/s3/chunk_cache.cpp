#include "server/s3/chunk_cache.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>

#include "platform/clock.h"
#include "platform/shared_objects.h"
#include "server/log.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {
constexpr int kDemandThreads = 4;          // fetches of chunks a reader waits for
constexpr int kAheadThreads = 4;           // read-ahead fetches
constexpr uint64_t kSpanChunks = 8;        // chunks to a read-ahead GET
constexpr int kStreams = 8;                // streaming readers' GETs at once (a thread each)
// A stream waits this long for its reader, then ends: well within the time a store keeps a
// connection that takes no bytes (RGW's default is 65 s), long enough for a slow reader.
constexpr int kPauseLimitMs = 20000;
// Read-ahead keeps at most this share of the memory's chunks for handles, so that the chunks
// being read (and a few more) always have room.
constexpr double kAheadShare = 0.75;
constexpr int kRetriesAfterCancel = 16;    // a read-ahead given up under a reader, re-fetched
constexpr size_t kFirstPiece = 16u << 10;  // the first GET of a chunk a reader waits for: a block
// A streaming reader that has to wait for bytes on their way waits for this many, so that it
// wakes once for them rather than once for each piece the store sends (16 KiB on loopback).
constexpr uint64_t kStreamingLead = 64u << 10;
// A chunk read-ahead brought in for a handle that is open and has not read it.
bool Kept(const Chunk& c) { return c.aheadFor != nullptr && !c.aheadFor->load(); }

}  // namespace

void OpenVolumes::Add(const std::string& volume, int delta) {
  kdr::MutexLock hold(&mu_);
  int& n = counts_[volume];
  n += delta;
  if (n <= 0) counts_.erase(volume);
}

int OpenVolumes::Count(const std::string& volume) {
  kdr::MutexLock hold(&mu_);
  auto it = counts_.find(volume);
  return it == counts_.end() ? 0 : it->second;
}

ChunkCache::ChunkCache(Client* client)
    : client_(client),
      bound_(static_cast<size_t>(std::max(4, client->settings().cacheChunks))),
      pool_(std::make_shared<ChunkPool>(bound_)),
      demand_(std::make_unique<Workers>(kDemandThreads)),
      ahead_(std::make_unique<Workers>(kAheadThreads)),
      streamers_(std::make_unique<Workers>(kStreams)) {}

ChunkCache::~ChunkCache() {
  {
    kdr::MutexLock hold(&mu_);
    closing_ = true;  // paused streams end now
    cv_.SignalAll();
  }
  streamers_.reset();
  ahead_.reset();
  demand_.reset();
}

ChunkPool::~ChunkPool() {
  kdr::MutexLock hold(&mu_);
  for (unsigned char* bytes : free_) pf::UnmapMemory(bytes, kChunkBytes);
}

unsigned char* ChunkPool::Take(bool hugePages) {
  {
    kdr::MutexLock hold(&mu_);
    if (!free_.empty()) {
      unsigned char* bytes = free_.back();
      free_.pop_back();
      return bytes;
    }
  }
  void* bytes = nullptr;
  return pf::MapMemory(kChunkBytes, &bytes, hugePages) == 0 ? static_cast<unsigned char*>(bytes)
                                                            : nullptr;
}

void ChunkPool::Give(unsigned char* bytes) {
  {
    kdr::MutexLock hold(&mu_);
    if (free_.size() < keep_) {
      free_.push_back(bytes);
      return;
    }
  }
  pf::UnmapMemory(bytes, kChunkBytes);
}

std::shared_ptr<Chunk> ChunkCache::NewChunk() const {
  auto chunk = std::make_shared<Chunk>();
  chunk->data = ChunkBytes(pool_);
  return chunk;
}

std::string ChunkCache::Name(const VolumeRef& v, uint64_t index) {
  return v.key + '\n' + v.version + '\n' + std::to_string(index);
}

uint64_t ChunkCache::ChunkLen(const VolumeRef& v, uint64_t index) {
  uint64_t start = index * kChunkBytes;
  return start >= v.size ? 0 : std::min(v.size - start, kChunkBytes);
}

void ChunkCache::TouchLocked(const std::string& name) {
  auto it = lruPos_.find(name);
  if (it != lruPos_.end()) lru_.erase(it->second);
  lru_.push_front(name);
  lruPos_[name] = lru_.begin();
  while (lru_.size() > bound_) {
    // The least recently used chunk that is not on its way goes, one kept for a handle's
    // read-ahead only when no other can: a chunk on its way stays, since its waiters find it
    // by name, but a slow one does not hold the bound for the rest.
    auto victim = lru_.end();
    for (int pass = 0; pass < 2 && victim == lru_.end(); ++pass) {
      for (auto r = lru_.rbegin(); r != lru_.rend(); ++r) {
        auto c = chunks_.find(*r);
        if (c != chunks_.end() &&
            (c->second->state == Chunk::kFetching || c->second->state == Chunk::kQueued ||
             (pass == 0 && Kept(*c->second)))) {
          continue;
        }
        victim = std::prev(r.base());
        break;
      }
    }
    if (victim == lru_.end()) break;  // every chunk is on its way
    chunks_.erase(*victim);
    lruPos_.erase(*victim);
    lru_.erase(victim);
  }
}

void ChunkCache::ReadLocked(Chunk* chunk) {
  if (chunk->aheadFor == nullptr) return;
  chunk->aheadFor.reset();  // read: an ordinary chunk now
  cv_.SignalAll();          // a stream may wait for read-ahead's share
}

size_t ChunkCache::KeptAheadLocked() const {
  size_t n = 0;
  for (const auto& [name, chunk] : chunks_) n += Kept(*chunk) ? 1 : 0;
  return n;
}

void ChunkCache::EraseLocked(const std::string& name) {
  chunks_.erase(name);
  auto pos = lruPos_.find(name);
  if (pos != lruPos_.end()) {
    lru_.erase(pos->second);
    lruPos_.erase(pos);
  }
}

void ChunkCache::DropLocked(const std::string& name, const std::shared_ptr<Chunk>& chunk, int err) {
  chunk->err = err;
  chunk->state = Chunk::kFailed;
  // The next reader tries again.
  auto it = chunks_.find(name);
  if (it != chunks_.end() && it->second == chunk) EraseLocked(name);
}

std::shared_ptr<Chunk> ChunkCache::FindLocked(const VolumeRef& v, uint64_t index, bool* mine) {
  *mine = false;
  std::string name = Name(v, index);
  auto it = chunks_.find(name);
  std::shared_ptr<Chunk> chunk;
  bool fetch = false;
  if (it == chunks_.end()) {
    chunk = NewChunk();
    chunks_[name] = chunk;
    fetch = true;
  } else {
    chunk = it->second;
    fetch = chunk->state == Chunk::kQueued;  // a read-ahead not started yet: fetched now
    if (!fetch && chunk->state != Chunk::kReady && !chunk->wanted) {
      chunk->wanted = true;
      cv_.SignalAll();  // a stream that claimed it and waits for its own reader goes on
    }
  }
  if (fetch) {
    chunk->state = Chunk::kFetching;
    chunk->wanted = true;
    *mine = true;  // its first piece comes on the caller's thread
  }
  TouchLocked(name);
  return chunk;
}

void ChunkCache::Fetch(const VolumeRef& v, uint64_t index, const std::shared_ptr<Chunk>& chunk,
                       bool firstPiece) {
  const uint64_t start = index * kChunkBytes;
  const size_t len = static_cast<size_t>(ChunkLen(v, index));
  size_t have = 0;
  // A store reads the whole of a large range before its first byte goes out: a small first
  // piece brings the reader's first bytes as fast as a GET of them alone would.
  auto firstAlone = [&] { return firstPiece && have == 0 && len > kFirstPiece; };
  {
    kdr::MutexLock hold(&mu_);
    have = chunk->filled;
    // No reader looks before `filled` moves. A first piece alone leaves huge pages out.
    chunk->data.resize(len, !firstAlone());
  }
  // A chunk that holds the whole object is checked against the object's digest before
  // readers see more than its first piece; one of many cannot be (each answer's ETag and
  // version were checked instead).
  const bool whole = index == 0 && len == v.size && ObjectCheck(v.digest).Active();
  int rc = 0;
  int failures = 0;
  while (have < len) {
    size_t before = have;
    const bool small = firstAlone();
    Request req;
    req.key = v.key;
    req.query = Query({{"versionId", v.version}});
    req.ranged = true;
    req.first = start + have;
    req.last = start + (small ? kFirstPiece : len) - 1;
    req.objectSize = v.size;
    req.expectVersion = v.version;
    req.expectEtag = v.etag;
    req.streaming = true;
    req.consume = [&](uint64_t off, const unsigned char* data, size_t n) {
      size_t at = static_cast<size_t>(off - start);
      std::memcpy(chunk->data.data() + at, data, n);
      have = at + n;
      if (whole && !small) return true;  // shown once checked
      kdr::MutexLock hold(&mu_);
      FilledLocked(chunk.get(), have);
      return true;
    };
    Response r = client_->Do(req);
    rc = ErrnoOf(r);
    if (rc == 0 && r.complete && small) {
      kdr::MutexLock hold(&mu_);
      chunk->state = Chunk::kPartial;  // the rest when someone wants it
      cv_.SignalAll();
      return;
    }
    if (rc == 0 && r.complete) continue;
    if (rc == 0) rc = ECONNRESET;
    // A body cut short is resumed from where it stopped, while each answer brings bytes.
    bool resume = (rc == ECONNRESET || rc == ETIMEDOUT) && have > before &&
                  ++failures < std::max(2, client_->settings().attempts) && !client_->Offline();
    if (!resume) break;
    rc = 0;
  }
  if (rc == 0 && whole) {
    ObjectCheck check(v.digest);
    check.Update(chunk->data.data(), len);
    if (!check.Matches()) {
      Log(LogLevel::kError, "S3: %s version %s as read does not match its ETag %s", v.key.c_str(),
          v.version.c_str(), v.etag.c_str());
      rc = EIO;
    }
  }
  kdr::MutexLock hold(&mu_);
  if (rc == 0) {
    chunk->filled = len;
    chunk->state = Chunk::kReady;
  } else {
    DropLocked(Name(v, index), chunk, rc);
  }
  cv_.SignalAll();
}

void ChunkCache::ContinueLocked(const VolumeRef& v, uint64_t index,
                                const std::shared_ptr<Chunk>& chunk) {
  chunk->state = Chunk::kFetching;
  demand_->Post([this, v, index, chunk] { Fetch(v, index, chunk, false); });
}

std::shared_ptr<Chunk> ChunkCache::AwaitLocked(const VolumeRef& v, uint64_t index, uint64_t at,
                                               uint64_t until, bool firstPiece, bool* waited) {
  bool mine = false;
  std::shared_ptr<Chunk> chunk = FindLocked(v, index, &mine);
  if (mine) {
    *waited = true;
    mu_.Unlock();
    // A first piece helps only a reader whose bytes are in it.
    Fetch(v, index, chunk, firstPiece && at < kFirstPiece);
    mu_.Lock();
  }
  for (;;) {
    for (;;) {
      if (chunk->state == Chunk::kReady || chunk->state == Chunk::kFailed ||
          chunk->state == Chunk::kPartial) {
        break;
      }
      // Byte `until` as far as the chunk reaches (its size is known once a fetcher has it).
      const uint64_t size = chunk->data.size();
      const uint64_t need = size > at ? std::min(until, size - 1) : at;
      if (chunk->filled > need) break;
      *waited = true;
      chunk->awaitedAt = std::min(chunk->awaitedAt, need);
      cv_.Wait(&mu_);
    }
    if (chunk->filled > at || chunk->state != Chunk::kPartial) return chunk;
    ContinueLocked(v, index, chunk);
  }
}

int ChunkCache::Read(const VolumeRef& v, uint64_t index, uint64_t at, unsigned char* buf,
                     size_t len, bool firstPiece, bool streaming, size_t* got, bool* waited) {
  *got = 0;
  bool stalled = false;
  for (int tries = 0;; ++tries) {
    std::shared_ptr<Chunk> chunk;
    size_t n = 0;
    bool ready = false;
    int err = 0;
    {
      kdr::MutexLock hold(&mu_);
      const uint64_t until = streaming ? at + std::min<uint64_t>(len, kStreamingLead) - 1 : at;
      chunk = AwaitLocked(v, index, at, until, firstPiece, &stalled);
      if (waited != nullptr) *waited = stalled;
      if (chunk->filled > at) {
        n = static_cast<size_t>(std::min<uint64_t>(len, chunk->filled - at));
        ReadLocked(chunk.get());
      }
      ready = chunk->state == Chunk::kReady;
      err = chunk->err;
    }
    if (n > 0) {
      std::memcpy(buf, chunk->data.data() + at, n);  // final bytes: no lock needed
      *got = n;
      return 0;
    }
    if (ready) return 0;  // `at` is past the chunk's end
    if (err == ECANCELED && tries < kRetriesAfterCancel) continue;
    return err;
  }
}

int ChunkCache::Lend(const VolumeRef& v, uint64_t index, uint64_t at, size_t len, bool firstPiece,
                     bool streaming, std::shared_ptr<Chunk>* out, size_t* got, bool* waited) {
  *got = 0;
  bool stalled = false;
  const uint64_t last = at + len - 1;
  // The reader's next blocks come with these bytes: their wait is this one.
  const uint64_t until = streaming ? std::max(last, at + kStreamingLead - 1) : last;
  for (int tries = 0;; ++tries) {
    kdr::MutexLock hold(&mu_);
    std::shared_ptr<Chunk> chunk = AwaitLocked(v, index, last, until, firstPiece, &stalled);
    *waited = stalled;
    const bool ready = chunk->state == Chunk::kReady;
    if (chunk->filled > last || (ready && chunk->filled > at)) {
      *got = static_cast<size_t>(std::min<uint64_t>(len, chunk->filled - at));
      ReadLocked(chunk.get());
      *out = std::move(chunk);
      return 0;
    }
    if (ready) return 0;  // `at` is past the chunk's end
    if (chunk->err == ECANCELED && tries < kRetriesAfterCancel) continue;
    return chunk->err;
  }
}

int ChunkCache::GetWhole(const VolumeRef& v, uint64_t index, std::shared_ptr<Chunk>* out) {
  for (int tries = 0;; ++tries) {
    kdr::MutexLock hold(&mu_);
    bool waited = false;
    std::shared_ptr<Chunk> chunk =
        AwaitLocked(v, index, UINT64_MAX, UINT64_MAX, false, &waited);  // no byte is enough
    if (chunk->state == Chunk::kReady) {
      ReadLocked(chunk.get());
      *out = chunk;
      return 0;
    }
    if (chunk->err == ECANCELED && tries < kRetriesAfterCancel) continue;
    return chunk->err;
  }
}

uint64_t ChunkCache::ReadAhead(const VolumeRef& v, uint64_t from, uint64_t count,
                               const std::shared_ptr<std::atomic<bool>>& cancel) {
  uint64_t chunks = (v.size + kChunkBytes - 1) / kChunkBytes;
  uint64_t end = std::min(chunks, from + count);
  kdr::MutexLock hold(&mu_);
  const size_t share = static_cast<size_t>(static_cast<double>(bound_) * kAheadShare);
  size_t kept = KeptAheadLocked();
  uint64_t k = from;
  while (k < end) {
    if (chunks_.count(Name(v, k)) != 0) {
      ++k;
      continue;
    }
    if (kept >= share) break;  // the rest when this handle's chunks are read
    std::vector<std::shared_ptr<Chunk>> span;
    uint64_t first = k;
    while (k < end && span.size() < kSpanChunks && kept < share && chunks_.count(Name(v, k)) == 0) {
      span.push_back(NewChunk());
      span.back()->aheadFor = cancel;
      chunks_[Name(v, k)] = span.back();
      TouchLocked(Name(v, k));
      ++kept;
      ++k;
    }
    // The job hands its chunks over: the fetch lets go of each as it completes.
    ahead_->Post([this, v, first, span = std::move(span), cancel]() mutable {
      FetchSpan(v, first, std::move(span), cancel);
    });
  }
  return k;
}

bool ChunkCache::Fill(Chunk* chunk, size_t at, const unsigned char* data, size_t n) {
  std::memcpy(chunk->data.data() + at, data, n);
  kdr::MutexLock hold(&mu_);
  if (at + n == chunk->data.size()) chunk->state = Chunk::kReady;
  FilledLocked(chunk, at + n);
  return chunk->state == Chunk::kReady;
}

void ChunkCache::FilledLocked(Chunk* chunk, size_t filled) {
  chunk->filled = filled;
  if (chunk->state == Chunk::kReady || chunk->filled > chunk->awaitedAt) {
    chunk->awaitedAt = UINT64_MAX;  // those still short of their bytes say so again
    cv_.SignalAll();
  }
}

void ChunkCache::FetchSpan(const VolumeRef& v, uint64_t first,
                           std::vector<std::shared_ptr<Chunk>> span,
                           std::shared_ptr<std::atomic<bool>> cancel) {
  const size_t n = span.size();
  std::vector<bool> owned(n, false);
  size_t lo = n, hi = 0;
  {
    kdr::MutexLock hold(&mu_);
    for (size_t i = 0; i < n; ++i) {
      if (span[i]->state != Chunk::kQueued) continue;  // a reader took it over
      if (cancel->load()) {
        DropLocked(Name(v, first + i), span[i], ECANCELED);  // its reader has gone
        continue;
      }
      span[i]->state = Chunk::kFetching;
      span[i]->data.resize(static_cast<size_t>(ChunkLen(v, first + i)));
      owned[i] = true;
      lo = std::min(lo, i);
      hi = i;
    }
    cv_.SignalAll();
  }
  if (lo == n) return;
  const uint64_t base = first * kChunkBytes;
  Request req;
  req.key = v.key;
  req.query = Query({{"versionId", v.version}});
  req.ranged = true;
  req.first = (first + lo) * kChunkBytes;
  req.last = std::min(v.size, (first + hi + 1) * kChunkBytes) - 1;
  req.objectSize = v.size;
  req.expectVersion = v.version;
  req.expectEtag = v.etag;
  req.streaming = true;
  req.cancel = cancel.get();
  // Offsets come in order and inside the range (http.h): each piece lands in its chunk.
  req.consume = [&](uint64_t off, const unsigned char* data, size_t len) {
    while (len > 0) {
      size_t i = static_cast<size_t>((off - base) / kChunkBytes);
      size_t at = static_cast<size_t>((off - base) % kChunkBytes);
      if (i >= n || at >= ChunkLen(v, first + i)) return false;  // never: http.h checks offsets
      size_t take = std::min<size_t>(len, static_cast<size_t>(ChunkLen(v, first + i)) - at);
      if (owned[i] && Fill(span[i].get(), at, data, take)) {
        // Let go at once: a streaming reader that has passed it then frees its buffer for
        // the chunks ahead, rather than the whole span holding fresh ones until it ends.
        span[i].reset();
        owned[i] = false;
      }
      off += take;
      data += take;
      len -= take;
    }
    return true;
  };
  client_->Do(req);
  // Whatever ended the span early, its unfinished chunks are given up as cancelled: a reader
  // waiting for one fetches it itself (with its own retries and resumption), so a read-ahead
  // that broke never fails a read.
  kdr::MutexLock hold(&mu_);
  for (size_t i = lo; i <= hi; ++i) {
    if (owned[i] && span[i]->state != Chunk::kReady) {
      DropLocked(Name(v, first + i), span[i], ECANCELED);
    }
  }
  cv_.SignalAll();
}

bool ChunkCache::Stream(const VolumeRef& v, uint64_t from,
                        const std::shared_ptr<AheadStream>& stream) {
  const uint64_t chunks = (v.size + kChunkBytes - 1) / kChunkBytes;
  std::shared_ptr<Chunk> first;
  {
    kdr::MutexLock hold(&mu_);
    while (from < chunks && chunks_.count(Name(v, from)) != 0) ++from;
    if (from >= chunks) {
      stream->ended = true;  // nothing left to fetch ahead
      return true;
    }
    if (streams_ >= kStreams) return false;
    ++streams_;
    // Claimed now, so that its reader, when it gets there before the GET's first bytes do,
    // waits for them rather than asking the store for the same chunk besides.
    first = ClaimLocked(v, from);
  }
  streamers_->Post([this, v, from, stream, first = std::move(first)]() mutable {
    RunStream(v, from, stream, std::move(first));
  });
  return true;
}

void ChunkCache::Follow(AheadStream* stream, uint64_t index, uint64_t window) {
  uint64_t was = stream->reader.load();
  while (was < index && !stream->reader.compare_exchange_weak(was, index)) {
  }
  const bool moved = was < index;
  const bool wider = stream->window.exchange(window) < window;
  // A paused stream is woken only when it may go further: not for every read in a chunk.
  if ((moved || wider) && stream->paused.load()) {
    kdr::MutexLock hold(&mu_);
    cv_.SignalAll();
  }
}

void ChunkCache::Stop(AheadStream* stream) {
  stream->stop = true;
  kdr::MutexLock hold(&mu_);
  cv_.SignalAll();
}

bool ChunkCache::StreamMayFillLocked(uint64_t index, AheadStream* stream, const Chunk& chunk) {
  const size_t share = static_cast<size_t>(static_cast<double>(bound_) * kAheadShare);
  const int32_t since = pf::MonotonicMs();
  for (;;) {
    if (stream->stop.load() || stream->handleClosed->load() || closing_.load()) return false;
    // Flags before the reader's place: Follow looks at `paused` after it moved the reader.
    stream->paused = true;
    const uint64_t reader = stream->reader.load();
    const bool awaited = chunk.wanted;  // a reader waits for it
    if (index + 1 < reader && !awaited) {
      stream->paused = false;
      return false;  // the reader has passed the GET: its bytes come too late to help
    }
    // The reader's next chunk needs no share of the memory: it is read at once.
    if (awaited || (index <= reader + stream->window.load() &&
                    (index <= reader + 1 || KeptAheadLocked() < share))) {
      stream->paused = false;
      return true;
    }
    const int32_t waited = pf::ElapsedMs(since, pf::MonotonicMs());
    if (waited >= kPauseLimitMs) break;
    cv_.WaitFor(&mu_, std::chrono::milliseconds(kPauseLimitMs - waited));
  }
  stream->paused = false;
  return false;
}

std::shared_ptr<Chunk> ChunkCache::ClaimLocked(const VolumeRef& v, uint64_t index) {
  const std::string name = Name(v, index);
  auto it = chunks_.find(name);
  std::shared_ptr<Chunk> chunk;
  if (it == chunks_.end()) {
    // No bytes until its fetcher puts them in (a stream: FillingLocked; a download: Complete).
    chunk = std::make_shared<Chunk>();
    chunks_[name] = chunk;
  } else if (it->second->state == Chunk::kQueued) {
    chunk = it->second;  // queued read-ahead: this GET brings it
  } else {
    return nullptr;  // in memory or fetched by someone else: its bytes pass by
  }
  chunk->state = Chunk::kFetching;
  return chunk;
}

void ChunkCache::FillingLocked(const VolumeRef& v, uint64_t index,
                               const std::shared_ptr<Chunk>& chunk, const AheadStream& stream) {
  if (chunk->data.size() != 0) return;
  chunk->data = ChunkBytes(pool_);
  chunk->data.resize(static_cast<size_t>(ChunkLen(v, index)));
  if (!chunk->wanted) chunk->aheadFor = stream.handleClosed;  // kept until read
  TouchLocked(Name(v, index));
}

void ChunkCache::RunStream(const VolumeRef& v, uint64_t from,
                           const std::shared_ptr<AheadStream>& stream,
                           std::shared_ptr<Chunk> first) {
  const uint64_t chunks = (v.size + kChunkBytes - 1) / kChunkBytes;
  // The chunks this GET fills, in order: the one its bytes reach now and the one after it,
  // claimed before the GET waits for its reader or goes on, so that a reader who gets there
  // first waits for these bytes (and moves the GET on) instead of asking for them again.
  struct Claimed {
    uint64_t index;
    std::shared_ptr<Chunk> chunk;  // null: someone else's (in memory or on its way)
  };
  std::deque<Claimed> claimed{{from, std::move(first)}};
  uint64_t entered = UINT64_MAX;  // the chunk the GET's bytes reach now
  Request req;
  req.key = v.key;
  req.query = Query({{"versionId", v.version}});
  req.ranged = true;
  req.first = from * kChunkBytes;
  req.last = v.size - 1;
  req.objectSize = v.size;
  req.expectVersion = v.version;
  req.expectEtag = v.etag;
  req.streaming = true;
  req.cancel = &stream->stop;
  // Offsets come in order and inside the range (http.h): each piece lands in its chunk.
  req.consume = [&](uint64_t off, const unsigned char* data, size_t len) {
    while (len > 0) {
      const uint64_t k = off / kChunkBytes;
      const size_t at = static_cast<size_t>(off % kChunkBytes);
      const size_t chunkLen = static_cast<size_t>(ChunkLen(v, k));
      if (at >= chunkLen) return false;  // never: http.h checks offsets
      const size_t take = std::min(len, chunkLen - at);
      if (k != entered) {
        kdr::MutexLock hold(&mu_);
        if (claimed.empty() || claimed.front().index != k) {
          claimed.push_front({k, ClaimLocked(v, k)});
        }
        if (claimed.size() == 1 && k + 1 < chunks) {
          claimed.push_back({k + 1, ClaimLocked(v, k + 1)});
        }
        // Another's chunk: the GET ends here rather than bring its bytes a second time (a
        // download's, or another reader's stream); the reader starts another past it.
        if (claimed.front().chunk == nullptr) return false;
        if (!StreamMayFillLocked(k, stream.get(), *claimed.front().chunk)) return false;
        FillingLocked(v, k, claimed.front().chunk, *stream);
        entered = k;
      }
      if (closing_.load() || stream->handleClosed->load()) return false;
      Fill(claimed.front().chunk.get(), at, data, take);
      if (at + take == chunkLen) claimed.pop_front();  // let go: see FetchSpan
      off += take;
      data += take;
      len -= take;
    }
    return true;
  };
  client_->Do(req);
  // Chunks the GET did not finish are given up: a reader waiting for one fetches it itself.
  kdr::MutexLock hold(&mu_);
  for (const Claimed& c : claimed) {
    if (c.chunk != nullptr && c.chunk->state != Chunk::kReady) {
      DropLocked(Name(v, c.index), c.chunk, ECANCELED);
    }
  }
  --streams_;
  stream->ended = true;
  cv_.SignalAll();
}

void ChunkCache::Passed(const VolumeRef& v, uint64_t index) {
  const std::string name = Name(v, index);
  kdr::MutexLock hold(&mu_);
  auto it = chunks_.find(name);
  if (it != chunks_.end() && it->second->state == Chunk::kReady) EraseLocked(name);
}

void ChunkCache::DropVolume(const std::string& key, const std::string& version) {
  kdr::MutexLock hold(&mu_);
  std::string prefix = key + '\n' + version + '\n';
  std::vector<std::string> gone;
  for (const auto& [name, chunk] : chunks_) {
    if (name.rfind(prefix, 0) == 0 && chunk->state == Chunk::kReady) gone.push_back(name);
  }
  for (const std::string& name : gone) EraseLocked(name);
}

std::shared_ptr<Chunk> ChunkCache::Claim(const VolumeRef& v, uint64_t index) {
  kdr::MutexLock hold(&mu_);
  std::shared_ptr<Chunk> chunk = ClaimLocked(v, index);
  if (chunk != nullptr) TouchLocked(Name(v, index));
  return chunk;
}

void ChunkCache::Complete(const std::shared_ptr<Chunk>& chunk, ChunkBytes data) {
  kdr::MutexLock hold(&mu_);
  chunk->data = std::move(data);
  chunk->filled = chunk->data.size();
  chunk->state = Chunk::kReady;
  cv_.SignalAll();
}

void ChunkCache::Drop(const VolumeRef& v, uint64_t index, const std::shared_ptr<Chunk>& chunk,
                      int err) {
  kdr::MutexLock hold(&mu_);
  DropLocked(Name(v, index), chunk, err);
  cv_.SignalAll();
}

bool ChunkCache::Wanted(const std::shared_ptr<Chunk>& chunk) {
  kdr::MutexLock hold(&mu_);
  return chunk->wanted;
}

}  // namespace kdr::server::s3
