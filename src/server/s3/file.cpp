#include "server/s3/file.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/mutex.h"
#include "server/s3/download.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr uint64_t kAheadChunks = 8;               // the most chunks asked for ahead
constexpr uint64_t kFirstWindow = 2;               // chunks ahead before the reader waited
constexpr uint64_t kSequentialStart = 256u << 10;  // bytes read in a row before read-ahead
constexpr uint64_t kNoChunk = ~uint64_t{0};

}  // namespace

// The reads of one open handle, as read-ahead sees them.
struct ReadPattern {
  kdr::Mutex mu;
  uint64_t end GUARDED_BY(mu) = ~uint64_t{0};     // where the last read ended
  uint64_t run GUARDED_BY(mu) = 0;                // bytes read in a row up to `end`
  uint64_t aheadTo GUARDED_BY(mu) = 0;            // chunks below this were asked for ahead
  uint64_t window GUARDED_BY(mu) = kFirstWindow;  // the most chunks asked for ahead now
  std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<AheadStream> stream GUARDED_BY(mu);  // this handle's read-ahead GET, if any
  uint64_t streamTried GUARDED_BY(mu) = kNoChunk;      // the chunk a stream was last tried in
};

namespace {

class S3Reader : public VaultReader {
 public:
  S3Reader(ChunkCache* cache, VolumeRef volume, std::shared_ptr<ReadPattern> pattern)
      : cache_(cache), v_(std::move(volume)), pattern_(std::move(pattern)) {}

  int ReadAt(uint64_t offset, void* buf, size_t len, size_t* done) override {
    *done = 0;
    auto* out = static_cast<unsigned char*>(buf);
    // Only a read that starts afresh has its first bytes fetched alone.
    bool streaming = false;
    bool afresh = !Ahead(offset, len, &streaming);
    while (*done < len && offset < v_.size) {
      uint64_t index = offset / kChunkBytes;
      uint64_t at = offset - index * kChunkBytes;
      size_t want = static_cast<size_t>(std::min<uint64_t>(len - *done, kChunkBytes - at));
      size_t got = 0;
      bool waited = false;
      int rc = cache_->Read(v_, index, at, out + *done, want, afresh, streaming, &got, &waited);
      afresh = false;
      if (waited && streaming) Widen();
      if (rc != 0) return *done > 0 ? 0 : rc;
      if (got == 0) break;  // cannot happen with a checked answer; never spins
      *done += got;
      offset += got;
      if (streaming && at + got == ChunkCache::ChunkLen(v_, index)) cache_->Passed(v_, index);
    }
    return 0;
  }

  // The bytes of one chunk are lent; a range over two is read.
  int LendAt(uint64_t offset, size_t len, const unsigned char** data, size_t* done,
             std::shared_ptr<const void>* hold) override {
    *done = 0;
    const uint64_t index = offset / kChunkBytes;
    const uint64_t at = offset - index * kChunkBytes;
    if (len == 0 || at + len > kChunkBytes) return kCannotLend;
    bool streaming = false;
    const bool afresh = !Ahead(offset, len, &streaming);
    if (offset >= v_.size) return 0;
    std::shared_ptr<Chunk> chunk;
    bool waited = false;
    int rc = cache_->Lend(v_, index, at, len, afresh, streaming, &chunk, done, &waited);
    if (waited && streaming) Widen();
    if (rc != 0 || *done == 0) return rc;
    *data = chunk->data.data() + at;
    // Passed lets the cache forget the chunk; the hold keeps its bytes until let go.
    if (streaming && at + *done == ChunkCache::ChunkLen(v_, index)) cache_->Passed(v_, index);
    *hold = std::move(chunk);
    return 0;
  }

 private:
  // Read-ahead did not keep ahead of this reader: it reaches further from now on.
  void Widen() {
    kdr::MutexLock hold(&pattern_->mu);
    pattern_->window = std::min(kAheadChunks, pattern_->window * 2);
  }

