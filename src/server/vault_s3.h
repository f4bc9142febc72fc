// The vault in a bucket of an S3 object store (Ceph RGW, MinIO, AWS S3 and others), so that
// cache servers on many machines stand in front of one central store.
//
// Mapping
//   file GUID           object key PREFIX/GUID (just GUID without a prefix)
//   file name           object metadata x-amz-meta-kdr-name, percent-encoded UTF-8
//   volume              one version of the object; the bucket must keep versions (a bucket
//                       without versioning is refused: a put would overwrite the only copy)
//   volume id           the object's version id
//   newest volume       the object's newest version: the file's content
//   who made a volume   metadata x-amz-meta-kdr-made: "upload" (an upload through the cache)
//                       or "put" (kdrvault put); only "upload" versions can be rolled back
//   roll-back           DELETE of exactly that version id (never a delete marker)
//   gone file           no version, or a delete marker as the newest: ENOENT
//
// Transfers
//   Requests are signed by libcurl (SigV4, payload unsigned), path-style, with sorted query
//   parameters. Easy handles, each with its own pool of keep-alive connections, are shared by
//   all threads through a free list. Every request has a connect time-out and a stall
//   time-out; idempotent requests (GET, HEAD, DELETE of a version, part uploads) are retried
//   with growing back-off, the others (a PUT or a completion, which would make a second
//   version) are not.
//   Reads are ranged GETs of the version the open found, in chunks of kChunkBytes through one
//   chunk cache per vault: concurrent readers of the same chunk wait for one transfer (single
//   flight), and a sequential reader has the following chunks fetched in parallel ahead of it.
//   A download of a whole volume into a file (VaultFile::CopyTo) has several ranged GETs of
//   that version on their way at once, whose bytes are written straight into the file at
//   their offsets. It claims the chunks it fetches in the chunk cache, so readers and other
//   downloads of them wait for its transfer instead of making their own (it keeps a chunk's
//   bytes in memory only when someone waits for them), and copies from the cache the chunks
//   that others hold or fetch.
//   Uploads of more than one part are multipart uploads whose parts go up in parallel.
//
// Unreachable store
//   When the store cannot be reached (no connection, time-out, 5xx), Open() answers from what
//   this process last saw of the file, or from the server's whole-file cache when it holds the
//   file; readers then read that local copy. This is logged once per outage.
#ifndef KDR_SERVER_VAULT_S3_H_
#define KDR_SERVER_VAULT_S3_H_

#include <cstdint>
#include <memory>
#include <string>

#include "server/vault.h"

namespace kdr::server {

struct S3Settings {
  std::string endpoint;  // http://host[:port] or https://host[:port]
  std::string bucket;
  std::string prefix;    // without slashes at either end; may be empty
  std::string region = "us-east-1";
  std::string accessKey;
  std::string secretKey;
  std::string sessionToken;     // empty: none
  std::string cacheFilesDir;    // the server's whole-file cache, read while offline; may be empty
  int connectTimeoutMs = 3000;
  int stallSeconds = 10;        // a transfer that moves no byte for this long fails
  int requestTimeoutMs = 30000; // whole requests without a body to stream (HEAD, DELETE, ...)
  int attempts = 4;             // tries of an idempotent request
};

inline constexpr uint64_t kChunkBytes = 4u << 20;

// Makes the vault and checks the bucket: 0, or an errno value with *error saying what is
// wrong in one line (EOPNOTSUPP: the bucket keeps no versions; EACCES: the credentials are
// refused). When the store cannot be reached the vault is still made (files the cache holds
// stay readable), *error then holds a warning and the result is 0.
int NewS3Vault(const S3Settings& settings, std::unique_ptr<Vault>* vault, std::string* error);

// Splits "s3://BUCKET[/PREFIX]". False when `location` is not of that form.
bool ParseS3Location(const std::string& location, std::string* bucket, std::string* prefix);

}  // namespace kdr::server

#endif  // KDR_SERVER_VAULT_S3_H_
