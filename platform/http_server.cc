#include "platform/http_server.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "httplib.h"

namespace kvs {

namespace {

namespace detail = httplib::detail;

constexpr int kStopPollMs = 200;
constexpr int kListenBacklog = 32;
// After the answer, what the client still sends is read and dropped for
// so long (so closing does not reset the connection under the answer).
constexpr int kDrainMs = 500;
constexpr size_t kDrainBytes = 65536;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// select() with milliseconds; > 0 ready, 0 timed out, < 0 failed.
ssize_t WaitRead(socket_t sock, int64_t ms) {
  if (ms < 0) ms = 0;
  return detail::select_read(sock, static_cast<time_t>(ms / 1000),
                             static_cast<time_t>(ms % 1000 * 1000));
}
ssize_t WaitWrite(socket_t sock, int64_t ms) {
  if (ms < 0) ms = 0;
  return detail::select_write(sock, static_cast<time_t>(ms / 1000),
                              static_cast<time_t>(ms % 1000 * 1000));
}

bool WouldBlock() {
#ifdef _WIN32
  return WSAGetLastError() == WSAEWOULDBLOCK;
#else
  return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

// A peer that has gone must not end the process with SIGPIPE.
constexpr int kSendFlags =
#ifdef MSG_NOSIGNAL
    MSG_NOSIGNAL;
#else
    0;
#endif

void ShutdownSending(socket_t sock) {
#ifdef _WIN32
  shutdown(sock, SD_SEND);
#else
  shutdown(sock, SHUT_WR);
#endif
}

// A socket, closed when it goes. Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(socket_t sock) : sock_(sock) {}
  ~Socket() { Reset(); }
  Socket(Socket&& other) noexcept : sock_(std::exchange(other.sock_, INVALID_SOCKET)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Reset();
      sock_ = std::exchange(other.sock_, INVALID_SOCKET);
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  bool valid() const { return sock_ != INVALID_SOCKET; }
  socket_t get() const { return sock_; }
  void Reset() {
    if (valid()) detail::close_socket(sock_);
    sock_ = INVALID_SOCKET;
  }

 private:
  socket_t sock_ = INVALID_SOCKET;
};

// Sends all of data before deadline_ms. False when the peer stopped
// taking it or the time ran out.
bool SendAll(socket_t sock, std::string_view data, int64_t deadline_ms) {
  size_t sent = 0;
  while (sent < data.size()) {
    if (WaitWrite(sock, deadline_ms - NowMs()) <= 0) return false;
    const ssize_t n = detail::send_socket(sock, data.data() + sent, data.size() - sent, kSendFlags);
    if (n < 0 && WouldBlock()) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// httplib's own options would let a second server share the port on Linux
// (SO_REUSEPORT); a port in use must fail to bind instead.
void ExclusiveAddress(socket_t sock) {
  int yes = 1;
#ifdef _WIN32
  setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
             sizeof yes);
#else
  // Rebinding at once after a restart, past the old connections' TIME_WAIT.
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
}

// ---- The request ------------------------------------------------------------

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsIpv4Literal(std::string_view name) {
  int parts = 0;
  while (true) {
    const size_t dot = name.find('.');
    const std::string_view part = name.substr(0, dot);
    if (!AllDigits(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  return parts == 4;
}

bool IsIpv6Literal(std::string_view name) {
  if (name.find(':') == std::string_view::npos) return false;
  for (char c : name) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!hex && c != ':' && c != '.') return false;
  }
  return true;
}

// Whether a Host header names the address the server is bound to: that
// address itself (any port, so a forwarded port still reaches the page),
// "localhost" for a loopback or every address, and an address literal for
// every address. A name that some DNS merely points here is refused.
bool HostNamesServer(std::string_view host, const std::string& bound_address) {
  host = Trim(host);
  std::string name;
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = Lower(host.substr(1, close - 1));
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
    if (!IsIpv6Literal(name)) return false;
  } else {
    const size_t colon = host.find(':');
    name = Lower(host.substr(0, colon));
    if (colon != std::string_view::npos) port = host.substr(colon + 1);
    if (colon != std::string_view::npos && !AllDigits(port)) return false;
  }
  if (name.empty()) return false;
  const std::string bound = Lower(bound_address);
  if (name == bound) return true;
  const bool every = bound == "0.0.0.0" || bound == "::";
  const bool loopback = bound == "localhost" || bound == "::1" || bound.rfind("127.", 0) == 0;
  if ((every || loopback) && name == "localhost") return true;
  const bool bracketed = !host.empty() && host.front() == '[';
  return every && (bracketed || IsIpv4Literal(name));
}

struct RequestHead {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
};

// Splits a complete head (up to its blank line). 0, or the status of the
// refusal: 400 malformed, 505 not HTTP/1.x.
int ParseHead(std::string_view head, RequestHead* out) {
  bool first = true;
  while (!head.empty()) {
    const size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (first) {
      first = false;
      const size_t a = line.find(' ');
      const size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
      if (b == std::string_view::npos || line.find(' ', b + 1) != std::string_view::npos) return 400;
      out->method = std::string(line.substr(0, a));
      out->target = std::string(line.substr(a + 1, b - a - 1));
      const std::string_view version = line.substr(b + 1);
      if (out->method.empty() || out->target.empty()) return 400;
      if (version.rfind("HTTP/", 0) != 0) return 400;
      if (version != "HTTP/1.0" && version != "HTTP/1.1") return 505;
      continue;
    }
    // A continued line (obsolete folding) or a name with blanks is no
    // header a client of these pages sends.
    const size_t colon = line.find(':');
    if (line.front() == ' ' || line.front() == '\t' || colon == std::string_view::npos ||
        colon == 0 || Trim(line.substr(0, colon)).size() != colon) {
      return 400;
    }
    out->headers.emplace_back(Lower(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1))));
  }
  return first ? 400 : 0;
}

// Reads the request head (to its blank line) into *head before
// deadline_ms. 0, or the status of the refusal (408, 414, 431), or -1 when
// the client closed or the connection failed.
int ReadHead(socket_t sock, int64_t deadline_ms, std::string* head) {
  char buffer[2048];
  while (true) {
    size_t end = head->find("\r\n\r\n");
    if (end != std::string::npos) end += 4;
    const size_t bare = head->find("\n\n");
    if (bare != std::string::npos && (end == std::string::npos || bare + 2 < end)) end = bare + 2;
    const size_t line_end = head->find('\n');
    if ((line_end == std::string::npos ? head->size() : line_end) > kHttpMaxRequestLine) return 414;
    if (end != std::string::npos) return end <= kHttpMaxRequestHead ? 0 : 431;
    if (head->size() > kHttpMaxRequestHead) return 431;
    const ssize_t ready = WaitRead(sock, deadline_ms - NowMs());
    if (ready == 0) return 408;
    if (ready < 0) return -1;
    // Never more than one byte past the limit.
    const size_t room = kHttpMaxRequestHead + 1 - head->size();
    const ssize_t n = detail::read_socket(sock, buffer, room < sizeof buffer ? room : sizeof buffer, 0);
    if (n < 0 && WouldBlock()) continue;
    if (n <= 0) return -1;
    head->append(buffer, static_cast<size_t>(n));
  }
}

// ---- The answer -------------------------------------------------------------

const char* StatusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
  }
}

