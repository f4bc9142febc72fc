// Layout of the segment file "kdr.seg" and the extent files "kdr.extNNN": headerless arrays of
// 16384-byte segments, zero-filled when made. Segment g < N lives at g * 16384 of the segment
// file; g >= N lives in extent file (g - N) / S at ((g - N) % S) * 16384.
#ifndef KDR_STORE_SEGMENT_FORMAT_H_
#define KDR_STORE_SEGMENT_FORMAT_H_

#include <cstdint>

namespace kdrc::seg {

inline constexpr int32_t kSegmentSize = 16384;
inline constexpr int kBlockShift = 14;  // block number = byte offset >> 14
static_assert((1 << kBlockShift) == kSegmentSize);

// Segments appended to an extent file per growth step outside shared-structures mode.
inline constexpr int32_t kGrowSegments = 256;

// Extent file numbers below this get three digits ("%03d"), the rest seven ("%07d").
inline constexpr int32_t kThreeDigitLimit = 1000;
// Most extent file names tried when a new cache deletes the old ones.
inline constexpr int32_t kMaxExtentNamesTried = 2097151;

// Default names and their environment overrides.
inline constexpr const char* kDefaultFile = "kdr.seg";
inline constexpr const char* kFileEnv = "KDRC_DEFAULT_SEGMENT_FILE";
inline constexpr const char* kDefaultMapName = "KDR_SEG";
inline constexpr const char* kMapNameEnv = "KDRC_DEFAULT_SEGMENT_FILE_MAPNAME";
inline constexpr const char* kMapSuffix = "%s_SEG";
inline constexpr const char* kDefaultExtentBase = "kdr.ext";
inline constexpr const char* kExtentBaseEnv = "KDRC_DEFAULT_SEGMENTEXT_FILE";
inline constexpr const char* kDefaultExtentMapName = "KDR_EXT";
inline constexpr const char* kExtentMapNameEnv = "KDRC_DEFAULT_SEGMENTEXT_FILE_MAPNAME";

constexpr uint64_t SegmentOffset(int32_t g) { return uint64_t(g) * uint64_t(kSegmentSize); }

}  // namespace kdrc::seg

#endif  // KDR_STORE_SEGMENT_FORMAT_H_
