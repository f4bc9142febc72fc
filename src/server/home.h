// The directories a server runs in: KDR_HOME, the cache directory and the vault. A missing
// installation is an error with advice, never silently made: a typo in KDR_HOME must not grow
// a new empty installation. Making one is the explicit --create step.
#ifndef KDR_SERVER_HOME_H_
#define KDR_SERVER_HOME_H_

#include <string>

#include "server/config.h"

namespace kdr::server {

// Checks (with config.create: makes) KDR_HOME when the directories derive from it, the vault
// and the cache directory. The cache directory alone is made when only it is missing (it is
// only a cache) and its parent exists. False with *error saying what is missing and what to do.
bool PrepareDirectories(const ServerConfig& config, std::string* error);

}  // namespace kdr::server

#endif  // KDR_SERVER_HOME_H_
