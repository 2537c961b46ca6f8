// lampd's configuration file (TOML, documented in lampd.toml(5)): read and
// checked whole at start, so a mistake stops the service with the file, the
// line and what is wrong, never halfway through a night.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/unit_address.h"

namespace lampd {

using std::chrono::milliseconds;

struct MqttConfig {
  std::string host = "127.0.0.1";
  std::uint16_t port = 1883;
  bool tls = false;      // mqtts://
  std::string clientId;  // default "lampd-" + name
  std::string username;
  std::string password;  // read from password_file
  std::string caFile = "/etc/ssl/certs/ca-certificates.crt";
  std::string baseTopic = "lampd";
  std::string discoveryPrefix = "homeassistant";  // empty: no discovery
};

struct FleetConfig {
  std::optional<std::vector<std::string>> interfaces;  // nothing: no Mac Find; empty: every adapter
  milliseconds findEvery{5 * 60 * 1000};
  milliseconds pollEvery{1000};
  int offlineAfter = 3;
  int parallel = 256;
  milliseconds timeout{300};
};

// A unit a broadcast does not reach, named in the file.
struct UnitConfig {
  std::string id;
  protocol::UnitAddress address;
  std::optional<int> model;  // the model byte to send; default what the unit reports
};

struct Config {
  std::string name;  // this instance; default the host name
  MqttConfig mqtt;
  FleetConfig fleet;
  std::vector<UnitConfig> units;
};

// False with `error` as "FILE:LINE: what is wrong".
bool LoadConfig(const std::string& path, Config& config, std::string& error);

// Whether `text` may stand as one level of a topic: letters, digits, '-',
// '_' and '.', nothing else.
bool TopicSafe(const std::string& text);

}  // namespace lampd
