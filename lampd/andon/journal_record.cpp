#include "journal_record.h"

#include <algorithm>

#include "lampd/core/time_text.h"
#include "protocol/duration_text.h"

namespace lampd {
namespace {

constexpr std::size_t kMostOpenCalls = 1 << 20;  // a report's memory, bounded

std::string Needle(std::string_view key, const std::string& value) {
  return "\"" + std::string(key) + "\":" + Dump(Json(value));
}

std::optional<std::string> TimeParameter(const std::string& text, WallClock::time_point now) {
  if (const auto when = ParseTime(text)) return TimeText(*when);
  // "1h": that long ago.
  if (const auto back = protocol::ParseDuration(text); back && back->count() >= 0) {
    return TimeText(now - std::chrono::duration_cast<WallClock::duration>(*back));
  }
  return std::nullopt;
}

Json Seconds(std::vector<double> values, bool median) {
  if (values.empty()) return nullptr;
  std::sort(values.begin(), values.end());
  if (!median) return values.back();
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

Json RecordJson(const JournalRecord& record, std::uint64_t seq) {
  Json line = {{"seq", seq}, {"at", TimeText(record.at)}};
  const auto put = [&line](const char* key, const std::string& value) {
    if (!value.empty()) line[key] = value;
  };
  put("unit", record.unit);
  put("group", record.group);
  line["kind"] = record.kind;
  put("origin", record.origin);
  put("source", record.source);
  put("who", record.who);
  if (record.what != protocol::kLeaveAllUnchanged) line["what"] = CodesJson(record.what);
  put("reason", record.reason);
  if (!record.leases.empty()) line["leases"] = record.leases;
  return line;
}

bool ReadEventQuery(const std::map<std::string, std::string>& parameters, WallClock::time_point now,
                    EventQuery& query, std::string& why) {
  for (const auto& [name, value] : parameters) {
    if (name == "unit" || name == "kind") {
      (name == "unit" ? query.unit : query.kind) = value;
    } else if (name == "since" || name == "until") {
      const auto when = TimeParameter(value, now);
      if (!when) {
        why = name + " takes a time such as 2026-12-08T06:00:00Z or a duration back such as 8h";
        return false;
      }
      (name == "since" ? query.since : query.until) = *when;
    } else if (name == "limit" || name == "before") {
      std::uint64_t number = 0;
      const bool digits =
          !value.empty() && value.size() <= 19 &&
          std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (digits) number = std::stoull(value);
      if (!digits || (name == "limit" && (number < 1 || number > kMostEventsAPage))) {
        why = name == "limit" ? "limit takes 1 to " + std::to_string(kMostEventsAPage)
                              : "before takes a record's seq";
        return false;
      }
      if (name == "limit") {
        query.limit = static_cast<std::size_t>(number);
      } else {
        query.before = number;
      }
    } else {
      why = "events are asked for by unit, kind, since, until, before and limit, not " + name;
      return false;
    }
  }
  query.Prepare();
  return true;
}

void EventQuery::Prepare() {
  unitNeedle = unit.empty() ? "" : Needle("unit", unit);
  groupNeedle = unit.empty() ? "" : Needle("group", unit);
  kindNeedle = kind.empty() ? "" : Needle("kind", kind);
}

bool MayMatch(std::string_view line, const EventQuery& query) {
  if (!query.unitNeedle.empty() && line.find(query.unitNeedle) == std::string_view::npos &&
      line.find(query.groupNeedle) == std::string_view::npos) {
    return false;
  }
  return query.kindNeedle.empty() || line.find(query.kindNeedle) != std::string_view::npos;
}

Verdict Judge(const Json& record, const EventQuery& query) {
  if (!record.is_object()) return Verdict::kPass;
  const auto seq = record.find("seq");
  const auto at = record.find("at");
  if (seq == record.end() || !seq->is_number_unsigned() || at == record.end() || !at->is_string()) {
    return Verdict::kPass;
  }
  const std::string& when = at->get_ref<const std::string&>();
  if (!query.since.empty() && when < query.since) return Verdict::kStop;
  if (!query.until.empty() && when >= query.until) return Verdict::kPass;
  if (query.before && seq->get<std::uint64_t>() >= *query.before) return Verdict::kPass;
  if (!query.unit.empty() && TextOf(record, "unit") != query.unit &&
      TextOf(record, "group") != query.unit) {
    return Verdict::kPass;
  }
  if (!query.kind.empty() && TextOf(record, "kind") != query.kind) return Verdict::kPass;
  return Verdict::kTake;
}

std::optional<double> JournalSeconds(const std::string& text) {
  const auto when = ParseTime(text);
  if (!when) return std::nullopt;
  return std::chrono::duration<double>(when->time_since_epoch()).count();
}

AndonReport::AndonReport(std::string since, std::string until)
    : since_(std::move(since)), until_(std::move(until)) {}

bool AndonReport::Wanted(std::string_view line) {
  return line.find("\"kind\":\"lease-") != std::string_view::npos ||
         line.find("\"kind\":\"ack\"") != std::string_view::npos;
}

void AndonReport::Take(const Json& record) {
  if (!record.is_object()) return;
  const std::string kind = TextOf(record, "kind");
  const std::string unit = TextOf(record, "unit");
  const std::string at = TextOf(record, "at");
  const auto leases = record.find("leases");
  const auto seconds = JournalSeconds(at);
  if (unit.empty() || !seconds || leases == record.end() || !leases->is_array()) return;
  for (const Json& lease : *leases) {
    if (!lease.is_number_unsigned()) continue;
    const auto key = std::pair(unit, lease.get<std::uint64_t>());
    if (kind == "lease-taken") {
      // A call is what someone raised; what an escalation raised answers to it.
      if (TextOf(record, "origin") == "escalation" || at < since_ ||
          (!until_.empty() && at >= until_)) {
        continue;
      }
      ++units_[unit].calls;
      if (open_.size() < kMostOpenCalls) open_[key] = {*seconds, false};
      continue;
    }
    const auto call = open_.find(key);
    if (call == open_.end()) continue;
    Figures& figures = units_[unit];
    if (kind == "ack") {
      if (!call->second.acknowledged) figures.toAck.push_back(*seconds - call->second.taken);
      call->second.acknowledged = true;
      continue;
    }
    if (kind == "lease-ended" || kind == "lease-cleared" || kind == "lease-replaced") {
      figures.toClear.push_back(*seconds - call->second.taken);
      open_.erase(call);
    }
  }
}

Json AndonReport::Result() const {
  Json units = Json::array();
  for (const auto& [unit, figures] : units_) {
    units.push_back({{"unit", unit},
                     {"calls", figures.calls},
                     {"acknowledged", figures.toAck.size()},
                     {"ack_median_s", Seconds(figures.toAck, true)},
                     {"ack_worst_s", Seconds(figures.toAck, false)},
                     {"cleared", figures.toClear.size()},
                     {"clear_median_s", Seconds(figures.toClear, true)},
                     {"clear_worst_s", Seconds(figures.toClear, false)}});
  }
  Json report = {{"since", since_}};
  if (!until_.empty()) report["until"] = until_;
  report["units"] = units;
  return report;
}

}  // namespace lampd
