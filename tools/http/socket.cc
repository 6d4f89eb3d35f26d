#include "tools/http/socket.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kvs {

namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
using PollEntry = WSAPOLLFD;
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif
#else
using NativeSocket = int;
using PollEntry = struct pollfd;
#endif

NativeSocket Native(intptr_t handle) { return static_cast<NativeSocket>(handle); }
intptr_t Handle(NativeSocket sock) { return static_cast<intptr_t>(sock); }
// INVALID_SOCKET on Windows (all bits set) and -1 on POSIX both read -1.
constexpr intptr_t kNoHandle = -1;

// Windows starts its sockets library once per process; it stays up until
// the process ends.
bool SocketsReady() {
#ifdef _WIN32
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
#else
  return true;
#endif
}

enum class Failure { kNotReady, kRetry, kFailed };

// What the last call's error means to the caller.
Failure LastFailure() {
#ifdef _WIN32
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return Failure::kNotReady;
  if (error == WSAEINTR) return Failure::kRetry;
#else
  const int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK) return Failure::kNotReady;
  if (error == EINTR) return Failure::kRetry;
#endif
  return Failure::kFailed;
}

void CloseNative(intptr_t handle) {
#ifdef _WIN32
  closesocket(Native(handle));
#else
  close(Native(handle));
#endif
}

bool MakeNonBlocking(intptr_t handle) {
#ifdef _WIN32
  u_long on = 1;
  return ioctlsocket(Native(handle), FIONBIO, &on) == 0;
#else
  const int flags = fcntl(Native(handle), F_GETFL, 0);
  return flags >= 0 && fcntl(Native(handle), F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

// A socket for one address getaddrinfo gave, not inherited by children.
intptr_t NewSocket(const struct addrinfo& ai) {
#ifdef _WIN32
  return Handle(WSASocketW(ai.ai_family, ai.ai_socktype, ai.ai_protocol, nullptr, 0,
                           WSA_FLAG_NO_HANDLE_INHERIT | WSA_FLAG_OVERLAPPED));
#else
  return Handle(socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol));
#endif
}

// Tries each address of address:port until set_up succeeds on a socket
// for it; that socket, or kNoHandle.
template <typename SetUp>
intptr_t OpenFor(const std::string& address, int port, SetUp set_up) {
  if (!SocketsReady()) return kNoHandle;
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return kNoHandle;
  }
  intptr_t handle = kNoHandle;
  for (struct addrinfo* ai = found; ai != nullptr && handle == kNoHandle; ai = ai->ai_next) {
    handle = NewSocket(*ai);
    if (handle == kNoHandle) continue;
    if (!set_up(Native(handle), *ai) || !MakeNonBlocking(handle)) {
      CloseNative(handle);
      handle = kNoHandle;
    }
  }
  freeaddrinfo(found);
  return handle;
}

