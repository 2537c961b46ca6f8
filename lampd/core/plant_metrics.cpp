// What the core tells the metrics: its own families (exchanges, the broker,
// commands and refusals, andon's figures, the state file, and those of the
// fronts and sinks it holds), and each unit's figures, copied on the loop.
#include "service.h"

namespace lampd {

std::vector<UnitFigures> Service::Figures() const {
  std::vector<UnitFigures> units;
  units.reserve(units_.size());
  for (const auto& [id, unit] : units_) {
    if (!unit.Serving()) continue;
    units.push_back({unit.id, unit.address.Text(), unit.online.value_or(false), unit.state,
                     unit.signals.Leases().size(), unit.exchanges, unit.failures});
  }
  return units;
}

void Service::WriteMetrics(MetricsText& out) const {
  out.Family("lampd_exchange_duration_seconds", "histogram",
             "How long exchanges took, connect to reply or failure.");
  exchangeSeconds_.Write(out, "lampd_exchange_duration_seconds");
  if (mqtt_) mqtt_->WriteMetrics(out);
  if (owners_) owners_->WriteMetrics(out);
  const auto now = SteadyClock::now();
  out.Family("lampd_poll_gap_longest_seconds", "gauge",
             "The longest time a unit that answers went without an exchange, in the last 10 to "
             "20 seconds.");
  out.Sample("lampd_poll_gap_longest_seconds", {}, pollGap_.Most(now));
  out.Family("lampd_loop_longest_turn_seconds", "gauge",
             "The longest turn of lampd's loop (work done between two waits), in the last 10 to "
             "20 seconds.");
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
  andonFigures_.WriteMetrics(out);
  if (journal_) journal_->WriteMetrics(out);
  if (modbus_) modbus_->WriteMetrics(out);
}

}  // namespace lampd
