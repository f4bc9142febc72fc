// Layout of the hash file "kdr.hsh": no header, hash blocks * 512 bytes, that is 128 buckets
// per block. Each bucket is a 32-bit little-endian page number of a first page, -1 when empty.
// Further first pages of a bucket chain through their page's hash link (metafile_format.h).
#ifndef KDR_STORE_HASH_FORMAT_H_
#define KDR_STORE_HASH_FORMAT_H_

#include <cstdint>

namespace kdrc::hash {

inline constexpr int32_t kBlockSize = 512;
inline constexpr int32_t kBucketSize = 4;
inline constexpr int32_t kBucketsPerBlock = kBlockSize / kBucketSize;  // 128
inline constexpr int32_t kEmpty = -1;
inline constexpr uint32_t kMultiplier = 17;  // h = h * 17 + c over the GUID's bytes
inline constexpr int kMinGuidLength = 32;

inline constexpr const char* kDefaultFile = "kdr.hsh";
inline constexpr const char* kFileEnv = "KDRC_DEFAULT_HASH_FILE";
inline constexpr const char* kDefaultMapName = "KDR_HSH";
inline constexpr const char* kMapNameEnv = "KDRC_DEFAULT_HASH_FILE_MAPNAME";
inline constexpr const char* kMapSuffix = "%s_HSH";

constexpr uint64_t FileSizeFor(int32_t hashBlocks) { return uint64_t(hashBlocks) * kBlockSize; }

}  // namespace kdrc::hash

#endif  // KDR_STORE_HASH_FORMAT_H_
