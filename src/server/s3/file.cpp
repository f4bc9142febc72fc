#include "server/s3/file.h"

#include <algorithm>

#include "platform/fs.h"
#include "server/s3/download.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr uint64_t kAheadChunks = 16;               // the most chunks asked for ahead
constexpr uint64_t kSequentialStart = 256u << 10;   // bytes read in a row before read-ahead

class S3Reader : public VaultReader {
 public:
  S3Reader(ChunkCache* cache, VolumeRef volume) : cache_(cache), v_(std::move(volume)) {}
  ~S3Reader() override { cancel_->store(true); }

  int ReadAt(uint64_t offset, void* buf, size_t len, size_t* done) override {
    *done = 0;
    auto* out = static_cast<unsigned char*>(buf);
    if (offset == end_) {
      run_ += len;
    } else {
      run_ = len;  // a jump: the pattern starts afresh
      aheadTo_ = 0;
    }
    end_ = offset + len;
    if (run_ >= kSequentialStart && offset < v_.size) Ahead(offset);
    while (*done < len && offset < v_.size) {
      uint64_t index = offset / kChunkBytes;
      uint64_t at = offset - index * kChunkBytes;
      size_t want = static_cast<size_t>(std::min<uint64_t>(len - *done, kChunkBytes - at));
      size_t got = 0;
      int rc = cache_->Read(v_, index, at, out + *done, want, &got);
      if (rc != 0) return *done > 0 ? 0 : rc;
      if (got == 0) break;  // cannot happen with a checked answer; never spins
      *done += got;
      offset += got;
    }
    return 0;
  }

 private:
  // Asks for the chunks after `offset`'s, more the longer the reader has read in a row.
  void Ahead(uint64_t offset) {
    uint64_t index = offset / kChunkBytes;
    uint64_t window = std::clamp<uint64_t>(run_ / (kChunkBytes / 2), 1, kAheadChunks);
    uint64_t from = std::max(index + 1, aheadTo_);
    uint64_t to = index + 1 + window;
    if (to <= from) return;
    // Asked in runs of at least half the window, so that each GET carries enough.
    if (to - from < std::max<uint64_t>(1, window / 2) && to * kChunkBytes < v_.size) return;
    cache_->ReadAhead(v_, from, to - from, cancel_);
    aheadTo_ = to;
  }

  ChunkCache* cache_;
  VolumeRef v_;
  uint64_t end_ = ~uint64_t{0};  // where the last read ended
  uint64_t run_ = 0;             // bytes read in a row up to end_
  uint64_t aheadTo_ = 0;         // chunks below this were asked for ahead
  std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

S3File::S3File(Client* client, ChunkCache* cache, std::shared_ptr<OpenVolumes> open,
               VaultFileInfo info, VolumeRef volume, std::string localCopy)
    : client_(client), cache_(cache), open_(std::move(open)), info_(std::move(info)),
      volume_(std::move(volume)), localCopy_(std::move(localCopy)) {
  open_->Add(volume_.key + '\n' + volume_.version, 1);
}

S3File::~S3File() { open_->Add(volume_.key + '\n' + volume_.version, -1); }

int S3File::OpenReader(std::unique_ptr<VaultReader>* reader) {
  if (!localCopy_.empty()) {
    int fd = pf::kNoFile;
    if (pf::OpenFile(localCopy_.c_str(), pf::FileMode::kReadOnly, &fd) == 0) {
      *reader = NewFileReader(fd);
      return 0;
    }
  }
  reader->reset(new S3Reader(cache_, volume_));
  return 0;
}

int S3File::CopyTo(int fd, const std::function<bool(uint64_t)>& tick, uint64_t* copied) {
  if (!localCopy_.empty()) return VaultFile::CopyTo(fd, tick, copied);
  return Download(client_, cache_, open_.get(), volume_, fd, tick, copied);
}

}  // namespace kdr::server::s3
