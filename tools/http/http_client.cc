#include "tools/http/http_client.h"

#include <chrono>
#include <cstdint>
#include <exception>

#include "httplib.h"

namespace kvs {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits until sock can be read (or written) before deadline_ms.
bool WaitFor(const Socket& sock, bool for_writing, int64_t deadline_ms) {
  const int64_t left = deadline_ms - NowMs();
  if (left < 0) return false;
  SocketWait wait{sock.handle(), for_writing, false};
  return WaitSockets(&wait, 1, static_cast<int>(left)) > 0 && wait.ready;
}

}  // namespace

int HttpGet(const std::string& address, int port, const std::string& path, int timeout_seconds,
            int* status, std::string* body) {
  try {
    httplib::Client client(address, port);
    client.set_connection_timeout(timeout_seconds);
    client.set_read_timeout(timeout_seconds);
    httplib::Result result = client.Get(path.c_str());
    if (!result) return -1;
    *status = result->status;
    *body = result->body;
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}

int RawConnection::Connect(const std::string& address, int port) {
  return socket_.Connect(address, port);
}

int RawConnection::Send(std::string_view data, int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  while (!data.empty()) {
    const long n = socket_.Send(data);
    if (n == kSocketNotReady) {
      if (!WaitFor(socket_, true, deadline)) return -1;
      continue;
    }
    if (n <= 0) return -1;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

std::string RawConnection::Receive(size_t max_bytes, int timeout_ms, bool* closed) {
  std::string got;
  *closed = false;
  const int64_t deadline = NowMs() + timeout_ms;
  char buffer[4096];
  while (got.size() < max_bytes) {
    const size_t room = max_bytes - got.size();
    const long n = socket_.Read(buffer, room < sizeof buffer ? room : sizeof buffer);
    if (n == kSocketNotReady) {
      if (!WaitFor(socket_, false, deadline)) break;
      continue;
    }
    if (n <= 0) {
      // Closed, or reset: either way nothing more comes.
      *closed = true;
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

}  // namespace kvs
