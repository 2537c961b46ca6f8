// The metrics front: /metrics made from the plant's snapshot, the units'
// families (the bulk: tens of samples a unit) written on a thread of their
// own, and shared by every client that asks while they are fresh. A
// thousand scrapers cost one text, whether they read it or not, and the
// loop only copies a few numbers a unit.
#include "metrics_front.h"

namespace lampd {
namespace {

std::string UnitMetrics(const std::vector<UnitFigures>& units) {
  MetricsText out;
  out.Family("lampd_unit_up", "gauge", "Whether the unit answers its polls (1) or not (0).");
  for (const UnitFigures& unit : units) {
    out.Sample("lampd_unit_up", {{"unit", unit.id}, {"address", unit.address}}, unit.up ? 1 : 0);
  }
  out.Family("lampd_lamp_state", "gauge", "What a lamp shows: 0 off, 1 on, 2 blinking.");
  for (const UnitFigures& unit : units) {
    if (!unit.state) continue;
    for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
      const int code = (*unit.state)[protocol::kFirstLampByte + lamp];
      out.Sample("lampd_lamp_state",
                 {{"unit", unit.id}, {"lamp", std::string(protocol::kLampNames[lamp])}},
                 code > 2 ? 2 : code);
    }
  }
  out.Family("lampd_sound", "gauge", "The sound the unit plays: 0 none, 1 to 5 its stored sounds.");
  for (const UnitFigures& unit : units) {
    if (unit.state)
      out.Sample("lampd_sound", {{"unit", unit.id}}, (*unit.state)[protocol::kSoundByte]);
  }
  out.Family("lampd_leases", "gauge", "Live leases the unit holds.");
  for (const UnitFigures& unit : units) {
    out.Sample("lampd_leases", {{"unit", unit.id}}, static_cast<double>(unit.leases));
  }
  out.Family("lampd_exchanges_total", "counter", "Exchanges with the unit, polls and commands.");
  for (const UnitFigures& unit : units) {
    out.Sample("lampd_exchanges_total", {{"unit", unit.id}}, static_cast<double>(unit.exchanges));
  }
  out.Family("lampd_exchange_failures_total", "counter",
             "Exchanges the unit did not answer, by how they failed.");
  for (const UnitFigures& unit : units) {
    for (const auto& [reason, count] : unit.failures) {
      out.Sample("lampd_exchange_failures_total", {{"unit", unit.id}, {"reason", reason}},
                 static_cast<double>(count));
    }
  }
  return out.Text();
}

}  // namespace

MetricsFront::MetricsFront(platform::EventLoop& loop, Plant& plant, HttpFront& http)
    : plant_(plant), http_(http), maker_(loop, 1) {}

void MetricsFront::Start() {
  http_.Handle([this](const HttpRequest& request, const HttpFront::Answer& answer) {
    if (request.path != "/metrics") return false;
    if (HttpFront::Only("GET", request, answer)) Serve(answer);
    return true;
  });
}

void MetricsFront::Serve(HttpFront::Answer answer) {
  const auto now = std::chrono::steady_clock::now();
  if (text_ && now - made_ < kFresh) {
    HttpAnswer metrics{200, "", "text/plain; version=0.0.4; charset=utf-8"};
    metrics.shared = text_;
    return answer(std::move(metrics));
  }
  waiting_.push_back(std::move(answer));
  if (waiting_.size() > 1) return;  // one is being made: these share it
  const auto finish = [this, now](std::string text) {
    text_ = std::make_shared<const std::string>(std::move(text));
    made_ = now;
    HttpAnswer metrics{200, "", "text/plain; version=0.0.4; charset=utf-8"};
    metrics.shared = text_;
    for (const auto& waiting : std::exchange(waiting_, {})) waiting(metrics);
  };
  MetricsText plantWide;
  plant_.WriteMetrics(plantWide);
  http_.Access().WriteMetrics(plantWide);
  // One is made at a time (those who ask meanwhile wait for it): there is room.
  maker_.Run(
      [units = plant_.Figures(), plantWide = plantWide.Text(), finish]() -> Background::Answer {
        std::string text = UnitMetrics(units) + plantWide;
        return [finish, text = std::move(text)]() mutable { finish(std::move(text)); };
      });
}

}  // namespace lampd
