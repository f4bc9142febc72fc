#include "server/home.h"

#include "platform/dirs.h"
#include "platform/fs.h"
#include "server/vault.h"

namespace kdr::server {

namespace pf = kdr::platform;

namespace {

bool IsDir(const std::string& path) { return pf::IsDirectory(path); }

bool Make(const std::string& path, const char* what, std::string* error) {
  int rc = pf::MakeDirectories(path, 0777);
  if (rc != 0 || !IsDir(path)) {
    *error = std::string("cannot create the ") + what + " " + path + ": " +
             (rc != 0 ? pf::ErrorString(rc) : std::string("not a directory"));
    return false;
  }
  return true;
}

}  // namespace

bool PrepareDirectories(const ServerConfig& config, std::string* error) {
  const bool create = config.create;
  if (!config.home.empty() && !IsDir(config.home)) {
    if (!create) {
      *error = "KDR_HOME " + config.home +
               " is not a directory: set KDR_HOME to the installation directory, or run "
               "`kdrcached --create` once to make a new installation there";
      return false;
    }
    if (!Make(config.home, "KDR_HOME", error)) return false;
  }
  if (!IsObjectStoreLocation(config.vaultDir) && !IsDir(config.vaultDir)) {
    if (!create) {
      *error = "the vault " + config.vaultDir +
               " is not a directory: give the right --vault-dir (KDRCACHED_VAULT_DIR), or run "
               "`kdrcached --create` (or `kdrvault init`) once to make an empty vault";
      return false;
    }
    if (!Make(config.vaultDir, "vault", error)) return false;
  }
  if (!IsDir(config.cacheDir)) {
    size_t slash = config.cacheDir.rfind('/');
    std::string parent = slash == std::string::npos
                             ? std::string()
                             : config.cacheDir.substr(0, slash == 0 ? 1 : slash);
    if (!create && !parent.empty() && !IsDir(parent)) {
      *error = "the cache directory " + config.cacheDir + " cannot be made: " + parent +
               " is not a directory (give the right --cache-dir, or --create)";
      return false;
    }
    if (!Make(config.cacheDir, "cache directory", error)) return false;
  }
  return true;
}

}  // namespace kdr::server
