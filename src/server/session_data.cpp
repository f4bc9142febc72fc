// Data requests: open, size, data, read-ahead, close.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/log.h"
#include "server/session.h"
#include "server/stats.h"
#include "server/ticket.h"

namespace kdr::server {

namespace {
// Read-ahead brings at most this much into the store per request.
constexpr uint64_t kMaxReadAhead = 64u << 20;

// The vault reader of a data request, opened at the first block the store does not hold: a
// request served from the store alone opens nothing.
class LazyReader : public VaultReader {
 public:
  explicit LazyReader(VaultFile& file) : file_(file) {}
  int ReadAt(uint64_t offset, void* buf, size_t len, size_t* done) override {
    if (reader_ == nullptr) {
      *done = 0;
      if (int rc = file_.OpenReader(&reader_); rc != 0) return openError_ = rc;
    }
    return reader_->ReadAt(offset, buf, len, done);
  }
  int LendAt(uint64_t offset, size_t len, const unsigned char** data, size_t* done,
             std::shared_ptr<const void>* hold) override {
    if (reader_ == nullptr) {
      *done = 0;
      if (int rc = file_.OpenReader(&reader_); rc != 0) return openError_ = rc;
    }
    return reader_->LendAt(offset, len, data, done, hold);
  }
  // Whether the handle's volume was gone when the reader was to be opened.
  bool VolumeGone() const { return reader_ == nullptr && openError_ == ENOENT; }

