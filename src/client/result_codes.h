// The texts of the proxy's result codes (the codes themselves: iface/result_codes.h).
#ifndef KDR_PROXY_RESULT_CODES_H_
#define KDR_PROXY_RESULT_CODES_H_

#include "iface/result_codes.h"

namespace kdr {

// The text of a code: a static string, or nullptr for 0. Codes without a text of their own
// (-3014 among them, and every code iface/result_codes.h does not list) give "ERR_KDRCP_UNKNOWN".
const char* KdrErrorText(int code);

// Gives the text of ERR_KDRCP_START_FAILED the detail of the last failed start (where the
// launch script's output went), for the rest of the process. Any thread.
void KdrSetStartFailedText(const char* text);

}  // namespace kdr

#endif  // KDR_PROXY_RESULT_CODES_H_
