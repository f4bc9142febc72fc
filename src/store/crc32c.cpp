#include "store/crc32c.h"

#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace kdrc {
namespace {

constexpr uint32_t kPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

struct Table {
  uint32_t t[8][256];
  Table() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
  }
};

const Table& Tables() {
  static const Table table;
  return table;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const uint8_t* p,
                                                           size_t len) {
  uint64_t c = ~crc;
  while (len >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    c = _mm_crc32_u64(c, v);
    p += 8;
    len -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  while (len > 0) {
    c32 = _mm_crc32_u8(c32, *p++);
    --len;
  }
  return ~c32;
}

__attribute__((target("sse4.2"))) void Crc32cHardwareMany(const uint8_t* const* data,
                                                           const size_t* len, uint32_t* out,
                                                           int n) {
  size_t common = len[0];
  for (int i = 1; i < n; ++i) common = len[i] < common ? len[i] : common;
  common &= ~size_t{7};
  uint64_t c[4] = {~0ull & 0xFFFFFFFFu, ~0ull & 0xFFFFFFFFu, ~0ull & 0xFFFFFFFFu,
                   ~0ull & 0xFFFFFFFFu};
  for (size_t at = 0; at < common; at += 8) {
    for (int i = 0; i < n; ++i) {
      uint64_t v;
      std::memcpy(&v, data[i] + at, 8);
      c[i] = _mm_crc32_u64(c[i], v);
    }
  }
  for (int i = 0; i < n; ++i) {
    uint32_t done = ~static_cast<uint32_t>(c[i]);
    out[i] = Crc32cHardware(done, data[i] + common, len[i] - common);
  }
}

bool HasSse42() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t len) {
  const Table& tb = Tables();
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~crc;
  while (len >= 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= c;
    c = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^
        tb.t[4][lo >> 24] ^ tb.t[3][hi & 0xFF] ^ tb.t[2][(hi >> 8) & 0xFF] ^
        tb.t[1][(hi >> 16) & 0xFF] ^ tb.t[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len > 0) {
    c = (c >> 8) ^ tb.t[0][(c ^ *p++) & 0xFF];
    --len;
  }
  return ~c;
}

bool Crc32cAccelerated() {
#if defined(__x86_64__)
  return HasSse42();
#else
  return false;
#endif
}

void Crc32cMany(const uint8_t* const* data, const size_t* len, uint32_t* out, int n) {
#if defined(__x86_64__)
  if (HasSse42() && n > 1 && n <= 4) return Crc32cHardwareMany(data, len, out, n);
#endif
  for (int i = 0; i < n; ++i) out[i] = Crc32c(0, data[i], len[i]);
}

uint32_t Crc32c(uint32_t crc, const void* data, size_t len) {
#if defined(__x86_64__)
  if (HasSse42()) return Crc32cHardware(crc, static_cast<const uint8_t*>(data), len);
#endif
  return Crc32cPortable(crc, data, len);
}

}  // namespace kdrc
