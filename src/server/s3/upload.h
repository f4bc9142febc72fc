// Uploads of new volumes: one PUT for a file of one part, else a multipart upload whose parts
// go up in parallel. Parts grow with the object (kFirstPartBytes for the first 1,000 parts,
// doubling every 1,000 after), so the store's 10,000-part limit holds up to its largest
// object; the layout is recorded in the object's metadata (kMetaParts) so that downloads can
// check the bytes against the store's multipart ETag (checksum.h). An upload that is not
// committed is aborted; an abort that fails is logged as a warning and left for the sweep
// (SweepStaleUploads) or the bucket's lifecycle rule.
//
// What the store answers is checked against what was sent: each PUT's ETag, where it is a
// plain MD5, must be the MD5 of its body, and a completion's "HEX-N" must be the MD5 of the
// parts' MD5s. A mismatch fails the upload (EIO): a version the store made of it is deleted,
// never left as the file's content. (Not with S3Settings::checkEtags off; Content-MD5 is
// sent all the same.)
#ifndef KDR_SERVER_S3_UPLOAD_H_
#define KDR_SERVER_S3_UPLOAD_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "server/s3/client.h"
#include "server/s3/workers.h"
#include "server/vault.h"

namespace kdr::server::s3 {

inline constexpr uint64_t kFirstPartBytes = 8u << 20;
inline constexpr uint64_t kPartsPerDoubling = 1000;

// The object metadata that carries a volume's file name and how it was made.
inline constexpr char kMetaName[] = "x-amz-meta-kdr-name";
inline constexpr char kMetaMade[] = "x-amz-meta-kdr-made";
// The part layout of a multipart upload: "FIRST/EVERY" (see checksum.h).
inline constexpr char kMetaParts[] = "x-amz-meta-kdr-parts";

// The size of part `number` (1-based) of a multipart upload.
uint64_t PartBytes(int number);

// A new volume of the object `key`. `made` is what x-amz-meta-kdr-made says ("upload" or "put").
std::unique_ptr<VaultUpload> NewS3Upload(Client* client, Workers* parts, std::string key,
                                         std::string name, const char* made);

// Aborts the multipart uploads under the vault's prefix begun more than `olderThanSeconds`
// ago (uploads of servers that died or could not abort); *swept says how many were. Returns
// 0 once every page of uploads was read, else the error of the listing that failed. Stops
// soon once *cancel is true (ECANCELED).
int SweepStaleUploads(Client* client, int64_t olderThanSeconds, const std::atomic<bool>* cancel,
                      int* swept);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_UPLOAD_H_
