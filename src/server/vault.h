// The file-management system behind tickets, as the server sees it: files named by GUID, each
// a stack of immutable volumes whose newest is the file's content.
//
// The protocol code talks to the vault only through this interface, so a network back end can
// stand beside the local-directory one. Results are 0 or an errno value:
//   ENOENT  no such file (or volume);
//   EPERM   the volume was not made by an upload (only uploads can be rolled back);
//   EINVAL  a GUID or volume id that cannot name anything (see IsVaultGuid);
//   other   the errno of the failing file operation, or of the failing transfer of a
//           network vault (ECONNREFUSED, ETIMEDOUT, ECONNRESET, EACCES, ...).
//
// Thread-safe: any number of threads may use one vault at once. A reader keeps reading the
// volume it was opened on, even when an upload or roll-back changes the file meanwhile (unless
// that very volume is rolled back).
#ifndef KDR_SERVER_VAULT_H_
#define KDR_SERVER_VAULT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kdr::server {

struct VaultFileInfo {
  std::string guid;
  std::string name;     // the file's own name (a single path component)
  std::string version;  // changes whenever the content does: the newest volume id
  uint64_t size = 0;
  int volumes = 0;
};

class VaultReader {
 public:
  virtual ~VaultReader() = default;
  // Reads up to `len` bytes at `offset`; *done is short only at the end of the file.
  virtual int ReadAt(uint64_t offset, void* buf, size_t len, size_t* done) = 0;
  // ReadAt without the copy, for a reader that holds the bytes in its own memory (a network
  // vault's chunks): *data points at them, and they stay there while *hold is kept. Returns
  // kCannotLend when it cannot lend these bytes (ReadAt can read them).
  static constexpr int kCannotLend = -1;
  virtual int LendAt(uint64_t offset, size_t len, const unsigned char** data, size_t* done,
                     std::shared_ptr<const void>* hold) {
    (void)offset, (void)len, (void)data, (void)done, (void)hold;
    return kCannotLend;
  }
};

// One volume of a file, as found by Open(). Holds no open descriptor.
class VaultFile {
 public:
  virtual ~VaultFile() = default;
  virtual const VaultFileInfo& Info() const = 0;
  virtual int OpenReader(std::unique_ptr<VaultReader>* reader) = 0;
  // Writes the whole volume into `fd`, an open file of the platform layer, at the same
  // offsets; *copied is the number of bytes written. `tick` runs on the calling thread with
  // the bytes written so far (never fewer than the time before): first with 0, then after
  // each piece and at least every 50 ms while the copy waits. When it returns false the copy
  // stops, nothing writes into `fd` any more, and the result is ECANCELED.
  // This one reads through OpenReader() and writes what it read, kCopyPiece bytes at a time;
  // a network vault writes what arrives straight into the file instead.
  static constexpr size_t kCopyPiece = 256 * 1024;
  virtual int CopyTo(int fd, const std::function<bool(uint64_t)>& tick, uint64_t* copied);
};

// A new volume being written. Destroying it without Commit() discards it.
class VaultUpload {
 public:
  virtual ~VaultUpload() = default;
  virtual int Write(const void* buf, size_t len) = 0;
  // Makes the bytes written the file's new content; *volumeId names the new volume.
  virtual int Commit(std::string* volumeId) = 0;
};

