// [groups] and [[alert]] of lampd.toml: who a group names, and what an
// alert lights.
#include <cctype>
#include <nlohmann/json.hpp>

#include "config_checker.h"
#include "lampd/core/command.h"
#include "lampd/fronts/modbus/modbus_map.h"
#include "protocol/text_format.h"

namespace lampd {
namespace {

// "00:50:c2:01:02:01", "00-50-C2-01-02-01" or "0050c2010201".
bool ParseMac(std::string_view text, protocol::MacBytes& mac) {
  std::string digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c == ':' || c == '-') && i % 3 == 2 && text.size() == 17) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() != 12) return false;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    mac[i] = static_cast<std::uint8_t>(std::stoi(digits.substr(i * 2, 2), nullptr, 16));
  }
  return true;
}

// An alert rule's set = { red = "blink", sound = 1 }, read as a set command reads it.
bool ReadAlertSet(Checker& check, const toml::node& node, AlertRule& rule) {
  const toml::table* set = node.as_table();
  if (!set) return check.Fail(node.source(), "set must be a table such as { red = \"blink\" }");
  nlohmann::json document = nlohmann::json::object();
  for (const auto& [key, value] : *set) {
    if (key.str() == "for" || key.str() == "clear" || key.str() == "source" ||
        key.str() == "priority" || key.str() == "relayed_by") {
      return check.Fail(key.source(),
                        "set takes lamps and the sound; '" + std::string(key.str()) +
                            "' is the rule's own (priority, lasts) or not for alerts");
    }
    const std::string name(key.str());
    if (value.is_string()) {
      document[name] = value.as_string()->get();
    } else if (value.is_integer()) {
      document[name] = value.as_integer()->get();
    } else if (value.is_boolean()) {
      document[name] = value.as_boolean()->get();
    } else {
      return check.Fail(value.source(), name + " takes a word or a number");
    }
  }
  const std::string text = document.dump();
  Command command;
  std::string why;
  if (!ParseCommand(text, "alertmanager", command, why))
    return check.Fail(node.source(), "set: " + why);
  if (command.reset) return check.Fail(node.source(), "set: an alert cannot reset a unit");
  rule.set = command.codes;
  return true;
}

nlohmann::ordered_json JsonOf(const toml::node& node) {
  if (const auto* text = node.as_string()) return text->get();
  if (const auto* number = node.as_integer()) return number->get();
  if (const auto* truth = node.as_boolean()) return truth->get();
  if (const auto* list = node.as_array()) {
    auto items = nlohmann::ordered_json::array();
    for (const toml::node& item : *list) items.push_back(JsonOf(item));
    return items;
  }
  if (const auto* table = node.as_table()) {
    auto object = nlohmann::ordered_json::object();
    for (const auto& [key, value] : *table) object[std::string(key.str())] = JsonOf(value);
    return object;
  }
  return nullptr;  // a float or a date: refused by the reader as the wrong type
}

bool KnownTarget(const Config& config, const std::string& target) {
  if (!target.starts_with("group:")) return target.empty() || TopicSafe(target);
  return std::any_of(config.groups.begin(), config.groups.end(),
                     [&](const GroupConfig& known) { return known.name == target.substr(6); });
}

}  // namespace

bool ReadEscalation(Checker& check, const toml::node& node, const Config& config,
                    std::vector<EscalationStep>& steps) {
  std::string why;
  if (!ParseEscalation(JsonOf(node), steps, why)) return check.Fail(node.source(), why);
  for (const EscalationStep& step : steps) {
    if (!KnownTarget(config, step.target)) {
      return check.Fail(node.source(),
                        "escalate: no unit id or group in [groups] is '" + step.target + "'");
    }
  }
  return true;
}

bool ReadJournal(Checker& check, const toml::table& table, Config& config) {
  if (!check.OnlyKnown(table, {"path", "max_size", "keep"}, " in [journal]")) return false;
  if (const toml::node* path = table.get("path")) {
    std::string text;
    if (!check.String(table, "path", text)) return false;
    config.journal.path = text;
    config.journal.line = static_cast<int>(path->source().begin.line);
  }
  if (!check.Integer(table, "keep", 0, 1000, config.journal.keep)) return false;
  if (const toml::node* size = table.get("max_size")) {
    // "10MB", "512KB", "1GB", or bytes.
    std::optional<std::uint64_t> bytes;
    if (const auto* number = size->as_integer()) {
      if (number->get() > 0) bytes = static_cast<std::uint64_t>(number->get());
    } else if (const auto* text = size->as_string()) {
      const std::string& value = text->get();
      std::size_t digits = 0;
      while (digits < value.size() && digits < 12 &&
             std::isdigit(static_cast<unsigned char>(value[digits])))
        ++digits;
      const std::string unit = value.substr(digits);
      const std::uint64_t scale = unit == "B" || unit.empty() ? 1
                                  : unit == "KB"              ? 1u << 10
                                  : unit == "MB"              ? 1u << 20
                                  : unit == "GB"              ? 1u << 30
                                                              : 0;
      if (digits > 0 && scale > 0) bytes = std::stoull(value.substr(0, digits)) * scale;
    }
    if (!bytes || *bytes < 4096 || *bytes > (std::uint64_t{64} << 30)) {
      return check.Fail(size->source(),
                        "max_size takes a size from \"4KB\" to \"64GB\" such as \"10MB\"");
    }
    config.journal.maxSize = *bytes;
  }
  return true;
}

