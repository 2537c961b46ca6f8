// The service's HTTP side: its REST API, Alertmanager's webhook and the
// metrics. Runs on the loop, like the rest of the service; the HTTP server
// hands each request over and waits for the answer.
#include <memory>
#include <nlohmann/json.hpp>

#include "service.h"
#include "time_text.h"

namespace lampd {
namespace {

using json = nlohmann::ordered_json;

HttpAnswer JsonAnswer(int status, const json& body) {
  return {status, body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"};
}

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

}  // namespace

nlohmann::ordered_json Service::HttpState(const Unit& unit) const {
  json state = StateJson(unit);
  state["online"] = unit.online.value_or(false);
  return state;
}

void Service::OnHttp(const HttpRequest& request, std::function<void(HttpAnswer)> answer) {
  const std::string& path = request.path;
  const auto only = [&](std::string_view method) {
    if (request.method == method) return true;
    answer(Error(405, request.method + " is not served on " + path));
    return false;
  };
  if (path == "/metrics") {
    if (only("GET")) answer({200, Metrics(), "text/plain; version=0.0.4; charset=utf-8"});
  } else if (path == "/api/units") {
    if (!only("GET")) return;
    json units = json::array();
    for (const auto& [id, unit] : units_) {
      if (unit.servedBy.empty()) units.push_back(HttpState(unit));
    }
    answer(JsonAnswer(200, units));
  } else if (const auto id = Tail(path, "/api/units/")) {
    if (request.method == "PUT") return PutUnit(*id, request.body, std::move(answer));
    if (!only("GET")) return;
    const auto found = units_.find(*id);
    if (found == units_.end() || !found->second.servedBy.empty()) {
      return answer(Error(404, "no unit " + *id + " is served here"));
    }
    answer(JsonAnswer(200, HttpState(found->second)));
  } else if (const auto group = Tail(path, "/api/groups/")) {
    if (only("POST")) PostGroup(*group, request.body, std::move(answer));
  } else if (path == "/api/alertmanager") {
    if (only("POST")) answer(OnAlerts(request.body));
  } else {
    answer(Error(404, "no such resource: " + path));
  }
}

void Service::PutUnit(const std::string& id, const std::string& body,
                      std::function<void(HttpAnswer)> answer) {
  const auto found = units_.find(id);
  if (found == units_.end() || !found->second.servedBy.empty()) {
    return answer(Error(404, found == units_.end() ? "no unit " + id + " is known"
                                                   : "unit " + id + " is served by instance " +
                                                         found->second.servedBy));
  }
  Command command;
  std::string why;
  if (!ParseCommand(body, "http", command, why)) return answer(Error(400, why));
  ++commands_["http"];
  const auto refused = Apply(found->second, command, [this, id, answer](const std::string& failed) {
    Unit& unit = units_.at(id);
    if (!failed.empty()) {
      std::string why = failed;
      if (!unit.signals.Empty()) why += "; its leases are kept and sent when it answers again";
      return answer(Error(502, why));
    }
    json state = StateJson(unit);
    state["online"] = unit.online.value_or(false);
    answer(JsonAnswer(200, state));
  });
  if (refused) answer(Error(409, *refused));
}

void Service::PostGroup(const std::string& name, const std::string& body,
                        std::function<void(HttpAnswer)> answer) {
  const GroupConfig* group = GroupNamed(name);
  if (!group) return answer(Error(404, "no group " + name + " in [groups]"));
  Command command;
  std::string why;
  if (!ParseCommand(body, "http", command, why)) return answer(Error(400, why));
  ++commands_["http"];
  Relay("group/" + name + "/set", command);  // the other instances' members
  const std::vector<Unit*> members = Members(*group);
  const std::string lease = LeaseText(command);
  Log("group " + name + ": " + (lease.empty() ? "a command" : lease) + " over HTTP to " +
      std::to_string(members.size()) + " unit(s) here");
  // The answer goes when the last member has answered.
  struct Gathering {
    json units = json::array(), failed = json::array();
    std::size_t left = 0;
    std::function<void(HttpAnswer)> answer;
  };
  auto gathering = std::make_shared<Gathering>();
  gathering->left = members.size() + 1;
  gathering->answer = std::move(answer);
  const auto finish = [gathering, name] {
    if (--gathering->left > 0) return;
    const bool none = gathering->units.empty() && !gathering->failed.empty();
    gathering->answer(
        JsonAnswer(none ? 502 : 200,
                   {{"group", name}, {"units", gathering->units}, {"failed", gathering->failed}}));
  };
  for (Unit* member : members) {
    const std::string id = member->id;
    const auto refused = Apply(
        *member, command,
        [this, id, gathering, finish](const std::string& failed) {
          if (failed.empty()) {
            gathering->units.push_back(StateJson(units_.at(id)));
          } else {
            gathering->failed.push_back({{"id", id}, {"error", failed}});
          }
          finish();
        },
        true);
    if (refused) {
      gathering->failed.push_back({{"id", id}, {"error", *refused}});
      finish();
    }
  }
  finish();
}

HttpAnswer Service::OnAlerts(const std::string& body) {
  const json document = json::parse(body, nullptr, false);
  if (!document.is_object() || !document.contains("alerts") || !document["alerts"].is_array()) {
    return Error(400, "not Alertmanager's webhook JSON: no \"alerts\" list");
  }
  ++commands_["alertmanager"];
  int firing = 0, resolved = 0, leases = 0;
  const auto now = WallClock::now();
  for (const json& alert : document["alerts"]) {
    if (!alert.is_object() || !alert.contains("labels") || !alert["labels"].is_object()) {
      return Error(400, "an alert without labels");
    }
    const json& labels = alert["labels"];
    const std::string fingerprint = alert.value("fingerprint", json(labels).dump());
    const bool fires = alert.value("status", "") == "firing";
    (fires ? firing : resolved) += 1;
    const std::string source = "alertmanager:" + fingerprint.substr(0, 50);
    for (const AlertRule& rule : config_.alerts) {
      const bool matches = std::all_of(rule.match.begin(), rule.match.end(), [&](const auto& pair) {
        return labels.contains(pair.first) && labels[pair.first].is_string() &&
               labels[pair.first].template get<std::string>() == pair.second;
      });
      if (!matches) continue;
      Command command;
      command.source = source;
      if (fires) {
        command.codes = rule.set;
        command.priority = rule.priority;
        // Alertmanager leaves endsAt zero while an alert fires; then the
        // rule says how long the light lasts without word from it.
        auto until = now + rule.lasts;
        if (const auto ends = ParseTime(alert.value("endsAt", "")); ends && *ends > now) {
          until = std::min(*ends, now + kLongestLease);
        }
        command.lease = std::chrono::ceil<std::chrono::milliseconds>(until - now);
      } else {
        command.clear = source;
      }
      std::vector<Unit*> targets;
      if (rule.target.starts_with("group:")) {
        const std::string group = rule.target.substr(6);
        targets = Members(*GroupNamed(group));
        Relay("group/" + group + "/set", command);
      } else if (const auto unit = units_.find(rule.target);
                 unit != units_.end() && unit->second.servedBy.empty()) {
        targets.push_back(&unit->second);
      } else {
        Relay(rule.target + "/set", command);  // another instance's, or not found yet
      }
      for (Unit* unit : targets) {
        if (!Apply(*unit, command, {}, true) && fires) ++leases;
      }
    }
  }
  Log("Alertmanager: " + std::to_string(firing) + " firing, " + std::to_string(resolved) +
      " resolved; " + std::to_string(leases) + " lease(s) here");
  return JsonAnswer(200, {{"firing", firing}, {"resolved", resolved}, {"leases", leases}});
}

std::string Service::Metrics() const {
  MetricsText out;
  const auto each = [this](const std::function<void(const Unit&)>& write) {
    for (const auto& [id, unit] : units_) {
      if (unit.servedBy.empty()) write(unit);
    }
  };
  out.Family("lampd_unit_up", "gauge", "Whether the unit answers its polls (1) or not (0).");
  each([&](const Unit& unit) {
    out.Sample("lampd_unit_up", {{"unit", unit.id}, {"address", unit.address.Text()}},
               unit.online.value_or(false) ? 1 : 0);
  });
  out.Family("lampd_lamp_state", "gauge", "What a lamp shows: 0 off, 1 on, 2 blinking.");
  each([&](const Unit& unit) {
    if (!unit.state) return;
    for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
      const int code = (*unit.state)[protocol::kFirstLampByte + lamp];
      out.Sample("lampd_lamp_state",
                 {{"unit", unit.id}, {"lamp", std::string(protocol::kLampNames[lamp])}},
                 code > 2 ? 2 : code);
    }
  });
  out.Family("lampd_sound", "gauge", "The sound the unit plays: 0 none, 1 to 5 its stored sounds.");
  each([&](const Unit& unit) {
    if (unit.state)
      out.Sample("lampd_sound", {{"unit", unit.id}}, (*unit.state)[protocol::kSoundByte]);
  });
  out.Family("lampd_leases", "gauge", "Live leases the unit holds.");
  each([&](const Unit& unit) {
    out.Sample("lampd_leases", {{"unit", unit.id}},
               static_cast<double>(unit.signals.Leases().size()));
  });
  out.Family("lampd_exchanges_total", "counter", "Exchanges with the unit, polls and commands.");
  each([&](const Unit& unit) {
    out.Sample("lampd_exchanges_total", {{"unit", unit.id}}, static_cast<double>(unit.exchanges));
  });
  out.Family("lampd_exchange_failures_total", "counter",
             "Exchanges the unit did not answer, by how they failed.");
  each([&](const Unit& unit) {
    for (const auto& [reason, count] : unit.failures) {
      out.Sample("lampd_exchange_failures_total", {{"unit", unit.id}, {"reason", reason}},
                 static_cast<double>(count));
    }
  });
  out.Family("lampd_exchange_duration_seconds", "histogram",
             "How long exchanges took, connect to reply or failure.");
  exchangeSeconds_.Write(out, "lampd_exchange_duration_seconds");
  out.Family("lampd_mqtt_connected", "gauge", "Whether lampd is connected to its broker.");
  out.Sample("lampd_mqtt_connected", {}, mqtt_ && mqtt_->Connected() ? 1 : 0);
  out.Family("lampd_commands_total", "counter",
             "Commands taken, by where they came from (mqtt, http, alertmanager).");
  for (const char* channel : {"mqtt", "http", "alertmanager"}) {
    const auto count = commands_.find(channel);
    out.Sample("lampd_commands_total", {{"source", channel}},
               count == commands_.end() ? 0 : static_cast<double>(count->second));
  }
  return out.Text();
}

}  // namespace lampd
