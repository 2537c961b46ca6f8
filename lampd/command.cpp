#include "command.h"

#include "protocol/duration_text.h"
#include "state_document.h"

namespace lampd {
namespace {

using json = Json;

bool ParseLeaseKey(const std::string& key, const json& value, Command& command, std::string& why) {
  if (key == "for") {
    const auto duration =
        value.is_string() ? protocol::ParseDuration(value.get<std::string>()) : std::nullopt;
    if (!duration || duration->count() <= 0 || *duration > kLongestLease) {
      why = "for takes a duration from \"1ms\" to \"30d\" such as \"90s\" or \"10m\", not " +
            Dump(value);
      return false;
    }
    command.lease = *duration;
  } else if (key == "priority") {
    if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 9) {
      why = "priority takes a whole number from 0 to 9, not " + Dump(value);
      return false;
    }
    command.priority = value.get<int>();
  } else if (key == "source" || key == "clear") {
    if (!value.is_string() || !SourceNameOk(value.get<std::string>())) {
      why = key + " takes a name of 1 to 64 printable characters, not " + Dump(value);
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
        "not a lamp (red, yellow, green, blue, white), lamps, sound, reset, for, priority, source "
        "or clear: \"" +
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
      const auto code = SoundValue(value);
      if (!code) {
        why = "sound takes 1 to 5 or \"off\", not " + Dump(value);
        return false;
      }
      command.codes[protocol::kSoundLamp] = *code;
    } else if (key == "lamps") {
      // A state's lamps, sent back as they stand.
      if (!CodesOf(json{{"lamps", value}}, command.codes, why)) return false;
    } else if (key == "reset") {
      if (!value.is_boolean()) {
        why = "reset takes true";
        return false;
      }
      command.reset = value.get<bool>();
    } else if (const auto lamp = protocol::LampNumberOf(key)) {
      const auto code = LampValue(value);
      if (!code) {
        why = key + " takes \"off\", \"on\" or \"blink\", not " + Dump(value);
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
    const auto code = SoundValue(json(text));
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
    const json codes = CodesJson(command.codes);
    for (const auto& [lamp, value] : codes["lamps"].items()) document[lamp] = value;
    if (codes.contains("sound")) document["sound"] = codes["sound"];
    if (command.reset) document["reset"] = true;
    if (command.lease) document["for"] = protocol::DurationText(*command.lease);
    document["priority"] = command.priority;
  }
  document["source"] = command.source;
  if (!command.relayedBy.empty()) document["relayed_by"] = command.relayedBy;
  return Dump(document);
}

}  // namespace lampd