bool ReadGroups(Checker& check, const toml::table& table, Config& config) {
  for (const auto& [key, node] : table) {
    GroupConfig group;
    group.name = std::string(key.str());
    if (!TopicSafe(group.name)) {
      return check.Fail(key.source(), "group '" + group.name +
                                          "' may hold only letters, digits, '-', '_' and '.'");
    }
    const toml::array* members = node.as_array();
    if (!members) {
      return check.Fail(node.source(), "group " + group.name +
                                           " must be a list such as [\"press-3\", "
                                           "\"0050c2010201\", \"192.168.10.21-40\"]");
    }
    for (const toml::node& member : *members) {
      if (!member.is_string()) {
        return check.Fail(member.source(), "a member of group " + group.name + " is a string");
      }
      const std::string text = member.as_string()->get();
      std::vector<protocol::UnitAddress> addresses;
      std::string why;
      protocol::MacBytes mac{};
      if (ParseMac(text, mac)) {
        group.macs.push_back(mac);
        if (TopicSafe(text)) group.ids.push_back(text);
      } else if (protocol::ParseUnit(text, true, addresses, why)) {
        auto& into = text.find(':') == std::string::npos ? group.anyPort : group.addresses;
        into.insert(into.end(), addresses.begin(), addresses.end());
      } else if (TopicSafe(text) && text.find_first_not_of("0123456789.") != std::string::npos) {
        group.ids.push_back(text);
      } else {
        return check.Fail(member.source(), "group " + group.name + ": '" + text +
                                               "' is not a unit id, a MAC address or an "
                                               "address (range)");
      }
    }
    config.groups.push_back(std::move(group));
  }
  return true;
}

bool ReadAlerts(Checker& check, const toml::node& node, Config& config) {
  const toml::array* rules = node.as_array();
  if (!rules || !rules->is_array_of_tables()) {
    return check.Fail(node.source(), "alert must be given as [[alert]] tables");
  }
  for (const toml::node& entry : *rules) {
    const toml::table& table = *entry.as_table();
    if (!check.OnlyKnown(table, {"match", "target", "set", "priority", "lasts", "escalate"},
                         " in [[alert]]")) {
      return false;
    }
    AlertRule rule;
    rule.line = static_cast<int>(table.source().begin.line);
    if (!check.String(table, "target", rule.target) ||
        !check.Integer(table, "priority", 0, 9, rule.priority) ||
        !check.Duration(table, "lasts", rule.lasts)) {
      return false;
    }
    if (rule.lasts > kLongestLease) {
      return check.Fail(table.get("lasts")->source(), "lasts must be at most \"30d\"");
    }
    const toml::node* match = table.get("match");
    if (match && !match->is_table()) {
      return check.Fail(match->source(),
                        "match must be a table such as { severity = \"critical\" }");
    }
    if (match) {
      for (const auto& [label, value] : *match->as_table()) {
        if (!value.is_string()) {
          return check.Fail(value.source(),
                            "the label " + std::string(label.str()) + " is matched by a string");
        }
        rule.match.emplace_back(std::string(label.str()), value.as_string()->get());
      }
    }
    if (rule.target.empty()) return check.Fail(table.source(), "an [[alert]] needs a target");
    if (rule.target.starts_with("group:")) {
      const std::string group = rule.target.substr(6);
      if (std::none_of(config.groups.begin(), config.groups.end(),
                       [&](const GroupConfig& known) { return known.name == group; })) {
        return check.Fail(table.get("target")->source(), "no group '" + group + "' in [groups]");
      }
    } else if (!TopicSafe(rule.target)) {
      return check.Fail(table.get("target")->source(),
                        "target must be a unit id or \"group:NAME\"");
    }
    const toml::node* set = table.get("set");
    if (!set) return check.Fail(table.source(), "an [[alert]] needs set = { ... }");
    if (!ReadAlertSet(check, *set, rule)) return false;
    if (const toml::node* escalate = table.get("escalate");
        escalate && !ReadEscalation(check, *escalate, config, rule.escalate)) {
      return false;
    }
    config.alerts.push_back(std::move(rule));
  }
  return true;
}

}  // namespace lampd

