#include "client/config.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "platform/env.h"

namespace kdr {

ProxyConfig gProxyConfig = {
    "\\\\.\\pipe\\KDRClientPipe", "", kDefaultBufferSize, "Default", kDefaultConnectTimeout,
    kDefaultStartupTimeout,
};

namespace {

constexpr char kSeparator = '/';

void Say(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

// Copies `value` into a configuration text field; false when it does not fit.
bool CopyField(char (&field)[kConfigTextMax + 1], const std::string& value) {
  if (value.size() > static_cast<size_t>(kConfigTextMax)) return false;
  std::memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

// Parses a number the C library's way (leading blanks, optional sign, digits up to the first
// other character; no digits gives 0). A value outside the signed 32-bit range is absurd for
// every setting here: it gives false and the setting keeps its default.
bool ParseNumber(const std::string& text, int32_t* out) {
  errno = 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// Whether the launch script can be opened and read (a directory opens but cannot be read).
bool ScriptReadable(const char* path) {
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) return false;
  std::fgetc(f);
  bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

int ScriptInaccessible(const char* path) {
  std::printf("KDR ERROR: VXN launch script '%s' is inaccessible.\n", path);
  std::fflush(stdout);
  return ERR_KDRCP_NO_SCRIPT;
}

}  // namespace

void KdrToBackslashes(char* path) {
  // The native separator of this platform is '/', and '\' is an ordinary file-name
  // character, so there is nothing to convert.
  (void)path;
}

int ReadProxyConfiguration() {
  ProxyConfig& c = gProxyConfig;
  std::memcpy(c.pipeName, kDefaultPipeName, sizeof kDefaultPipeName);
  c.execPath[0] = '\0';

  std::string home;
  if (!platform::GetEnvNonEmpty("KDR_HOME", &home)) {
    if (KdrLogEnabled()) KdrLogPrintf("WARNING: KDR_HOME environment variable is not set.\n");
    Say("KDR ERROR: KDR_HOME environment variable is not set.\n");
    return ERR_KDRCP_NO_HOME;
  }

  std::string exec = home;
  if (exec.back() != kSeparator) exec += kSeparator;
  std::strcpy(c.locale, kDefaultLocale);
  c.bufferSize = kDefaultBufferSize;
  std::string value;
  exec += platform::GetEnvNonEmpty("VXN_PROXYEXECNAME", &value) ? value : kDefaultLaunchScript;
  // A path that does not fit the record is never cut short (that could name another file):
  // such a script is as unusable as a missing one.
  if (!CopyField(c.execPath, exec)) return ScriptInaccessible(exec.c_str());
  KdrToBackslashes(c.execPath);
  if (!ScriptReadable(c.execPath)) return ScriptInaccessible(c.execPath);

  if (platform::GetEnvNonEmpty("VXN_PROXYPIPENAME", &value)) {
    if (!CopyField(c.pipeName, value)) {
      Say("KDR ERROR: VXN_PROXYPIPENAME is longer than 255 characters.\n");
      return ERR_KDRCP_BAD_ARG;
    }
  }
  KdrToBackslashes(c.pipeName);

  int32_t n = 0;
  if (platform::GetEnvNonEmpty("VXN_PROXYBUFFERSIZE", &value) && ParseNumber(value, &n) &&
      n >= kMinBufferSize) {
    c.bufferSize = n;
  }

  if (platform::GetEnvNonEmpty("VXN_PROXYLOCALE", &value)) {
    if (!CopyField(c.locale, value)) {
      Say("KDR ERROR: VXN_PROXYLOCALE is longer than 255 characters.\n");
      return ERR_KDRCP_BAD_ARG;
    }
  }

  c.connectTimeout = kDefaultConnectTimeout;
  c.startupTimeout = kDefaultStartupTimeout;
  if (platform::GetEnvNonEmpty("VXN_CONNECTTIMEOUT", &value) && ParseNumber(value, &n)) {
    if (n > 0) c.connectTimeout = n;
    if (n > c.startupTimeout) c.startupTimeout = n;
  }
  if (platform::GetEnvNonEmpty("VXN_STARTUPTIMEOUT", &value) && ParseNumber(value, &n) &&
      n >= c.connectTimeout) {
    c.startupTimeout = n;
  }

  if (KdrLogEnabled()) {
    KdrLogPrintf("Configuration:\n");
    KdrLogPrintf("   %s = %s\n", "VXN_PROXYPIPENAME", c.pipeName);
    KdrLogPrintf("   %s = %s\n", "VXN_PROXYEXECNAME", c.execPath);
    KdrLogPrintf("   %s = %ld\n", "VXN_PROXYBUFFERSIZE", static_cast<long>(c.bufferSize));
    KdrLogPrintf("   %s = %s\n", "VXN_PROXYLOCALE", c.locale);
    KdrLogPrintf("   %s = %d\n", "VXN_CONNECTTIMEOUT", c.connectTimeout);
    KdrLogPrintf("   %s = %d\n", "VXN_STARTUPTIMEOUT", c.startupTimeout);
  }
  return 0;
}

}  // namespace kdr
