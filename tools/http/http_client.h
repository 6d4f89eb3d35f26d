// The clients the tests ask the status server with: cpp-httplib's, an
// HTTP implementation other than the server's own, and a bare connection
// for what no HTTP client sends. Built for the tests alone; the tools
// never link it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "tools/http/socket.h"

namespace kvs {

// One GET of path from address:port with a time-out of timeout_seconds
// for connecting and for each read. 0 with *status and *body, or -1 when
// no answer came.
[[nodiscard]] int HttpGet(const std::string& address, int port, const std::string& path,
                          int timeout_seconds, int* status, std::string* body);

// A bare TCP connection, for tests that send what no HTTP client would:
// a request a byte at a time, oversized or malformed. Move-only.
class RawConnection {
 public:
  // 0, or -1 when no connection came about.
  [[nodiscard]] int Connect(const std::string& address, int port);
  // Sends all of data within timeout_ms. 0, or -1 when the peer stopped
  // taking it.
  [[nodiscard]] int Send(std::string_view data, int timeout_ms);
  // What arrives until the peer closes, max_bytes have come or timeout_ms
  // has passed; *closed tells whether the peer closed.
  std::string Receive(size_t max_bytes, int timeout_ms, bool* closed);

 private:
  Socket socket_;
};

}  // namespace kvs
