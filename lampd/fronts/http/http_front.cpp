// The HTTP front: its REST API and Alertmanager's webhook hand their
// commands to the command path and answer with the outcome.
// Runs on the loop, like the rest of the service.
#include <memory>

#include "lampd/core/service.h"

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

void Service::OnHttp(const HttpRequest& request, std::function<void(HttpAnswer)> answer) {
  const std::string& path = request.path;
  const auto only = [&](std::string_view method) {
    if (request.method == method) return true;
    answer(Error(405, request.method + " is not served on " + path));
    return false;
  };
  if (ServeConsole(request, answer)) return;
  if (path.starts_with("/api/console/")) return ConsoleCommand(request, std::move(answer));
  if (path == "/metrics") {
    if (only("GET")) ServeMetrics(std::move(answer));
  } else if (path == "/api/units") {
    if (!only("GET")) return;
    Json units = Json::array();
    for (const auto& [id, unit] : units_) {
      if (unit.role != Role::kStandby) units.push_back(StateOf(unit, true));
    }
    answer(JsonAnswer(200, units));
  } else if (path == "/api/events") {
    if (only("GET")) ServeEvents(request, answer);
  } else if (path == "/api/report") {
    if (only("GET")) ServeReport(request, answer);
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
      Refused(Origin::kHttp, command.name, false, why, request.peer);
      return answer(Error(400, why));
    }
    HttpCommand(std::move(command), std::move(answer));
  } else if (const auto id = Tail(path, "/api/units/")) {
    if (request.method == "PUT") {
      Request command;
      command.name = *id;
      std::string why;
      if (!ParseCommand(request.body, "http", command.command, why)) {
        Refused(Origin::kHttp, *id, false, why, request.peer);
        return answer(Error(400, why));
      }
      command.origin = Origin::kHttp;
      command.client = request.peer;
      return HttpCommand(std::move(command), std::move(answer));
    }
    if (!only("GET")) return;
    const auto found = units_.find(*id);
    if (found == units_.end() || found->second.role == Role::kStandby) {
      const std::string owner = found != units_.end() ? found->second.owner : "";
      return answer(Error(404, owner.empty() ? "no unit " + *id + " is served here"
                                             : "unit " + *id + " is served by instance " + owner));
    }
    answer(JsonAnswer(200, StateOf(found->second, true)));
  } else if (const auto group = Tail(path, "/api/groups/")) {
    if (!only("POST")) return;
    Request command;
    command.target = Request::Target::kGroup;
    command.name = *group;
    std::string why;
    if (!ParseCommand(request.body, "http", command.command, why)) {
      Refused(Origin::kHttp, *group, true, why, request.peer);
      return answer(Error(400, why));
    }
    command.origin = Origin::kHttp;
    command.client = request.peer;
    HttpCommand(std::move(command), std::move(answer));
  } else if (path == "/api/alertmanager") {
    if (only("POST")) answer(OnAlerts(request.body));
  } else {
    answer(Error(404, "no such resource: " + path));
  }
}

void Service::HttpCommand(Request request, std::function<void(HttpAnswer)> answer) {
  const bool group = request.target == Request::Target::kGroup;
  const std::string name = request.name;
  Submit(std::move(request), [this, group, name, answer = std::move(answer)](Outcome outcome) {
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
      const auto unit = units_.find(name);
      if (unit != units_.end() && !unit->second.signals.Empty()) {
        why += "; its leases are kept and sent when it answers again";
      }
      return answer(Error(502, why));
    }
    if (outcome.answered.empty()) return answer(Error(502, "the unit did not answer"));
    answer(JsonAnswer(200, outcome.answered.front()));
  });
}

HttpAnswer Service::OnAlerts(const std::string& body) {
  AlertBatch batch;
  std::string why;
  if (!ReadAlerts(body, config_.alerts, WallClock::now(), batch, why)) {
    ++refused_["alertmanager"];
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
    Submit(std::move(request), [](const Outcome&) {});
    if (lease) ++leases;
  }
  Log("Alertmanager: " + std::to_string(batch.firing) + " firing, " +
      std::to_string(batch.resolved) + " resolved; " + std::to_string(leases) + " lease(s)");
  return JsonAnswer(200,
                    {{"firing", batch.firing}, {"resolved", batch.resolved}, {"leases", leases}});
}

}  // namespace lampd
