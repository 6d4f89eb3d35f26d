#include "tools/http/http_server.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "diag/text.h"
#include "tools/http/socket.h"

namespace kvs {

namespace {

constexpr int kStopPollMs = 200;
constexpr int kListenBacklog = 64;
// While a handler works, the serving thread, which waits on sockets and
// not on handlers, looks for its answer this often.
constexpr int kAnswerPollMs = 5;
// With the process's descriptors used up, accepting rests so long (the
// listener would be ready again at once).
constexpr int kAcceptRestMs = 50;
// After the answer, what the client still sends is read and dropped for
// so long (so closing does not reset the connection under the answer).
constexpr int kDrainMs = 500;
constexpr size_t kDrainBytes = 65536;
constexpr char kRetryAfter[] = "Retry-After: 5\r\n";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---- The request ------------------------------------------------------------

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
    name = ToLowerAscii(host.substr(1, close - 1));
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
    if (!IsIpv6Literal(name)) return false;
  } else {
    const size_t colon = host.find(':');
    name = ToLowerAscii(host.substr(0, colon));
    if (colon != std::string_view::npos) port = host.substr(colon + 1);
    if (colon != std::string_view::npos && !AllDigits(port)) return false;
  }
  if (name.empty()) return false;
  const std::string bound = ToLowerAscii(bound_address);
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
    out->headers.emplace_back(ToLowerAscii(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1))));
  }
  return first ? 400 : 0;
}

constexpr int kHeadIncomplete = -1;

// Whether head holds a whole request head (up to its blank line): 0 when
// it does, kHeadIncomplete while more must come, else the status of the
// refusal (414, 431).
int HeadState(const std::string& head) {
  size_t end = head.find("\r\n\r\n");
  if (end != std::string::npos) end += 4;
  const size_t bare = head.find("\n\n");
  if (bare != std::string::npos && (end == std::string::npos || bare + 2 < end)) end = bare + 2;
  const size_t line_end = head.find('\n');
  if ((line_end == std::string::npos ? head.size() : line_end) > kHttpMaxRequestLine) return 414;
  if (end != std::string::npos) return end <= kHttpMaxRequestHead ? 0 : 431;
  return head.size() > kHttpMaxRequestHead ? 431 : kHeadIncomplete;
}

// Checks a whole head: 0 with *request, or the status of the refusal with
// the headers it needs in *extra. Only GET and HEAD without a body, for a
// path, with one Host that names bound_address.
int CheckRequest(const std::string& head, const std::string& bound_address,
                 RequestHead* request, const char** extra) {
  *extra = "";
  const int malformed = ParseHead(head, request);
  if (malformed != 0) return malformed;
  if (request->method != "GET" && request->method != "HEAD") {
    *extra = "Allow: GET, HEAD\r\n";
    return 405;
  }
  int hosts = 0;
  bool host_ok = false;
  bool body = false;
  for (const auto& [name, value] : request->headers) {
    if (name == "host") {
      ++hosts;
      host_ok = HostNamesServer(value, bound_address);
    }
    if ((name == "content-length" && value != "0") || name == "transfer-encoding") body = true;
  }
  if (hosts != 1 || request->target.front() != '/') return 400;
  if (!host_ok) return 421;
  return body ? 413 : 0;
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

// A request handed to a lane's thread, and its reply on the way back.
struct Job {
  uint64_t connection = 0;
  std::string path;
  int64_t deadline_ms = 0;  // 503 when the handler has not taken it by then
};
struct Finished {
  uint64_t connection = 0;
  HttpReply reply;
};

// The handler's turn for one kind of path: one request at a time on the
// lane's own thread, a few waiting, none waiting for long.
struct Lane {
  size_t max_waiting = 0;
  std::deque<Job> waiting;
  bool running = false;
  std::condition_variable work;
  std::thread thread;
};

enum class Phase { kReading, kWaiting, kWriting, kDraining };

// One client, from accepting it to closing it. Only the serving thread
// touches it; a lane sees its id and path alone.
struct Connection {
  uint64_t id = 0;  // in the order accepted: the smallest is the oldest
  Socket socket;
  Phase phase = Phase::kReading;
  int64_t deadline_ms = 0;  // of the phase; none while waiting
  bool head_only = false;
  std::string data;  // the head while reading, the answer while writing
  size_t done = 0;   // bytes of the answer sent, or of the rest drained
  bool gone = false;  // closed at the end of the round
};

}  // namespace

