// What a command to a unit or a group asks, as MQTT and HTTP both give it:
// lamps and the sound, a reset, or the end of leases; with "for" a lease
// that holds what it names until it expires. Parsing only: nothing here is
// sent.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "leases.h"
#include "protocol/lamp_frame.h"

namespace lampd {

inline constexpr int kDefaultPriority = 5;
inline constexpr std::chrono::milliseconds kLongestLease = std::chrono::hours(24 * 30);

struct Command {
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;  // what it names
  bool reset = false;
  std::optional<std::chrono::milliseconds> lease;  // "for"
  int priority = kDefaultPriority;
  std::string source;                    // who asks; leases of a source are cleared together
  std::optional<std::string> clear;      // a source, or "*"
  std::string relayedBy;                 // a group command another instance passed on
  std::string client;                    // who sent it, where the payload names it ("client")
  std::vector<EscalationStep> escalate;  // of a lease
  // An acknowledgement of the unit's calls rather than a set: by whom, a note.
  std::optional<std::pair<std::string, std::string>> ack;

  bool NamesAnything() const { return codes != protocol::kLeaveAllUnchanged; }
};

// The JSON of a set command, e.g. {"red": "blink", "sound": 1, "for": "10m",
// "priority": 8, "source": "ci"}; false with `why`, a reason a person reads.
bool ParseCommand(std::string_view payload, const std::string& defaultSource, Command& command,
                  std::string& why);

// An acknowledgement: an empty payload, or {"by": "name", "note": "..."}.
bool ParseAck(std::string_view payload, Command& command, std::string& why);

// An escalation list: [{"after": "5m", "set": {"red": "blink"}, "target":
// "group:NAME", "priority": 9}, ...], at most kMostEscalationSteps steps;
// false with `why`.
bool ParseEscalation(const nlohmann::ordered_json& list, std::vector<EscalationStep>& steps,
                     std::string& why);

// The list as JSON again; with `withFired`, which steps have fired.
nlohmann::ordered_json EscalationJson(const std::vector<EscalationStep>& steps, bool withFired);

// An escalation's lease takes its call's source and this.
inline constexpr std::string_view kEscalatedSuffix = "/escalated";

// One lamp or the sound by its own topic (".../set/red" with "blink").
bool ParseField(const std::string& name, std::string_view value, const std::string& defaultSource,
                Command& command, std::string& why);

// The command as JSON again, for passing a group command to other instances.
std::string CommandText(const Command& command);

// Whether `text` may name a source: 1 to 64 printable characters.
bool SourceNameOk(std::string_view text);

}  // namespace lampd
