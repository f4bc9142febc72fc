#include "server/s3/checksum.h"

#include <cstdint>
#include <cstring>

namespace kdr::server::s3 {

namespace {

// MD5 as RFC 1321 gives it.
class Md5 {
 public:
  void Update(const unsigned char* p, size_t n) {
    bytes_ += n;
    while (n > 0) {
      size_t take = std::min(n, sizeof buf_ - used_);
      std::memcpy(buf_ + used_, p, take);
      used_ += take;
      p += take;
      n -= take;
      if (used_ == sizeof buf_) {
        Block(buf_);
        used_ = 0;
      }
    }
  }
  void Final(unsigned char out[16]) {
    uint64_t bits = bytes_ * 8;
    unsigned char pad = 0x80;
    Update(&pad, 1);
    pad = 0;
    while (used_ != 56) Update(&pad, 1);
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (8 * i));
    Update(len, 8);
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<unsigned char>(h_[i] >> (8 * j));
    }
  }

 private:
  static uint32_t Rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }
  void Block(const unsigned char* p) {
    static const uint32_t kK[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static const int kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                               5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                               4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                               6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
      m[i] = uint32_t{p[4 * i]} | uint32_t{p[4 * i + 1]} << 8 | uint32_t{p[4 * i + 2]} << 16 |
             uint32_t{p[4 * i + 3]} << 24;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3];
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      uint32_t t = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + kK[i] + m[g], kS[i]);
      a = t;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
  }

  uint32_t h_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  unsigned char buf_[64];
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

std::string Base64(const unsigned char* p, size_t n) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = uint32_t{p[i]} << 16;
    if (i + 1 < n) v |= uint32_t{p[i + 1]} << 8;
    if (i + 2 < n) v |= p[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kAlphabet[v & 63] : '=';
  }
  return out;
}

}  // namespace

std::string ContentMd5(const unsigned char* data, size_t len) {
  Md5 md5;
  md5.Update(data, len);
  unsigned char digest[16];
  md5.Final(digest);
  return Base64(digest, sizeof digest);
}

}  // namespace kdr::server::s3
