// The HTTP front, an object of its own: lampd's one HTTP server and its
// routes. The REST API and Alertmanager's webhook are its own and reach the
// units only through the plant; the paths of the console, the metrics and
// the journal read back are handed to whoever registered them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "access.h"
#include "alerts.h"
#include "http_server.h"
#include "lampd/config/config.h"
#include "lampd/core/log.h"
#include "lampd/core/plant.h"
#include "net/event_loop.h"

namespace lampd {

// An answer of JSON, as the HTTP API gives it.
HttpAnswer JsonAnswer(int status, const Json& body);

class HttpFront {
 public:
  using Answer = std::function<void(HttpAnswer)>;
  // A route takes the request (true) or leaves it to the next.
  using Route = std::function<bool(const HttpRequest&, const Answer&)>;

  HttpFront(platform::EventLoop& loop, const HttpConfig& config,
            const std::vector<AlertRule>& alerts, LogLimiter& log, Plant& plant);
  bool Start(std::string& error);
  void Stop();
  // Tried in the order handed, before the REST API's own paths.
  void Handle(Route route);
  HttpServer& Server() { return server_; }
  lampd::Access& Access() { return access_; }
  // The users file, and the certificate and key, again (SIGHUP).
  void Reload();

  // A command of the REST API or the console from `person` (nothing while
  // lampd asks nobody), answered with its outcome: 200 with the unit's
  // state, 202 passed on, 400/403/404/409/429/502.
  void Command(Request request, const std::optional<Person>& person, Answer answer);
  // Why `person` may not send `request`, recorded as a refusal; "" when it may.
  std::string Refusal(const Request& request, const std::optional<Person>& person);
  // False, with 405 answered, unless the request is `method`.
  static bool Only(std::string_view method, const HttpRequest& request, const Answer& answer);

 private:
  void OnRequest(const HttpRequest& request, Answer answer);
  void OnSession(const HttpRequest& request, const Answer& answer);
  HttpAnswer OnAlerts(const std::string& body);
  HttpAnswer Redirect(const HttpRequest& request) const;

  const std::vector<AlertRule>& alerts_;
  LogLimiter& log_;
  Plant& plant_;
  lampd::Access access_;
  const HttpConfig& config_;
  HttpServer server_;
  // Plain HTTP sent on to HTTPS (redirect_listen).
  std::unique_ptr<HttpServer> redirect_;
  std::vector<Route> routes_;
};

}  // namespace lampd
