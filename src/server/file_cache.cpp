#include "server/file_cache.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <vector>

#include "server/log.h"
#include "server/stats.h"

namespace kdr::server {

namespace fs = std::filesystem;

void TouchCachedFile(const std::string& stampPath) {
  std::error_code ec;
  fs::last_write_time(stampPath, fs::file_time_type::clock::now(), ec);
}

EvictResult BoundFileCache(const std::string& filesDir, const std::string& versionsDir,
                           uint64_t maxBytes,
                           const std::function<bool(const std::string& guid)>& inUse) {
  struct Copy {
    std::string guid;
    uint64_t bytes = 0;
    fs::file_time_type used;
  };
  std::vector<Copy> copies;
  EvictResult r;
  std::error_code ec;
  for (fs::directory_iterator it(filesDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string guid = it->path().filename().string();
    if (guid.empty() || guid[0] == '.' || !it->is_directory(ec)) continue;
    Copy c;
    c.guid = guid;
    std::error_code e2;
    for (fs::recursive_directory_iterator f(it->path(), e2), fend; !e2 && f != fend;
         f.increment(e2)) {
      std::error_code e3;
      if (f->is_regular_file(e3)) c.bytes += f->file_size(e3);
    }
    c.used = fs::last_write_time(versionsDir + "/" + guid, e2);
    if (e2) c.used = fs::last_write_time(it->path(), e2);  // no stamp: as old as its folder
    r.bytesBefore += c.bytes;
    copies.push_back(std::move(c));
  }
  r.bytesAfter = r.bytesBefore;
  if (maxBytes == 0 || r.bytesAfter <= maxBytes) return r;
  std::sort(copies.begin(), copies.end(),
            [](const Copy& a, const Copy& b) { return a.used < b.used; });
  for (const Copy& c : copies) {
    if (r.bytesAfter <= maxBytes) break;
    if (inUse(c.guid)) continue;
    // The stamp goes first: a copy without its stamp is never answered as cached.
    fs::remove(versionsDir + "/" + c.guid, ec);
    fs::remove_all(filesDir + "/" + c.guid, ec);
    if (ec) {
      Log(LogLevel::kWarn, "whole-file cache: cannot remove %s/%s: %s", filesDir.c_str(),
          c.guid.c_str(), ec.message().c_str());
      continue;
    }
    r.bytesAfter -= c.bytes;
    ++r.evicted;
    Stats().NoteFileDropped(c.guid, MissReason::kEvicted,
                            std::chrono::duration<double>(fs::file_time_type::clock::now() - c.used).count());
    Log(LogLevel::kInfo, "whole-file cache: evicted %s (%llu bytes, least recently used)",
        c.guid.c_str(), static_cast<unsigned long long>(c.bytes));
  }
  if (r.bytesAfter > maxBytes) {
    Log(LogLevel::kWarn,
        "whole-file cache holds %llu bytes, above its bound of %llu: the rest is in use",
        static_cast<unsigned long long>(r.bytesAfter), static_cast<unsigned long long>(maxBytes));
  }
  return r;
}

}  // namespace kdr::server