// ---- The server -------------------------------------------------------------

struct HttpServer::Impl {
  Socket listener;
  std::string address;
  int port = 0;

  // While serving. The lanes, the finished replies and stopping are shared
  // with the lanes' threads under lock; the rest is the serving thread's.
  const HttpHandler* handler = nullptr;
  const std::vector<std::string>* quick_paths = nullptr;
  std::vector<Connection> connections;
  uint64_t next_id = 1;
  std::mutex lock;
  Lane lanes[2];  // [0] every other path, [1] the quick ones
  std::vector<Finished> finished;
  bool stopping = false;

  int Run(const std::function<bool()>& stop);
  void RunLane(Lane& lane);
  void Take(Socket socket, int64_t now);
  void Read(Connection& c, int64_t now);
  void Hand(Connection& c, int64_t now);
  void Answer(Connection& c, std::string text, int64_t now);
  void Write(Connection& c, int64_t now);
  void Drain(Connection& c);
  void CollectReplies(int64_t now);
  Connection* Find(uint64_t id);
};

// The serving thread: every socket is waited on together, and each is
// read or written only as far as it goes without waiting, so no client
// can hold up another's request.
int HttpServer::Impl::Run(const std::function<bool()>& stop) {
  std::vector<SocketWait> waits;
  std::vector<size_t> owners;  // the connection of waits[i + 1]
  int64_t accept_rest_until = 0;
  while (!(stop && stop())) {
    int64_t now = NowMs();
    CollectReplies(now);
    waits.clear();
    owners.clear();
    const bool accepting = now >= accept_rest_until;
    waits.push_back({accepting ? listener.handle() : -1, false, false});
    int64_t wake = accepting ? now + kStopPollMs : accept_rest_until;
    for (size_t i = 0; i < connections.size(); ++i) {
      const Connection& c = connections[i];
      if (c.phase == Phase::kWaiting) {
        wake = std::min(wake, now + kAnswerPollMs);
        continue;
      }
      waits.push_back({c.socket.handle(), c.phase == Phase::kWriting, false});
      owners.push_back(i);
      wake = std::min(wake, c.deadline_ms);
    }
    SocketWait* first = accepting ? waits.data() : waits.data() + 1;
    const size_t count = accepting ? waits.size() : waits.size() - 1;
    if (WaitSockets(first, count, static_cast<int>(std::max<int64_t>(0, wake - now))) < 0) {
      return -1;
    }
    now = NowMs();
    for (size_t k = 0; k < owners.size(); ++k) {
      Connection& c = connections[owners[k]];
      if (waits[k + 1].ready) {
        if (c.phase == Phase::kReading) Read(c, now);
        else if (c.phase == Phase::kWriting) Write(c, now);
        else if (c.phase == Phase::kDraining) Drain(c);
      }
      if (c.gone || c.phase == Phase::kWaiting || now < c.deadline_ms) continue;
      if (c.phase == Phase::kReading) {
        // However much has come of it: a request a byte at a time is cut
        // as one that never comes.
        Answer(c, Refusal(408), now);
      } else {
        c.gone = true;
      }
    }
    std::erase_if(connections, [](const Connection& c) { return c.gone; });
    if (!accepting || !waits[0].ready) continue;
    // No more at once than the backlog, so reading and answering go on
    // under a flood of connections.
    for (int i = 0; i < kListenBacklog; ++i) {
      Socket client;
      const int taken = listener.Accept(&client);
      if (taken == kSocketNotReady) break;
      if (taken != 0) {
        accept_rest_until = now + kAcceptRestMs;
        break;
      }
      Take(std::move(client), now);
    }
    std::erase_if(connections, [](const Connection& c) { return c.gone; });
  }
  return 0;
}

