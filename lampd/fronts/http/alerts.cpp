#include "alerts.h"

#include <algorithm>
#include <cstdio>

#include "lampd/core/state_document.h"
#include "lampd/core/time_text.h"

namespace lampd {
namespace {

constexpr std::size_t kFingerprintKept = 50;  // of the source's 64 characters
constexpr std::size_t kMostAlerts = 1000;

// Alertmanager's own fingerprint is a 64-bit FNV-1a of the sorted labels;
// an alert sent without one gets the same kind.
std::string FingerprintOf(const Json& labels) {
  std::vector<std::pair<std::string, std::string>> sorted;
  for (const auto& [name, value] : labels.items())
    sorted.emplace_back(name, value.get<std::string>());
  std::sort(sorted.begin(), sorted.end());
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](std::string_view text) {
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ 0xFF) * 1099511628211ull;  // a separator no UTF-8 text holds
  };
  for (const auto& [name, value] : sorted) {
    mix(name);
    mix(value);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

bool Fail(std::string& why, std::size_t index, const std::string& what) {
  why = "alert " + std::to_string(index) + ": " + what;
  return false;
}

// The alert's end as Alertmanager gives it; its "no end" is year 1.
bool ReadEnd(const Json& alert, std::optional<WallClock::time_point>& end) {
  const auto ends = alert.find("endsAt");
  if (ends == alert.end()) return true;
  if (!ends->is_string()) return false;
  const std::string& text = ends->get_ref<const std::string&>();
  end = ParseTime(text);
  return end || text.starts_with("0001-01-01T00:00:00");
}

}  // namespace

std::string CutUtf8(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return std::string(text);
  std::size_t end = bytes;
  // Back over continuation bytes (10xxxxxx) to the start of the character cut.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

bool ReadAlerts(std::string_view body, const std::vector<AlertRule>& rules,
                WallClock::time_point now, AlertBatch& batch, std::string& why) {
  const Json document = Json::parse(body, nullptr, false);
  const auto alerts = document.is_object() ? document.find("alerts") : document.end();
  if (!document.is_object() || alerts == document.end() || !alerts->is_array()) {
    why = "not Alertmanager's webhook JSON: no \"alerts\" list";
    return false;
  }
  if (alerts->size() > kMostAlerts) {
    why = "more than " + std::to_string(kMostAlerts) + " alerts in one message";
    return false;
  }
  AlertBatch read;
  for (std::size_t index = 0; index < alerts->size(); ++index) {
    const Json& alert = (*alerts)[index];
    if (!alert.is_object()) return Fail(why, index, "not an object");
    const auto labels = alert.find("labels");
    if (labels == alert.end() || !labels->is_object()) return Fail(why, index, "no labels");
    for (const auto& [name, value] : labels->items()) {
      if (!value.is_string()) return Fail(why, index, "the label " + name + " is not a string");
    }
    const auto status = alert.find("status");
    if (status == alert.end() || (*status != "firing" && *status != "resolved")) {
      return Fail(why, index, "status is \"firing\" or \"resolved\"");
    }
    std::string fingerprint;
    if (const auto given = alert.find("fingerprint"); given != alert.end()) {
      if (!given->is_string() || given->get_ref<const std::string&>().empty()) {
        return Fail(why, index, "fingerprint is a text");
      }
      fingerprint = given->get<std::string>();
    } else {
      fingerprint = FingerprintOf(*labels);
    }
    std::optional<WallClock::time_point> end;
    if (!ReadEnd(alert, end)) return Fail(why, index, "endsAt is an RFC 3339 time");

    const bool fires = *status == "firing";
    (fires ? read.firing : read.resolved) += 1;
    const std::string source = "alertmanager:" + CutUtf8(fingerprint, kFingerprintKept);
    for (const AlertRule& rule : rules) {
      const bool matches = std::all_of(rule.match.begin(), rule.match.end(), [&](const auto& pair) {
        const auto label = labels->find(pair.first);
        return label != labels->end() && *label == pair.second;
      });
      if (!matches) continue;
      Command command;
      command.source = source;
      if (fires) {
        command.codes = rule.set;
        command.priority = rule.priority;
        command.escalate = rule.escalate;
        // Alertmanager leaves endsAt zero while an alert fires; then the
        // rule says how long the light lasts without word from it.
        auto until = now + rule.lasts;
        if (end && *end > now) until = std::min(*end, now + kLongestLease);
        command.lease = std::chrono::ceil<std::chrono::milliseconds>(until - now);
      } else {
        command.clear = source;
      }
      read.commands.push_back({rule.target, std::move(command)});
    }
  }
  batch = std::move(read);
  return true;
}

}  // namespace lampd
