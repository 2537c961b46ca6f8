#include "command.h"

#include <algorithm>

#include "protocol/duration_text.h"
#include "state_document.h"

namespace lampd {
namespace {

using json = Json;

bool ParsePriority(const json& value, int& priority, std::string& why) {
  if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 9) {
    why = "priority takes a whole number from 0 to 9, not " + Dump(value);
    return false;
  }
  priority = value.get<int>();
  return true;
}

// Who sent a command or an acknowledgement: "client", and "relayed_by" of
// one another instance passed on. Nothing when `key` is neither.
std::optional<bool> ParseSenderKey(const std::string& key, const json& value, Command& command,
                                   std::string& why) {
  if (key == "client") {
    if (!value.is_string() || !SourceNameOk(value.get<std::string>())) {
      why = "client takes a name of 1 to 64 printable characters, not " + Dump(value);
      return false;
    }
    command.client = value.get<std::string>();
    return true;
  }
  if (key == "relayed_by") {
    if (!value.is_string()) {
      why = "relayed_by takes an instance's name";
      return false;
    }
    command.relayedBy = value.get<std::string>();
    return true;
  }
  return std::nullopt;
}

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
    if (!ParsePriority(value, command.priority, why)) return false;
  } else if (key == "source" || key == "clear") {
    if (!value.is_string() || !SourceNameOk(value.get<std::string>())) {
      why = key + " takes a name of 1 to 64 printable characters, not " + Dump(value);
      return false;
    }
    (key == "source" ? command.source : command.clear.emplace()) = value.get<std::string>();
  } else if (key == "escalate") {
    if (!ParseEscalation(value, command.escalate, why)) return false;
  } else if (const auto sender = ParseSenderKey(key, value, command, why)) {
    return *sender;
  } else {
    why =
        "not a lamp (red, yellow, green, blue, white), lamps, sound, reset, for, priority, source, "
        "clear, escalate or client: \"" +
        key + "\"";
    return false;
  }
  return true;
}

// A person's name: 1 to 64 bytes, spaces and any language's letters, no control characters.
bool PersonNameOk(const std::string& text) {
  return !text.empty() && text.size() <= 64 && std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
}

bool TextOk(const json& value, std::size_t most) {
  return value.is_string() && !value.get_ref<const std::string&>().empty() &&
         value.get_ref<const std::string&>().size() <= most;
}

bool ParseStep(const json& item, EscalationStep& step, std::string& why) {
  if (!item.is_object()) {
    why = "takes objects such as {\"after\": \"5m\", \"set\": {\"red\": \"blink\"}}";
    return false;
  }
  bool after = false, set = false;
  for (const auto& [key, value] : item.items()) {
    if (key == "after") {
      const auto duration =
          value.is_string() ? protocol::ParseDuration(value.get<std::string>()) : std::nullopt;
      if (!duration || duration->count() <= 0 || *duration > kLongestLease) {
        why = "after takes a duration from \"1ms\" to \"30d\", not " + Dump(value);
        return false;
      }
      step.after = *duration;
      after = true;
    } else if (key == "set") {
      json codes = json::object();
      if (value.is_object()) {
        for (const auto& [name, state] : value.items()) {
          if (name == "sound" || name == "lamps") {
            codes[name] = state;
          } else {
            codes["lamps"][name] = state;
          }
        }
      }
      if (!value.is_object() || !CodesOf(codes, step.set, why) ||
          step.set == protocol::kLeaveAllUnchanged) {
        if (why.empty() || !value.is_object()) why = "set takes lamps and the sound to show";
        why = "set: " + why;
        return false;
      }
      set = true;
    } else if (key == "target") {
      const bool group = value.is_string() && value.get<std::string>().starts_with("group:");
      if (!TextOk(value, 128) || (group && value.get<std::string>().size() == 6)) {
        why = "target takes a unit id or group:NAME, not " + Dump(value);
        return false;
      }
      step.target = value.get<std::string>();
    } else if (key == "priority") {
      if (!ParsePriority(value, step.priority.emplace(), why)) return false;
    } else if (key == "fired") {
      if (!value.is_boolean()) {
        why = "fired takes true or false";
        return false;
      }
      step.fired = value.get<bool>();
    } else {
      why = "a step takes after, set, target and priority, not \"" + key + "\"";
      return false;
    }
  }
  if (!after || !set) {
    why = std::string("a step needs ") + (after ? "set" : "after");
    return false;
  }
  return true;
}

}  // namespace

