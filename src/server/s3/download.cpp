#include "server/s3/download.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/durable.h"
#include "platform/fs.h"
#include "platform/mutex.h"
#include "server/log.h"
#include "server/s3/checksum.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

// A download starts with one GET to the object's end, which goes on from piece to piece while
// no other stream has taken the next: a store serves one GET faster than several when it can
// (as curl reads), and each GET costs a start. When the first GET brings less than
// S3Settings::aloneBytesPerSecond after its first kAloneMs, the other streams start, each a
// ranged GET of a piece at a time (a store may bound each connection, or serve several
// faster), and the first stops where their pieces begin. So that it need not stop inside what
// the store reads ahead for it, the first GET asks only for what it brings in kAloneMs at that
// rate (Job::aloneUntil, rounded up to a piece); the next, still alone, for the rest.
constexpr uint64_t kStreams = 4;      // ranged GETs on their way at once, at most
constexpr uint64_t kPieceChunks = 8;  // most chunks to one GET of the other streams
constexpr int kAloneMs = 200;
constexpr size_t kCheckStep = 256u << 10;  // bytes of a unit read back and checked at a time
constexpr size_t kCheckers = 2;            // threads that check a download's bytes, at most
// Tries of a download whose bytes do not match the object's digest: a second, for damage on
// the way; a store whose copy is bad fails it again.
constexpr int kCheckedTries = 2;

struct Job {
  Client* client;
  ChunkCache* cache;
  OpenVolumes* open;
  VolumeRef v;
  int fd = -1;
  uint64_t chunks = 0;
  uint64_t pieceChunks = 1;
  uint64_t pieces = 0;
  std::atomic<uint64_t> next{0};  // the next piece to take
  std::atomic<bool> helped{false};  // the other streams run
  uint64_t aloneUntil = 0;          // how far the first GET asks for
  std::atomic<uint64_t> done{0};  // bytes written
  std::atomic<bool> cancel{false};
  kdr::Mutex mu;
  kdr::CondVar cv;  // signalled when a stream ends or a chunk is whole in the file
  int running GUARDED_BY(mu) = 0;
  int err GUARDED_BY(mu) = 0;  // the first failure
  std::vector<bool> chunkIn GUARDED_BY(mu);  // the chunk is whole in the file
  uint64_t chunksIn GUARDED_BY(mu) = 0;
  // The check against the object's digest: a unit (a part, or the whole object) is hashed
  // by one checker at a time, in order, as far as its bytes from its start are in the file.
  struct Unit {
    uint64_t end = 0;
    uint64_t hashed = 0;  // from the unit's start up to here
    uint64_t inFile = 0;  // from the unit's start up to here, the bytes are in the file
    bool busy = false;    // a checker hashes it
    Md5 md5;
  };
  std::vector<Unit> units GUARDED_BY(mu);
  int checking GUARDED_BY(mu) = 0;  // checkers running
};

uint64_t EndOf(const Job& job, uint64_t k) { return std::min(job.v.size, (k + 1) * kChunkBytes); }

// Chunk k is whole in the file: the units it holds bytes of are ready to be hashed as far as
// their bytes from their start are in, whichever stream brought them, so that each part is
// hashed while the others still come rather than after the piece before it is done.
void ChunkIn(Job* job, uint64_t k) REQUIRES(job->mu) {
  if (job->chunkIn[k]) return;
  job->chunkIn[k] = true;
  ++job->chunksIn;
  // The units that hold bytes of the chunk: the first that ends past its start, and those
  // after it that start inside it.
  auto u = std::upper_bound(job->units.begin(), job->units.end(), k * kChunkBytes,
                            [](uint64_t at, const Job::Unit& x) { return at < x.end; });
  for (; u != job->units.end() && u->inFile < EndOf(*job, k); ++u) {
    while (u->inFile < u->end && job->chunkIn[u->inFile / kChunkBytes]) {
      u->inFile = std::min(u->end, EndOf(*job, u->inFile / kChunkBytes));
    }
  }
  job->cv.SignalAll();
}

// Whether others have the volume open besides the download (its own handle is one).
bool Shared(const Job& job) { return job.open->Count(job.v.key + '\n' + job.v.version) > 1; }

