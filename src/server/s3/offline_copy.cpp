#include "server/s3/offline_copy.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/fs.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

bool FindOfflineCopy(const std::string& dir, const std::string& guid, const VaultFileInfo* known,
                     VaultFileInfo* info, std::string* path) {
  if (dir.empty()) return false;
  int fd = pf::kNoFile;
  char stamp[160] = {0};
  size_t n = 0;
  std::string stampPath = dir + "/.versions/" + guid;
  if (pf::OpenFile(stampPath.c_str(), pf::FileMode::kReadOnly, &fd) == 0) {
    pf::ReadFileAt(fd, 0, stamp, sizeof stamp - 1, &n);
    pf::CloseFile(fd);
  }
  std::string text(stamp, n);
  size_t sp = text.find(' ');
  std::error_code ec;
  std::filesystem::directory_iterator dirIt(dir + "/" + guid, ec);
  if (sp == std::string::npos || ec) return false;
  std::string version = text.substr(0, sp);
  if (known != nullptr && known->version != version) return false;  // not the copy of what we knew
  uint64_t size = std::strtoull(text.c_str() + sp + 1, nullptr, 10);
  for (const auto& entry : dirIt) {
    uint64_t got = 0;
    std::string p = entry.path().string();
    if (pf::StatPath(p.c_str(), &got) != 0 || got != size) continue;
    info->guid = guid;
    info->version = version;
    info->size = size;
    info->name = entry.path().filename().string();
    info->volumes = 1;
    *path = p;
    return true;
  }
  return false;
}

}  // namespace kdr::server::s3
