// Environment of the process.
#ifndef KDR_PLATFORM_ENV_H_
#define KDR_PLATFORM_ENV_H_

#include <string>

namespace kdr::platform {

// Returns the value of environment variable `name`, or nullptr when it is unset.
// The pointer stays valid until the variable is changed; copy what you keep.
const char* GetEnv(const char* name);

// Returns true and the value in *value when `name` is set to a non-empty value.
bool GetEnvNonEmpty(const char* name, std::string* value);

// Sets environment variable `name` to `value` for the whole process (and the processes it
// starts). Returns 0 or an errno value. Safe while other threads read the environment: the
// array they may be walking is never changed or freed (what it makes is kept for the life of
// the process, a few hundred bytes a setting).
int SetEnv(const char* name, const char* value);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_ENV_H_
