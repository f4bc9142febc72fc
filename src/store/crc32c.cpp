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
// A long piece is taken in stripes of three lanes of kLane bytes, computed side by side (the
// instruction's latency hidden, as in Crc32cMany) and joined: the CRC state after a lane is
// the state before it moved over kLane zero bytes, XOR the lane's own CRC from 0, and moving
// a state over zeros is linear in its bits, so it is a table lookup per byte of the state.
constexpr size_t kLane = 1360;  // a multiple of 8; three lanes are about a page

__attribute__((target("sse4.2"))) uint32_t OverZeros(uint32_t state, size_t n) {
  uint64_t c = state;
  for (size_t i = 0; i < n; i += 8) c = _mm_crc32_u64(c, 0);
  return static_cast<uint32_t>(c);
}

struct LaneShift {
  uint32_t t[4][256];
  LaneShift() {
    uint32_t bit[32];
    for (int b = 0; b < 32; ++b) bit[b] = OverZeros(1u << b, kLane);
    for (int k = 0; k < 4; ++k) {
      for (uint32_t v = 0; v < 256; ++v) {
        uint32_t r = 0;
        for (int b = 0; b < 8; ++b) r ^= (v >> b & 1) != 0 ? bit[8 * k + b] : 0;
        t[k][v] = r;
      }
    }
  }
  uint32_t operator()(uint32_t c) const {
    return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24];
  }
};

const LaneShift& Shift() {
  static const LaneShift shift;
  return shift;
}

__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const uint8_t* p,
                                                           size_t len) {
  uint64_t c = ~crc;
  if (len >= 3 * kLane) {
    const LaneShift& shift = Shift();
    for (; len >= 3 * kLane; p += 3 * kLane, len -= 3 * kLane) {
      uint64_t c1 = 0, c2 = 0;
      for (size_t i = 0; i < kLane; i += 8) {
        uint64_t v0, v1, v2;
        std::memcpy(&v0, p + i, 8);
        std::memcpy(&v1, p + kLane + i, 8);
        std::memcpy(&v2, p + 2 * kLane + i, 8);
        c = _mm_crc32_u64(c, v0);
        c1 = _mm_crc32_u64(c1, v1);
        c2 = _mm_crc32_u64(c2, v2);
      }
      c = shift(static_cast<uint32_t>(c)) ^ static_cast<uint32_t>(c1);
      c = shift(static_cast<uint32_t>(c)) ^ static_cast<uint32_t>(c2);
    }
  }
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
