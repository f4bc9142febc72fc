// Where the server hands a connection over to a session. The server sees sessions through
// these functions and nothing of the Session class; the session sees the server's shared
// state (ServerState). Keeps the two from including each other.
#ifndef KDR_SERVER_SESSION_ENTRY_H_
#define KDR_SERVER_SESSION_ENTRY_H_

#include <atomic>
#include <cstdint>

#include "platform/pipe_server.h"
#include "platform/pipes.h"

namespace kdr::server {

struct ServerState;

// Serves requests on `pipe` from `peer` until the client closes its end, the pipe breaks, or
// the server stops. `requestSince` (may be null) is kept as Session's constructor says.
void ServeSession(ServerState* state, platform::PipeHandle pipe, const platform::PeerProcess& peer,
                  std::atomic<int32_t>* requestSince);

// Removes what transfers of server processes that are gone (killed, crashed) left behind: their
// partial copies in the cache, and the temporary files of downloads to a location, which are
// journalled in the cache's partial directory while they are written. Call once the server
// owns its pipe.
void RemoveLeftoverPartials(ServerState* state);

}  // namespace kdr::server

#endif  // KDR_SERVER_SESSION_ENTRY_H_
