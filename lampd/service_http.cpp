// The HTTP front: its REST API and Alertmanager's webhook hand their
// commands to the command path and answer with the outcome; the metrics.
// Runs on the loop, like the rest of the service.
#include <memory>

#include "service.h"

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
    if (!only("GET")) return;
    HttpAnswer metrics{200, "", "text/plain; version=0.0.4; charset=utf-8"};
    metrics.shared = SharedMetrics();
    answer(std::move(metrics));
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

std::shared_ptr<const std::string> Service::SharedMetrics() {
  // Made at most a few times a second, and shared by every client asking
  // meanwhile: a thousand scrapers cost one text, whether they read it or not.
  const auto now = SteadyClock::now();
  if (!metricsText_ || now - metricsMade_ >= kMetricsFresh) {
    metricsText_ = std::make_shared<const std::string>(Metrics());
    metricsMade_ = now;
  }
  return metricsText_;
}

std::string Service::Metrics() const {
  MetricsText out;
  const auto each = [this](const std::function<void(const Unit&)>& write) {
    for (const auto& [id, unit] : units_) {
      if (unit.Serving()) write(unit);
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
  out.Family("lampd_mqtt_dropped_total", "counter",
             "Messages dropped unread for being over their topic's size.");
  out.Sample("lampd_mqtt_dropped_total", {}, static_cast<double>(droppedMessages_));
  out.Family("lampd_mqtt_events_dropped_total", "counter",
             "Event and error messages dropped while " +
                 std::to_string(MqttConnection::kMostUnacknowledged) +
                 " messages waited for the broker's acknowledgement.");
  out.Sample("lampd_mqtt_events_dropped_total", {},
             mqtt_ ? static_cast<double>(mqtt_->Dropped()) : 0);
  out.Family("lampd_mqtt_unacknowledged", "gauge",
             "Messages published at QoS 1 that the broker has not acknowledged yet.");
  out.Sample("lampd_mqtt_unacknowledged", {},
             mqtt_ ? static_cast<double>(mqtt_->Unacknowledged()) : 0);
  const auto now = SteadyClock::now();
  out.Family("lampd_poll_gap_longest_seconds", "gauge",
             "The longest time a unit that answers went without an exchange, in the last minute "
             "or two.");
  out.Sample("lampd_poll_gap_longest_seconds", {}, pollGap_.Most(now));
  out.Family("lampd_loop_longest_turn_seconds", "gauge",
             "The longest turn of lampd's loop (work done between two waits), in the last minute "
             "or two.");
  out.Sample("lampd_loop_longest_turn_seconds", {}, longestTurn_.Most(now));
  out.Family("lampd_units_found", "gauge", "Units served here that Mac Find found.");
  out.Sample("lampd_units_found", {}, static_cast<double>(found_));
  out.Family("lampd_units_passed_over_total", "counter",
             "Units Mac Find found past found_max, passed over.");
  out.Sample("lampd_units_passed_over_total", {}, static_cast<double>(passedOver_));
  out.Family("lampd_units_standing_by", "gauge",
             "Units this instance reaches that another instance serves.");
  out.Sample("lampd_units_standing_by", {},
             static_cast<double>(std::count_if(units_.begin(), units_.end(), [](const auto& entry) {
               return entry.second.role == Role::kStandby;
             })));
  out.Family("lampd_state_file_failing", "gauge",
             "Whether the last write of the state file failed (1); it is tried again until it "
             "is written.");
  out.Sample("lampd_state_file_failing", {}, saveFailing_ ? 1 : 0);
  out.Family("lampd_state_file_failures_total", "counter", "Writes of the state file that failed.");
  out.Sample("lampd_state_file_failures_total", {}, static_cast<double>(saveFailures_));
  for (const auto& [family, counts, help] :
       {std::tuple{
            "lampd_commands_total", &commands_,
            "Commands taken, by where they came from (mqtt, http, alertmanager, modbus, web)."},
        std::tuple{"lampd_commands_refused_total", &refused_,
                   "Commands refused before they were taken, by where they came from."},
        std::tuple{"lampd_commands_over_share_total", &overShare_,
                   "Of the commands refused, those whose front or client was over its share of "
                   "the command path."}}) {
    out.Family(family, "counter", help);
    for (const char* origin : {"mqtt", "http", "alertmanager", "modbus", "web", "escalation"}) {
      const auto count = counts->find(origin);
      out.Sample(family, {{"source", origin}},
                 count == counts->end() ? 0 : static_cast<double>(count->second));
    }
  }
  for (const auto& [family, histograms, help] :
       {std::tuple{"lampd_andon_ack_seconds", &ackSeconds_,
                   "How long calls (leases) took to be acknowledged, by the unit's group."},
        std::tuple{"lampd_andon_clear_seconds", &clearSeconds_,
                   "How long calls (leases) lasted until cleared, replaced or ended, by the unit's "
                   "group."}}) {
    out.Family(family, "histogram", help);
    for (const auto& [group, histogram] : *histograms)
      histogram.Write(out, family, {{"group", group}});
  }
  if (journal_) {
    out.Family("lampd_journal_records_total", "counter",
               "Events recorded: the last record's number (numbered on across restarts where a "
               "journal is kept).");
    out.Sample("lampd_journal_records_total", {}, static_cast<double>(journal_->Records()));
    out.Family("lampd_journal_written_bytes_total", "counter", "Bytes written to the journal.");
    out.Sample("lampd_journal_written_bytes_total", {},
               static_cast<double>(journal_->BytesWritten()));
    out.Family("lampd_journal_failing", "gauge",
               "Whether the last write of the journal failed (1); records wait and are tried "
               "again.");
    out.Sample("lampd_journal_failing", {}, journalFailing_ ? 1 : 0);
    out.Family("lampd_journal_dropped_total", "counter",
               "Records dropped while the disk refused them and 16 MiB waited already.");
    out.Sample("lampd_journal_dropped_total", {}, static_cast<double>(journal_->Dropped()));
  }
  if (modbus_) modbus_->WriteMetrics(out);
  return out.Text();
}

}  // namespace lampd
