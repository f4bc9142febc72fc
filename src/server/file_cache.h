// The bound of the whole-file cache (<cacheDir>/files/<GUID>/<name>, with a version stamp per
// GUID in files/.versions). Each copy's last use is the time of its stamp, touched on every
// hit, so the order survives a restart. When a new copy has gone in and the cache holds more
// than its bound, the least recently used copies are removed, oldest first, skipping every
// copy that is in use (a client holds a handle on its GUID, or it is the copy just made).
// Copies that a transfer is still writing live in .partial and are not counted.
//
// Callers hold the server's fileCacheMu around each call, so no copy is committed, answered
// or removed concurrently.
#ifndef KDR_SERVER_FILE_CACHE_H_
#define KDR_SERVER_FILE_CACHE_H_

#include <cstdint>
#include <functional>
#include <string>

namespace kdr::server {

// Marks the copy with this stamp as used now.
void TouchCachedFile(const std::string& stampPath);

struct EvictResult {
  uint64_t bytesBefore = 0;
  uint64_t bytesAfter = 0;
  int evicted = 0;
};

// Removes least recently used copies until the cache holds at most maxBytes (0: no bound;
// the size is still measured). inUse(guid) protects a copy.
EvictResult BoundFileCache(const std::string& filesDir, const std::string& versionsDir,
                           uint64_t maxBytes,
                           const std::function<bool(const std::string& guid)>& inUse);

}  // namespace kdr::server

#endif  // KDR_SERVER_FILE_CACHE_H_