void HttpServer::Impl::RunLane(Lane& lane) {
  std::unique_lock<std::mutex> guard(lock);
  while (true) {
    lane.work.wait(guard, [&] { return stopping || !lane.waiting.empty(); });
    if (stopping) return;
    Job job = std::move(lane.waiting.front());
    lane.waiting.pop_front();
    lane.running = true;
    guard.unlock();
    HttpReply reply;
    try {
      reply = (*handler)(job.path);
    } catch (...) {
      reply = HttpReply();
      reply.status = 500;
      reply.body = "Internal Server Error\n";
    }
    guard.lock();
    lane.running = false;
    finished.push_back({job.connection, std::move(reply)});
  }
}

// A new client. When all places are taken, the oldest that is not waiting
// for the handler gives way: a client still sending its request (idle,
// slow, or a port scan) or one taking its answer slowly; a request read
// whole is never pushed out by later ones. Its request may be there
// already, so it is read at once.
void HttpServer::Impl::Take(Socket socket, int64_t now) {
  std::erase_if(connections, [](const Connection& c) { return c.gone; });
  if (connections.size() >= static_cast<size_t>(kHttpMaxConnections)) {
    auto oldest = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      if (it->phase != Phase::kWaiting && (oldest == connections.end() || it->id < oldest->id)) {
        oldest = it;
      }
    }
    if (oldest == connections.end()) {
      // Every place waits for a handler: the new client is told at once.
      (void)socket.Send(Refusal(503, kRetryAfter));
      return;
    }
    if (oldest->phase == Phase::kReading) (void)oldest->socket.Send(Refusal(503, kRetryAfter));
    connections.erase(oldest);
  }
  Connection c;
  c.id = next_id++;
  c.socket = std::move(socket);
  c.deadline_ms = now + kHttpRequestReadMs;
  connections.push_back(std::move(c));
  Read(connections.back(), now);
}

void HttpServer::Impl::Read(Connection& c, int64_t now) {
  char buffer[2048];
  while (true) {
    const int state = HeadState(c.data);
    if (state == 0) return Hand(c, now);
    if (state != kHeadIncomplete) return Answer(c, Refusal(state), now);
    // Never more than one byte past the limit.
    const size_t room = kHttpMaxRequestHead + 1 - c.data.size();
    const long n = c.socket.Read(buffer, std::min(room, sizeof buffer));
    if (n == kSocketNotReady) return;
    if (n <= 0) {
      c.gone = true;
      return;
    }
    c.data.append(buffer, static_cast<size_t>(n));
  }
}

// A whole head: refused, or handed to its lane, or told 503 when the lane
// is full.
void HttpServer::Impl::Hand(Connection& c, int64_t now) {
  RequestHead request;
  const char* extra = "";
  const int refusal = CheckRequest(c.data, address, &request, &extra);
  if (refusal != 0) return Answer(c, Refusal(refusal, extra), now);
  std::string path = request.target.substr(0, request.target.find_first_of("?#"));
  const bool quick =
      std::find(quick_paths->begin(), quick_paths->end(), path) != quick_paths->end();
  Lane& lane = lanes[quick ? 1 : 0];
  {
    std::lock_guard<std::mutex> guard(lock);
    // The one running counts, so the bound does not hang on when the
    // lane's thread takes the first of a burst.
    if (lane.waiting.size() + (lane.running ? 1 : 0) <= lane.max_waiting) {
      lane.waiting.push_back({c.id, std::move(path), now + kHttpHandlerWaitMs});
      lane.work.notify_one();
      c.phase = Phase::kWaiting;
      c.head_only = request.method == "HEAD";
      c.data = std::string();
      return;
    }
  }
  Answer(c, Refusal(503, kRetryAfter), now);
}

