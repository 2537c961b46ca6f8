#include "http_server.h"

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "protocol/unit_address.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBodyLimit = 4096;
constexpr auto kAnswerLimit = 15s;  // longer than any exchange and its queue
// The library gives each connection a thread: a client that stalls holds
// one until the read time-out, so there are enough for many such at once.
constexpr int kWorkers = 64;

// One request's answer, handed from the loop to the thread that waits for it.
struct Waiter {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<HttpAnswer> answer;
};

std::string ErrorBody(const std::string& why) {
  return nlohmann::json{{"error", why}}.dump() + "\n";
}

// Compares all of both, so the time taken does not tell how much matched.
bool SameToken(const std::string& given, const std::string& token) {
  unsigned char differ = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
  }
  return differ == 0;
}

}  // namespace

struct HttpServer::Shared {
  std::atomic<bool> closing{false};
  HttpHandler handler;
};

HttpServer::HttpServer(platform::EventLoop& loop, const HttpConfig& config, HttpHandler handler)
    : loop_(loop), config_(config), shared_(std::make_shared<Shared>()) {
  shared_->handler = std::move(handler);
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string& error) {
  server_ = std::make_unique<httplib::Server>();
  httplib::Server& server = *server_;
  // The library owns the pool it is given.
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server.set_read_timeout(3, 0);
  server.set_write_timeout(5, 0);
  server.set_keep_alive_timeout(2);
  server.set_tcp_nodelay(true);  // an answer goes in two writes: no waiting on the ACK
  // Its accept loop wakes this often when idle (100 times a second by
  // default); stopping shuts the socket down, which wakes it at once anyway.
  server.set_idle_interval(1, 0);
  server.set_keep_alive_max_count(100);
  server.set_payload_max_length(kBodyLimit);  // a longer body is answered 413 unread
  // Not the library's SO_REUSEPORT: a second lampd on the same port must
  // fail to start, not share the requests at random.
  int listening = -1;
  server.set_socket_options([&listening](int socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listening = socket;
  });

  const auto serve = [this, shared = shared_](const httplib::Request& request,
                                              httplib::Response& response) {
    const auto answer = [&](const HttpAnswer& given) {
      response.status = given.status;
      response.set_content(given.body, given.contentType.c_str());
    };
    if (!config_.token.empty() && request.path != "/metrics" &&
        !SameToken(request.get_header_value("Authorization"), "Bearer " + config_.token)) {
      response.set_header("WWW-Authenticate", "Bearer");
      return answer({401, ErrorBody("this needs Authorization: Bearer and lampd's token")});
    }
    auto waiter = std::make_shared<Waiter>();
    HttpRequest plain{request.method, request.path, request.body};
    loop_.Post([shared, waiter, plain = std::move(plain)] {
      const auto reply = [waiter](HttpAnswer given) {
        std::lock_guard lock(waiter->mutex);
        if (waiter->answer) return;
        waiter->answer = std::move(given);
        waiter->done.notify_all();
      };
      if (shared->closing) return reply({503, ErrorBody("lampd is stopping")});
      shared->handler(plain, reply);
    });
    std::unique_lock lock(waiter->mutex);
    const auto end = std::chrono::steady_clock::now() + kAnswerLimit;
    while (!waiter->answer && !shared->closing && std::chrono::steady_clock::now() < end) {
      waiter->done.wait_for(lock, 100ms);
    }
    if (!waiter->answer) {
      return answer(
          {503, ErrorBody(shared->closing ? "lampd is stopping" : "lampd did not answer in time")});
    }
    answer(*waiter->answer);
  };
  server.Get(".*", serve);
  server.Put(".*", serve);
  server.Post(".*", serve);
  server.Delete(".*", serve);
  server.Patch(".*", serve);

  const std::string where = protocol::UnitAddress{config_.address, config_.port}.Text();
  errno = 0;
  if (!server.bind_to_port(where.substr(0, where.rfind(':')), config_.port)) {
    error =
        "HTTP: cannot listen on " + where + (errno ? std::string(": ") + std::strerror(errno) : "");
    server_.reset();
    return false;
  }
  // The library listens with a backlog of 5: a burst of clients would
  // overflow it, their requests be retransmitted late and dropped. A second
  // listen() on the socket sets the backlog anew.
  if (listening >= 0) ::listen(listening, SOMAXCONN);
  thread_ = std::thread([&server] { server.listen_after_bind(); });
  return true;
}

void HttpServer::Stop() {
  shared_->closing = true;
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace lampd
