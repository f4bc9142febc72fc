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
//   part layout         metadata x-amz-meta-kdr-parts of a multipart upload (checksum.h)
//   roll-back           DELETE of exactly that version id (never a delete marker)
//   gone file           no version, or a delete marker as the newest: ENOENT
//
// The units: http (exchanges, answer checks, retry), client (outages), text (encodings and
// parsers), chunk_cache (reads), download, upload, file (handles and read-ahead),
// offline_copy, credentials, and this one, which maps the Vault interface onto them.
//
// Opens. An open asks the store for the newest version (HEAD), unless an earlier open or
// recheck found it less than S3Settings::trustMs ago. While the store is unreachable (see
// client.h) an open answers from what this process last saw of the file, or from the
// server's whole-file cache; a store that answers, busy or not, is never bypassed.
// Rechecks of many files at once (CurrentVersions) list the versions of up to 1,000 keys
// with one request, starting at the first key asked about; while the store is unreachable
// (Away) they fail at once, without a request.
#ifndef KDR_SERVER_S3_S3_VAULT_H_
#define KDR_SERVER_S3_S3_VAULT_H_

#include <memory>
#include <string>

#include "server/s3/settings.h"
#include "server/vault.h"

namespace kdr::server::s3 {

// Makes the vault and checks the bucket: 0, or an errno value with *error saying what is
// wrong in one line (EOPNOTSUPP: the bucket keeps no versions; EACCES: the credentials are
// refused; EPROTO: TLS fails). When the store cannot be reached the vault is still made
// (files the cache holds stay readable), *error then holds a warning and the result is 0.
int NewS3Vault(const S3Settings& settings, std::unique_ptr<Vault>* vault, std::string* error);

// Splits "s3://BUCKET[/PREFIX]". False when `location` is not of that form.
bool ParseS3Location(const std::string& location, std::string* bucket, std::string* prefix);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_S3_VAULT_H_
