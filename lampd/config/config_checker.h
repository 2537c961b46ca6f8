// How lampd.toml is checked: one table at a time, each key taken by a rule
// or unknown, every mistake with the file and its line. The readers of
// [groups] and [[alert]] live in config_rules.cpp.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <toml++/toml.h>

#include "config.h"
#include "protocol/duration_text.h"

namespace lampd {

// Reads one table: each key is taken by a rule or is unknown.
class Checker {
 public:
  Checker(const std::string& path, std::string& error) : path_(path), error_(error) {}

  bool Fail(const toml::source_region& where, const std::string& what) {
    if (error_.empty()) error_ = path_ + ":" + std::to_string(where.begin.line) + ": " + what;
    return false;
  }
  bool Ok() const { return error_.empty(); }

  // Every key of `table` must be one of `known`.
  bool OnlyKnown(const toml::table& table, std::initializer_list<std::string_view> known,
                 const std::string& where) {
    for (const auto& [key, node] : table) {
      if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
        return Fail(key.source(), "unknown key '" + std::string(key.str()) + "'" + where);
      }
    }
    return true;
  }

  bool String(const toml::table& table, std::string_view key, std::string& value) {
    const toml::node* node = table.get(key);
    if (!node) return true;
    if (!node->is_string()) return Fail(node->source(), std::string(key) + " must be a string");
    value = node->as_string()->get();
    return true;
  }

  bool Integer(const toml::table& table, std::string_view key, int low, int high, int& value) {
    const toml::node* node = table.get(key);
    if (!node) return true;
    if (!node->is_integer()) return Fail(node->source(), std::string(key) + " must be a number");
    const std::int64_t number = node->as_integer()->get();
    if (number < low || number > high) {
      return Fail(node->source(), std::string(key) + " must be from " + std::to_string(low) +
                                      " to " + std::to_string(high));
    }
    value = static_cast<int>(number);
    return true;
  }

  bool Boolean(const toml::table& table, std::string_view key, bool& value) {
    const toml::node* node = table.get(key);
    if (!node) return true;
    if (!node->is_boolean())
      return Fail(node->source(), std::string(key) + " must be true or false");
    value = node->as_boolean()->get();
    return true;
  }

  bool Duration(const toml::table& table, std::string_view key, milliseconds& value) {
    if (!table.get(key)) return true;
    std::string text;
    if (!String(table, key, text)) return false;
    const auto parsed = protocol::ParseDuration(text);
    if (!parsed || parsed->count() == 0) {
      return Fail(table.get(key)->source(),
                  std::string(key) + " must be a duration such as \"300ms\", \"1s\" or \"5m\"");
    }
    value = *parsed;
    return true;
  }

 private:
  const std::string& path_;
  std::string& error_;
};

// listen = "ADDRESS:PORT", or "" for none (`key` names another such key).
bool ReadListen(Checker& check, const toml::table& table, std::string& listen,
                protocol::IpBytes& address, std::uint16_t& port, std::string_view example,
                std::string_view what, const char* key = "listen");
// "10.20.0.0/16", or one address.
bool ParseNetwork(std::string_view text, Network& network);
bool ReadGroups(Checker& check, const toml::table& table, Config& config);
bool ReadAlerts(Checker& check, const toml::node& node, Config& config);
// After [[unit]] and [groups]: a slot names one of them, or a MAC address.
bool ReadModbus(Checker& check, const toml::table& table, Config& config);
bool ReadJournal(Checker& check, const toml::table& table, Config& config);

}  // namespace lampd
