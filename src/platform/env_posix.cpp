#include "platform/env.h"

#include <cerrno>
#include <cstdlib>

namespace kdr::platform {

const char* GetEnv(const char* name) { return name == nullptr ? nullptr : std::getenv(name); }

bool GetEnvNonEmpty(const char* name, std::string* value) {
  const char* v = GetEnv(name);
  if (v == nullptr || *v == '\0') return false;
  if (value != nullptr) value->assign(v);
  return true;
}

int SetEnv(const char* name, const char* value) {
  return ::setenv(name, value, 1) == 0 ? 0 : errno;
}

}  // namespace kdr::platform
