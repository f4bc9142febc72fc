// A download of a whole volume into a file (VaultFile::CopyTo of the S3 vault).
//
// Pieces of the volume are taken in turn by several streams, each one ranged GET whose bytes
// are written into the file as they arrive. A piece's chunks that no one else holds or
// fetches are claimed in the chunk cache, so readers and other downloads wait for this
// transfer instead of making their own; a claimed chunk is read back into memory only when a
// reader waits for it or another handle has the volume open. Chunks that others hold or
// fetch are copied from the cache. A stream whose answer breaks resumes where it stopped.
//
// The file's bytes are checked against the object's digest (checksum.h) where it has one:
// read back as the pieces from the first are done, by checkers beside the streams (the parts
// of a multipart object side by side). A mismatch drops the volume's chunks from memory and
// downloads it once more; a second mismatch fails the download (EIO), so its copy is never
// committed. The check costs a pass of MD5 over the bytes (a few hundred MiB/s a core).
#ifndef KDR_SERVER_S3_DOWNLOAD_H_
#define KDR_SERVER_S3_DOWNLOAD_H_

#include <cstdint>
#include <functional>

#include "server/s3/chunk_cache.h"
#include "server/s3/client.h"

namespace kdr::server::s3 {

// Writes volume `v` into `fd` as VaultFile::CopyTo says.
int Download(Client* client, ChunkCache* cache, OpenVolumes* open, const VolumeRef& v, int fd,
             const std::function<bool(uint64_t)>& tick, uint64_t* copied);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_DOWNLOAD_H_