void SetOption(NativeSocket sock, int level, int name, int value) {
  setsockopt(sock, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

void Socket::Close() {
  if (valid()) CloseNative(handle_);
  handle_ = kNone;
}

int Socket::Listen(const std::string& address, int port, int backlog) {
  Close();
  handle_ = OpenFor(address, port, [backlog](NativeSocket sock, const struct addrinfo& ai) {
#ifdef _WIN32
    SetOption(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
#else
    // Rebinding at once after a restart, past the old connections'
    // TIME_WAIT; unlike SO_REUSEPORT it lets no second server share the port.
    SetOption(sock, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
    if (ai.ai_family == AF_INET6) SetOption(sock, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    return ::bind(sock, ai.ai_addr, static_cast<socklen_t>(ai.ai_addrlen)) == 0 &&
           ::listen(sock, backlog) == 0;
  });
  return valid() ? 0 : -1;
}

int Socket::LocalPort() const {
  if (!valid()) return 0;
  struct sockaddr_storage bound;
  socklen_t length = sizeof bound;
  if (getsockname(Native(handle_), reinterpret_cast<struct sockaddr*>(&bound), &length) != 0) {
    return 0;
  }
  if (bound.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const struct sockaddr_in6*>(&bound)->sin6_port);
  }
  return ntohs(reinterpret_cast<const struct sockaddr_in*>(&bound)->sin_port);
}

int Socket::Accept(Socket* client) {
  if (!valid()) return static_cast<int>(kSocketFailed);
  while (true) {
#ifdef _WIN32
    const intptr_t taken = Handle(accept(Native(handle_), nullptr, nullptr));
    // The accepted socket may inherit the listener's inheritability.
    if (taken != kNoHandle) {
      SetHandleInformation(reinterpret_cast<HANDLE>(taken), HANDLE_FLAG_INHERIT, 0);
    }
    const bool gone = taken == kNoHandle && WSAGetLastError() == WSAECONNRESET;
#else
    const intptr_t taken =
        Handle(accept4(Native(handle_), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    const bool gone = taken == kNoHandle && (errno == ECONNABORTED || errno == EPROTO);
#endif
    if (taken != kNoHandle) {
      *client = Socket(taken);
      if (MakeNonBlocking(taken)) return 0;
      client->Close();
      return static_cast<int>(kSocketNotReady);
    }
    // A client that left before it was taken leaves nothing to take.
    if (gone) return static_cast<int>(kSocketNotReady);
    const Failure failure = LastFailure();
    if (failure == Failure::kRetry) continue;
    return static_cast<int>(failure == Failure::kNotReady ? kSocketNotReady : kSocketFailed);
  }
}

int Socket::Connect(const std::string& address, int port) {
  Close();
  handle_ = OpenFor(address, port, [](NativeSocket sock, const struct addrinfo& ai) {
    return ::connect(sock, ai.ai_addr, static_cast<socklen_t>(ai.ai_addrlen)) == 0;
  });
  return valid() ? 0 : -1;
}

long Socket::Read(char* buffer, size_t size) {
  if (!valid()) return kSocketFailed;
  const int want = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  while (true) {
    const long n = static_cast<long>(recv(Native(handle_), buffer, want, 0));
    if (n >= 0) return n;
    const Failure failure = LastFailure();
    if (failure == Failure::kRetry) continue;
    return failure == Failure::kNotReady ? kSocketNotReady : kSocketFailed;
  }
}

long Socket::Send(std::string_view data) {
  if (!valid()) return kSocketFailed;
#ifdef MSG_NOSIGNAL
  constexpr int kFlags = MSG_NOSIGNAL;
#else
  constexpr int kFlags = 0;  // Windows raises no signal
#endif
  const int want = data.size() > INT_MAX ? INT_MAX : static_cast<int>(data.size());
  while (true) {
    const long n = static_cast<long>(send(Native(handle_), data.data(), want, kFlags));
    if (n >= 0) return n;
    const Failure failure = LastFailure();
    if (failure == Failure::kRetry) continue;
    return failure == Failure::kNotReady ? kSocketNotReady : kSocketFailed;
  }
}

void Socket::ShutdownSending() {
  if (!valid()) return;
#ifdef _WIN32
  shutdown(Native(handle_), SD_SEND);
#else
  shutdown(Native(handle_), SHUT_WR);
#endif
}

int WaitSockets(SocketWait* waits, size_t count, int timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  if (count == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return 0;
  }
  std::vector<PollEntry> entries(count);
  for (size_t i = 0; i < count; ++i) {
    entries[i].fd = Native(waits[i].handle);
    entries[i].events = waits[i].for_writing ? POLLOUT : POLLIN;
    entries[i].revents = 0;
    waits[i].ready = false;
  }
#ifdef _WIN32
  const int ready = WSAPoll(entries.data(), static_cast<ULONG>(count), timeout_ms);
#else
  const int ready = poll(entries.data(), static_cast<nfds_t>(count), timeout_ms);
  // A signal (Ctrl+C) ends the wait early; the caller looks at its stop.
  if (ready < 0 && errno == EINTR) return 0;
#endif
  if (ready <= 0) return ready < 0 ? -1 : 0;
  for (size_t i = 0; i < count; ++i) {
    // An error or hang-up is readable: the next Read says which.
    waits[i].ready = (entries[i].revents & (entries[i].events | POLLERR | POLLHUP | POLLNVAL)) != 0;
  }
  return ready;
}

}  // namespace kvs
