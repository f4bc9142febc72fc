// A volume of the S3 vault as Vault::Open hands it out, and its readers.
//
// A reader reads through the chunk cache. Read-ahead starts only once the handle reads on
// where it stopped (a sequential pattern), asks for more chunks the longer the pattern holds,
// up to a window that doubles (to kAheadChunks) each time the reader still had to wait for
// the store, so that a store faster than its reader is not read far ahead into memory; it
// stops when the file is destroyed (its handle closed); a read elsewhere starts the pattern
// afresh. The pattern belongs to the S3File, one per open
// handle, so that it holds across the readers the server makes request by request.
#ifndef KDR_SERVER_S3_FILE_H_
#define KDR_SERVER_S3_FILE_H_

#include <atomic>
#include <memory>
#include <string>

#include "server/s3/chunk_cache.h"
#include "server/s3/client.h"
#include "server/vault.h"

namespace kdr::server::s3 {

struct ReadPattern;

class S3File : public VaultFile {
 public:
  // `localCopy`, when not empty, is the whole-file cache's copy, read instead of the store.
  S3File(Client* client, ChunkCache* cache, std::shared_ptr<OpenVolumes> open, VaultFileInfo info,
         VolumeRef volume, std::string localCopy);
  ~S3File() override;
  const VaultFileInfo& Info() const override { return info_; }
  int OpenReader(std::unique_ptr<VaultReader>* reader) override;
  int CopyTo(int fd, const std::function<bool(uint64_t)>& tick, uint64_t* copied) override;

 private:
  Client* client_;
  ChunkCache* cache_;
  std::shared_ptr<OpenVolumes> open_;
  VaultFileInfo info_;
  VolumeRef volume_;
  std::string localCopy_;
  std::shared_ptr<ReadPattern> pattern_;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_FILE_H_
