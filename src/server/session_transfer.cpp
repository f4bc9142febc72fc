// Transfers: download into the cache, download to a location, upload, roll-back.
//
// A transfer never leaves a partial file under a final name: it writes a temporary file and
// renames it into place only when every byte is in. Between pieces it reports progress and
// waits for the client's status: CONTINUE goes on, CANCEL ends with an error reply carrying
// -3016, FAIL with one carrying the client's code.
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/durable.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "server/file_cache.h"
#include "server/log.h"
#include "server/session.h"
#include "server/stats.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {

// Decides when a progress reply is due: at the start, then whenever a MiB has been copied
// since the last one and at least 50 ms have passed, and at the latest after 4 MiB or 250 ms
// with some bytes.
class Pacer {
 public:
  bool Due(uint64_t done) {
    int32_t now = pf::MonotonicMs();
    if (!started_) {
      started_ = true;
      Mark(done, now);
      return true;
    }
    int32_t since = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last_ms_));
    bool due = (done - last_ >= kProgressBytes && since >= kProgressMinIntervalMs) ||
               done - last_ >= kProgressMaxBytes ||
               (done > last_ && since >= kProgressMaxIntervalMs);
    if (due) Mark(done, now);
    return due;
  }

 private:
  void Mark(uint64_t done, int32_t now) {
    last_ = done;
    last_ms_ = now;
  }
  bool started_ = false;
  uint64_t last_ = 0;
  int32_t last_ms_ = 0;
};

// The process id at the start of a leftover's name ("<pid>.<n>" or "loc.<pid>.<n>"), or 0.
long WriterOf(const std::string& name) {
  size_t at = name.rfind("loc.", 0) == 0 ? 4 : 0;
  long pid = 0;
  size_t i = at;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < (1L << 40); ++i) {
    pid = pid * 10 + (name[i] - '0');
  }
  return i > at && i < name.size() && name[i] == '.' ? pid : 0;
}

bool ProcessGone(long pid) {
  long status = 0;
  int err = 0;
  pf::ProcessState s = pf::QueryProcess(pid, &status, &err);
  return s == pf::ProcessState::kGone || s == pf::ProcessState::kExited;
}

// Writes `text` as the whole file `path`. Returns 0 or an errno value.
int WriteWhole(const std::string& path, const std::string& text) {
  int fd = pf::kNoFile;
  int rc = pf::OpenFile(path.c_str(), pf::FileMode::kCreatePrivate, &fd);
  if (rc != 0) return rc;
  rc = pf::WriteFileAt(fd, 0, text.data(), text.size());
  int crc = pf::CloseFile(fd);
  return rc != 0 ? rc : crc;
}

std::string ParentDir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

void RemoveLeftoverPartials(ServerState* state) {
  const long self = pf::CurrentProcessId();
  std::vector<pf::DirEntry> entries;
  pf::ListDirectory(state->partialDir, &entries);
  for (const pf::DirEntry& entry : entries) {
    const std::string& name = entry.name;
    const std::string entryPath = state->partialDir + "/" + name;
    long pid = WriterOf(name);
    if (pid <= 0 || pid == self || !ProcessGone(pid)) continue;
    if (name.rfind("loc.", 0) == 0) {
      // The journal names the temporary file; only a name of this writer's is removed.
      char path[kMaxPath + 64] = {0};
      size_t n = 0;
      int fd = pf::kNoFile;
      if (pf::OpenFile(entryPath.c_str(), pf::FileMode::kReadOnly, &fd) == 0) {
        pf::ReadFileAt(fd, 0, path, sizeof path - 1, &n);
        pf::CloseFile(fd);
      }
      std::string tmp(path, n);
      std::string mine = "/.kdrpart." + std::to_string(pid) + ".";
      size_t slash = tmp.rfind('/');
      if (slash != std::string::npos && tmp.compare(slash, mine.size(), mine) == 0) {
        if (pf::DeleteFile(tmp.c_str()) == 0) {
          Log(LogLevel::kInfo, "removed %s, left by server process %ld", tmp.c_str(), pid);
        }
      }
    }
    pf::RemovePath(entryPath);
  }
}