// A claimed chunk whose bytes are all in the file: into memory if someone may read it, else
// out of the cache (readers do not see the file).
void Finish(Job* job, uint64_t k, std::shared_ptr<Chunk> chunk) {
  if (!Shared(*job) && !job->cache->Wanted(chunk)) {
    job->cache->Drop(job->v, k, chunk, ECANCELED);
    return;
  }
  uint64_t start = k * kChunkBytes;
  ChunkBytes data = job->cache->NewBytes();
  data.resize(static_cast<size_t>(EndOf(*job, k) - start));
  size_t got = 0;
  int rc = pf::ReadFileAt(job->fd, start, data.data(), data.size(), &got);
  if (rc == 0 && got == data.size() && k == 0 && data.size() == job->v.size) {
    // A chunk that is the whole object is shown only once it matches the object's digest,
    // as the chunk cache's own fetch does (the download's check of the file comes later).
    ObjectCheck check(job->v.digest);
    check.Update(data.data(), data.size());
    if (!check.Matches()) rc = EIO;
  }
  if (rc == 0 && got == data.size()) {
    job->cache->Complete(chunk, std::move(data));
  } else {
    job->cache->Drop(job->v, k, chunk, ECANCELED);  // its readers fetch it themselves
  }
}

// Brings piece `piece` into the file. With `alone`, its GET asks for the rest of the object (the
// download's first, up to Job::aloneUntil) and goes on into each next piece it reaches while no
// other stream has taken it and no other fetch holds any of its chunks.
int Piece(Job* job, uint64_t piece, bool alone) {
  const uint64_t first = piece * job->pieceChunks;
  size_t n = static_cast<size_t>(std::min(job->chunks, first + job->pieceChunks) - first);
  std::vector<std::shared_ptr<Chunk>> claimed(n);
  size_t lo = n, hi = 0;
  for (size_t i = 0; i < n; ++i) {
    claimed[i] = job->cache->Claim(job->v, first + i);
    if (claimed[i] == nullptr) continue;
    lo = std::min(lo, i);
    hi = i;
  }
  int rc = 0;
  bool storeFailed = false;
  // 1 + a piece taken for the GET to go on into that others fetch some of (0: none).
  uint64_t declined = 0;
  if (lo < n) {
    // One GET for the claimed run (chunks between that others fetch come along: the same bytes).
    uint64_t end = EndOf(*job, first + hi);
    uint64_t last = piece;  // the last piece the GET brings
    uint64_t pos = (first + lo) * kChunkBytes;
    // Alone, the GET asks for more than its piece, to go on into the next ones: unless the
    // piece's last chunk is another fetch's, where it stops.
    const uint64_t reach = !alone || hi + 1 != n   ? end
                           : pos < job->aloneUntil ? job->aloneUntil
                                                   : job->v.size;
    int writeErr = 0;
    bool stopped = false;  // the GET was stopped at `end`: every byte asked for is in
    // At the end of the pieces taken, alone: the next one, unless another stream took it. The
    // GET goes on only into a piece whose chunks are all its own: bytes that another fetch
    // brings (a reader's read-ahead that got there first) are not fetched twice; such a piece
    // is brought after this GET, as a piece of its own.
    auto goOn = [&] {
      uint64_t next = last + 1;
      if (reach == end || next >= job->pieces || next * job->pieceChunks * kChunkBytes >= reach ||
          !job->next.compare_exchange_strong(next, next + 1))
        return false;
      const uint64_t more = std::min(job->chunks, (next + 1) * job->pieceChunks) - first;
      std::vector<std::shared_ptr<Chunk>> mine;
      bool all = true;
      for (uint64_t k = first + n; k < first + more; ++k) {
        mine.push_back(job->cache->Claim(job->v, k));
        all = all && mine.back() != nullptr;
      }
      if (!all) {
        for (size_t i = 0; i < mine.size(); ++i) {
          if (mine[i] != nullptr) job->cache->Drop(job->v, first + n + i, mine[i], ECANCELED);
        }
        declined = next + 1;
        return false;
      }
      last = next;
      for (auto& c : mine) claimed.push_back(std::move(c));
      n = static_cast<size_t>(more);
      hi = n - 1;
      end = EndOf(*job, first + hi);
      return true;
    };
    Request req;
    req.key = job->v.key;
    req.query = Query({{"versionId", job->v.version}});
    req.objectSize = job->v.size;
    req.expectVersion = job->v.version;
    req.expectEtag = job->v.etag;
    req.streaming = true;
    req.cancel = &job->cancel;
    req.consume = [&](uint64_t off, const unsigned char* data, size_t len) {
      while (len > 0) {
        if (off >= end && !goOn()) {
          stopped = true;
          return false;
        }
        const size_t take = static_cast<size_t>(std::min<uint64_t>(len, end - off));
        writeErr = pf::WriteFileAt(job->fd, off, data, take);
        if (writeErr != 0) return false;
        uint64_t was = off;
        pos = off + take;
        uint64_t before = job->done.fetch_add(take);
        if (before / kChunkBytes != (before + take) / kChunkBytes) job->cv.SignalAll();  // a report
        for (uint64_t k = was / kChunkBytes; k <= hi + first && EndOf(*job, k) <= pos; ++k) {
          size_t i = static_cast<size_t>(k - first);
          if (k < first || EndOf(*job, k) <= was) continue;
          // The chunk is whole in the file: on its way to the disk now, so that the flush that
          // follows (the cache's, or the one before a target is named) waits for little more
          // than the last chunks.
          pf::StartWriteback(job->fd, k * kChunkBytes, EndOf(*job, k) - k * kChunkBytes);
          {
            kdr::MutexLock hold(&job->mu);
            ChunkIn(job, k);
          }
          if (claimed[i] != nullptr) {
            Finish(job, k, std::move(claimed[i]));
            claimed[i] = nullptr;
          }
        }
        off += take;
        data += take;
        len -= take;
      }
      return true;
    };
    for (int attempt = 1;; ++attempt) {
      uint64_t before = pos;
      req.ranged = !(pos == 0 && reach == job->v.size);
      req.first = pos;
      req.last = reach - 1;
      Response r = job->client->Do(req);
      rc = writeErr != 0 ? writeErr : job->cancel.load() ? ECANCELED : ErrnoOf(r);
      if (stopped && pos == end && writeErr == 0 && !job->cancel.load()) rc = 0;
      if (rc == 0 && pos == end) break;
      if (rc == 0) rc = ECONNRESET;  // the body ended early
      bool resume = writeErr == 0 && rc != ECANCELED && pos > before &&
                    (rc == ECONNRESET || rc == ETIMEDOUT) && !job->client->Offline();
      if (!resume || attempt >= std::max(2, job->client->settings().attempts)) break;
    }
    if (rc == 0 && pos != end) rc = EIO;
    storeFailed = rc != 0 && rc != ECANCELED && writeErr == 0;
  }
  if (rc != 0) {
    for (size_t i = 0; i < n; ++i) {
      // Waiting readers try again themselves, unless the store failed them all.
      if (claimed[i] != nullptr)
        job->cache->Drop(job->v, first + i, claimed[i], storeFailed ? rc : ECANCELED);
    }
    return rc;
  }
  // The chunks others held or fetched, from the cache.
  for (size_t i = 0; i < n && rc == 0; ++i) {
    if (i >= lo && i <= hi) continue;
    if (job->cancel.load()) return ECANCELED;
    std::shared_ptr<Chunk> chunk;
    rc = job->cache->GetWhole(job->v, first + i, &chunk);
    uint64_t start = (first + i) * kChunkBytes;
    if (rc == 0 && chunk->data.size() != EndOf(*job, first + i) - start) rc = EIO;
    if (rc == 0) rc = pf::WriteFileAt(job->fd, start, chunk->data.data(), chunk->data.size());
    if (rc == 0) {
      job->done.fetch_add(chunk->data.size());
      kdr::MutexLock hold(&job->mu);
      ChunkIn(job, first + i);
    }
  }
  if (rc == 0 && declined != 0) rc = Piece(job, declined - 1, false);
  return rc;
}

