// The store that the owner process of the fast-cache tests builds, and the bytes of its files,
// shared by the owner program and the tests.
#ifndef KDR_TESTS_FASTCACHE_FASTCACHE_LAYOUT_H_
#define KDR_TESTS_FASTCACHE_FASTCACHE_LAYOUT_H_

#include <cstdint>
#include <string>

#include "store/segment_format.h"

namespace kdr::fastcache_test {

inline constexpr int32_t kBlock = kdrc::seg::kSegmentSize;

// Store parameters, as the owner opens the store and as the peer hands them to the client.
inline constexpr int32_t kFilePages = 64;
inline constexpr int32_t kSegments = 16;
inline constexpr int32_t kHashBlocks = 2;
inline constexpr int32_t kExtentMB = 16;
inline constexpr int32_t kExtents = 0;

struct CachedFile {
  char letter;            // the GUID is 32 of these
  int64_t size;           // size recorded in the store
  int32_t blocks;         // blocks 0 .. blocks-1 are written
  int32_t lastLength;     // length written for the last of them (the others are full)
};

// A: a full block and a short last block. B: three full blocks of four, the fourth (short) not
// cached. C: the first block holds only 100 of the file's 300 bytes (an incomplete block).
inline constexpr CachedFile kFileA{'A', kBlock + 200, 2, 200};
inline constexpr CachedFile kFileB{'B', 3 * int64_t(kBlock) + 300, 3, kBlock};
inline constexpr CachedFile kFileC{'C', 300, 1, 100};
inline constexpr CachedFile kFiles[] = {kFileA, kFileB, kFileC};

// The churning store (fastcache_owner ... churn): a larger store holding file L, whose pages
// the owner evicts and whose blocks it writes again, into segments that file M held, while
// clients read L.
inline constexpr int32_t kChurnSegments = 160;
inline constexpr CachedFile kFileL{'L', 100 * int64_t(kBlock), 100, kBlock};

inline std::string Guid(char letter) { return std::string(32, letter); }

// The volume stamp the owner gives file `letter` (and the peer's open reply hands out).
inline int64_t StampOf(char letter) { return 0x57A3900000LL + letter; }

// Byte `offset` of the file with GUID letter `letter`. Not periodic in 16384, so bytes taken
// from the wrong block or the wrong place in a block show.
inline unsigned char FileByte(char letter, int64_t offset) {
  return static_cast<unsigned char>((offset % 251) * 3 + offset / kBlock * 17 + letter);
}

inline std::string FileBytes(char letter, int64_t from, int64_t n) {
  std::string s;
  for (int64_t i = 0; i < n; ++i) s += static_cast<char>(FileByte(letter, from + i));
  return s;
}

}  // namespace kdr::fastcache_test

#endif  // KDR_TESTS_FASTCACHE_FASTCACHE_LAYOUT_H_
