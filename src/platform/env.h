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

// Sets environment variable `name` to `value` for the whole process. Returns 0 or an errno
// value. Not safe while another thread reads the environment: callers set before the threads
// that read it run.
int SetEnv(const char* name, const char* value);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_ENV_H_
