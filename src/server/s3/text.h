// The text of S3 requests and answers: percent-encoding of keys and queries, the few XML
// documents the vault reads, and the header values it checks. Pure functions of their input;
// every parser takes whatever a store (or anything between) may send and never reads past it.
#ifndef KDR_SERVER_S3_TEXT_H_
#define KDR_SERVER_S3_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kdr::server::s3 {

// Percent-encodes everything but the unreserved characters (and '/' when `keepSlash`).
std::string Encode(std::string_view s, bool keepSlash);
// Undoes Encode; a '%' not followed by two hex digits stays as it is.
std::string Decode(std::string_view s);
// `s` without the blanks (spaces, tabs, CR, LF) at its ends.
std::string_view Trim(std::string_view s);
std::string XmlUnescape(std::string_view s);

// The raw content of the first <tag>...</tag> in `xml` at or after *from (advanced past it).
bool XmlNext(std::string_view xml, std::string_view tag, size_t* from, std::string_view* text);
// The unescaped content of the first <tag>...</tag>; empty when there is none.
std::string XmlField(std::string_view xml, std::string_view tag);

// A query string from name/value pairs, sorted by name as the signature needs them.
std::string Query(std::vector<std::pair<std::string, std::string>> params);

// A decimal number of at most 19 digits and nothing else.
bool ParseUnsigned(std::string_view text, uint64_t* value);

// "HTTP/1.1 206 Partial Content" -> 206.
bool ParseStatusLine(std::string_view line, long* status);
// "Name: value" -> the name in lower case and the value without surrounding blanks.
bool ParseHeaderLine(std::string_view line, std::string* name, std::string* value);

// Content-Range of a 206 answer: "bytes FIRST-LAST/TOTAL" (TOTAL may be "*": unknown).
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t total = 0;
  bool totalKnown = false;
};
bool ParseContentRange(std::string_view value, ContentRange* range);

// Retry-After in seconds (the date form is not used by S3 and is refused), as milliseconds.
bool ParseRetryAfter(std::string_view value, uint32_t* ms);

// One page of ListObjectVersions, entries in the order the store sent them.
struct VersionEntry {
  std::string key;
  std::string versionId;
  bool latest = false;
  bool deleteMarker = false;
};
struct VersionPage {
  std::vector<VersionEntry> entries;
  bool truncated = false;
  std::string nextKeyMarker;
  std::string nextVersionIdMarker;
};
// False when `xml` is not such a page (an error document, say).
bool ParseVersionPage(std::string_view xml, VersionPage* page);

// One page of ListMultipartUploads.
struct UploadEntry {
  std::string key;
  std::string uploadId;
  std::string initiated;  // ISO 8601, as the store wrote it
};
struct UploadPage {
  std::vector<UploadEntry> uploads;
  bool truncated = false;
  std::string nextKeyMarker;
  std::string nextUploadIdMarker;
};
bool ParseUploadPage(std::string_view xml, UploadPage* page);

// Seconds since 1970 of an ISO 8601 time "YYYY-MM-DDTHH:MM:SS[.fff]Z"; false when malformed.
bool ParseIsoTime(std::string_view text, int64_t* seconds);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_TEXT_H_
