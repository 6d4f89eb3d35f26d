// A small read-only HTTP server for the tools' status pages, and the
// clients the tests ask it with. The sockets API of the system (through
// cpp-httplib's header, whose client the tests use) is included by
// http_server.cc alone. Knows no page: the caller's handler answers each
// path. Every request is bounded: its size, the time its client may take,
// the number of clients, and how long it may wait for the handler.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kvs {

struct HttpReply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
};

// Builds the reply to a GET (or HEAD) of path, the query string left off.
using HttpHandler = std::function<HttpReply(const std::string& path)>;

// The server's limits. A request line or head over its limit gets 414 or
// 431, a head that has not arrived within kHttpRequestReadMs 408, a
// client beyond kHttpMaxClients and a request that cannot have the handler
// within kHttpHandlerWaitMs (or finds kHttpMaxWaiting before it) 503.
inline constexpr size_t kHttpMaxRequestLine = 2048;
inline constexpr size_t kHttpMaxRequestHead = 8192;
inline constexpr int kHttpRequestReadMs = 3000;
inline constexpr int kHttpReplyWriteMs = 5000;
inline constexpr int kHttpMaxClients = 16;
inline constexpr int kHttpMaxWaiting = 4;
inline constexpr int kHttpHandlerWaitMs = 10000;

// Listens on one address and answers GET and HEAD through the handler:
// 405 to every other method, 413 to a request that brings a body, 421 to
// one whose Host does not name the bound address (so a page on 127.0.0.1
// cannot be read through a name an attacker's DNS points there), a Range
// header ignored. Every answer carries headers that keep a browser from
// running, framing or caching anything, and ends its connection. Move-only.
class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(HttpServer&& other) noexcept;
  HttpServer& operator=(HttpServer&& other) noexcept;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds address (an IPv4 or IPv6 address or a host name) and port
  // (0: one the system picks). 0, or -1 when the address cannot be bound.
  [[nodiscard]] int Bind(const std::string& address, int port);
  // The port bound, 0 before Bind.
  int port() const;
  // Serves the bound address until stop() is true (asked every 200 ms).
  // Requests for quick_paths are answered one at a time, and so are
  // requests for every other path, but neither kind ever waits for the
  // other: a slow page does not hold up a health answer. The handler must
  // therefore keep what the two kinds use apart. 0 when stopped so, -1
  // when not bound or when listening failed.
  [[nodiscard]] int Serve(const HttpHandler& handler, const std::function<bool()>& stop,
                          const std::vector<std::string>& quick_paths = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One GET of path from address:port with a time-out of timeout_seconds
// for connecting and for each read. 0 with *status and *body, or -1 when
// no answer came.
[[nodiscard]] int HttpGet(const std::string& address, int port, const std::string& path,
                          int timeout_seconds, int* status, std::string* body);

// A bare TCP connection, for tests that send what no HTTP client would:
// a request a byte at a time, oversized or malformed. Move-only.
class RawConnection {
 public:
  RawConnection();
  ~RawConnection();
  RawConnection(RawConnection&& other) noexcept;
  RawConnection& operator=(RawConnection&& other) noexcept;
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // 0, or -1 when no connection came about.
  [[nodiscard]] int Connect(const std::string& address, int port);
  // Sends all of data within timeout_ms. 0, or -1 when the peer stopped
  // taking it.
  [[nodiscard]] int Send(std::string_view data, int timeout_ms);
  // What arrives until the peer closes, max_bytes have come or timeout_ms
  // has passed; *closed tells whether the peer closed.
  std::string Receive(size_t max_bytes, int timeout_ms, bool* closed);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kvs