void Stream(Job* job) {
  int rc = 0;
  while (rc == 0 && !job->cancel.load()) {
    uint64_t piece = job->next.fetch_add(1);
    if (piece >= job->pieces) break;
    rc = Piece(job, piece, !job->helped.load());
  }
  kdr::MutexLock hold(&job->mu);
  if (rc != 0) {
    if (job->err == 0) job->err = rc;
    job->cancel = true;
  }
  --job->running;
  job->cv.SignalAll();
}

// The units `v` is checked in: its parts (hashed side by side), or the whole object. False
// when its layout does not give the part count its ETag names: the layout is not this
// object's (a copy made by another tool keeps the metadata), and nothing can be checked.
bool UnitsOf(const VolumeRef& v, std::vector<Job::Unit>* units) {
  const ObjectDigest& d = v.digest;
  if (d.kind == ObjectDigest::kMd5) {
    units->resize(1);
    units->back().end = v.size;
    return true;
  }
  for (uint64_t at = 0, n = 1; at < v.size && n <= d.parts; ++n) {
    units->emplace_back();
    units->back().hashed = at;
    units->back().inFile = at;
    at += std::min(v.size - at, LayoutPartBytes(d.first, d.every, n));
    units->back().end = at;
  }
  return units->size() == d.parts && units->back().end == v.size;
}