// Sends a progress reply and reads the client's status. True to go on. False when the
// transfer ends here: the connection is gone, or stopCode_ / stopText_ say what the error
// reply must carry once the transfer has cleaned up (a client that sees the reply must find
// no partial file left).
bool Session::Progress(const Request& r, uint64_t done, uint64_t total) {
  PutBE64(Payload(), 0, static_cast<int64_t>(done));
  PutBE64(Payload(), 8, static_cast<int64_t>(total));
  if (!SendReply(r, kReplyProgress, 16)) return false;
  Request s;
  std::string why;
  Read got = ReadRequest(&s, &why);
  if (got == Read::kGone) {
    alive_ = false;
    return false;
  }
  if (got != Read::kRequest || s.msgType != KDR_STATUS_MSG || s.bodyLen != kStatusBody ||
      s.seq != static_cast<uint16_t>(r.seq + 1)) {
    stopCode_ = kErrSequence;
    stopText_ = "Expected the status of the transfer";
    return false;
  }
  int32_t status = GetBE32(s.body, 0);
  if (status == 0) return true;
  stopCode_ = status;
  stopText_ = status == kErrCancelled
                  ? "The transfer was cancelled"
                  : "The transfer was stopped by the client (" + std::to_string(status) + ")";
  return false;
}

void Session::SendUnfinished(const Request& r, Copy c, const std::string& failText, int err) {
  if (!alive_) return;
  if (c == Copy::kStopped) SendError(r, stopCode_, stopText_);
  else SendError(r, kErrBadFile, failText + ErrnoText(err));
}

Session::Copy Session::CopyWithProgress(
    const Request& r, uint64_t total,
    const std::function<int(uint64_t, unsigned char*, size_t, size_t*)>& read,
    const std::function<int(uint64_t, const unsigned char*, size_t)>& write, int* err) {
  *err = 0;
  stopCode_ = 0;
  stopText_.clear();
  std::vector<unsigned char> buf(kCopyChunk);
  Pacer pacer;
  uint64_t done = 0;
  for (;;) {
    if (pacer.Due(done) && !Progress(r, done, total)) return Copy::kStopped;
    if (state_->stopping.load()) {
      *err = ECANCELED;
      return Copy::kFailed;
    }
    size_t n = 0;
    int rc = read(done, buf.data(), buf.size(), &n);
    if (rc != 0) {
      *err = rc;
      return Copy::kFailed;
    }
    if (n == 0) {
      // The last report says "all of it", so a caller's bar ends full; the size is what was
      // really copied.
      return Progress(r, done, done) ? Copy::kDone : Copy::kStopped;
    }
    rc = write(done, buf.data(), n);
    if (rc != 0) {
      *err = rc;
      return Copy::kFailed;
    }
    done += n;
  }
}

void Session::DownloadToTemp(const Request& r, OpenFile& f, int out, bool sync, Copy* copy,
                             int* err) {
  // The vault writes the bytes into the file itself (a network vault as they arrive); the
  // progress replies and the client's answers go on here, between its pieces.
  stopCode_ = 0;
  stopText_.clear();
  *err = 0;
  const uint64_t total = f.file->Info().size;
  Pacer pacer;
  bool stopped = false;
  uint64_t reported = 0;
  // Reports `done`; a vault that brings more than kProgressMaxBytes between two calls has it
  // reported in steps of that size, as a copy piece by piece would.
  auto report = [&](uint64_t done, uint64_t of) {
    while (done - reported > kProgressMaxBytes) {
      reported += kProgressMaxBytes;
      if (!Progress(r, reported, total)) return false;
    }
    reported = done;
    return Progress(r, done, of);
  };
  uint64_t copied = 0;
  int rc = f.file->CopyTo(
      out,
      [&](uint64_t done) {
        if (pacer.Due(done) && !report(done, total)) {
          stopped = true;
          return false;
        }
        return !state_->stopping.load();
      },
      &copied);
  // On the disk before the copy is renamed into place and named done (unless the cache marks
  // the copy until it is): after a power cut a cached copy or a target must not stand under
  // its name with bytes that never got there.
  int crc = rc == 0 && !stopped && sync ? pf::SyncFile(out) : 0;
  if (int close = pf::CloseFile(out); crc == 0) crc = close;
  Copy c = Copy::kDone;
  if (stopped) {
    c = Copy::kStopped;
  } else if (rc != 0 || crc != 0) {
    c = Copy::kFailed;
    *err = rc != 0 ? rc : crc;
  } else if (!report(copied, copied)) {
    // The last report says "all of it", so a caller's bar ends full; the size is what was
    // really copied.
    c = Copy::kStopped;
  }
  *copy = c;
}

