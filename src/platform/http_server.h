// A small HTTP server for read-only endpoints (the server's metrics), on a loopback address
// only: what it serves is meant for a monitoring agent on the same machine. GET and HEAD are
// answered; everything else gets 405. Built on libmicrohttpd, which runs its own thread.
#ifndef KDR_PLATFORM_HTTP_SERVER_H_
#define KDR_PLATFORM_HTTP_SERVER_H_

#include <functional>
#include <string>

namespace kdr::platform {

struct HttpServer;

// Answers one GET: fills *body and *contentType and returns the HTTP status. Runs on the
// server's thread; must not block for long.
using HttpHandler =
    std::function<int(const std::string& path, std::string* body, std::string* contentType)>;

// Splits "HOST:PORT" (HOST an IPv4 address, "localhost" or "[IPv6 address]"; PORT 0 to 65535,
// 0: any free port). False with *error set when it is malformed or HOST is not a loopback
// address.
bool ParseLoopbackAddress(const std::string& address, std::string* host, int* port,
                          std::string* error);

// Listens on `address` (see ParseLoopbackAddress). 0, or -1 with *error saying why.
int HttpServe(const std::string& address, HttpHandler handler, HttpServer** server,
              std::string* error);

// The port the server listens on (the one chosen for port 0).
int HttpServerPort(const HttpServer* server);

// Stops answering, waits for the server's thread and frees it. Null is ignored.
void HttpStop(HttpServer* server);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_HTTP_SERVER_H_
