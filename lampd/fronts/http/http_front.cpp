// The HTTP front: its REST API and Alertmanager's webhook hand their
// commands to the plant's command path and answer with the outcome.
// Runs on the loop, like the rest of the service.
#include "http_front.h"

#include "lampd/core/log.h"

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
      server_(loop, config, [this](const HttpRequest& request, Answer answer) {
        OnRequest(request, std::move(answer));
      }) {}

bool HttpFront::Start(std::string& error) { return server_.Start(error); }

void HttpFront::Stop() { server_.Stop(); }

void HttpFront::Handle(Route route) { routes_.push_back(std::move(route)); }

bool HttpFront::Only(std::string_view method, const HttpRequest& request, const Answer& answer) {
  if (request.method == method) return true;
  answer(Error(405, request.method + " is not served on " + request.path));
  return false;
}

void HttpFront::OnRequest(const HttpRequest& request, Answer answer) {
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
    Command(std::move(command), std::move(answer));
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
      return Command(std::move(command), std::move(answer));
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
    Command(std::move(command), std::move(answer));
  } else if (path == "/api/alertmanager") {
    if (only("POST")) answer(OnAlerts(request.body));
  } else {
    answer(Error(404, "no such resource: " + path));
  }
}

void HttpFront::Command(Request request, Answer answer) {
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
