// A small read-only HTTP server for the tools' status pages, and the
// client the tests ask it with; both over cpp-httplib, whose header (and
// with it the sockets API of the system) is included by http_server.cc
// alone. Knows no page: the caller's handler answers each path.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kvs {

struct HttpReply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
};

// Builds the reply to a GET (or HEAD) of path, the query string left off.
using HttpHandler = std::function<HttpReply(const std::string& path)>;

// Listens on one address, answers GET and HEAD through the handler (405 to
// every other method) with headers that keep a browser from running,
// framing or caching anything, and ends each connection after its answer.
// A few worker threads read and write the connections; the handler is
// called by one of them at a time, so it needs no locking of its own.
// Move-only.
class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(HttpServer&& other) noexcept;
  HttpServer& operator=(HttpServer&& other) noexcept;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds address (an IPv4 or IPv6 address or a host name) and port.
  // 0, or -1 when the address cannot be bound.
  [[nodiscard]] int Bind(const std::string& address, int port);
  // Serves the bound address until stop() is true (asked every 200 ms).
  // 0 when stopped so, -1 when not bound or when listening failed.
  [[nodiscard]] int Serve(const HttpHandler& handler, const std::function<bool()>& stop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One GET of path from address:port with a time-out of timeout_seconds
// for connecting and for each read. 0 with *status and *body, or -1 when
// no answer came.
[[nodiscard]] int HttpGet(const std::string& address, int port, const std::string& path,
                          int timeout_seconds, int* status, std::string* body);

}  // namespace kvs
