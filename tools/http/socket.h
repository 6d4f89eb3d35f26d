// TCP sockets for the status server and the clients its tests ask it
// with: listening, accepting and connecting over IPv4 and IPv6, reading
// and sending without ever blocking, and one wait on many sockets. No OS
// type in this header; the system's sockets API is included by socket.cc
// alone. Knows nothing of HTTP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvs {

// Outcomes of Read and Send besides a byte count (> 0), and of Accept
// besides 0.
inline constexpr long kSocketClosed = 0;     // Read: the peer closed its end
inline constexpr long kSocketNotReady = -1;  // nothing now: wait and try again
inline constexpr long kSocketFailed = -2;    // reset or failed: give the socket up

// One socket, closed when it goes. Every socket it opens is non-blocking
// and not inherited by child processes. Move-only; moving onto a socket
// closes the one it held.
class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return handle_ != kNone; }
  // The system's handle, for a wait; -1 when none.
  intptr_t handle() const { return handle_; }

  // Binds address (an IPv4 or IPv6 address or a host name; an IPv6 one
  // takes IPv4 too) and port (0: one the system picks) and listens. A
  // port another socket holds fails rather than being shared. 0, or -1.
  [[nodiscard]] int Listen(const std::string& address, int port, int backlog);
  // The local port, 0 when not bound.
  int LocalPort() const;
  // A connection waiting on this listening socket into *client: 0,
  // kSocketNotReady when none waits, kSocketFailed when it cannot be
  // taken now (descriptors used up).
  [[nodiscard]] int Accept(Socket* client);
  // Connects to address:port, waiting for the connection. 0, or -1.
  [[nodiscard]] int Connect(const std::string& address, int port);
  // Up to size bytes into buffer: their count, kSocketClosed,
  // kSocketNotReady or kSocketFailed.
  long Read(char* buffer, size_t size);
  // As much of data as the system takes now: the count, kSocketNotReady or
  // kSocketFailed. A peer gone never raises a signal.
  long Send(std::string_view data);
  // Tells the peer that nothing more comes; reading goes on.
  void ShutdownSending();
  void Close();

 private:
  static constexpr intptr_t kNone = -1;
  explicit Socket(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = kNone;
};

// One socket of a wait: what it waits for and whether that came.
// Readable includes a peer that closed or reset, so a Read tells which.
struct SocketWait {
  intptr_t handle = -1;
  bool for_writing = false;  // else for reading
  bool ready = false;        // set by WaitSockets
};

// Waits up to timeout_ms until one of waits[0..count) is ready and marks
// each that is. The count ready, 0 when the time ran out, -1 when the wait
// failed.
[[nodiscard]] int WaitSockets(SocketWait* waits, size_t count, int timeout_ms);

}  // namespace kvs
