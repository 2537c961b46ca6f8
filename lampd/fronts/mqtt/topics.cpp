#include "topics.h"

namespace lampd {
namespace {

constexpr std::size_t kCommandLimit = 4096;
// A state of 64 leases is about 8 KiB.
constexpr std::size_t kStateLimit = 32 * 1024;
constexpr std::size_t kWordLimit = 64;  // "online", "offline", a marker

struct Row {
  TopicKind kind;
  bool prefixed;        // under the discovery prefix rather than the base topic
  const char* pattern;  // levels after the base: "+" one level (the name), "*" the field
  bool subscribed;
  std::size_t limit;
};

// Literal levels first: "bridge" and "group" are not unit ids.
constexpr Row kTable[] = {
    {TopicKind::kFindRequest, false, "bridge/request/find", true, kCommandLimit},
    {TopicKind::kFindResponse, false, "bridge/response/find", false, 0},
    {TopicKind::kBridgeState, false, "bridge/+/state", true, kWordLimit},
    {TopicKind::kGroupSet, false, "group/+/set", true, kCommandLimit},
    {TopicKind::kGroupSetField, false, "group/+/set/*", true, kCommandLimit},
    {TopicKind::kGroupError, false, "group/+/error", false, 0},
    {TopicKind::kUnitState, false, "+", true, kStateLimit},
    {TopicKind::kUnitAvailability, false, "+/availability", true, kWordLimit},
    {TopicKind::kUnitError, false, "+/error", false, 0},
    {TopicKind::kUnitSet, false, "+/set", true, kCommandLimit},
    {TopicKind::kUnitSetField, false, "+/set/*", true, kCommandLimit},
    {TopicKind::kUnitGet, false, "+/get", true, kCommandLimit},
    {TopicKind::kUnitAck, false, "+/ack", true, kCommandLimit},
    {TopicKind::kUnitEvent, false, "+/event", false, 0},
    {TopicKind::kHomeAssistant, true, "status", true, kWordLimit},
    {TopicKind::kDiscovery, true, "device/+/config", false, 0},
};

std::vector<std::string_view> Levels(std::string_view text) {
  std::vector<std::string_view> levels;
  for (;;) {
    const auto slash = text.find('/');
    levels.push_back(text.substr(0, slash));
    if (slash == std::string_view::npos) return levels;
    text.remove_prefix(slash + 1);
  }
}

const Row& RowOf(TopicKind kind) {
  for (const Row& row : kTable) {
    if (row.kind == kind) return row;
  }
  return kTable[0];
}

}  // namespace

Topics::Topics(std::string base, std::string discoveryPrefix)
    : base_(std::move(base)), discoveryPrefix_(std::move(discoveryPrefix)) {}

std::vector<std::string> Topics::Subscriptions() const {
  std::vector<std::string> patterns;
  for (const Row& row : kTable) {
    if (!row.subscribed || (row.prefixed && discoveryPrefix_.empty())) continue;
    std::string pattern = (row.prefixed ? discoveryPrefix_ : base_) + "/" + row.pattern;
    for (char& c : pattern) {
      if (c == '*') c = '+';
    }
    patterns.push_back(pattern);
  }
  return patterns;
}

std::optional<ParsedTopic> Topics::Parse(std::string_view topic) const {
  for (const Row& row : kTable) {
    const std::string& root = row.prefixed ? discoveryPrefix_ : base_;
    if (root.empty() || !topic.starts_with(root) || topic.size() <= root.size() ||
        topic[root.size()] != '/') {
      continue;
    }
    const auto levels = Levels(topic.substr(root.size() + 1));
    const auto pattern = Levels(row.pattern);
    if (levels.size() != pattern.size()) continue;
    ParsedTopic parsed{row.kind, "", ""};
    bool matches = true;
    for (std::size_t i = 0; i < levels.size() && matches; ++i) {
      if (pattern[i] == "+") {
        parsed.name = std::string(levels[i]);
        matches = !levels[i].empty();
      } else if (pattern[i] == "*") {
        parsed.field = std::string(levels[i]);
      } else {
        matches = levels[i] == pattern[i];
      }
    }
    if (matches) return parsed;
  }
  return std::nullopt;
}

std::string Topics::Name(TopicKind kind, const std::string& name, const std::string& field) const {
  const Row& row = RowOf(kind);
  std::string topic = row.prefixed ? discoveryPrefix_ : base_;
  for (const auto level : Levels(row.pattern)) {
    topic += '/';
    topic += level == "+" ? name : level == "*" ? field : std::string(level);
  }
  return topic;
}

std::size_t Topics::Limit(TopicKind kind) { return RowOf(kind).limit; }

}  // namespace lampd