namespace lampd {

bool ParseNetwork(std::string_view text, Network& network) {
  const auto slash = text.find('/');
  if (!protocol::ParseIpv4(text.substr(0, slash), network.address)) return false;
  network.prefix = 32;
  return slash == std::string_view::npos ||
         protocol::ParseNumber(text.substr(slash + 1), 0, 32, network.prefix);
}

namespace {

bool ReadModbusSlots(Checker& check, const toml::table& table, Config& config) {
  for (const auto& [key, node] : table) {
    ModbusSlot slot;
    if (!protocol::ParseNumber(key.str(), 1, modbus::kMostSlot, slot.number)) {
      return check.Fail(key.source(), "modbus slot '" + std::string(key.str()) +
                                          "' is not a number from 1 to " +
                                          std::to_string(modbus::kMostSlot));
    }
    for (const ModbusSlot& earlier : config.modbus.slots) {
      if (earlier.number == slot.number) {
        return check.Fail(key.source(), "modbus slot " + std::to_string(slot.number) + " twice");
      }
    }
    if (!node.is_string()) {
      return check.Fail(node.source(), "modbus slot " + std::to_string(slot.number) +
                                           " names a unit id, a MAC address or \"group:NAME\"");
    }
    slot.text = node.as_string()->get();
    const std::string& text = slot.text;
    if (text.starts_with("group:")) {
      slot.kind = ModbusSlot::Kind::kGroup;
      slot.name = text.substr(6);
      const auto named = [&](const GroupConfig& group) { return group.name == slot.name; };
      if (std::none_of(config.groups.begin(), config.groups.end(), named)) {
        return check.Fail(node.source(), "modbus slot " + std::to_string(slot.number) +
                                             ": no group " + slot.name + " in [groups]");
      }
    } else if (ParseMac(text, slot.mac)) {
      slot.kind = ModbusSlot::Kind::kMac;
    } else {
      slot.name = text;
      const auto named = [&](const UnitConfig& unit) { return unit.id == text; };
      if (std::none_of(config.units.begin(), config.units.end(), named)) {
        return check.Fail(node.source(),
                          "modbus slot " + std::to_string(slot.number) + ": '" + text +
                              "' is no [[unit]] id here, nor a MAC address, nor \"group:NAME\"");
      }
    }
    for (const ModbusSlot& earlier : config.modbus.slots) {
      if (earlier.kind == slot.kind && earlier.name == slot.name && earlier.mac == slot.mac) {
        return check.Fail(node.source(), "modbus slots " + std::to_string(earlier.number) +
                                             " and " + std::to_string(slot.number) + " both name " +
                                             text);
      }
    }
    config.modbus.slots.push_back(std::move(slot));
  }
  return true;
}

}  // namespace

bool ReadModbus(Checker& check, const toml::table& table, Config& config) {
  ModbusConfig& modbus = config.modbus;
  if (!check.OnlyKnown(table, {"listen", "allow", "read_only", "max_clients", "idle", "slots"},
                       " in [modbus]") ||
      !ReadListen(check, table, modbus.listen, modbus.address, modbus.port, "0.0.0.0:1502",
                  "Modbus") ||
      !check.Boolean(table, "read_only", modbus.readOnly) ||
      !check.Integer(table, "max_clients", 1, 1024, modbus.maxClients) ||
      !check.Duration(table, "idle", modbus.idle)) {
    return false;
  }
  if (const toml::node* allow = table.get("allow")) {
    if (!allow->is_array()) {
      return check.Fail(allow->source(), "allow must be a list such as [\"10.20.0.0/16\"]");
    }
    modbus.allow.emplace();
    for (const toml::node& entry : *allow->as_array()) {
      Network network;
      if (!entry.is_string() || !ParseNetwork(entry.as_string()->get(), network)) {
        return check.Fail(entry.source(),
                          "allow takes addresses and networks such as \"10.20.0.0/16\"");
      }
      modbus.allow->push_back(network);
    }
  }
  if (const toml::node* slots = table.get("slots")) {
    if (!slots->is_table())
      return check.Fail(slots->source(), "slots must be a table: [modbus.slots]");
    if (!ReadModbusSlots(check, *slots->as_table(), config)) return false;
  }
  return true;
}

}  // namespace lampd
