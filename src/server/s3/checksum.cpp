#include "server/s3/checksum.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "server/s3/text.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kdr::server::s3 {

namespace {

constexpr uint64_t kLargestPart = 5ull << 30;

// 32 hex digits (either case) into 16 bytes.
bool ParseHex16(std::string_view text, unsigned char out[16]) {
  if (text.size() != 32) return false;
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < 16; ++i) {
    int hi = digit(text[2 * i]), lo = digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return true;
}

uint32_t Rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

}  // namespace

void Md5::Update(const unsigned char* p, size_t n) {
  bytes_ += n;
  if (used_ > 0) {
    size_t take = std::min(n, sizeof buf_ - used_);
    std::memcpy(buf_ + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
    if (used_ < sizeof buf_) return;
    Block(buf_);
    used_ = 0;
  }
  for (; n >= sizeof buf_; p += sizeof buf_, n -= sizeof buf_) Block(p);
  std::memcpy(buf_, p, n);
  used_ = n;
}

void Md5::Final(unsigned char out[16]) {
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

namespace {

// The four rounds' steps as RFC 1321 writes them, spelled out: a loop with a switch per step
// runs at a third of the speed, and downloads are checked at the rate they arrive.
inline uint32_t Step(uint32_t f, uint32_t a, uint32_t b, uint32_t x, int s, uint32_t t) {
  return b + Rotl(a + f + x + t, s);
}
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

}  // namespace

// The 64 steps of RFC 1321, four to a line (the round's function, the message words, the
// shifts, the constants), for each block function to spell out with a STEP4 of its own.
#define KDR_MD5_STEPS(STEP4)                                                              \
  STEP4(F, 0, 1, 2, 3, 7, 12, 17, 22, 0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee)     \
  STEP4(F, 4, 5, 6, 7, 7, 12, 17, 22, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501)     \
  STEP4(F, 8, 9, 10, 11, 7, 12, 17, 22, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be)   \
  STEP4(F, 12, 13, 14, 15, 7, 12, 17, 22, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821) \
  STEP4(G, 1, 6, 11, 0, 5, 9, 14, 20, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa)     \
  STEP4(G, 5, 10, 15, 4, 5, 9, 14, 20, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8)    \
  STEP4(G, 9, 14, 3, 8, 5, 9, 14, 20, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed)     \
  STEP4(G, 13, 2, 7, 12, 5, 9, 14, 20, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a)    \
  STEP4(H, 5, 8, 11, 14, 4, 11, 16, 23, 0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c)   \
  STEP4(H, 1, 4, 7, 10, 4, 11, 16, 23, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70)    \
  STEP4(H, 13, 0, 3, 6, 4, 11, 16, 23, 0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05)    \
  STEP4(H, 9, 12, 15, 2, 4, 11, 16, 23, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665)   \
  STEP4(I, 0, 7, 14, 5, 6, 10, 15, 21, 0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039)    \
  STEP4(I, 12, 3, 10, 1, 6, 10, 15, 21, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1)   \
  STEP4(I, 8, 15, 6, 13, 6, 10, 15, 21, 0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1)   \
  STEP4(I, 4, 11, 2, 9, 6, 10, 15, 21, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391)

void Md5::Block(const unsigned char* p) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = uint32_t{p[4 * i]} | uint32_t{p[4 * i + 1]} << 8 | uint32_t{p[4 * i + 2]} << 16 |
           uint32_t{p[4 * i + 3]} << 24;
  }
  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3];
#define KDR_MD5_4(FN, i0, i1, i2, i3, s0, s1, s2, s3, t0, t1, t2, t3) \
  a = Step(FN(b, c, d), a, b, m[i0], s0, t0);                         \
  d = Step(FN(a, b, c), d, a, m[i1], s1, t1);                         \
  c = Step(FN(d, a, b), c, d, m[i2], s2, t2);                         \
  b = Step(FN(c, d, a), b, c, m[i3], s3, t3);
  KDR_MD5_STEPS(KDR_MD5_4)
#undef KDR_MD5_4
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
}