 private:
  VaultFile& file_;
  std::unique_ptr<VaultReader> reader_;
  int openError_ = 0;
};
}  // namespace

void Session::OnOpen(const Request& r) {
  std::string ticket;
  if (!TailText(r, &ticket)) return;
  std::string guid;
  if (!TicketGuid(ticket.c_str(), &guid)) {
    SendError(r, kErrBadTicket, "Invalid ticket");
    return;
  }
  std::shared_ptr<VaultFile> file;
  int rc = state_->vault->Open(guid, &file);
  if (rc == ENOENT) {
    SendError(r, kErrBadFile, "File " + guid + " is not in the vault");
    return;
  }
  if (rc != 0) {
    SendError(r, kErrBadFile, "File " + guid + " cannot be read from the vault: " + ErrnoText(rc));
    return;
  }
  state_->NoteVersion(guid, file->Info().version);
  auto of = std::make_shared<OpenFile>();
  of->owner = peer_;
  of->guid = guid;
  of->file = file;
  uint16_t h = 0;
  if (!state_->handles.Add(of, &h)) {
    SendError(r, kErrTooMany, "Too many open files");
    return;
  }
  Log(LogLevel::kDebug, "process %ld opened %s as handle %u", peer_.pid, guid.c_str(), h);
  // The volume's stamp follows the handle and the size; older clients read only those two.
  const VaultFileInfo& info = file->Info();
  PutBE16(Payload(), 0, h);
  PutBE64(Payload(), 2, static_cast<int64_t>(info.size));
  PutBE64(Payload(), 10, static_cast<int64_t>(VolumeStamp(guid, info.version, info.size)));
  SendReply(r, kReplyNormal, 18);
}

void Session::OnSize(const Request& r) {
  if (r.bodyLen != kHandleBody) return (void)SendError(r, kErrBadRequest, "Malformed request");
  std::shared_ptr<OpenFile> f = HandleOf(r, GetBE16(r.body, 0));
  if (f == nullptr) return;
  PutBE64(Payload(), 0, static_cast<int64_t>(f->file->Info().size));
  SendReply(r, kReplyNormal, 8);
}

void Session::OnClose(const Request& r) {
  if (r.bodyLen != kHandleBody) return (void)SendError(r, kErrBadRequest, "Malformed request");
  uint16_t h = GetBE16(r.body, 0);
  if (!state_->handles.Remove(peer_, h)) {
    SendError(r, kErrBadFile, "Invalid file handle " + std::to_string(h));
    return;
  }
  Log(LogLevel::kDebug, "process %ld closed handle %u", peer_.pid, h);
  SendReply(r, kReplyNormal, 0);
}

// Puts block `block` of the file into `into` (*len bytes): from the store when it holds it,
// else from the vault, offering what the vault gave to the store when `put`. A block past
// the end of the file has length 0. With `lent`, a block the vault's reader holds in its
// memory is not copied: *lent points at it while *hold is kept (else *lent stays null).
bool Session::FetchBlock(OpenFile& f, VaultReader* reader, int32_t block, uint32_t* len, bool put,
                         unsigned char* into, const unsigned char** lent,
                         std::shared_ptr<const void>* hold) {
  const VaultFileInfo& info = f.file->Info();
  uint64_t start = static_cast<uint64_t>(block) << kBlockShift;
  uint64_t want = start >= info.size ? 0 : info.size - start;
  if (want > kBlockSize) want = kBlockSize;
  *len = static_cast<uint32_t>(want);
  if (want == 0) return true;
  // Only blocks of the handle's own volume: a handle opened before a change keeps reading
  // the volume it opened, from the vault, while the store holds the newer one.
  if (state_->GetIfCurrent(f.guid, info.version, info.size, block, into, len) && *len == want)
    return true;
  size_t got = 0;
  const unsigned char* bytes = into;
  int rc =
      lent != nullptr ? reader->LendAt(start, want, lent, &got, hold) : VaultReader::kCannotLend;
  if (rc == 0) {
    bytes = *lent;
  } else {
    if (lent != nullptr) *lent = nullptr;
    if (rc != VaultReader::kCannotLend) {
      errno = rc;
      return false;
    }
    while (got < want) {
      size_t n = 0;
      rc = reader->ReadAt(start + got, into + got, want - got, &n);
      if (rc != 0) {
        errno = rc;
        return false;
      }
      if (n == 0) break;  // the volume is shorter than it was: serve what there is
      got += n;
    }
  }
  *len = static_cast<uint32_t>(got);
  Stats().bytesFromVault.fetch_add(got, std::memory_order_relaxed);
  if (put && got == want) state_->PutIfCurrent(f.guid, info.version, info.size, block, bytes, *len);
  return true;
}

std::shared_ptr<OpenFile> Session::RangeOf(const Request& r, int64_t* offset, int32_t* length) {
  if (r.bodyLen != kRangeBody) {
    SendError(r, kErrBadRequest, "Malformed request");
    return nullptr;
  }
  std::shared_ptr<OpenFile> f = HandleOf(r, GetBE16(r.body, 0));
  if (f == nullptr) return nullptr;
  *offset = GetBE64(r.body, 2);
  *length = GetBE32(r.body, 10);
  if (*offset < 0 || *length < 0) {
    SendError(r, kErrBadRequest, "Invalid range");
    return nullptr;
  }
  return f;
}

void Session::SendVolumeGone(const Request& r, const OpenFile& f) {
  // The handle's volume is gone (rolled back): a handle never reads another one.
  SendError(r, kErrBadFile,
            "The file was changed since it was opened: its reads stop here; "
            "open it again (" +
                f.guid + ")");
}

bool Session::OpenReaderOf(const Request& r, OpenFile& f, std::unique_ptr<VaultReader>* reader) {
  int rc = f.file->OpenReader(reader);
  if (rc == ENOENT) {
    SendVolumeGone(r, f);
    return false;
  }
  if (rc != 0) {
    SendError(r, kErrBadFile, "File " + f.guid + " cannot be read: " + ErrnoText(rc));
    return false;
  }
  return true;
}

void Session::OnData(const Request& r) {
  ReadTally tally;  // counts this request as a hit, a partial hit or a miss
  int64_t offset = 0;
  int32_t length = 0;
  std::shared_ptr<OpenFile> f = RangeOf(r, &offset, &length);
  if (f == nullptr) return;
  uint64_t size = f->file->Info().size;
  uint64_t pos = static_cast<uint64_t>(offset);
  uint64_t end = pos + static_cast<uint64_t>(length);
  if (end > size) end = size;
  LazyReader reader(*f->file);
  // One piece per block touched, so that a piece never spans two blocks of the store. Blocks
  // the store holds go out straight from its mapping (SendStoredRun); the others are fetched
  // into the slots of a batch, and the batch's pieces go out with one write, from the slots.
  if (pos < end && batch_ == nullptr) {
    batch_.reset(new unsigned char[static_cast<size_t>(kDataBatch) * kBlockSize]);
  }
  platform::PipeMessageParts parts[kDataBatch];
  // The vault's own memory of blocks sent from there (not copied into slots), kept until sent.
  std::shared_ptr<const void> lentHolds[kDataBatch];
  bool ended = false;
  while (pos < end && alive_ && !ended) {
    if (SendStoredRun(r, *f, &pos, end) == kDataBatch || !alive_) continue;
    int count = 0;
    while (count < kDataBatch && pos < end) {
      int32_t block = static_cast<int32_t>(pos >> kBlockShift);
      unsigned char* slot = batch_.get() + static_cast<size_t>(count) * kBlockSize;
      uint32_t blen = 0;
      const unsigned char* lent = nullptr;
      if (!FetchBlock(*f, &reader, block, &blen, true, slot, &lent, &lentHolds[count])) {
        int err = errno;
        if (!SendPieces(parts, count)) return;
        if (reader.VolumeGone()) SendVolumeGone(r, *f);
        else SendError(r, kErrBadFile, "File " + f->guid + " cannot be read: " + ErrnoText(err));
        return;
      }
      uint64_t bstart = static_cast<uint64_t>(block) << kBlockShift;
      uint64_t from = pos - bstart;
      uint64_t to = end - bstart < blen ? end - bstart : blen;
      if (to <= from) {  // the volume ended early
        ended = true;
        break;
      }
      const unsigned char* bytes = lent != nullptr ? lent : slot;
      parts[count] = PieceOf(r, count, pos, bytes + from, static_cast<uint32_t>(to - from));
      pos += to - from;
      ++count;
    }
    if (!SendPieces(parts, count)) return;
    for (int i = 0; i < count; ++i) lentHolds[i].reset();
  }
  // Short of what was asked (end of file): say so, the client stops reading at the end reply.
  if ((length == 0 || pos < static_cast<uint64_t>(offset) + static_cast<uint64_t>(length)) &&
      alive_) {
    SendReply(r, kReplyEnd, 0);
  }
}

platform::PipeMessageParts Session::PieceOf(const Request& r, int i, uint64_t pos,
                                            const unsigned char* bytes, uint32_t n) {
  unsigned char* h = pieceHeads_[i];
  PutReplyHeader(h, r, kReplyNormal, kDataReplyFixed + n);
  PutBE64(h + kHeaderSize, 0, static_cast<int64_t>(pos));
  PutBE32(h + kHeaderSize, 8, n);
  return platform::PipeMessageParts{h, kHeaderSize + kDataReplyFixed, bytes, n};
}

int Session::SendStoredRun(const Request& r, OpenFile& f, uint64_t* pos, uint64_t end) {
  const VaultFileInfo& info = f.file->Info();
  const int32_t first = static_cast<int32_t>(*pos >> kBlockShift);
  const uint64_t blocks = ((end - 1) >> kBlockShift) - static_cast<uint64_t>(first) + 1;
  const int want = blocks < kDataBatch ? static_cast<int>(blocks) : kDataBatch;
  platform::PipeMessageParts parts[kDataBatch];
  uint64_t total = 0;
  uint64_t sent = 0;
  uint64_t at = *pos;
  // The pieces are sent while the store holds their blocks in place, without waiting: what
  // the pipe does not take at once is copied into the batch's slots before the store's lock
  // goes, and sent from there, so a reader that is slow to take its bytes holds no lock and a
  // block given to another file meanwhile never reaches it.
  int n = state_->GetRunIfCurrent(
      f.guid, info.version, info.size, first, want, batch_.get(),
      [&](const BlockCache::Lent* lent, int found) {
        for (int i = 0; i < found; ++i) {
          const uint64_t bstart = static_cast<uint64_t>(first + i) << kBlockShift;
          const uint64_t to = std::min<uint64_t>(end - bstart, lent[i].len);
          parts[i] = PieceOf(r, i, at, lent[i].bytes + (at - bstart),
                             static_cast<uint32_t>(to - (at - bstart)));
          at = bstart + to;
          total += platform::kPipeMessageOverhead + parts[i].headLen + parts[i].bodyLen;
        }
        if (found == 0) return;
        if (platform::PipeWriteBatchNow(pipe_, parts, found, &sent) != platform::kPipeOk) {
          alive_ = false;
          return;
        }
        uint64_t done = 0;
        for (int i = 0; i < found && sent < total; ++i) {
          done += platform::kPipeMessageOverhead + parts[i].headLen + parts[i].bodyLen;
          unsigned char* slot = batch_.get() + static_cast<size_t>(i) * kBlockSize;
          // Sent whole, or lent from its slot already (a block whose place may move).
          if (done <= sent || lent[i].bytes == slot) continue;
          // Only the first piece may start inside its block.
          const size_t from =
              i == 0 ? static_cast<size_t>(*pos - (static_cast<uint64_t>(first) << kBlockShift))
                     : 0;
          std::memcpy(slot + from, parts[i].body, parts[i].bodyLen);
          parts[i].body = slot + from;
        }
      });
  if (!alive_ || n == 0) return n;
  if (sent < total && platform::PipeWriteBatch(pipe_, parts, n, sent) != platform::kPipeOk) {
    alive_ = false;
  }
  *pos = at;
  return n;
}

bool Session::SendPieces(const platform::PipeMessageParts* parts, int count) {
  if (count == 0) return alive_;
  if (platform::PipeWriteBatch(pipe_, parts, count) != platform::kPipeOk) alive_ = false;
  return alive_;
}

void Session::OnReadAhead(const Request& r) {
  int64_t offset = 0;
  int32_t length = 0;
  std::shared_ptr<OpenFile> f = RangeOf(r, &offset, &length);
  if (f == nullptr) return;
  uint64_t size = f->file->Info().size;
  uint64_t pos = static_cast<uint64_t>(offset);
  uint64_t end = pos + (length > 0 ? static_cast<uint64_t>(length) : 0);
  if (end > size) end = size;
  if (end > pos + kMaxReadAhead) end = pos + kMaxReadAhead;
  if (state_->cache->Enabled() && pos < end) {
    std::unique_ptr<VaultReader> reader;
    if (!OpenReaderOf(r, *f, &reader)) return;
    for (int32_t b = static_cast<int32_t>(pos >> kBlockShift);
         (static_cast<uint64_t>(b) << kBlockShift) < end; ++b) {
      uint32_t blen = 0;
      if (!FetchBlock(*f, reader.get(), b, &blen, true, block_)) {
        SendError(r, kErrBadFile, "File " + f->guid + " cannot be read: " + ErrnoText(errno));
        return;
      }
    }
  }
  SendReply(r, kReplyNormal, 0);
}

}  // namespace kdr::server
