// Checksums both ways. Up: Content-MD5, the base64 of the body's MD5, which the store verifies
// (a body damaged on its way is refused with 400 BadDigest rather than stored), and the ETag
// it answers, which must be what was sent. Down: a whole object is checked against the ETag
// the store reports of it:
//   - a plain ETag (32 hex digits) is the MD5 of the object's bytes, unless the object is
//     encrypted with KMS or a customer's key (the caller says so: such ETags are not MD5s);
//   - an ETag "HEX-N" of a multipart upload is the MD5 of the N parts' binary MD5s, so the
//     bytes can be checked only where the part sizes are known: our own uploads record their
//     layout in x-amz-meta-kdr-parts ("FIRST/EVERY": parts of FIRST bytes, doubling every
//     EVERY parts), which is known when the upload begins, unlike a checksum of the whole.
// Anything else (another store's multipart ETags, a layout that does not give the ETag's part
// count, as a copy made by another tool may keep, no ETag) is not checked, and nothing is
// with S3Settings::checkEtags off.
#ifndef KDR_SERVER_S3_CHECKSUM_H_
#define KDR_SERVER_S3_CHECKSUM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kdr::server::s3 {

// MD5 (RFC 1321), fed in pieces.
class Md5 {
 public:
  void Update(const unsigned char* p, size_t n);
  // Ends the digest; the object is not used after.
  void Final(unsigned char out[16]);

  // Feeds md5[i] (i < n <= kLanes) the `len` bytes at data + i * stride, all at once: where
  // the processor has AVX2, the whole 64-byte blocks of all of them go side by side, one MD5
  // per lane of the vector instructions (up to eight at the cost of one, sixteen at the cost
  // of about one and a tenth); the same digests as Update.
  static constexpr int kLanes = 16;
  static void UpdateMany(Md5* const* md5, int n, const unsigned char* data, size_t stride,
                         size_t len);

 private:
  void Block(const unsigned char* p);
  static void VectorUpdate(Md5* const* md5, int n, const unsigned char* data, size_t stride,
                           size_t blocks);

  uint32_t h_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  unsigned char buf_[64];
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

// The value of a Content-MD5 header for `len` bytes at `data`.
std::string ContentMd5(const unsigned char* data, size_t len);
// The MD5 of `len` bytes at `data`.
void Md5Of(const unsigned char* data, size_t len, unsigned char out[16]);
// Base64 of `n` bytes (a Content-MD5 header's value from a digest).
std::string Base64(const unsigned char* p, size_t n);
// Lower-case hex of `n` bytes.
std::string Hex(const unsigned char* p, size_t n);
// An ETag without its quotes (a weak "W/" mark kept: such a tag is no digest).
std::string_view EtagValue(std::string_view etag);

// The size of part `number` (1-based) in a layout of parts of `first` bytes, doubling every
// `every` parts, never more than S3's largest part (5 GiB).
uint64_t LayoutPartBytes(uint64_t first, uint64_t every, uint64_t number);

// What a whole object's bytes can be checked against.
struct ObjectDigest {
  enum Kind { kNone, kMd5, kParts } kind = kNone;
  unsigned char md5[16] = {};  // kMd5: of the bytes; kParts: of the parts' MD5s
  uint64_t parts = 0;          // kParts: how many, each of LayoutPartBytes(first, every, i)
  uint64_t first = 0;
  uint64_t every = 0;
};
// From an object's ETag, its x-amz-meta-kdr-parts (may be empty), and whether its ETag may
// be a digest at all (false under KMS or customer-key encryption).
ObjectDigest DigestOf(std::string_view etag, std::string_view layout, bool etagMayBeDigest);

// Checks a whole object, fed in order from its first byte, against its digest.
class ObjectCheck {
 public:
  explicit ObjectCheck(const ObjectDigest& digest) : d_(digest) {}
  // Whether there is anything to check against.
  bool Active() const { return d_.kind != ObjectDigest::kNone; }
  void Update(const unsigned char* p, size_t n);
  // After the last byte: whether they match (true when not Active).
  bool Matches();

 private:
  void EndPart();

  ObjectDigest d_;
  Md5 md5_;      // of the bytes, or of the part being fed
  Md5 ofParts_;  // kParts: of the parts' digests
  uint64_t part_ = 1;
  uint64_t inPart_ = 0;
  uint64_t partsDone_ = 0;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CHECKSUM_H_