void Session::OnGetFile(const Request& r) {
  if (r.bodyLen != kTransferBody) return (void)SendError(r, kErrBadRequest, "Malformed request");
  std::shared_ptr<OpenFile> f = HandleOf(r, GetBE16(r.body, 0));
  if (f == nullptr) return;
  const VaultFileInfo& info = f->file->Info();
  std::string final_path = state_->files.PathOf(f->guid, info.version, info.name);
  if (final_path.size() > kMaxReplyPayload - 2) {
    SendError(r, kErrBadFile, "The cache path of " + f->guid + " is too long");
    return;
  }
  auto reply_path = [&] {
    PutBE16(Payload(), 0, static_cast<uint16_t>(final_path.size()));
    std::memcpy(Payload() + 2, final_path.data(), final_path.size());
    SendReply(r, kReplyNormal, static_cast<uint32_t>(2 + final_path.size()));
  };

  // Cached and unchanged: answered at once, with one report of all the bytes.
  if (state_->files.Lookup(f->guid, info.version, info.size, &final_path)) {
    Log(LogLevel::kDebug, "process %ld: %s is cached", peer_.pid, f->guid.c_str());
    Stats().NoteFileHit(info.size);
    stopCode_ = 0;
    stopText_.clear();
    if (!Progress(r, info.size, info.size)) return SendUnfinished(r, Copy::kStopped, "", 0);
    reply_path();
    return;
  }

  // A copy of another volume still there means the one asked for went stale.
  Stats().NoteFileMiss(f->guid, state_->config.cacheDir + "/files/" + f->guid);
  if (int mrc = pf::MakeDirectories(state_->partialDir, 0777); mrc != 0) {
    // Said here: the open of the temporary file below would only report its absence.
    Log(LogLevel::kError, "the cache directory cannot be written: %s: %s",
        state_->partialDir.c_str(), pf::ErrorString(mrc).c_str());
    SendError(r, kErrBadFile, "The cache cannot be written: " + ErrnoText(mrc));
    return;
  }
  // Named after this process, so that the next server can tell a leftover of a dead one.
  std::string tmp;
  int out = pf::kNoFile;
  int crc = pf::CreateTempFile(state_->partialDir, std::to_string(pf::CurrentProcessId()) + ".",
                               pf::FileMode::kCreatePrivate, &tmp, &out);
  if (crc != 0) {
    SendError(r, kErrBadFile, "The cache cannot be written: " + ErrnoText(crc));
    return;
  }
  Copy c = Copy::kFailed;
  int err = 0;
  const bool deferSync = state_->files.CanDeferSync();
  DownloadToTemp(r, *f, out, !deferSync, &c, &err);
  if (c == Copy::kDone) {
    // Reported done only once the copy and its stamp are both in place.
    err = state_->files.Commit(f->guid, info.version, info.size, info.name, tmp, &final_path,
                               !deferSync);
    if (err != 0) c = Copy::kFailed;
  }
  if (c != Copy::kDone) {
    pf::DeleteFile(tmp.c_str());
    if (c == Copy::kFailed) {
      Log(LogLevel::kWarn, "process %ld: %s could not be copied into the cache: error %d", peer_.pid,
          f->guid.c_str(), err);
    }
    SendUnfinished(r, c, "File " + f->guid + " could not be copied into the cache: ", err);
    return;
  }
  Stats().bytesFromVault.fetch_add(info.size);
  Log(LogLevel::kInfo, "process %ld: %s cached as %s", peer_.pid, f->guid.c_str(),
      final_path.c_str());
  EvictResult ev = state_->files.Bound(
      static_cast<uint64_t>(state_->config.filesMaxBytes),
      [&](const std::string& g, const std::string& v) {
        return (g == f->guid && v == info.version) || state_->CopyInUse(g, v);
      });
  Stats().filesBytes.store(static_cast<int64_t>(ev.bytesAfter));
  Stats().filesEvicted.fetch_add(static_cast<uint64_t>(ev.evicted));
  reply_path();
}

