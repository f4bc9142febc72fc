#include "server/s3/offline_copy.h"

#include "server/file_cache.h"

namespace kdr::server::s3 {

bool FindOfflineCopy(const std::string& dir, const std::string& guid, const VaultFileInfo* known,
                     VaultFileInfo* info, std::string* path) {
  if (dir.empty()) return false;
  std::string version, name;
  uint64_t size = 0;
  // The whole-file cache vouches for its copies (stamp, size, inode, modification time).
  if (!FileCache(dir, 0).Newest(guid, known != nullptr ? known->version : "", &version, &size,
                                &name, path)) {
    path->clear();
    return false;
  }
  info->guid = guid;
  info->version = version;
  info->size = size;
  info->name = name;
  info->volumes = 1;
  return true;
}

}  // namespace kdr::server::s3
