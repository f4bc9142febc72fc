// On-disk layout of the metafile "kdr.mf": a 512-byte header followed by P pages of 512 bytes,
// page n at byte 512 * (n + 1). All numbers are 32-bit little-endian, signed unless noted.
// The records below are the file's bytes as mapped; the static_asserts pin every offset.
#ifndef KDR_STORE_METAFILE_FORMAT_H_
#define KDR_STORE_METAFILE_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace kdrc::meta {

inline constexpr int32_t kVersion = 2;            // "File Header Version"
inline constexpr int32_t kRecordSize = 512;       // header and every page
inline constexpr int32_t kCleanMarker = 24589;    // 0x600D: closed cleanly, or new
inline constexpr int32_t kOpenMarker = 47824;     // 0xBAD0: an owner has it open
inline constexpr uint8_t kPageMark = 0x7D;        // '}' written at creation, never checked
inline constexpr int kEntriesPerPage = 36;
inline constexpr int kGuidLength = 36;

// Page kinds (page byte 1).
inline constexpr uint8_t kFree = 1;
inline constexpr uint8_t kAllocated = 2;
inline constexpr uint8_t kFloating = 3;

// Limits applied by KDRCX_ClampCacheParameters.
inline constexpr int32_t kMaxFilePages = 2097151;  // 0x1FFFFF
inline constexpr int32_t kMaxSegments = 65535;
// The blocks' checksums, beside the metafile (see KDRCRecover.cpp).
inline constexpr char kSumsFile[] = "kdr.crc";

inline constexpr int32_t kDefaultFilePages = 1024;
inline constexpr int32_t kDefaultSegments = 1800;
inline constexpr int32_t kMaxHashBlocks = 2097151;
inline constexpr int32_t kDefaultHashBlocks = 15;
inline constexpr int32_t kMaxExtentMegabytes = 2032;
inline constexpr int32_t kMinExtentMegabytes = 16;
inline constexpr int32_t kMaxExtentFiles = 1000;
inline constexpr int32_t kSegmentsPerMegabyte = 64;
inline constexpr int32_t kMaxTotalMegabytes = 2032000;
// A store shared by processes keeps 12 bytes per page in its segment file (access time and
// date-list links); the segment file is raised to hold them plus this much.
inline constexpr int32_t kSharedTocBytesPerPage = 12;
inline constexpr int32_t kSharedTocClampSlack = 413;

struct Header {
  int32_t version;         //  0
  int32_t freeHead;        //  4  first free page, -1 none
  int32_t freeTail;        //  8  last free page, -1 none
  int32_t freeCount;       // 12
  int32_t reserved;        // 16  always 0
  int32_t filePages;       // 20  P
  int32_t segments;        // 24  N, segments of the segment file
  int32_t hashBlocks;      // 28
  int32_t extentSegments;  // 32  X, extent segments in use
  int32_t extentFiles;     // 36  E, extent files in use
  int32_t maxExtentFiles;  // 40  M
  int32_t segsPerExtent;   // 44  extent megabytes * 64
  int32_t totalExtentMB;   // 48
  int32_t cleanMarker;     // 52  kCleanMarker or kOpenMarker
  char bootId[40];         // 56  the system boot an owner opened the store in, NUL-padded
  uint8_t zero[416];       // 96
};

struct SegmentEntry {
  int32_t length;   // bytes of the block held, -1 .. 16384
  int32_t segment;  // segment number, >= 0
  int32_t block;    // block number of the cached file, >= 0
};

struct Page {
  uint8_t mark;        //   0  kPageMark
  uint8_t kind;        //   1  kFree, kAllocated, kFloating
  uint8_t firstPage;   //   2  1 on the first page of a file (the one the hash file names)
  uint8_t zero0;       //   3
  int32_t self;        //   4  own page number
  int32_t next;        //   8  free: next free; allocated: next page of the file; -1 none
  int32_t prev;        //  12  free: previous free; allocated: previous page of the file
  int32_t hashLink;    //  16  first page: next first page of the same bucket, -1 none
  int32_t accessTime;  //  20  seconds since 1970
  uint32_t sizeLow;    //  24
  uint32_t sizeHigh;   //  28
  int32_t used;        //  32  used entries, 0 .. kEntriesPerPage
  char guid[kGuidLength];                   //  36  NUL-padded, unterminated at 36
  SegmentEntry entries[kEntriesPerPage];    //  72  unused entries all 0xFF
  uint8_t zero1[8];                         // 504
};

static_assert(sizeof(Header) == kRecordSize);
static_assert(offsetof(Header, cleanMarker) == 52 && offsetof(Header, bootId) == 56);
static_assert(sizeof(SegmentEntry) == 12);
static_assert(sizeof(Page) == kRecordSize);
static_assert(offsetof(Page, self) == 4 && offsetof(Page, hashLink) == 16);
static_assert(offsetof(Page, accessTime) == 20 && offsetof(Page, used) == 32);
static_assert(offsetof(Page, guid) == 36 && offsetof(Page, entries) == 72);

// Byte offset of page n in the file.
constexpr uint64_t PageOffset(int32_t n) { return uint64_t(kRecordSize) * (uint64_t(n) + 1); }

// Smallest valid file size for P pages.
constexpr uint64_t FileSizeFor(int32_t pages) { return PageOffset(pages); }

}  // namespace kdrc::meta

#endif  // KDR_STORE_METAFILE_FORMAT_H_