void Session::OnGetLocation(const Request& r) {
  if (r.bodyLen < kTransferBody + 1) return (void)SendError(r, kErrBadRequest, "Malformed request");
  Request rr = r;
  rr.tail = r.body + kTransferBody;
  rr.tailLen = r.bodyLen - kTransferBody;
  std::string target;
  if (!TailText(rr, &target)) return;
  std::shared_ptr<OpenFile> f = HandleOf(r, GetBE16(r.body, 0));
  if (f == nullptr) return;
  if (target.empty() || target[0] != '/' || target.back() == '/') {
    SendError(r, kErrBadRequest, "The target must be an absolute path of a file: " + target);
    return;
  }
  const long self = pf::CurrentProcessId();
  const unsigned serial = state_->NextSerial();
  std::string parent = ParentDir(target);
  // The target's directory may be shared with other users (a 1777 or group-writable one): the
  // temporary file is made exclusively under a name nobody can guess, never through a link
  // planted there, and renamed over the target (which replaces a link, never follows it).
  std::string tmp;
  int out = pf::kNoFile;
  int crc = pf::CreateTempFile(parent, ".kdrpart." + std::to_string(self) + ".",
                               pf::FileMode::kCreateTruncate, &tmp, &out);
  if (crc != 0) {
    SendError(r, kErrBadFile, "Cannot write in " + parent + ": " + ErrnoText(crc));
    return;
  }
  // Journalled while it exists: should this process die, the next server start removes it.
  pf::MakeDirectories(state_->partialDir, 0777);
  std::string journal =
      state_->partialDir + "/loc." + std::to_string(self) + "." + std::to_string(serial);
  WriteWhole(journal, tmp);
  struct Unjournal {
    const std::string& path;
    ~Unjournal() { pf::DeleteFile(path.c_str()); }
  } unjournal{journal};
  Copy c = Copy::kFailed;
  int err = 0;
  DownloadToTemp(r, *f, out, true, &c, &err);
  if (c == Copy::kDone) {
    err = pf::RenamePath(tmp.c_str(), target.c_str());
    if (err != 0) {
      c = Copy::kFailed;
    } else {
      pf::SyncDirectory(parent);  // the new name too outlives a power cut (best effort)
    }
  }
  if (c != Copy::kDone) {
    pf::DeleteFile(tmp.c_str());
    SendUnfinished(r, c, "File " + f->guid + " could not be written to " + target + ": ", err);
    return;
  }
  Log(LogLevel::kInfo, "process %ld: %s written to %s", peer_.pid, f->guid.c_str(),
      target.c_str());
  SendReply(r, kReplyNormal, 0);
}

