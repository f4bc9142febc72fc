// The local-directory vault. One mutex orders the changes of volume numbers (uploads, puts,
// roll-backs) within this process; readers need none, since volumes never change once named.
//
// Everything the vault makes is its owner's alone (directories 0700, files 0600): it holds the
// users' documents and their names. Volumes are written under fresh names ".tmp.<pid>.<random>"
// made exclusively, and renamed into place whole; what a writer that died left under such a
// name is removed by RemoveLeftovers().
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/dirs.h"
#include "platform/durable.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "server/vault.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {

constexpr const char kNameFile[] = "name";
constexpr const char kLastFile[] = "last";  // the highest volume number ever used
constexpr const char kPutSuffix[] = ".put";
constexpr const char kUploadSuffix[] = ".up";
constexpr size_t kVolumeDigits = 8;
constexpr int kOpenAttempts = 16;

struct Volume {
  uint32_t number;
  bool upload;
  std::string path;
};

std::string VolumeId(uint32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08u", n);
  return buf;
}

// Parses "NNNNNNNN.put" / "NNNNNNNN.up".
bool ParseVolumeName(const std::string& name, uint32_t* n, bool* upload) {
  if (name.size() < kVolumeDigits + 1) return false;
  std::string suffix = name.substr(kVolumeDigits);
  if (suffix == kPutSuffix) *upload = false;
  else if (suffix == kUploadSuffix) *upload = true;
  else return false;
  uint32_t v = 0;
  for (size_t i = 0; i < kVolumeDigits; ++i) {
    char c = name[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *n = v;
  return true;
}

// Reads a small text file whole (at most `max` bytes).
int ReadSmallFile(const std::string& path, size_t max, std::string* out) {
  int fd = pf::kNoFile;
  int rc = pf::OpenFile(path.c_str(), pf::FileMode::kReadOnly, &fd);
  if (rc != 0) return rc;
  std::string buf(max, '\0');
  size_t done = 0;
  rc = pf::ReadFileAt(fd, 0, buf.data(), max, &done);
  pf::CloseFile(fd);
  if (rc != 0) return rc;
  buf.resize(done);
  while (!buf.empty() && (buf.back() == '\n' || buf.back() == '\r')) buf.pop_back();
  *out = buf;
  return 0;
}

// Writes `text` to `path` through a temporary name and a rename.
int WriteSmallFile(const std::string& path, const std::string& text) {
  return pf::ReplaceFile(path.c_str(), text.data(), text.size(), pf::FileMode::kCreatePrivate);
}

// Makes the directory `dir` (and any missing above it, up to the vault) private to its owner.
// One that cannot be made private does not stay: a later call would find it and trust it.
int MakePrivateDir(const std::string& dir) {
  bool made = false;
  int rc = pf::MakeDirectories(dir, 0700, &made);
  if (rc != 0 || !made) return rc;
  rc = pf::SetPathMode(dir, 0700);
  if (rc != 0) pf::RemovePath(dir);
  return rc;
}

// The process id in a temporary name ".tmp.<pid>.<...>", or 0.
long TempWriter(const std::string& name) {
  static constexpr char kTemp[] = ".tmp.";
  if (name.rfind(kTemp, 0) != 0) return 0;
  long pid = 0;
  size_t i = sizeof kTemp - 1;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < (1L << 40); ++i) {
    pid = pid * 10 + (name[i] - '0');
  }
  return i < name.size() && name[i] == '.' ? pid : 0;
}

bool WriterGone(long pid) {
  long status = 0;
  int err = 0;
  pf::ProcessState s = pf::QueryProcess(pid, &status, &err);
  return s == pf::ProcessState::kGone || s == pf::ProcessState::kExited;
}

class LocalReader : public VaultReader {
 public:
  explicit LocalReader(int fd) : fd_(fd) {}
  ~LocalReader() override { pf::CloseFile(fd_); }
  int ReadAt(uint64_t offset, void* buf, size_t len, size_t* done) override {
    return pf::ReadFileAt(fd_, offset, buf, len, done);
  }

 private:
  int fd_;
};

class LocalFile : public VaultFile {
 public:
  LocalFile(VaultFileInfo info, std::string path) : info_(std::move(info)), path_(std::move(path)) {}
  const VaultFileInfo& Info() const override { return info_; }
  int OpenReader(std::unique_ptr<VaultReader>* reader) override {
    int fd = pf::kNoFile;
    int rc = pf::OpenFile(path_.c_str(), pf::FileMode::kReadOnly, &fd);
    if (rc != 0) return rc;
    *reader = NewFileReader(fd);
    return 0;
  }

 private:
  VaultFileInfo info_;
  std::string path_;
};

class LocalVault;

class LocalUpload : public VaultUpload {
 public:
  LocalUpload(LocalVault* vault, std::string guid, std::string tmp, int fd)
      : vault_(vault), guid_(std::move(guid)), tmp_(std::move(tmp)), fd_(fd) {}
  ~LocalUpload() override {
    if (fd_ != pf::kNoFile) pf::CloseFile(fd_);
    if (!committed_) pf::DeleteFile(tmp_.c_str());
  }
  int Write(const void* buf, size_t len) override {
    int rc = pf::WriteFileAt(fd_, offset_, buf, len);
    if (rc == 0) offset_ += len;
    return rc;
  }
  int Commit(std::string* volumeId) override;

 private:
  LocalVault* vault_;
  std::string guid_;
  std::string tmp_;
  int fd_;
  uint64_t offset_ = 0;
  bool committed_ = false;
};

class LocalVault : public Vault {
 public:
  explicit LocalVault(std::string dir) : dir_(std::move(dir)) {}

  int Open(const std::string& guid, std::shared_ptr<VaultFile>* file) override {
    if (!IsVaultGuid(guid)) return EINVAL;
    std::vector<Volume> volumes;
    VaultFileInfo info;
    int rc = 0;
    // The newest volume may be rolled back between the listing and its stat (by this process
    // or any other): the listing is then taken again, so the open sees the volumes as they are
    // at one moment, never a volume that went missing.
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      rc = Volumes(guid, &volumes);
      if (rc != 0) return rc;
      if (volumes.empty()) return ENOENT;
      rc = pf::StatPath(volumes.back().path.c_str(), &info.size);
      if (rc != ENOENT) break;
    }
    if (rc != 0) return rc;
    const Volume& v = volumes.back();
    info.guid = guid;
    info.volumes = static_cast<int>(volumes.size());
    info.version = VolumeId(v.number);
    std::string name;
    if (ReadSmallFile(FileDir(guid) + "/" + kNameFile, 1024, &name) != 0 || name.empty()) {
      name = guid;
    }
    info.name = SafeFileName(name);
    file->reset(new LocalFile(std::move(info), v.path));
    return 0;
  }

  int BeginUpload(const std::string& guid, std::unique_ptr<VaultUpload>* upload) override {
    std::shared_ptr<VaultFile> current;
    int rc = Open(guid, &current);
    if (rc != 0) return rc;
    std::string tmp;
    int fd = pf::kNoFile;
    rc = NewTemp(guid, &tmp, &fd);
    if (rc != 0) return rc;
    upload->reset(new LocalUpload(this, guid, tmp, fd));
    return 0;
  }

  int RollBack(const std::string& guid, const std::string& volumeId,
               std::string* removed) override {
    if (!IsVaultGuid(guid)) return EINVAL;
    std::lock_guard<std::mutex> guard(mu_);
    std::vector<Volume> volumes;
    int rc = Volumes(guid, &volumes);
    if (rc != 0) return rc;
    const Volume* target = nullptr;
    if (volumeId.empty()) {
      if (!volumes.empty()) target = &volumes.back();
    } else {
      for (const Volume& v : volumes) {
        if (VolumeId(v.number) == volumeId) target = &v;
      }
    }
    if (target == nullptr) return ENOENT;
    if (!target->upload) return EPERM;
    rc = pf::DeleteFile(target->path.c_str());
    if (rc != 0) return rc;
    *removed = VolumeId(target->number);
    return 0;
  }

  int Put(const std::string& guid, const std::string& name, const std::string& source,
          std::string* volumeId) override {
    if (!IsVaultGuid(guid)) return EINVAL;
    int in = pf::kNoFile;
    int rc = pf::OpenFile(source.c_str(), pf::FileMode::kReadRegular, &in);
    if (rc != 0) return rc;
    rc = MakePrivateDir(FileDir(guid));
    if (rc != 0) {
      pf::CloseFile(in);
      return rc;
    }
    std::string tmp;
    int out = pf::kNoFile;
    rc = NewTemp(guid, &tmp, &out);
    if (rc == 0) {
      rc = ForEachPiece(in, [out](const unsigned char* b, size_t n, uint64_t off) {
        return pf::WriteFileAt(out, off, b, n);
      });
      if (rc == 0) rc = pf::SyncFile(out);  // a committed volume survives a power cut
      int crc = pf::CloseFile(out);
      if (rc == 0) rc = crc;
    }
    pf::CloseFile(in);
    if (rc == 0) rc = WriteSmallFile(FileDir(guid) + "/" + kNameFile, SafeFileName(name));
    if (rc == 0) rc = CommitVolume(guid, tmp, false, volumeId);
    if (rc != 0 && !tmp.empty()) pf::DeleteFile(tmp.c_str());
    return rc;
  }

  size_t RemoveLeftovers() override {
    size_t removed = 0;
    const long self = pf::CurrentProcessId();
    std::vector<pf::DirEntry> guids, names;
    pf::ListDirectory(dir_, &guids);
    for (const pf::DirEntry& top : guids) {
      if (!IsVaultGuid(top.name)) continue;
      pf::ListDirectory(dir_ + "/" + top.name, &names);
      for (const pf::DirEntry& it : names) {
        long pid = TempWriter(it.name);
        if (pid <= 0 || pid == self || !WriterGone(pid)) continue;
        if (pf::RemovePath(dir_ + "/" + top.name + "/" + it.name) == 0) ++removed;
      }
    }
    return removed;
  }

  int List(std::vector<VaultFileInfo>* files) override {
    files->clear();
    std::vector<pf::DirEntry> entries;
    int rc = pf::ListDirectory(dir_, &entries);
    if (rc != 0) return rc == ENOENT ? 0 : rc;
    std::vector<std::string> guids;
    for (const pf::DirEntry& entry : entries) {
      if (IsVaultGuid(entry.name)) guids.push_back(entry.name);
    }
    std::sort(guids.begin(), guids.end());
    for (const std::string& g : guids) {
      std::shared_ptr<VaultFile> f;
      if (Open(g, &f) == 0) files->push_back(f->Info());
    }
    return 0;
  }

  int CurrentVersion(const std::string& guid, std::string* version) override {
    if (!IsVaultGuid(guid)) return EINVAL;
    std::vector<Volume> volumes;
    int rc = Volumes(guid, &volumes);
    if (rc != 0) return rc;
    if (volumes.empty()) return ENOENT;
    *version = VolumeId(volumes.back().number);
    return 0;
  }

  // Names the volume written to `tmp` with the next number. Under mu_.
  int CommitVolume(const std::string& guid, const std::string& tmp, bool upload,
                   std::string* volumeId) {
    std::lock_guard<std::mutex> guard(mu_);
    std::vector<Volume> volumes;
    int rc = Volumes(guid, &volumes);
    if (rc != 0) return rc;
    // Numbers are never used twice, also after a roll-back removed the newest volume: a
    // version seen once must always name the same bytes (the whole-file cache relies on it).
    uint32_t next = volumes.empty() ? 1 : volumes.back().number + 1;
    std::string last_text;
    std::string last_path = FileDir(guid) + "/" + kLastFile;
    if (ReadSmallFile(last_path, 32, &last_text) == 0) {
      uint32_t last = 0;
      bool upload_unused = false;
      if (ParseVolumeName(last_text + kPutSuffix, &last, &upload_unused) && last >= next) {
        next = last + 1;
      }
    }
    rc = WriteSmallFile(last_path, VolumeId(next));
    if (rc != 0) return rc;
    std::string path = FileDir(guid) + "/" + VolumeId(next) + (upload ? kUploadSuffix : kPutSuffix);
    rc = pf::RenamePath(tmp.c_str(), path.c_str());
    if (rc != 0) return rc;
    pf::SyncDirectory(FileDir(guid));  // best effort: the volume is committed already
    *volumeId = VolumeId(next);
    return 0;
  }

 private:
  std::string FileDir(const std::string& guid) const { return dir_ + "/" + guid; }

  // A new volume's file, made exclusively under a name nobody can guess, which names its
  // writer so that a leftover can be told from a live one.
  int NewTemp(const std::string& guid, std::string* path, int* fd) {
    std::string prefix = ".tmp." + std::to_string(pf::CurrentProcessId()) + ".";
    return pf::CreateTempFile(FileDir(guid), prefix, pf::FileMode::kCreatePrivate, path, fd);
  }

  // The volumes of `guid`, oldest first. A missing file has none.
  int Volumes(const std::string& guid, std::vector<Volume>* out) {
    out->clear();
    std::vector<pf::DirEntry> entries;
    int rc = pf::ListDirectory(FileDir(guid), &entries);
    if (rc != 0) return rc == ENOENT || rc == ENOTDIR ? 0 : rc;
    for (const pf::DirEntry& entry : entries) {
      Volume v;
      const std::string& name = entry.name;
      if (ParseVolumeName(name, &v.number, &v.upload)) {
        v.path = FileDir(guid) + "/" + name;
        out->push_back(v);
      }
    }
    std::sort(out->begin(), out->end(),
              [](const Volume& a, const Volume& b) { return a.number < b.number; });
    return 0;
  }

  std::string dir_;
  std::mutex mu_;  // guards the numbering of volumes
};

