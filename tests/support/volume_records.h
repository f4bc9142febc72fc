// Self-describing file contents: every 64-byte record states its file, volume and offset, so a
// byte of another file, another volume or another place is caught wherever it is read.
#ifndef KDR_TESTS_SUPPORT_VOLUME_RECORDS_H_
#define KDR_TESTS_SUPPORT_VOLUME_RECORDS_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace kdr {

inline constexpr size_t kRecordBytes = 64;

// `size` bytes of volume `volume` of file `file`, as they stand from offset 0.
inline std::string VolumeRecords(const std::string& file, int volume, size_t size) {
  std::string out;
  out.reserve(size + kRecordBytes);
  char rec[128];
  for (size_t at = 0; at < size; at += kRecordBytes) {
    std::snprintf(rec, sizeof rec, "%-36.36s v%-5d @%-18llu", file.c_str(), volume,
                  static_cast<unsigned long long>(at));
    std::string r(rec);
    r.resize(kRecordBytes - 1, '.');
    out += r + "\n";
  }
  out.resize(size);
  return out;
}

// Empty when `data`, read from `offset` of that volume, is what VolumeRecords wrote there;
// else the first record that differs, as read.
inline std::string RecordMismatch(const std::string& data, const std::string& file, int volume,
                                  uint64_t offset = 0) {
  std::string want = VolumeRecords(file, volume, static_cast<size_t>(offset) + data.size());
  want.erase(0, static_cast<size_t>(offset));
  if (data == want) return "";
  size_t i = 0;
  while (i < data.size() && data[i] == want[i]) ++i;
  size_t start = i - (static_cast<size_t>(offset) + i) % kRecordBytes;
  return "at " + std::to_string(offset + i) + ": \"" + data.substr(start, kRecordBytes - 1) + "\"";
}

}  // namespace kdr

#endif  // KDR_TESTS_SUPPORT_VOLUME_RECORDS_H_