void Session::OnUpload(const Request& r) {
  if (r.bodyLen != kHandleLengthBody || GetBE16(r.body, 2) != r.tailLen) {
    SendError(r, kErrBadRequest, "Malformed request");
    return;
  }
  std::shared_ptr<OpenFile> f = HandleOf(r, GetBE16(r.body, 0));
  if (f == nullptr) return;
  std::string path(reinterpret_cast<const char*>(r.tail), r.tailLen);
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) {
    SendError(r, kErrBadRequest, "The file to upload must be given by an absolute path: " + path);
    return;
  }
  // Only a regular file has an end and a size to report: a device (/dev/zero) would stream
  // for ever and a FIFO would block the call, so both are refused, and the open never waits.
  int in = pf::kNoFile;
  int rc = pf::OpenFile(path.c_str(), pf::FileMode::kReadRegular, &in);
  uint64_t size = 0;
  if (rc == 0) rc = pf::FileSize(in, &size);
  if (rc != 0) {
    if (in != pf::kNoFile) pf::CloseFile(in);
    SendError(r, kErrBadFile,
              rc == EINVAL ? "Cannot upload " + path +
                                 ": not a regular file (a directory, device, FIFO or socket)"
                           : "Cannot read " + path + ": " + ErrnoText(rc));
    return;
  }
  std::unique_ptr<VaultUpload> up;
  rc = state_->vault->BeginUpload(f->guid, &up);
  if (rc != 0) {
    pf::CloseFile(in);
    SendError(r, kErrBadFile, "File " + f->guid + " cannot take an upload: " + ErrnoText(rc));
    return;
  }
  int err = 0;
  Copy c = CopyWithProgress(
      r, size,
      [&](uint64_t off, unsigned char* b, size_t len, size_t* n) {
        return pf::ReadFileAt(in, off, b, len, n);
      },
      [&](uint64_t, const unsigned char* b, size_t len) { return up->Write(b, len); }, &err);
  pf::CloseFile(in);
  std::string volume;
  if (c == Copy::kDone) {
    err = up->Commit(&volume);
    if (err != 0) c = Copy::kFailed;
  }
  up.reset();  // an uncommitted volume is discarded here
  if (c != Copy::kDone) {
    SendUnfinished(r, c, "Upload of " + path + " failed: ", err);
    return;
  }
  state_->ContentChanged(f->guid);
  Log(LogLevel::kInfo, "process %ld uploaded %s as volume %s of %s", peer_.pid, path.c_str(),
      volume.c_str(), f->guid.c_str());
  PutBE16(Payload(), 0, static_cast<uint16_t>(volume.size()));
  std::memcpy(Payload() + 2, volume.data(), volume.size());
  SendReply(r, kReplyNormal, static_cast<uint32_t>(2 + volume.size()));
}

void Session::OnRollback(const Request& r) {
  if (r.bodyLen != kHandleLengthBody || GetBE16(r.body, 2) != r.tailLen ||
      r.tailLen > kMaxVolumeId) {
    SendError(r, kErrBadRequest, "Malformed request");
    return;
  }
  std::shared_ptr<OpenFile> f = HandleOf(r, GetBE16(r.body, 0));
  if (f == nullptr) return;
  std::string volume(reinterpret_cast<const char*>(r.tail), r.tailLen);
  std::string removed;
  int rc = state_->vault->RollBack(f->guid, volume, &removed);
  std::string what = volume.empty() ? "the newest volume" : "volume " + volume;
  if (rc == ENOENT) {
    SendError(r, kErrBadFile, "File " + f->guid + " has no " + what);
    return;
  }
  if (rc == EPERM) {
    std::string subject = volume.empty() ? "The newest volume" : "Volume " + volume;
    SendError(r, kErrBadRequest, subject + " of " + f->guid + " was not made by an upload");
    return;
  }
  if (rc != 0) {
    SendError(r, kErrBadFile, "Roll-back of " + f->guid + " failed: " + ErrnoText(rc));
    return;
  }
  state_->ContentChanged(f->guid);
  Log(LogLevel::kInfo, "process %ld rolled back volume %s of %s", peer_.pid, removed.c_str(),
      f->guid.c_str());
  SendReply(r, kReplyNormal, 0);
}

}  // namespace kdr::server