#if defined(__x86_64__)
namespace {

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// Rows r[0..7] (eight 32-bit words each) into columns: afterwards r[j] holds word j of every row.
__attribute__((target("avx2"))) void Transpose8(__m256i r[8]) {
  __m256i t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  for (int j = 0; j < 4; ++j) {
    r[j] = _mm256_permute2x128_si256(u[j], u[j + 4], 0x20);
    r[j + 4] = _mm256_permute2x128_si256(u[j], u[j + 4], 0x31);
  }
}

// The block function of Md5::Block, each vector lane one MD5: C chains of eight lanes, whose
// steps go side by side. One chain waits on each step's result (a step needs the one before
// it); a second fills those waits, for nearly twice the rate. h[k][i] is word k of lane i.
template <int C>
__attribute__((target("avx2"))) void VectorBlocks(uint32_t (*h)[Md5::kLanes],
                                                  const unsigned char* const* lanes,
                                                  size_t blocks) {
  __m256i a[C], b[C], c[C], d[C];
#define KDR_CHAINS _Pragma("GCC unroll 2") for (int q = 0; q < C; ++q)
  KDR_CHAINS {
    a[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[0] + 8 * q));
    b[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[1] + 8 * q));
    c[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[2] + 8 * q));
    d[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h[3] + 8 * q));
  }
  const __m256i ones = _mm256_set1_epi32(-1);
  for (size_t k = 0; k < blocks; ++k) {
    __m256i m[C][16], a0[C], b0[C], c0[C], d0[C];
    KDR_CHAINS {
      for (int i = 0; i < 8; ++i) {
        const unsigned char* p = lanes[8 * q + i] + 64 * k;
        m[q][i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        m[q][i + 8] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
      }
      Transpose8(m[q]);
      Transpose8(m[q] + 8);
      a0[q] = a[q];
      b0[q] = b[q];
      c0[q] = c[q];
      d0[q] = d[q];
    }
#define KDR_ROTL(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))
#define KDR_VF(x, y, z) _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)))
#define KDR_VG(x, y, z) _mm256_xor_si256(y, _mm256_and_si256(z, _mm256_xor_si256(x, y)))
#define KDR_VH(x, y, z) _mm256_xor_si256(x, _mm256_xor_si256(y, z))
#define KDR_VI(x, y, z) _mm256_xor_si256(y, _mm256_or_si256(x, _mm256_xor_si256(z, ones)))
#define KDR_VSTEP(FN, w, x, y, z, i, s, t)                                                       \
  KDR_CHAINS w[q] = _mm256_add_epi32(                                                            \
      x[q], KDR_ROTL(_mm256_add_epi32(_mm256_add_epi32(w[q], FN(x[q], y[q], z[q])),              \
                                      _mm256_add_epi32(m[q][i], _mm256_set1_epi32(int32_t(t)))), \
                     s))
#define KDR_V4(FN, i0, i1, i2, i3, s0, s1, s2, s3, t0, t1, t2, t3) \
  KDR_VSTEP(KDR_V##FN, a, b, c, d, i0, s0, t0);                    \
  KDR_VSTEP(KDR_V##FN, d, a, b, c, i1, s1, t1);                    \
  KDR_VSTEP(KDR_V##FN, c, d, a, b, i2, s2, t2);                    \
  KDR_VSTEP(KDR_V##FN, b, c, d, a, i3, s3, t3);
    KDR_MD5_STEPS(KDR_V4)
#undef KDR_V4
#undef KDR_VSTEP
#undef KDR_VI
#undef KDR_VH
#undef KDR_VG
#undef KDR_VF
#undef KDR_ROTL
    KDR_CHAINS {
      a[q] = _mm256_add_epi32(a[q], a0[q]);
      b[q] = _mm256_add_epi32(b[q], b0[q]);
      c[q] = _mm256_add_epi32(c[q], c0[q]);
      d[q] = _mm256_add_epi32(d[q], d0[q]);
    }
  }
  KDR_CHAINS {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(h[0] + 8 * q), a[q]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(h[1] + 8 * q), b[q]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(h[2] + 8 * q), c[q]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(h[3] + 8 * q), d[q]);
  }
#undef KDR_CHAINS
}

}  // namespace

void Md5::VectorUpdate(Md5* const* md5, int n, const unsigned char* data, size_t stride,
                       size_t blocks) {
  // Lanes past n repeat lane 0's bytes; their results are not kept.
  uint32_t h[4][kLanes];
  for (int i = 0; i < kLanes; ++i) {
    for (int k = 0; k < 4; ++k) h[k][i] = md5[i < n ? i : 0]->h_[k];
  }
  const unsigned char* lanes[kLanes];
  for (int i = 0; i < kLanes; ++i) lanes[i] = data + static_cast<size_t>(i < n ? i : 0) * stride;
  if (n > 8) {
    VectorBlocks<2>(h, lanes, blocks);
  } else {
    VectorBlocks<1>(h, lanes, blocks);
  }
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k) md5[i]->h_[k] = h[k][i];
    md5[i]->bytes_ += 64 * blocks;
  }
}
#else
void Md5::VectorUpdate(Md5* const*, int, const unsigned char*, size_t, size_t) {}
#endif
#undef KDR_MD5_STEPS

