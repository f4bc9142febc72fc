// Configuration of the proxy, read from environment variables at each real initialisation.
#ifndef KDR_PROXY_CONFIG_H_
#define KDR_PROXY_CONFIG_H_

#include <cstdint>

namespace kdr {

inline constexpr int kConfigTextMax = 255;  // characters, plus the terminator
inline constexpr const char kDefaultPipeName[] = "\\\\.\\pipe\\KDRClientPipe";
inline constexpr const char kDefaultLaunchScript[] = "startvxn.sh";
inline constexpr const char kDefaultLocale[] = "Default";
inline constexpr int32_t kDefaultBufferSize = 16384;
inline constexpr int32_t kMinBufferSize = 512;
inline constexpr int32_t kDefaultConnectTimeout = 5;   // seconds
inline constexpr int32_t kDefaultStartupTimeout = 60;  // seconds

struct ProxyConfig {
  char pipeName[kConfigTextMax + 1];  // master pipe name (VXN_PROXYPIPENAME)
  char execPath[kConfigTextMax + 1];  // launch script (KDR_HOME + VXN_PROXYEXECNAME)
  int32_t bufferSize;                 // per-file read buffer, bytes (VXN_PROXYBUFFERSIZE)
  char locale[kConfigTextMax + 1];    // locale for server texts (VXN_PROXYLOCALE)
  int32_t connectTimeout;             // seconds to wait for the pipe (VXN_CONNECTTIMEOUT)
  int32_t startupTimeout;             // seconds to wait after a launch (VXN_STARTUPTIMEOUT)
};

// The one configuration record. Written by ReadProxyConfiguration (under lock B) and by
// VXN_SetLocale; read without a lock while the proxy is initialised.
extern ProxyConfig gProxyConfig;

// Reads the configuration from the environment into gProxyConfig. Returns 0, or
//   ERR_KDRCP_NO_HOME (-2998)  KDR_HOME unset or empty; nothing else is changed;
//   ERR_KDRCP_NO_SCRIPT (-2997) the launch script cannot be opened for reading, or its
//                              path is longer than 255 characters;
//   ERR_KDRCP_BAD_ARG (-3002)  VXN_PROXYPIPENAME or VXN_PROXYLOCALE longer than 255.
// Each failure prints one "KDR ERROR: ..." line on standard output. On success the values are
// dumped to the proxy log when it is open.
int ReadProxyConfiguration();

// Makes `path` use the native separator, in place. On POSIX the native separator is '/' and
// a backslash is a legal file-name character, so the path is left unchanged.
void KdrToBackslashes(char* path);

}  // namespace kdr

#endif  // KDR_PROXY_CONFIG_H_
