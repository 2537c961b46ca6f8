// The topic layout, in one table: what lampd subscribes to, how a topic it
// receives reads, what it publishes where, and the size over which a
// message on it is dropped unread. Pure: no broker here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lampd {

enum class TopicKind {
  kUnitState,         // BASE/ID: the unit's state, retained (whose it is says who serves it)
  kUnitAvailability,  // BASE/ID/availability: online or offline, retained
  kUnitError,         // BASE/ID/error: why a command was refused or not answered
  kUnitSet,           // BASE/ID/set: a command
  kUnitSetField,      // BASE/ID/set/LAMP: one lamp or the sound
  kUnitGet,           // BASE/ID/get: read the unit now
  kUnitAck,           // BASE/ID/ack: acknowledge the unit's calls
  kUnitEvent,         // BASE/ID/event: each of its events as the journal records it
  kGroupSet,          // BASE/group/NAME/set
  kGroupSetField,     // BASE/group/NAME/set/LAMP
  kGroupError,        // BASE/group/NAME/error
  kBridgeState,       // BASE/bridge/INSTANCE/state: online or offline, retained
  kFindRequest,       // BASE/bridge/request/find
  kFindResponse,      // BASE/bridge/response/find
  kHomeAssistant,     // homeassistant/status: online when Home Assistant starts
  kDiscovery,         // PREFIX/device/ID/config: a unit's description, retained
};

struct ParsedTopic {
  TopicKind kind;
  std::string name;   // the unit's id, the group's or the instance's name
  std::string field;  // the lamp or "sound" of a .../set/FIELD
};

class Topics {
 public:
  Topics(std::string base, std::string discoveryPrefix);

  // Patterns to subscribe to, in the table's order.
  std::vector<std::string> Subscriptions() const;
  // What `topic` is; nothing for a topic lampd does not read.
  std::optional<ParsedTopic> Parse(std::string_view topic) const;
  // The topic of `kind` for `name` (and `field`).
  std::string Name(TopicKind kind, const std::string& name = "",
                   const std::string& field = "") const;
  // The largest message lampd reads on a topic of `kind`.
  static std::size_t Limit(TopicKind kind);

 private:
  std::string base_, discoveryPrefix_;
};

}  // namespace lampd
