// Self-describing file contents: 64-byte records, each stating the file, the volume and its own
// offset ("f=0000002a v=00000003 o=0000000000004000 " and filler that depends on all three),
// so that a byte read from another file, another volume or another place shows.
#ifndef KDR_TESTS_SUPPORT_RECORDS_H_
#define KDR_TESTS_SUPPORT_RECORDS_H_

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kdr::records {

inline constexpr uint64_t kRecordBytes = 64;
inline constexpr size_t kVolumeField = 13;  // "v=" + 8 hex digits start here

// The record at `offset` (a multiple of 64) of volume `volume` of file `file`.
inline std::string Record(uint32_t file, uint32_t volume, uint64_t offset) {
  char r[kRecordBytes + 1];
  int n = std::snprintf(r, sizeof r, "f=%08" PRIx32 " v=%08" PRIx32 " o=%016" PRIx64 " ", file,
                        volume, offset);
  uint64_t x = (uint64_t{file} << 40) ^ (uint64_t{volume} << 20) ^ offset ^ 0x9E3779B97F4A7C15ull;
  for (size_t i = static_cast<size_t>(n); i + 1 < kRecordBytes; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    r[i] = static_cast<char>('a' + (x >> 59) % 26);
  }
  r[kRecordBytes - 1] = '\n';
  return std::string(r, kRecordBytes);
}

// `size` bytes of volume `volume` of file `file`.
inline std::string Records(uint32_t file, uint32_t volume, uint64_t size) {
  std::string s;
  s.reserve(size + kRecordBytes);
  for (uint64_t o = 0; o < size; o += kRecordBytes) s += Record(file, volume, o);
  s.resize(size);
  return s;
}

// What a piece of file `file` read at `offset` holds: the volumes its records are of (those
// whose volume field it holds or that only one of volumes 1..maxVolume fits), and the bytes
// that fit no volume of the file at their place.
struct Scan {
  uint32_t firstVolume = 0;  // 0: none seen
  bool twoVolumes = false;   // records of two volumes in the piece
  uint64_t misplaced = 0;
};

inline Scan ScanRecords(const void* data, size_t n, uint64_t offset, uint32_t file,
                        uint32_t maxVolume) {
  Scan scan;
  const char* p = static_cast<const char*>(data);
  size_t at = 0;
  while (at < n) {
    const uint64_t o = offset + at;
    const uint64_t start = o - o % kRecordBytes;
    const size_t from = static_cast<size_t>(o - start);
    const size_t len = std::min<size_t>(kRecordBytes - from, n - at);
    auto fits = [&](uint32_t v) {
      return std::memcmp(Record(file, v, start).data() + from, p + at, len) == 0;
    };
    uint32_t volume = 0;
    if (from <= kVolumeField && from + len >= kVolumeField + 10) {
      char hex[9] = {};
      std::memcpy(hex, p + at + (kVolumeField + 2 - from), 8);
      uint32_t v = static_cast<uint32_t>(std::strtoul(hex, nullptr, 16));
      if (fits(v)) volume = v;
    } else {
      int count = 0;
      for (uint32_t v = 1; v <= maxVolume && count < 2; ++v) {
        if (fits(v)) {
          volume = v;
          ++count;
        }
      }
      if (count == 2) volume = ~0u;  // fits several: tells nothing
    }
    if (volume == 0) {
      scan.misplaced += len;
    } else if (volume != ~0u) {
      if (scan.firstVolume == 0) scan.firstVolume = volume;
      else if (scan.firstVolume != volume) scan.twoVolumes = true;
    }
    at += len;
  }
  return scan;
}

}  // namespace kdr::records

#endif  // KDR_TESTS_SUPPORT_RECORDS_H_
