// The payload checksum the store verifies: Content-MD5, the base64 of the body's MD5. A body
// damaged on its way is refused by the store (400 BadDigest) rather than stored.
#ifndef KDR_SERVER_S3_CHECKSUM_H_
#define KDR_SERVER_S3_CHECKSUM_H_

#include <cstddef>
#include <string>

namespace kdr::server::s3 {

// The value of a Content-MD5 header for `len` bytes at `data`.
std::string ContentMd5(const unsigned char* data, size_t len);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CHECKSUM_H_