void Md5::UpdateMany(Md5* const* md5, int n, const unsigned char* data, size_t stride, size_t len) {
  size_t whole = 0;
#if defined(__x86_64__)
  bool aligned = n >= 2 && n <= kLanes && len >= 64 && HasAvx2();
  for (int i = 0; i < n && aligned; ++i) aligned = md5[i]->used_ == 0;
  if (aligned) {
    VectorUpdate(md5, n, data, stride, len / 64);
    whole = len / 64 * 64;
  }
#endif
  for (int i = 0; i < n; ++i)
    md5[i]->Update(data + static_cast<size_t>(i) * stride + whole, len - whole);
}

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

void Md5Of(const unsigned char* data, size_t len, unsigned char out[16]) {
  Md5 md5;
  md5.Update(data, len);
  md5.Final(out);
}

std::string ContentMd5(const unsigned char* data, size_t len) {
  unsigned char digest[16];
  Md5Of(data, len, digest);
  return Base64(digest, sizeof digest);
}

std::string Hex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

std::string_view EtagValue(std::string_view etag) {
  etag = Trim(etag);
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
    etag = etag.substr(1, etag.size() - 2);
  }
  return etag;
}

uint64_t LayoutPartBytes(uint64_t first, uint64_t every, uint64_t number) {
  uint64_t doublings = std::min<uint64_t>((number - 1) / std::max<uint64_t>(every, 1), 16);
  return std::min(kLargestPart, first << doublings);
}

ObjectDigest DigestOf(std::string_view etag, std::string_view layout, bool etagMayBeDigest) {
  ObjectDigest d;
  etag = EtagValue(etag);
  if (!etagMayBeDigest || etag.size() < 32 || !ParseHex16(etag.substr(0, 32), d.md5)) return d;
  if (etag.size() == 32) {
    d.kind = ObjectDigest::kMd5;
    return d;
  }
  // "HEX-N", with the layout our upload recorded: both sane, or nothing is checked.
  size_t slash = layout.find('/');
  if (etag[32] != '-' || slash == std::string_view::npos ||
      !ParseUnsigned(etag.substr(33), &d.parts) ||
      !ParseUnsigned(layout.substr(0, slash), &d.first) ||
      !ParseUnsigned(layout.substr(slash + 1), &d.every) || d.parts == 0 || d.parts > 10000 ||
      d.first == 0 || d.first > kLargestPart || d.every == 0) {
    return ObjectDigest();
  }
  d.kind = ObjectDigest::kParts;
  return d;
}

void ObjectCheck::Update(const unsigned char* p, size_t n) {
  if (d_.kind == ObjectDigest::kMd5) return md5_.Update(p, n);
  if (d_.kind != ObjectDigest::kParts) return;
  while (n > 0) {
    uint64_t room = LayoutPartBytes(d_.first, d_.every, part_) - inPart_;
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, room));
    md5_.Update(p, take);
    inPart_ += take;
    p += take;
    n -= take;
    if (take == room) EndPart();
  }
}

void ObjectCheck::EndPart() {
  unsigned char digest[16];
  md5_.Final(digest);
  md5_ = Md5();
  ofParts_.Update(digest, sizeof digest);
  ++partsDone_;
  ++part_;
  inPart_ = 0;
}

bool ObjectCheck::Matches() {
  unsigned char digest[16];
  if (d_.kind == ObjectDigest::kNone) return true;
  if (d_.kind == ObjectDigest::kParts) {
    if (inPart_ > 0) EndPart();               // the last part, shorter than its layout size
    if (partsDone_ != d_.parts) return true;  // the layout is not this object's: unchecked
    ofParts_.Final(digest);
  } else {
    md5_.Final(digest);
  }
  return std::memcmp(digest, d_.md5, sizeof digest) == 0;
}

}  // namespace kdr::server::s3