// A checker: hashes what of the units is in the file, until all are hashed or the job fails.
// It takes up to Md5::kLanes units at a time and hashes them side by side.
void Check(Job* job) {
  constexpr int kLanes = Md5::kLanes;
  std::vector<unsigned char> buf(kLanes * kCheckStep);
  kdr::MutexLock hold(&job->mu);
  for (;;) {
    if (job->err != 0 || job->cancel.load()) break;
    // A full set of lanes costs little more than one: until every byte is in, units are taken
    // a full set at a time, or as many as are left to take (an object of one part is hashed
    // as its bytes come, not all at the end).
    int ready = 0, open = 0;
    bool left = false;
    for (const Job::Unit& u : job->units) {
      left = left || u.hashed < u.end;
      open += !u.busy && u.hashed < u.end ? 1 : 0;
      ready += !u.busy && u.hashed < u.inFile ? 1 : 0;
    }
    if (!left) break;
    if (ready == 0 || (ready < std::min(kLanes, open) && job->chunksIn < job->chunks)) {
      job->cv.WaitFor(&job->mu, std::chrono::milliseconds(50));
      continue;
    }
    Job::Unit* units[kLanes];
    uint64_t at[kLanes], to[kLanes];
    int n = 0;
    for (Job::Unit& u : job->units) {
      if (n < kLanes && !u.busy && u.hashed < u.inFile) {
        u.busy = true;  // only this checker touches it while it is busy
        units[n] = &u;
        at[n] = u.hashed;
        to[n] = u.inFile;
        ++n;
      }
    }
    job->mu.Unlock();
    int rc = 0;
    while (rc == 0 && !job->cancel.load()) {
      // The units with bytes left, packed into the first lanes, each as far as the one with
      // the fewest left (or a step): that one is done after it.
      Md5* feed[kLanes];
      int lane[kLanes];
      int active = 0;
      size_t step = kCheckStep;
      for (int i = 0; i < n; ++i) {
        if (at[i] >= to[i]) continue;
        feed[active] = &units[i]->md5;
        lane[active++] = i;
        step = static_cast<size_t>(std::min<uint64_t>(step, to[i] - at[i]));
      }
      if (active == 0) break;
      for (int j = 0; j < active && rc == 0; ++j) {
        size_t got = 0;
        rc = pf::ReadFileAt(job->fd, at[lane[j]], buf.data() + j * kCheckStep, step, &got);
        if (rc == 0 && got != step) rc = EIO;
      }
      if (rc != 0) break;
      Md5::UpdateMany(feed, active, buf.data(), kCheckStep, step);
      for (int j = 0; j < active; ++j) at[lane[j]] += step;
    }
    job->mu.Lock();
    for (int i = 0; i < n; ++i) {
      units[i]->busy = false;
      units[i]->hashed = at[i];
    }
    if (rc != 0) {
      if (job->err == 0) job->err = rc;
      job->cancel = true;
      break;
    }
  }
  --job->checking;
  job->cv.SignalAll();
}

// Whether the hashed units give the object's digest.
bool Matches(Job* job) REQUIRES(job->mu) {
  const ObjectDigest& d = job->v.digest;
  unsigned char digest[16];
  if (d.kind == ObjectDigest::kMd5) {
    job->units[0].md5.Final(digest);
  } else {
    Md5 ofParts;
    for (Job::Unit& u : job->units) {
      u.md5.Final(digest);
      ofParts.Update(digest, sizeof digest);
    }
    ofParts.Final(digest);
  }
  return std::memcmp(digest, d.md5, sizeof digest) == 0;
}