bool ParseEscalation(const json& list, std::vector<EscalationStep>& steps, std::string& why) {
  steps.clear();
  if (!list.is_array() || list.empty() || list.size() > kMostEscalationSteps) {
    why = "escalate takes a list of 1 to " + std::to_string(kMostEscalationSteps) + " steps";
    return false;
  }
  for (const json& item : list) {
    EscalationStep step;
    if (!ParseStep(item, step, why)) {
      why = "escalate step " + std::to_string(steps.size() + 1) + ": " + why;
      steps.clear();
      return false;
    }
    steps.push_back(std::move(step));
  }
  return true;
}

json EscalationJson(const std::vector<EscalationStep>& steps, bool withFired) {
  json list = json::array();
  for (const EscalationStep& step : steps) {
    json item = {{"after", protocol::DurationText(step.after)}};
    const json codes = CodesJson(step.set);
    json set = json::object();
    for (const auto& [lamp, value] : codes["lamps"].items()) set[lamp] = value;
    if (codes.contains("sound")) set["sound"] = codes["sound"];
    item["set"] = set;
    if (!step.target.empty()) item["target"] = step.target;
    if (step.priority) item["priority"] = *step.priority;
    if (withFired) item["fired"] = step.fired;
    list.push_back(item);
  }
  return list;
}

bool ParseAck(std::string_view payload, Command& command, std::string& why) {
  command = Command{};
  command.ack.emplace();
  if (payload.find_first_not_of(" \t\r\n") == std::string_view::npos) return true;
  const json document = json::parse(payload, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    why = "an acknowledgement is empty or a JSON object such as {\"by\": \"anna\"}";
    return false;
  }
  for (const auto& [key, value] : document.items()) {
    if (key == "by") {
      if (!value.is_string() || !PersonNameOk(value.get<std::string>())) {
        why = "by takes a name of 1 to 64 printable characters, not " + Dump(value);
        return false;
      }
      command.ack->first = value.get<std::string>();
    } else if (key == "note") {
      if (!value.is_string() || value.get_ref<const std::string&>().size() > 256) {
        why = "note takes a text of at most 256 bytes";
        return false;
      }
      command.ack->second = value.get<std::string>();
    } else if (const auto sender = ParseSenderKey(key, value, command, why)) {
      if (!*sender) return false;
    } else {
      why = "an acknowledgement takes by and note, not \"" + key + "\"";
      return false;
    }
  }
  return true;
}

bool SourceNameOk(std::string_view text) {
  // An escalation's lease is named after its call's source.
  if (text.ends_with(kEscalatedSuffix)) text.remove_suffix(kEscalatedSuffix.size());
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
  if (!command.escalate.empty() && !command.lease) {
    why = "escalate belongs to a lease: it needs for";
    return false;
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
  if (command.ack) {
    document = json::object();
    if (!command.ack->first.empty()) document["by"] = command.ack->first;
    if (!command.ack->second.empty()) document["note"] = command.ack->second;
    if (!command.client.empty()) document["client"] = command.client;
    if (!command.relayedBy.empty()) document["relayed_by"] = command.relayedBy;
    return Dump(document);
  }
  if (!command.escalate.empty()) document["escalate"] = EscalationJson(command.escalate, false);
  document["source"] = command.source;
  if (!command.client.empty()) document["client"] = command.client;
  if (!command.relayedBy.empty()) document["relayed_by"] = command.relayedBy;
  return Dump(document);
}

}  // namespace lampd
