// Result codes of the proxy (subsystems 2 to 5): the numbers alone, for every room that
// returns or tests one (their texts: client/result_codes.h).
//
// Every operation returns a signed 32-bit result: 0 for success, one of the negative codes
// below for failure (some multi-item entries return a non-negative count instead). The
// numbers are part of the interface seen by Java callers and by the cache server; never
// renumber them.
#ifndef KDR_IFACE_RESULT_CODES_H_
#define KDR_IFACE_RESULT_CODES_H_

namespace kdr {

inline constexpr int KDRCP_OK = 0;
inline constexpr int ERR_KDRCP_UNKNOWN_FILE_SIZE = -1;
inline constexpr int ERR_KDRCP_START_FAILED = -2996;
inline constexpr int ERR_KDRCP_NO_SCRIPT = -2997;
inline constexpr int ERR_KDRCP_NO_HOME = -2998;
inline constexpr int ERR_KDRCP_NOT_INITIALIZED = -2999;
inline constexpr int ERR_KDRCP_NO_CONFIG = -3000;
inline constexpr int ERR_KDRCP_NO_SERVER = -3001;
inline constexpr int ERR_KDRCP_BAD_ARG = -3002;
inline constexpr int ERR_KDRCP_BAD_FILE = -3003;
inline constexpr int ERR_KDRCP_TOO_MANY = -3004;
inline constexpr int ERR_KDRCP_BAD_TICKET = -3005;
inline constexpr int ERR_KDRCP_TICKET_EXPIRED = -3006;
inline constexpr int ERR_KDRCP_EOF = -3007;
inline constexpr int ERR_KDRCP_THREAD_COUNT = -3008;
inline constexpr int ERR_KDRCP_OUT_OF_MEMORY = -3009;
inline constexpr int ERR_KDRCP_NOT_EXECUTED = -3010;
inline constexpr int ERR_KDRCP_SEQUENCE = -3011;
inline constexpr int ERR_KDRCP_MSG_TYPE = -3012;
inline constexpr int ERR_KDRCP_MSG_DATA = -3013;
inline constexpr int ERR_KDRCP_TYPE_ID = -3014;
inline constexpr int ERR_KDRCP_FILE_BUSY = -3015;
inline constexpr int ERR_KDRCP_CANCELLED = -3016;
inline constexpr int ERR_KDRCP_VERSION = -3017;
inline constexpr int ERR_KDRCP_NOT_SUPPORTED = -3099;

}  // namespace kdr

#endif  // KDR_IFACE_RESULT_CODES_H_