class Vault {
 public:
  virtual ~Vault() = default;
  // Finds the current volume of `guid`.
  virtual int Open(const std::string& guid, std::shared_ptr<VaultFile>* file) = 0;
  // Starts a new volume of an existing file.
  virtual int BeginUpload(const std::string& guid, std::unique_ptr<VaultUpload>* upload) = 0;
  // Removes the volume `volumeId` of `guid`, which an upload must have made; an empty id
  // means the newest volume. *removed names what was removed.
  virtual int RollBack(const std::string& guid, const std::string& volumeId,
                       std::string* removed) = 0;
  // Stores the local file `source` as the file `guid` named `name`: a new file, or a new
  // volume of an existing one. *volumeId names the volume.
  virtual int Put(const std::string& guid, const std::string& name, const std::string& source,
                  std::string* volumeId) = 0;
  // Every file, in GUID order.
  virtual int List(std::vector<VaultFileInfo>* files) = 0;
  // The newest volume of `guid` as VaultFileInfo::version names it, found cheaply (no
  // reader). ENOENT when the file is gone.
  virtual int CurrentVersion(const std::string& guid, std::string* version) = 0;
  // Whether the vault is known to be unreachable now (a network vault in an outage, which
  // it probes by itself): what is asked of it fails until it is back.
  virtual bool Away() const { return false; }
  // Removes what writers that died (killed servers, tools) left half-written in the vault;
  // never a file a live writer still writes. Returns how many were removed.
  virtual size_t RemoveLeftovers() { return 0; }
  // CurrentVersion of each of `guids`: (*results)[i] and (*versions)[i] answer guids[i].
  // A vault may answer many at once for the price of one request (the S3 vault lists up to
  // 1,000 keys). Stops early, the rest answered ECANCELED, once *cancel is true.
  virtual void CurrentVersions(const std::vector<std::string>& guids,
                               std::vector<std::string>* versions, std::vector<int>* results,
                               const std::atomic<bool>* cancel);
};

// The embedded vault: a directory on the local disk, made when missing. What it makes is
// private to its owner (directories 0700, files 0600).
//   <dir>/<GUID>/name          the file's name
//   <dir>/<GUID>/<NNNNNNNN>.put  a volume stored by Put()
//   <dir>/<GUID>/<NNNNNNNN>.up   a volume stored by an upload
// The volume id is the eight-digit number; the newest volume is the highest number.
std::unique_ptr<Vault> NewLocalVault(const std::string& dir);

// Reads the open file `fd` (of the platform layer) from its start to its end, handing each
// piece to `sink` with its offset. Returns 0, or the first failure of the read or the sink.
int ForEachPiece(int fd, const std::function<int(const unsigned char*, size_t, uint64_t)>& sink);

// A reader of the open file `fd` (of the platform layer), which it closes when destroyed.
std::unique_ptr<VaultReader> NewFileReader(int fd);

// Where the vault is: `location` is a directory (the local vault), or s3://BUCKET[/PREFIX]
// for a bucket of the S3 object store at `s3Endpoint` (see s3/s3_vault.h), with credentials
// from the usual AWS sources (s3/credentials.h), the region from AWS_REGION or
// AWS_DEFAULT_REGION (default us-east-1) and the trusted authorities from AWS_CA_BUNDLE,
// SSL_CERT_FILE or CURL_CA_BUNDLE (default: the system's). `cacheFilesDir`, when given, is
// the server's whole-file cache, which an object store that cannot be reached falls back on.
// `trustMs` is how long an open may trust what an earlier look at the file found (the
// server's revalidation bound; 0: every open asks the store). `checkEtags` off: the store's
// ETags are not compared with the digests of the bytes (s3/settings.h).
struct VaultOptions {
  std::string location;
  std::string s3Endpoint;
  std::string cacheFilesDir;
  int trustMs = 0;
  bool checkEtags = true;
};

// Whether `location` names an object-store bucket rather than a directory.
bool IsObjectStoreLocation(std::string_view location);

// Opens the vault `options` name. Returns 0, or an errno value with *error saying in one line
// what is wrong. With 0, *error may hold a warning (a store that cannot be reached now).
int OpenVault(const VaultOptions& options, std::unique_ptr<Vault>* vault, std::string* error);

// Whether `guid` can name a vault file: 1 to 64 characters of letters, digits and '-'.
bool IsVaultGuid(std::string_view guid);

// `name` made into one safe path component: '/' and NUL become '_'; "", "." and ".." become
// "file"; cut to 200 bytes.
std::string SafeFileName(std::string_view name);

}  // namespace kdr::server

#endif  // KDR_SERVER_VAULT_H_