// Nothing on the pages runs, loads or embeds anything; inline styles only.
constexpr char kSafetyHeaders[] =
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
    "frame-ancestors 'none'; form-action 'none'; base-uri 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: DENY\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-store\r\n"
    "Accept-Ranges: none\r\n"
    "Connection: close\r\n";

std::string FormatReply(const HttpReply& reply, bool with_body, const char* extra_headers = "") {
  std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + StatusText(reply.status) +
                     "\r\n" + kSafetyHeaders + extra_headers + "Content-Type: " +
                     reply.content_type + "\r\nContent-Length: " +
                     std::to_string(reply.body.size()) + "\r\n\r\n";
  if (with_body) text += reply.body;
  return text;
}

std::string Refusal(int status, const char* extra_headers = "") {
  HttpReply reply;
  reply.status = status;
  reply.body = std::string(StatusText(status)) + "\n";
  return FormatReply(reply, true, extra_headers);
}

// The handler's turn for one kind of request: one at a time, a few
// waiting, none waiting for long.
struct Lane {
  std::timed_mutex turn;
  std::mutex lock;
  int waiting = 0;

  bool Enter() {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (waiting >= kHttpMaxWaiting) return false;
      ++waiting;
    }
    const bool entered = turn.try_lock_for(std::chrono::milliseconds(kHttpHandlerWaitMs));
    std::lock_guard<std::mutex> guard(lock);
    --waiting;
    return entered;
  }
};

}  // namespace

