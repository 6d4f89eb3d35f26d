// A small read-only HTTP server for the tools' status pages. Knows no
// page: the caller's handler answers each path. One thread reads every
// request and sends every answer without blocking, so no client holds up
// another; the handler runs on a thread of its own for each kind of path.
// Every request is bounded: its size, the time its client may take, the
// connections held at once, and how long it may wait for the handler.
// The sockets come from socket.h.
#pragma once

#include <functional>
#include <memory>
#include <string>
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
// 431, a head that has not arrived within kHttpRequestReadMs 408 (however
// much of it trickles in), an answer the client has not taken within
// kHttpReplyWriteMs is cut off. At most kHttpMaxConnections are held at
// once: a new one makes the oldest give way that is not waiting for the
// handler (one still sending its request is told 503), so idle or slow
// clients never keep a new request from being read. A request that
// cannot have the handler within kHttpHandlerWaitMs, or finds one running
// and kHttpMaxWaiting (quick paths: kHttpMaxQuickWaiting) waiting, gets
// 503.
inline constexpr size_t kHttpMaxRequestLine = 2048;
inline constexpr size_t kHttpMaxRequestHead = 8192;
inline constexpr int kHttpRequestReadMs = 3000;
inline constexpr int kHttpReplyWriteMs = 5000;
inline constexpr int kHttpMaxConnections = 64;
inline constexpr int kHttpMaxWaiting = 4;
inline constexpr int kHttpMaxQuickWaiting = 16;
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
  // other: a slow page does not hold up a health answer, nor do clients
  // that are slow to send or never send. The handler must therefore keep
  // what the two kinds use apart. 0 when stopped so, -1 when not bound or
  // when listening failed.
  [[nodiscard]] int Serve(const HttpHandler& handler, const std::function<bool()>& stop,
                          const std::vector<std::string>& quick_paths = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kvs
