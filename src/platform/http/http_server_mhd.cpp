#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/http_server.h"

namespace kdr::platform {

struct HttpServer {
  MHD_Daemon* daemon = nullptr;
  HttpHandler handler;
  int port = 0;
};

namespace {

constexpr unsigned kConnectionLimit = 16;
constexpr unsigned kConnectionTimeoutS = 10;

MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
  auto* server = static_cast<HttpServer*>(cls);
  std::string body;
  std::string type = "text/plain; charset=utf-8";
  int status = 405;
  bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (head || std::strcmp(method, MHD_HTTP_METHOD_GET) == 0) {
    status = server->handler(url != nullptr ? url : "/", &body, &type);
  } else {
    body = "only GET and HEAD\n";
  }
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.c_str());
  if (status == 405) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  MHD_Result rc = MHD_queue_response(connection, static_cast<unsigned>(status), response);
  MHD_destroy_response(response);
  return rc;
}

}  // namespace

bool ParseLoopbackAddress(const std::string& address, std::string* host, int* port,
                          std::string* error) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
    *error = "not HOST:PORT: " + address;
    return false;
  }
  std::string h = address.substr(0, colon);
  std::string p = address.substr(colon + 1);
  if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(p) > 65535) {
    *error = "not a port: " + p;
    return false;
  }
  if (h == "localhost") h = "127.0.0.1";
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  in_addr v4{};
  in6_addr v6{};
  bool loopback = false;
  if (inet_pton(AF_INET, h.c_str(), &v4) == 1) {
    loopback = (ntohl(v4.s_addr) >> 24) == 127;
  } else if (inet_pton(AF_INET6, h.c_str(), &v6) == 1) {
    loopback = IN6_IS_ADDR_LOOPBACK(&v6);
  } else {
    *error = "not an IP address: " + h;
    return false;
  }
  if (!loopback) {
    *error = h +
             " is not a loopback address (127.0.0.0/8 or ::1): the metrics are served to "
             "this machine only";
    return false;
  }
  *host = h;
  *port = std::stoi(p);
  return true;
}

int HttpServe(const std::string& address, HttpHandler handler, HttpServer** server,
              std::string* error) {
  std::string host;
  int port = 0;
  if (!ParseLoopbackAddress(address, &host, &port, error)) return -1;
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* sa = nullptr;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
  if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    sa = reinterpret_cast<const sockaddr*>(&v4);
  } else {
    inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    sa = reinterpret_cast<const sockaddr*>(&v6);
    flags |= MHD_USE_IPv6;
  }
  auto* s = new HttpServer;
  s->handler = std::move(handler);
  s->daemon =
      MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, &Answer, s,
                       MHD_OPTION_SOCK_ADDR, sa, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                       MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS, MHD_OPTION_END);
  if (s->daemon == nullptr) {
    int err = errno;
    *error = "cannot serve HTTP on " + address + ": " +
             (err != 0 ? std::string(std::strerror(err)) : std::string("failed"));
    delete s;
    return -1;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(s->daemon, MHD_DAEMON_INFO_BIND_PORT);
  s->port = info != nullptr ? info->port : port;
  *server = s;
  return 0;
}

int HttpServerPort(const HttpServer* server) { return server->port; }

void HttpStop(HttpServer* server) {
  if (server == nullptr) return;
  MHD_stop_daemon(server->daemon);
  delete server;
}

}  // namespace kdr::platform
