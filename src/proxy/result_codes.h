// Result codes of the proxy (subsystems 2 to 5) and their texts.
//
// Every operation returns a signed 32-bit result: 0 for success, one of the negative codes
// below for failure (some multi-item entries return a non-negative count instead). The
// numbers are part of the interface seen by Java callers and by the cache server; never
// renumber them.
#ifndef KDR_PROXY_RESULT_CODES_H_
#define KDR_PROXY_RESULT_CODES_H_

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

// The text of a code: a static string, or nullptr for 0. Codes without a text of their own
// (-3014 among them, and every code not listed above) give "ERR_KDRCP_UNKNOWN".
const char* KdrErrorText(int code);

// Gives the text of ERR_KDRCP_START_FAILED the detail of the last failed start (where the
// launch script's output went), for the rest of the process. Any thread.
void KdrSetStartFailedText(const char* text);

}  // namespace kdr

#endif  // KDR_PROXY_RESULT_CODES_H_
