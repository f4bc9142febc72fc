// Control messages: the exchanges that serve the proxy's housekeeping rather than one file.
#ifndef KDR_PROTOCOL_CONTROL_MESSAGES_H_
#define KDR_PROTOCOL_CONTROL_MESSAGES_H_

namespace kdr {

// KDR_ECHO_MSG: asks the cache server to answer. Returns 0 on a normal reply; the code of an
// error reply (its text becomes the thread's error text); ERR_KDRCP_BAD_ARG for a reply of
// another SeqNum or msgType; ERR_KDRCP_TYPE_ID for another reply kind; the codes of the
// exchange (ERR_KDRCP_THREAD_COUNT, ERR_KDRCP_NO_SERVER, ...).
int EchoMsg();

}  // namespace kdr

#endif  // KDR_PROTOCOL_CONTROL_MESSAGES_H_
