#include "platform/http_server.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "httplib.h"

namespace kvs {

namespace {

constexpr int kWorkerThreads = 4;
constexpr int kSocketTimeoutSeconds = 5;
constexpr size_t kMaxRequestBody = 8192;
constexpr int kStopPollMs = 200;

// Nothing on the pages runs, loads or embeds anything; inline styles only.
const httplib::Headers& SafetyHeaders() {
  static const httplib::Headers headers = {
      {"Content-Security-Policy",
       "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'; "
       "form-action 'none'; base-uri 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
  return headers;
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

}  // namespace

struct HttpServer::Impl {
  httplib::Server server;
  std::mutex handler_lock;
  bool bound = false;
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {}
HttpServer::~HttpServer() = default;
HttpServer::HttpServer(HttpServer&& other) noexcept = default;
HttpServer& HttpServer::operator=(HttpServer&& other) noexcept = default;

int HttpServer::Bind(const std::string& address, int port) {
  if (!impl_ || impl_->bound) return -1;
  httplib::Server& server = impl_->server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server.set_socket_options(ExclusiveAddress);
  server.set_keep_alive_max_count(1);
  server.set_read_timeout(kSocketTimeoutSeconds);
  server.set_write_timeout(kSocketTimeoutSeconds);
  server.set_payload_max_length(kMaxRequestBody);
  server.set_default_headers(SafetyHeaders());
  try {
    impl_->bound = server.bind_to_port(address, port);
  } catch (const std::exception&) {
    impl_->bound = false;
  }
  return impl_->bound ? 0 : -1;
}

int HttpServer::Serve(const HttpHandler& handler, const std::function<bool()>& stop) {
  if (!impl_ || !impl_->bound) return -1;
  Impl& impl = *impl_;
  impl.server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
    res.status = 405;
    res.set_header("Allow", "GET, HEAD");
    res.set_content("GET or HEAD only\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  impl.server.Get(".*", [&impl, &handler](const httplib::Request& req, httplib::Response& res) {
    HttpReply reply;
    {
      std::lock_guard<std::mutex> lock(impl.handler_lock);
      reply = handler(req.path);
    }
    res.status = reply.status;
    res.set_content(reply.body, reply.content_type.c_str());
  });
  // The listener ends on its own only when the listening socket fails.
  std::atomic<bool> ended{false};
  bool stopped = false;
  try {
    std::thread listener([&impl, &ended] {
      impl.server.listen_after_bind();
      ended = true;
    });
    while (!ended && !(stopped = stop && stop())) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
    }
    impl.server.stop();
    listener.join();
  } catch (const std::exception&) {
    return -1;
  }
  return stopped ? 0 : -1;
}

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

}  // namespace kvs
