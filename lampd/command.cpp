#include "command.h"

#include <nlohmann/json.hpp>

#include "protocol/duration_text.h"

namespace lampd {
namespace {

using json = nlohmann::ordered_json;

// A sound as a payload gives it: 1 to 5, or "off".
std::optional<std::uint8_t> SoundCode(const json& value) {
  if (value.is_number_integer() && value.get<long long>() >= 1 && value.get<long long>() <= 5) {
    return static_cast<std::uint8_t>(value.get<int>());
  }
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (text == "off") return protocol::kSoundOff;
    if (text.size() == 1 && text[0] >= '1' && text[0] <= '5') {
      return static_cast<std::uint8_t>(text[0] - '0');
    }
  }
  return std::nullopt;
}

bool ParseLeaseKey(const std::string& key, const json& value, Command& command, std::string& why) {
  if (key == "for") {
    const auto duration =
        value.is_string() ? protocol::ParseDuration(value.get<std::string>()) : std::nullopt;
    if (!duration || duration->count() <= 0 || *duration > kLongestLease) {
      why = "for takes a duration from \"1ms\" to \"30d\" such as \"90s\" or \"10m\", not " +
            value.dump();
      return false;
    }
    command.lease = *duration;
  } else if (key == "priority") {
    if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 9) {
      why = "priority takes a whole number from 0 to 9, not " + value.dump();
      return false;
    }
    command.priority = value.get<int>();
  } else if (key == "source" || key == "clear") {
    if (!value.is_string() || !SourceNameOk(value.get<std::string>())) {
      why = key + " takes a name of 1 to 64 printable characters, not " + value.dump();
      return false;
    }
    (key == "source" ? command.source : command.clear.emplace()) = value.get<std::string>();
  } else if (key == "relayed_by") {
    if (!value.is_string()) {
      why = "relayed_by takes an instance's name";
      return false;
    }
    command.relayedBy = value.get<std::string>();
  } else {
    why =
        "not a lamp (red, yellow, green, blue, white), sound, reset, for, priority, source or "
        "clear: \"" +
        key + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool SourceNameOk(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

bool ParseCommand(std::string_view payload, const std::string& defaultSource, Command& command,
                  std::string& why) {
  const json document = json::parse(payload, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    why = "not a JSON object";
    return false;
  }
  command = Command{};
  command.source = defaultSource;
  for (const auto& [key, value] : document.items()) {
    if (key == "sound") {
      const auto code = SoundCode(value);
      if (!code) {
        why = "sound takes 1 to 5 or \"off\", not " + value.dump();
        return false;
      }
      command.codes[protocol::kSoundLamp] = *code;
    } else if (key == "reset") {
      if (!value.is_boolean()) {
        why = "reset takes true";
        return false;
      }
      command.reset = value.get<bool>();
    } else if (const auto lamp = protocol::LampNumberOf(key)) {
      const auto code =
          value.is_string() ? protocol::LampCodeOf(value.get<std::string>()) : std::nullopt;
      if (!code) {
        why = key + " takes \"off\", \"on\" or \"blink\", not " + value.dump();
        return false;
      }
      command.codes[*lamp] = *code;
    } else if (!ParseLeaseKey(key, value, command, why)) {
      return false;
    }
  }
  if (command.clear) {
    if (command.NamesAnything() || command.reset || command.lease) {
      why = "clear stands alone: it ends leases and sets nothing";
      return false;
    }
    return true;
  }
  if (command.reset && command.lease) {
    why = "a reset is not a lease: it takes no for";
    return false;
  }
  if (!command.NamesAnything() && !command.reset) {
    why = "nothing to set";
    return false;
  }
  return true;
}

bool ParseField(const std::string& name, std::string_view value, const std::string& defaultSource,
                Command& command, std::string& why) {
  command = Command{};
  command.source = defaultSource;
  const std::string text(value);
  if (name == "sound") {
    const auto code = SoundCode(json(text));
    if (!code) {
      why = "sound takes 1 to 5 or off";
      return false;
    }
    command.codes[protocol::kSoundLamp] = *code;
    return true;
  }
  if (const auto lamp = protocol::LampNumberOf(name)) {
    const auto code = protocol::LampCodeOf(text);
    if (!code) {
      why = name + " takes off, on or blink";
      return false;
    }
    command.codes[*lamp] = *code;
    return true;
  }
  why = "not a lamp (red, yellow, green, blue, white) or sound: " + name;
  return false;
}

std::string CommandText(const Command& command) {
  json document = json::object();
  if (command.clear) {
    document["clear"] = *command.clear;
  } else {
    for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
      if (command.codes[lamp] != protocol::kLeaveUnchanged) {
        document[std::string(protocol::kLampNames[lamp])] =
            std::string(protocol::LampStateName(command.codes[lamp]));
      }
    }
    const std::uint8_t sound = command.codes[protocol::kSoundLamp];
    if (sound == protocol::kSoundOff) document["sound"] = "off";
    if (sound != protocol::kSoundOff && sound != protocol::kLeaveUnchanged)
      document["sound"] = sound;
    if (command.reset) document["reset"] = true;
    if (command.lease) document["for"] = protocol::DurationText(*command.lease);
    document["priority"] = command.priority;
  }
  document["source"] = command.source;
  if (!command.relayedBy.empty()) document["relayed_by"] = command.relayedBy;
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace lampd
