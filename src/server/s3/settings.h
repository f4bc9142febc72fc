// What an S3 vault is set up with: where the bucket is, who we are, and the limits of every
// request. A leaf header: the units of the vault and its tests include it.
#ifndef KDR_SERVER_S3_SETTINGS_H_
#define KDR_SERVER_S3_SETTINGS_H_

#include <cstdint>
#include <memory>
#include <string>

namespace kdr::server::s3 {

class Transport;
class CredentialSource;

// Reads go through the chunk cache in chunks of this size.
inline constexpr uint64_t kChunkBytes = 4u << 20;

struct S3Settings {
  std::string endpoint;  // http://host[:port] or https://host[:port]
  std::string bucket;
  std::string prefix;  // without slashes at either end; may be empty
  std::string region = "us-east-1";
  std::string service = "s3";  // what requests are signed for (STS: "sts")
  std::string accessKey;  // used when `credentials` is null
  std::string secretKey;
  std::string sessionToken;   // empty: none
  std::string caBundle;       // a PEM file of trusted certificate authorities; empty: system's
  std::string cacheFilesDir;  // the server's whole-file cache, read while offline; may be empty
  int connectTimeoutMs = 3000;
  int stallSeconds = 10;         // a transfer that moves no byte for this long fails
  int requestTimeoutMs = 30000;  // whole requests without a body to stream (HEAD, DELETE, ...)
  int attempts = 4;              // tries of a request the store refused for being busy
  int probeMs = 2000;            // while the store is unreachable: how often it is probed
  // How long an open may trust what an earlier open (or a recheck) found of the file, rather
  // than ask the store again: the server's revalidation bound. 0: every open asks.
  int trustMs = 0;
  int cacheChunks = 32;  // chunks of kChunkBytes the chunk cache keeps in memory (128 MiB)
  // A download's first GET is left alone while it brings at least this much a second; slower,
  // other GETs start beside it (download.cpp). 0: it is always alone.
  uint64_t aloneBytesPerSecond = 256u << 20;
  // Whether the ETags the store answers are compared with the MD5s of the bytes (checksum.h).
  // Off for a store whose ETags look like MD5s but are not (some encrypting gateways): the
  // other checks of an answer (status, Content-Range, ETag and version) stay.
  bool checkEtags = true;
  // Where requests go; null: libcurl. Tests put scripted answers here.
  std::shared_ptr<Transport> transport;
  // Where the keys come from; null: accessKey, secretKey and sessionToken as they are.
  std::shared_ptr<CredentialSource> credentials;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_SETTINGS_H_
