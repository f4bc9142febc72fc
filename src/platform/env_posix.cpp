#include "platform/env.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

namespace kdr::platform {

const char* GetEnv(const char* name) { return name == nullptr ? nullptr : std::getenv(name); }

bool GetEnvNonEmpty(const char* name, std::string* value) {
  const char* v = GetEnv(name);
  if (v == nullptr || *v == '\0') return false;
  if (value != nullptr) value->assign(v);
  return true;
}

// setenv(3) may move the environment array to make room and free the old one while another
// thread (in a JVM: any of them) walks it in getenv(3). Here a new array is made, the old one
// is kept, and the new one is published with one store: a reader walks the old or the new,
// never freed memory. What is made is never freed (a few hundred bytes for each setting).
int SetEnv(const char* name, const char* value) {
  if (name == nullptr || value == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) {
    return EINVAL;
  }
  static std::mutex mu;                                // orders this function's callers
  static auto* kept = new std::vector<const void*>();  // all it made, still reachable
  std::lock_guard<std::mutex> guard(mu);
  const size_t nameLen = std::strlen(name);
  const size_t valueLen = std::strlen(value);
  char* entry = static_cast<char*>(std::malloc(nameLen + valueLen + 2));
  if (entry == nullptr) return ENOMEM;
  std::memcpy(entry, name, nameLen);
  entry[nameLen] = '=';
  std::memcpy(entry + nameLen + 1, value, valueLen + 1);
  char** old = __atomic_load_n(&environ, __ATOMIC_ACQUIRE);
  size_t n = 0;
  while (old != nullptr && old[n] != nullptr) ++n;
  auto** fresh = static_cast<char**>(std::malloc((n + 2) * sizeof(char*)));
  if (fresh == nullptr) {
    std::free(entry);
    return ENOMEM;
  }
  size_t k = 0;
  bool replaced = false;
  for (size_t i = 0; i < n; ++i) {
    bool same = !replaced && std::strncmp(old[i], name, nameLen) == 0 && old[i][nameLen] == '=';
    fresh[k++] = same ? entry : old[i];
    replaced = replaced || same;
  }
  if (!replaced) fresh[k++] = entry;
  fresh[k] = nullptr;
  // Called from the JVM: no exception may leave here.
  try {
    kept->reserve(kept->size() + 2);
  } catch (...) {
    std::free(fresh);
    std::free(entry);
    return ENOMEM;
  }
  kept->push_back(entry);
  kept->push_back(fresh);
  __atomic_store_n(&environ, fresh, __ATOMIC_RELEASE);
  return 0;
}

}  // namespace kdr::platform
