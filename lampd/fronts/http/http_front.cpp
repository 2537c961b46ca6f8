// The HTTP front: its REST API and Alertmanager's webhook hand their
// commands to the plant's command path and answer with the outcome.
// Runs on the loop, like the rest of the service.
#include "http_front.h"

#include "lampd/core/log.h"
#include "protocol/text_format.h"

namespace lampd {
HttpAnswer JsonAnswer(int status, const Json& body) { return {status, Dump(body) + "\n"}; }

namespace {

HttpAnswer Error(int status, const std::string& why) {
  return JsonAnswer(status, {{"error", why}});
}

// "/api/units/press-3" with prefix "/api/units/" gives "press-3".
std::optional<std::string> Tail(const std::string& path, std::string_view prefix) {
  if (!path.starts_with(prefix) || path.size() == prefix.size()) return std::nullopt;
  const std::string rest = path.substr(prefix.size());
  if (rest.find('/') != std::string::npos) return std::nullopt;
  return rest;
}

// A query's name or value again as a URL carries it.
std::string PercentEncoded(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int RefusalStatus(Outcome::Refusal refusal) {
  switch (refusal) {
    case Outcome::Refusal::kBad:
      return 400;
    case Outcome::Refusal::kUnknown:
      return 404;
    case Outcome::Refusal::kFull:
      return 409;
    case Outcome::Refusal::kOverShare:
      return 429;
    case Outcome::Refusal::kNone:
      break;
  }
  return 200;
}

}  // namespace

HttpFront::HttpFront(platform::EventLoop& loop, const HttpConfig& config,
                     const std::vector<AlertRule>& alerts, LogLimiter& log, Plant& plant)
    : alerts_(alerts),
      log_(log),
      plant_(plant),
      access_(loop, config, log),
      config_(config),
      server_(loop, config, [this](const HttpRequest& request, Answer answer) {
        OnRequest(request, std::move(answer));
      }) {
  if (!config.redirectListen.empty()) {
    HttpConfig plain = config;
    plain.address = config.redirectAddress;
    plain.port = config.redirectPort;
    redirect_ = std::make_unique<HttpServer>(
        loop, plain,
        [this](const HttpRequest& request, const Answer& answer) { answer(Redirect(request)); });
  }
}

bool HttpFront::Start(std::string& error) {
  if (!access_.Load(error)) return false;
  if (config_.tlsCertificate.empty()) return server_.Start(error);
  TlsFiles tls;
  if (!ReadTlsFiles(config_.tlsCertificate, config_.tlsKey, tls, error)) {
    error = "HTTPS: " + error;
    return false;
  }
  return server_.Start(error, tls) && (!redirect_ || redirect_->Start(error));
}

void HttpFront::Stop() {
  server_.Stop();
  if (redirect_) redirect_->Stop();
}

void HttpFront::Reload() {
  access_.Reload();
  if (config_.tlsCertificate.empty()) return;
  // A plant renews its certificates: new connections get the new one.
  TlsFiles tls;
  std::string why;
  if (!ReadTlsFiles(config_.tlsCertificate, config_.tlsKey, tls, why) || !server_.Renew(tls, why)) {
    Log("HTTPS: the certificate and key were not read again, the old ones serve on: " + why);
    return;
  }
  Log("HTTPS: serving the certificate of " + config_.tlsCertificate);
}

HttpAnswer HttpFront::Redirect(const HttpRequest& request) const {
  std::string host = request.headers.contains("host") ? request.headers.at("host") : "";
  if (const auto colon = host.rfind(':');
      colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    host.erase(colon);
  }
  if (host.empty()) host = protocol::DottedText(config_.address);
  std::string to = "https://" + host;
  if (config_.port != 443) to += ":" + std::to_string(config_.port);
  to += request.path;
  char separator = '?';
  for (const auto& [name, value] : request.query) {
    to += separator + PercentEncoded(name) + "=" + PercentEncoded(value);
    separator = '&';
  }
  return HttpAnswer(308, "lampd is served over HTTPS: " + to + "\n", "text/plain",
                    {{"Location", to}});
}

void HttpFront::Handle(Route route) { routes_.push_back(std::move(route)); }

bool HttpFront::Only(std::string_view method, const HttpRequest& request, const Answer& answer) {
  if (request.method == method) return true;
  answer(Error(405, request.method + " is not served on " + request.path));
  return false;
}

void HttpFront::OnSession(const HttpRequest& request, const Answer& answer) {
  if (request.method == "POST") return access_.SignIn(request, answer);
  if (request.method == "DELETE") return answer(access_.SignOut(request));
  if (!Only("GET", request, answer)) return;
  // Who the page is for: what it shows follows the role.
  if (access_.Open()) return answer(JsonAnswer(200, {{"open", true}}));
  const lampd::Access::Identity identity = access_.Identify(request);
  if (!identity.person) {
    // The page signs in where there is a users file, else asks for the token.
    return answer(JsonAnswer(identity.status,
                             {{"error", identity.why}, {"sign_in", access_.SignInOffered()}}));
  }
  const Person& person = *identity.person;
  answer(JsonAnswer(200, {{"name", person.name},
                          {"role", std::string(RoleName(person.role))},
                          {"groups", person.groups}}));
}

std::string HttpFront::Refusal(const Request& request, const std::optional<Person>& person) {
  if (!person) return "";
  const std::string why = CommandRefusal(
      *person, request,
      [this](const std::string& id, const std::string& group) { return plant_.Member(id, group); });
  if (!why.empty()) {
    plant_.Refuse(request.origin, request.name, request.target == Request::Target::kGroup, why,
                  person->name);
  }
  return why;
}

void HttpFront::OnRequest(const HttpRequest& given, Answer answer) {
  if (given.path == "/api/session") return OnSession(given, answer);
  HttpRequest request = given;
  if (!OpenPath(request.path)) {
    // Seeing is every person's; what changes the plant is weighed where it is made.
    lampd::Access::Identity identity = access_.Identify(request);
    if (identity.status != 0) return answer(Error(identity.status, identity.why));
    request.person = std::move(identity.person);
  }
  for (const Route& route : routes_) {
    if (route(request, answer)) return;
  }
  const std::string& path = request.path;
  const auto only = [&](std::string_view method) { return Only(method, request, answer); };
  if (path == "/api/units") {
    if (only("GET")) answer(JsonAnswer(200, plant_.States()));
  } else if (const auto acked = path.ends_with("/ack")
                                    ? Tail(path.substr(0, path.size() - 4), "/api/units/")
                                    : std::nullopt) {
    if (!only("POST")) return;
    Request command;
    command.name = *acked;
    command.origin = Origin::kHttp;
    command.client = request.peer;
    std::string why;
    if (!ParseAck(request.body, command.command, why)) {
      plant_.Refuse(Origin::kHttp, command.name, false, why, request.peer);
      return answer(Error(400, why));
    }
    Command(std::move(command), request.person, std::move(answer));
  } else if (const auto id = Tail(path, "/api/units/")) {
    if (request.method == "PUT") {
      Request command;
      command.name = *id;
      std::string why;
      if (!ParseCommand(request.body, "http", command.command, why)) {
        plant_.Refuse(Origin::kHttp, *id, false, why, request.peer);
        return answer(Error(400, why));
      }
      command.origin = Origin::kHttp;
      command.client = request.peer;
      return Command(std::move(command), request.person, std::move(answer));
    }
    if (!only("GET")) return;
    if (const auto state = plant_.State(*id)) return answer(JsonAnswer(200, *state));
    const auto look = plant_.Look(*id);
    const std::string owner = look ? look->owner : "";
    answer(Error(404, owner.empty() ? "no unit " + *id + " is served here"
                                    : "unit " + *id + " is served by instance " + owner));
  } else if (const auto group = Tail(path, "/api/groups/")) {
    if (!only("POST")) return;
    Request command;
    command.target = Request::Target::kGroup;
    command.name = *group;
    std::string why;
    if (!ParseCommand(request.body, "http", command.command, why)) {
      plant_.Refuse(Origin::kHttp, *group, true, why, request.peer);
      return answer(Error(400, why));
    }
    command.origin = Origin::kHttp;
    command.client = request.peer;
    Command(std::move(command), request.person, std::move(answer));
  } else if (path == "/api/alertmanager") {
    if (!only("POST")) return;
    if (request.person) {
      const std::string why = RoleRefusal(*request.person, Role::kSupervisor, "send alerts");
      if (!why.empty()) {
        plant_.Refuse(Origin::kHttp, "", true, why, request.person->name);
        return answer(Error(403, why));
      }
    }
    answer(OnAlerts(request.body));
  } else {
    answer(Error(404, "no such resource: " + path));
  }
}

void HttpFront::Command(Request request, const std::optional<Person>& person, Answer answer) {
  if (person) {
    // The journal names who signed in, whatever the client says it is.
    request.person = person->name;
    if (request.command.ack) request.command.ack->first = person->name;
    if (const std::string why = Refusal(request, person); !why.empty()) {
      return answer(Error(403, why));
    }
  }
  const bool group = request.target == Request::Target::kGroup;
  const std::string name = request.name;
  plant_.Submit(std::move(request), [this, group, name,
                                     answer = std::move(answer)](Outcome outcome) {
    if (outcome.refusal == Outcome::Refusal::kOverShare) {
      HttpAnswer busy = Error(429, outcome.why);
      busy.headers.emplace_back("Retry-After", "1");
      return answer(std::move(busy));
    }
    if (outcome.refusal != Outcome::Refusal::kNone) {
      return answer(Error(RefusalStatus(outcome.refusal), outcome.why));
    }
    if (group) {
      Json failed = Json::array();
      for (const auto& [id, why] : outcome.failed) failed.push_back({{"id", id}, {"error", why}});
      const bool none = outcome.answered.empty() && !outcome.failed.empty();
      return answer(JsonAnswer(none ? 502 : 200, {{"group", name},
                                                  {"units", outcome.answered},
                                                  {"failed", failed},
                                                  {"passed_to", outcome.passedTo}}));
    }
    if (!outcome.passedTo.empty()) {
      return answer(JsonAnswer(202, {{"id", name}, {"passed_to", outcome.passedTo.front()}}));
    }
    if (!outcome.nothingToAcknowledge.empty()) {
      return answer(JsonAnswer(200, {{"id", name},
                                     {"acknowledged", 0},
                                     {"note", "nothing to acknowledge: no call is unanswered"}}));
    }
    if (!outcome.failed.empty()) {
      std::string why = outcome.failed.front().second;
      if (const auto look = plant_.Look(name); look && look->leases > 0) {
        why += "; its leases are kept and sent when it answers again";
      }
      return answer(Error(502, why));
    }
    if (outcome.answered.empty()) return answer(Error(502, "the unit did not answer"));
    answer(JsonAnswer(200, outcome.answered.front()));
  });
}

HttpAnswer HttpFront::OnAlerts(const std::string& body) {
  AlertBatch batch;
  std::string why;
  if (!ReadAlerts(body, alerts_, WallClock::now(), batch, why)) {
    plant_.Refuse(Origin::kAlertmanager, "", false, why, "");
    log_.Say("refused", "Alertmanager: " + why);
    return Error(400, why);
  }
  int leases = 0;
  for (AlertCommand& alert : batch.commands) {
    Request request;
    request.origin = Origin::kAlertmanager;
    if (alert.target.starts_with("group:")) {
      request.target = Request::Target::kGroup;
      request.name = alert.target.substr(6);
    } else {
      request.name = alert.target;
    }
    const bool lease = alert.command.lease.has_value();
    request.command = std::move(alert.command);
    // Alertmanager is answered at once; what the units say is on their topics.
    plant_.Submit(std::move(request), [](const Outcome&) {});
    if (lease) ++leases;
  }
  Log("Alertmanager: " + std::to_string(batch.firing) + " firing, " +
      std::to_string(batch.resolved) + " resolved; " + std::to_string(leases) + " lease(s)");
  return JsonAnswer(200,
                    {{"firing", batch.firing}, {"resolved", batch.resolved}, {"leases", leases}});
}

}  // namespace lampd
