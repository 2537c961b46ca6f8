// lampd's HTTP side: cpp-httplib serves on threads of its own, with its own
// time-outs, so a slow or half-open client never holds the service's loop.
// Each request is handed to the loop as a plain request and answered from
// there; the thread waits for the answer, a bounded time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "config.h"
#include "net/event_loop.h"

namespace httplib {
class Server;
}

namespace lampd {

struct HttpRequest {
  std::string method, path, body;
};

struct HttpAnswer {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
};

// Runs on the loop; calls `answer` once, then or later, on the loop.
using HttpHandler = std::function<void(const HttpRequest&, std::function<void(HttpAnswer)> answer)>;

class HttpServer {
 public:
  HttpServer(platform::EventLoop& loop, const HttpConfig& config, HttpHandler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the address and starts serving; false with `error`.
  bool Start(std::string& error);
  // Stops taking requests; those waiting on the loop are answered 503.
  void Stop();

 private:
  struct Shared;
  platform::EventLoop& loop_;
  HttpConfig config_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
};

}  // namespace lampd