// One try of the whole download. Checkers beside the streams hash the file's bytes as they
// are in: the parts of a multipart object side by side.
int Attempt(Client* client, ChunkCache* cache, OpenVolumes* open, const VolumeRef& v, int fd,
            const std::function<bool(uint64_t)>& tick, uint64_t* copied, bool* mismatch) {
  Job job;
  job.client = client;
  job.cache = cache;
  job.open = open;
  job.v = v;
  job.fd = fd;
  job.chunks = (v.size + kChunkBytes - 1) / kChunkBytes;
  job.pieceChunks = std::clamp<uint64_t>((job.chunks + kStreams - 1) / kStreams, 1, kPieceChunks);
  job.pieces = (job.chunks + job.pieceChunks - 1) / job.pieceChunks;
  // The first stream alone, the others when it is slow (kAloneMs).
  const int helpers = static_cast<int>(std::min<uint64_t>(kStreams, job.pieces)) - 1;
  const uint64_t alone = client->settings().aloneBytesPerSecond;
  const uint64_t pieceBytes = job.pieceChunks * kChunkBytes;
  const uint64_t aloneBytes = alone / 1000 * kAloneMs;
  job.aloneUntil = alone == 0 || helpers == 0
                       ? v.size
                       : std::min(v.size, (aloneBytes / pieceBytes + 1) * pieceBytes);
  // Others reading the file: every stream from the start, each claiming its pieces' chunks as
  // it takes them, so that the readers' fetches wait for the download's rather than bring the
  // same bytes again (a GET going on alone claims each next piece only when it gets there).
  const int streams = helpers > 0 && Shared(job) ? 1 + helpers : 1;
  job.helped = streams > 1;
  int checkers = 0;
  {
    kdr::MutexLock hold(&job.mu);
    job.chunkIn.assign(job.chunks, false);
    job.running = streams;
    if (v.digest.kind != ObjectDigest::kNone) {
      if (!UnitsOf(v, &job.units)) job.units.clear();
      checkers = static_cast<int>(std::min<size_t>(kCheckers, job.units.size()));
      job.checking = checkers;
    }
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < streams; ++i) threads.emplace_back([&job] { Stream(&job); });
  for (int i = 0; i < checkers; ++i) threads.emplace_back([&job] { Check(&job); });
  const auto start = std::chrono::steady_clock::now();
  bool going = true;
  job.mu.Lock();
  while (job.running > 0 || job.checking > 0) {
    job.cv.WaitFor(&job.mu, std::chrono::milliseconds(50));
    if (helpers > 0 && alone > 0 && !job.helped.load() && !job.cancel.load() &&
        job.next.load() < job.pieces) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
      if (ms >= kAloneMs && job.done.load() * 1000 < alone * uint64_t(ms)) {
        job.helped = true;
        job.running += helpers;
        for (int i = 0; i < helpers; ++i) threads.emplace_back([&job] { Stream(&job); });
      }
    }
    if (!going) continue;
    job.mu.Unlock();
    going = tick(job.done.load());
    job.mu.Lock();
    if (!going) {
      if (job.err == 0) job.err = ECANCELED;
      job.cancel = true;
    }
  }
  int err = job.err;
  *copied = job.done.load();
  if (err == 0 && *copied != v.size) err = EIO;
  if (err == 0 && checkers > 0 && !Matches(&job)) {
    *mismatch = true;
    err = EIO;
  }
  job.mu.Unlock();
  for (auto& t : threads) t.join();
  return err;
}

}  // namespace

int Download(Client* client, ChunkCache* cache, OpenVolumes* open, const VolumeRef& v, int fd,
             const std::function<bool(uint64_t)>& tick, uint64_t* copied) {
  *copied = 0;
  if (!tick(0)) return ECANCELED;
  if (v.size == 0) return 0;
  // A second try reports no fewer bytes than the first did.
  uint64_t reported = 0;
  auto report = [&](uint64_t done) {
    reported = std::max(reported, done);
    return tick(reported);
  };
  for (int attempt = 1;; ++attempt) {
    bool mismatch = false;
    int rc = Attempt(client, cache, open, v, fd, report, copied, &mismatch);
    if (!mismatch) return rc;
    // Bytes that are not the object's: none of them may be served from memory either.
    cache->DropVolume(v.key, v.version);
    Log(LogLevel::kError, "S3: the download of %s version %s does not match its ETag %s%s",
        v.key.c_str(), v.version.c_str(), v.etag.c_str(),
        attempt < kCheckedTries ? ": downloading it again" : ": the download failed");
    if (attempt >= kCheckedTries) return rc;
  }
}

}  // namespace kdr::server::s3