void HttpServer::Impl::Answer(Connection& c, std::string text, int64_t now) {
  c.data = std::move(text);
  c.done = 0;
  c.phase = Phase::kWriting;
  c.deadline_ms = now + kHttpReplyWriteMs;
  Write(c, now);
}

void HttpServer::Impl::Write(Connection& c, int64_t now) {
  while (c.done < c.data.size()) {
    const long n = c.socket.Send(std::string_view(c.data).substr(c.done));
    if (n == kSocketNotReady) return;
    if (n <= 0) {
      c.gone = true;
      return;
    }
    c.done += static_cast<size_t>(n);
  }
  // What the client still sends is read and dropped, a little while and a
  // little of it, so the answer is not lost to a reset on closing.
  c.socket.ShutdownSending();
  c.phase = Phase::kDraining;
  c.deadline_ms = now + kDrainMs;
  c.data = std::string();
  c.done = 0;
}

void HttpServer::Impl::Drain(Connection& c) {
  char buffer[4096];
  while (true) {
    const long n = c.socket.Read(buffer, sizeof buffer);
    if (n == kSocketNotReady) return;
    c.done += n > 0 ? static_cast<size_t>(n) : 0;
    if (n <= 0 || c.done >= kDrainBytes) {
      c.gone = true;
      return;
    }
  }
}

// The handlers' replies, and 503 to requests that waited too long for one.
void HttpServer::Impl::CollectReplies(int64_t now) {
  std::vector<Finished> replies;
  std::vector<uint64_t> late;
  {
    std::lock_guard<std::mutex> guard(lock);
    replies.swap(finished);
    for (Lane& lane : lanes) {
      while (!lane.waiting.empty() && lane.waiting.front().deadline_ms <= now) {
        late.push_back(lane.waiting.front().connection);
        lane.waiting.pop_front();
      }
    }
  }
  for (const Finished& f : replies) {
    if (Connection* c = Find(f.connection)) Answer(*c, FormatReply(f.reply, !c->head_only), now);
  }
  for (uint64_t id : late) {
    if (Connection* c = Find(id)) Answer(*c, Refusal(503, kRetryAfter), now);
  }
}

Connection* HttpServer::Impl::Find(uint64_t id) {
  for (Connection& c : connections) {
    if (c.id == id && c.phase == Phase::kWaiting) return &c;
  }
  return nullptr;
}

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {}
HttpServer::~HttpServer() = default;
HttpServer::HttpServer(HttpServer&& other) noexcept = default;
HttpServer& HttpServer::operator=(HttpServer&& other) noexcept = default;

int HttpServer::Bind(const std::string& address, int port) {
  if (!impl_ || impl_->listener.valid()) return -1;
  if (impl_->listener.Listen(address, port, kListenBacklog) != 0) return -1;
  impl_->port = impl_->listener.LocalPort();
  if (impl_->port == 0) {
    impl_->listener.Close();
    return -1;
  }
  impl_->address = address;
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
  impl.lanes[0].max_waiting = kHttpMaxWaiting;
  impl.lanes[1].max_waiting = kHttpMaxQuickWaiting;
  int rc = -1;
  try {
    for (Lane& lane : impl.lanes) lane.thread = std::thread([&impl, &lane] { impl.RunLane(lane); });
    rc = impl.Run(stop);
  } catch (const std::exception&) {
    rc = -1;
  }
  {
    std::lock_guard<std::mutex> guard(impl.lock);
    impl.stopping = true;
  }
  for (Lane& lane : impl.lanes) {
    lane.work.notify_all();
    if (lane.thread.joinable()) lane.thread.join();
    lane.waiting.clear();
    lane.running = false;
  }
  impl.finished.clear();
  impl.connections.clear();
  impl.handler = nullptr;
  impl.quick_paths = nullptr;
  return rc;
}

}  // namespace kvs
