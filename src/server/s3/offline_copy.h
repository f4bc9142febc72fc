// The copy of a file in the server's whole-file cache, which an S3 vault that cannot reach
// its store serves instead.
#ifndef KDR_SERVER_S3_OFFLINE_COPY_H_
#define KDR_SERVER_S3_OFFLINE_COPY_H_

#include <string>

#include "server/vault.h"

namespace kdr::server::s3 {

// Looks for a good copy of `guid` in the whole-file cache `dir` (see server/file_cache.h).
// When `known` is given, only a copy of that version counts. On success fills *info and *path.
bool FindOfflineCopy(const std::string& dir, const std::string& guid, const VaultFileInfo* known,
                     VaultFileInfo* info, std::string* path);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_OFFLINE_COPY_H_