int LocalUpload::Commit(std::string* volumeId) {
  int rc = pf::SyncFile(fd_);  // a committed volume survives a power cut
  int crc = pf::CloseFile(fd_);
  fd_ = pf::kNoFile;
  if (rc == 0) rc = crc;
  if (rc != 0) return rc;
  rc = vault_->CommitVolume(guid_, tmp_, true, volumeId);
  if (rc == 0) committed_ = true;
  return rc;
}

}  // namespace

bool IsVaultGuid(std::string_view guid) {
  if (guid.empty() || guid.size() > 64) return false;
  for (char c : guid) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string SafeFileName(std::string_view name) {
  std::string out(name.substr(0, 200));
  for (char& c : out) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (out.empty() || out == "." || out == "..") out = "file";
  return out;
}

int VaultFile::CopyTo(int fd, const std::function<bool(uint64_t)>& tick, uint64_t* copied) {
  *copied = 0;
  std::unique_ptr<VaultReader> reader;
  int rc = OpenReader(&reader);
  if (rc != 0) return rc;
  std::vector<unsigned char> buf(kCopyPiece);
  for (;;) {
    if (!tick(*copied)) return ECANCELED;
    size_t n = 0;
    rc = reader->ReadAt(*copied, buf.data(), buf.size(), &n);
    if (rc != 0 || n == 0) return rc;
    rc = pf::WriteFileAt(fd, *copied, buf.data(), n);
    if (rc != 0) return rc;
    *copied += n;
  }
}

int ForEachPiece(int fd, const std::function<int(const unsigned char*, size_t, uint64_t)>& sink) {
  std::vector<unsigned char> buf(1u << 20);
  for (uint64_t off = 0;;) {
    size_t done = 0;
    int rc = pf::ReadFileAt(fd, off, buf.data(), buf.size(), &done);
    if (rc != 0 || done == 0) return rc;
    rc = sink(buf.data(), done, off);
    if (rc != 0) return rc;
    off += done;
  }
}

std::unique_ptr<VaultReader> NewFileReader(int fd) { return std::make_unique<LocalReader>(fd); }

std::unique_ptr<Vault> NewLocalVault(const std::string& dir) {
  return std::unique_ptr<Vault>(new LocalVault(dir));
}

}  // namespace kdr::server