  // Notes a read of `len` bytes at `offset`; on a sequential pattern, asks for the chunks
  // after it, more the longer the handle has read in a row. True when the read goes on
  // where the handle's last one stopped; *streaming: the handle reads on in a row long
  // enough for read-ahead.
  bool Ahead(uint64_t offset, size_t len, bool* streaming) {
    uint64_t from = 0, to = 0;
    bool sequential = false;
    {
      ReadPattern& p = *pattern_;
      kdr::MutexLock hold(&p.mu);
      sequential = offset == p.end;
      if (sequential) {
        p.run += len;
      } else {
        p.run = len;  // a jump: the pattern starts afresh
        p.aheadTo = 0;
        p.window = kFirstWindow;
        if (p.stream != nullptr) cache_->Stop(p.stream.get());  // left behind
        p.stream.reset();
        p.streamTried = kNoChunk;
      }
      p.end = offset + len;
      *streaming = p.run >= kSequentialStart;
      if (p.run < kSequentialStart || offset >= v_.size) return sequential;
      uint64_t index = offset / kChunkBytes;
      uint64_t window = std::clamp<uint64_t>(p.run / (kChunkBytes / 2), 1, p.window);
      from = std::max(index + 1, p.aheadTo);
      // One GET streams ahead of the reader, moved on by each read; another starts where one
      // ended (its pause ran out, the store broke it off, it reached the end) once the reader
      // is in a chunk of its own: a try at most per chunk, not per read.
      if (p.stream != nullptr && !p.stream->ended.load()) {
        cache_->Follow(p.stream.get(), index, window);
        return sequential;
      }
      if (p.streamTried != index) {
        p.streamTried = index;
        auto stream = std::make_shared<AheadStream>();
        stream->handleClosed = p.cancel;
        stream->reader = index;
        stream->window = window;
        p.stream = cache_->Stream(v_, from, stream) ? std::move(stream) : nullptr;
      }
      if (p.stream != nullptr) return sequential;
      // As many streams run as the cache allows: runs of chunks, asked for ahead.
      to = index + 1 + window;
      if (to <= from) return sequential;
      // Asked in runs of at least half the window, so that each GET carries enough.
      if (to - from < std::max<uint64_t>(1, window / 2) && to * kChunkBytes < v_.size) {
        return sequential;
      }
    }
    uint64_t asked = cache_->ReadAhead(v_, from, to - from, pattern_->cancel);
    kdr::MutexLock hold(&pattern_->mu);
    // What read-ahead's share did not allow is asked for again by a later read.
    if (pattern_->aheadTo < asked && pattern_->end == offset + len) pattern_->aheadTo = asked;
    return sequential;
  }

  ChunkCache* cache_;
  VolumeRef v_;
  std::shared_ptr<ReadPattern> pattern_;
};

}  // namespace

S3File::S3File(Client* client, ChunkCache* cache, std::shared_ptr<OpenVolumes> open,
               VaultFileInfo info, VolumeRef volume, std::string localCopy)
    : client_(client),
      cache_(cache),
      open_(std::move(open)),
      info_(std::move(info)),
      volume_(std::move(volume)),
      localCopy_(std::move(localCopy)),
      pattern_(std::make_shared<ReadPattern>()) {
  open_->Add(volume_.key + '\n' + volume_.version, 1);
}

S3File::~S3File() {
  pattern_->cancel->store(true);  // the handle closed: its read-ahead stops
  kdr::MutexLock hold(&pattern_->mu);
  if (pattern_->stream != nullptr) cache_->Stop(pattern_->stream.get());
  open_->Add(volume_.key + '\n' + volume_.version, -1);
}

int S3File::OpenReader(std::unique_ptr<VaultReader>* reader) {
  if (!localCopy_.empty()) {
    int fd = pf::kNoFile;
    if (pf::OpenFile(localCopy_.c_str(), pf::FileMode::kReadOnly, &fd) == 0) {
      *reader = NewFileReader(fd);
      return 0;
    }
  }
  reader->reset(new S3Reader(cache_, volume_, pattern_));
  return 0;
}

int S3File::CopyTo(int fd, const std::function<bool(uint64_t)>& tick, uint64_t* copied) {
  if (!localCopy_.empty()) return VaultFile::CopyTo(fd, tick, copied);
  return Download(client_, cache_, open_.get(), volume_, fd, tick, copied);
}

}  // namespace kdr::server::s3
