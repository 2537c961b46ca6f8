// What a command to a unit or a group asks, as MQTT and HTTP both give it:
// lamps and the sound, a reset, or the end of leases; with "for" a lease
// that holds what it names until it expires. Parsing only: nothing here is
// sent.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/lamp_frame.h"

namespace lampd {

inline constexpr int kDefaultPriority = 5;
inline constexpr std::chrono::milliseconds kLongestLease = std::chrono::hours(24 * 30);

struct Command {
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;  // what it names
  bool reset = false;
  std::optional<std::chrono::milliseconds> lease;  // "for"
  int priority = kDefaultPriority;
  std::string source;                // who asks; leases of a source are cleared together
  std::optional<std::string> clear;  // a source, or "*"
  std::string relayedBy;             // a group command another instance passed on

  bool NamesAnything() const { return codes != protocol::kLeaveAllUnchanged; }
};

// The JSON of a set command, e.g. {"red": "blink", "sound": 1, "for": "10m",
// "priority": 8, "source": "ci"}; false with `why`, a reason a person reads.
bool ParseCommand(std::string_view payload, const std::string& defaultSource, Command& command,
                  std::string& why);

// One lamp or the sound by its own topic (".../set/red" with "blink").
bool ParseField(const std::string& name, std::string_view value, const std::string& defaultSource,
                Command& command, std::string& why);

// The command as JSON again, for passing a group command to other instances.
std::string CommandText(const Command& command);

// Whether `text` may name a source: 1 to 64 printable characters.
bool SourceNameOk(std::string_view text);

}  // namespace lampd