// ---- The server -------------------------------------------------------------

struct HttpServer::Impl {
  Socket listener;
  std::string address;
  int port = 0;

  // While serving.
  const HttpHandler* handler = nullptr;
  const std::vector<std::string>* quick_paths = nullptr;
  Lane lanes[2];  // [0] every other path, [1] the quick ones
  std::mutex queue_lock;
  std::condition_variable queue_ready;
  std::deque<Socket> queue;
  int clients = 0;  // queued or being served
  bool stopping = false;

  void Work();
  void Answer(socket_t sock);
};

void HttpServer::Impl::Work() {
  while (true) {
    Socket client;
    {
      std::unique_lock<std::mutex> guard(queue_lock);
      queue_ready.wait(guard, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      client = std::move(queue.front());
      queue.pop_front();
    }
    Answer(client.get());
    client.Reset();
    std::lock_guard<std::mutex> guard(queue_lock);
    --clients;
  }
}

void HttpServer::Impl::Answer(socket_t sock) {
  const int64_t start = NowMs();
  std::string head;
  int refusal = ReadHead(sock, start + kHttpRequestReadMs, &head);
  if (refusal < 0) return;
  RequestHead request;
  if (refusal == 0) refusal = ParseHead(head, &request);
  const char* extra = "";
  if (refusal == 0 && request.method != "GET" && request.method != "HEAD") {
    refusal = 405;
    extra = "Allow: GET, HEAD\r\n";
  }
  int hosts = 0;
  bool host_ok = false;
  bool body = false;
  for (const auto& [name, value] : request.headers) {
    if (name == "host") {
      ++hosts;
      host_ok = HostNamesServer(value, address);
    }
    if ((name == "content-length" && value != "0") || name == "transfer-encoding") body = true;
  }
  if (refusal == 0 && (hosts != 1 || request.target.front() != '/')) refusal = 400;
  if (refusal == 0 && !host_ok) refusal = 421;
  if (refusal == 0 && body) refusal = 413;

  std::string answer;
  if (refusal != 0) {
    answer = Refusal(refusal, extra);
  } else {
    const std::string path = request.target.substr(0, request.target.find_first_of("?#"));
    bool quick = false;
    for (const std::string& p : *quick_paths) quick = quick || p == path;
    Lane& lane = lanes[quick ? 1 : 0];
    if (!lane.Enter()) {
      answer = Refusal(503, "Retry-After: 5\r\n");
    } else {
      HttpReply reply;
      try {
        reply = (*handler)(path);
      } catch (const std::exception&) {
        reply = HttpReply();
        reply.status = 500;
        reply.body = "Internal Server Error\n";
      }
      lane.turn.unlock();
      answer = FormatReply(reply, request.method != "HEAD");
    }
  }
  if (!SendAll(sock, answer, NowMs() + kHttpReplyWriteMs)) return;
  // What the client still sends is read and dropped, a little while and a
  // little of it, so the answer is not lost to a reset on closing.
  ShutdownSending(sock);
  const int64_t until = NowMs() + kDrainMs;
  char buffer[4096];
  size_t drained = 0;
  while (drained < kDrainBytes && WaitRead(sock, until - NowMs()) > 0) {
    const ssize_t n = detail::read_socket(sock, buffer, sizeof buffer, 0);
    if (n < 0 && WouldBlock()) continue;
    if (n <= 0) break;
    drained += static_cast<size_t>(n);
  }
}

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {}
HttpServer::~HttpServer() = default;
HttpServer::HttpServer(HttpServer&& other) noexcept = default;
HttpServer& HttpServer::operator=(HttpServer&& other) noexcept = default;

int HttpServer::Bind(const std::string& address, int port) {
  if (!impl_ || impl_->listener.valid()) return -1;
  try {
    impl_->listener = Socket(detail::create_socket(
        address, std::string(), port, AF_UNSPEC, 0, false, ExclusiveAddress,
        [](socket_t sock, struct addrinfo& ai) {
          return ::bind(sock, ai.ai_addr, static_cast<socklen_t>(ai.ai_addrlen)) == 0 &&
                 ::listen(sock, kListenBacklog) == 0;
        }));
  } catch (const std::exception&) {
    return -1;
  }
  if (!impl_->listener.valid()) return -1;
  struct sockaddr_storage bound;
  socklen_t length = sizeof bound;
  if (getsockname(impl_->listener.get(), reinterpret_cast<struct sockaddr*>(&bound), &length) != 0) {
    impl_->listener.Reset();
    return -1;
  }
  impl_->port = bound.ss_family == AF_INET6
                    ? ntohs(reinterpret_cast<struct sockaddr_in6*>(&bound)->sin6_port)
                    : ntohs(reinterpret_cast<struct sockaddr_in*>(&bound)->sin_port);
  impl_->address = address;
  // Accepting never blocks: a client gone between select and accept
  // leaves nothing to accept.
  detail::set_nonblocking(impl_->listener.get(), true);
  return 0;
}

int HttpServer::port() const { return impl_ ? impl_->port : 0; }

int HttpServer::Serve(const HttpHandler& handler, const std::function<bool()>& stop,
                      const std::vector<std::string>& quick_paths) {
  if (!impl_ || !impl_->listener.valid()) return -1;
  Impl& impl = *impl_;
  impl.handler = &handler;
  impl.quick_paths = &quick_paths;
  impl.stopping = false;
  std::vector<std::thread> workers;
  bool stopped = false;
  bool failed = false;
  try {
    for (int i = 0; i < kHttpMaxClients; ++i) workers.emplace_back([&impl] { impl.Work(); });
    while (!(stopped = stop && stop())) {
      const ssize_t ready = WaitRead(impl.listener.get(), kStopPollMs);
      if (ready < 0) {
        failed = true;
        break;
      }
      if (ready == 0) continue;
      Socket client(accept(impl.listener.get(), nullptr, nullptr));
      if (!client.valid()) {
        // Out of descriptors: the waiting client gets its turn later.
        if (!WouldBlock()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      detail::set_nonblocking(client.get(), true);
      std::unique_lock<std::mutex> guard(impl.queue_lock);
      if (impl.clients >= kHttpMaxClients) {
        guard.unlock();
        // Too many at once: told so at once, without waiting to read.
        (void)SendAll(client.get(), Refusal(503, "Retry-After: 5\r\n"), NowMs() + 100);
        continue;
      }
      ++impl.clients;
      impl.queue.push_back(std::move(client));
      impl.queue_ready.notify_one();
    }
  } catch (const std::exception&) {
    failed = true;
  }
  {
    std::lock_guard<std::mutex> guard(impl.queue_lock);
    impl.stopping = true;
  }
  impl.queue_ready.notify_all();
  for (std::thread& worker : workers) worker.join();
  impl.handler = nullptr;
  impl.quick_paths = nullptr;
  return stopped && !failed ? 0 : -1;
}

// ---- Clients ----------------------------------------------------------------

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

struct RawConnection::Impl {
  Socket sock;
};

RawConnection::RawConnection() : impl_(std::make_unique<Impl>()) {}
RawConnection::~RawConnection() = default;
RawConnection::RawConnection(RawConnection&& other) noexcept = default;
RawConnection& RawConnection::operator=(RawConnection&& other) noexcept = default;

int RawConnection::Connect(const std::string& address, int port) {
  if (!impl_) return -1;
  try {
    impl_->sock = Socket(detail::create_socket(
        address, std::string(), port, AF_UNSPEC, 0, false, nullptr,
        [](socket_t sock, struct addrinfo& ai) {
          return ::connect(sock, ai.ai_addr, static_cast<socklen_t>(ai.ai_addrlen)) == 0;
        }));
  } catch (const std::exception&) {
    return -1;
  }
  if (!impl_->sock.valid()) return -1;
  detail::set_nonblocking(impl_->sock.get(), true);
  return 0;
}

int RawConnection::Send(std::string_view data, int timeout_ms) {
  if (!impl_ || !impl_->sock.valid()) return -1;
  return SendAll(impl_->sock.get(), data, NowMs() + timeout_ms) ? 0 : -1;
}

std::string RawConnection::Receive(size_t max_bytes, int timeout_ms, bool* closed) {
  std::string got;
  *closed = false;
  if (!impl_ || !impl_->sock.valid()) return got;
  const int64_t deadline = NowMs() + timeout_ms;
  char buffer[4096];
  while (got.size() < max_bytes && WaitRead(impl_->sock.get(), deadline - NowMs()) > 0) {
    const size_t room = max_bytes - got.size();
    const ssize_t n =
        detail::read_socket(impl_->sock.get(), buffer, room < sizeof buffer ? room : sizeof buffer, 0);
    if (n < 0 && WouldBlock()) continue;
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
