// lampd's configuration file (TOML, documented in lampd.toml(5)): read and
// checked whole at start, so a mistake stops the service with the file, the
// line and what is wrong, never halfway through a night.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lampd/fronts/http/alerts.h"
#include "protocol/lamp_frame.h"
#include "protocol/settings_frame.h"
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
  int keepaliveSeconds = 10;  // the broker tells an instance gone after 1.5 times this
};

struct FleetConfig {
  std::optional<std::vector<std::string>> interfaces;  // nothing: no Mac Find; empty: every adapter
  milliseconds findEvery{5 * 60 * 1000};
  milliseconds findGap{10 * 1000};  // the least time between two finds, asked for or not
  int foundMax = 4096;              // units found by Mac Find, at the most
  milliseconds pollEvery{1000};
  int offlineAfter = 3;
  int parallel = 256;
  milliseconds timeout{300};
  bool enforce = true;  // a unit that strays from its live leases is sent them again
};

// A unit a broadcast does not reach, named in the file.
struct UnitConfig {
  std::string id;
  protocol::UnitAddress address;
  std::optional<int> model;  // the model byte to send; default what the unit reports
};

// The towers a group names: ids, MAC addresses and addresses (ranges
// included; without a port any port).
struct GroupConfig {
  std::string name;
  std::vector<std::string> ids;
  std::vector<protocol::MacBytes> macs;
  std::vector<protocol::UnitAddress> addresses, anyPort;
};

// Addresses as "10.20.0.0/16" names them.
struct Network {
  protocol::IpBytes address{};
  int prefix = 32;
  bool Contains(const protocol::IpBytes& other) const;
};

struct HttpConfig {
  std::string listen = "127.0.0.1:9730";  // empty: no HTTP
  protocol::IpBytes address{127, 0, 0, 1};
  std::uint16_t port = 9730;
  std::string token;      // from token_file; empty: no token asked for
  std::string usersFile;  // the people lampd answers to; empty: none
  std::chrono::milliseconds session = std::chrono::hours(12);
  std::string proxyHeader;  // a trusted proxy's header naming the person, in lower case
  std::vector<Network> proxyFrom;
  // PEM files; given, `listen` serves HTTPS only.
  std::string tlsCertificate, tlsKey;
  // Plain HTTP answered there with a redirect to HTTPS; empty: none.
  std::string redirectListen;
  protocol::IpBytes redirectAddress{};
  std::uint16_t redirectPort = 0;
};

// What a Modbus slot drives: a unit by its id or its MAC address (a unit
// another instance serves is named by its MAC), or a group.
struct ModbusSlot {
  enum class Kind { kUnit, kMac, kGroup };
  int number = 0;
  Kind kind = Kind::kUnit;
  std::string name;  // the unit's id or the group's name
  protocol::MacBytes mac{};
  std::string text;  // as the file gives it
};

struct ModbusConfig {
  std::string listen;  // empty: no Modbus
  protocol::IpBytes address{};
  std::uint16_t port = 0;
  std::optional<std::vector<Network>> allow;  // nothing: any client
  bool readOnly = false;
  int maxClients = 32;
  milliseconds idle{60 * 1000};
  std::vector<ModbusSlot> slots;
};

struct JournalConfig {
  std::optional<std::string> path;  // nothing: journal.jsonl beside the state file; "": none
  std::uint64_t maxSize = 10u << 20;
  int keep = 10;
  int line = 0;  // of path, for errors found at start
};

// Ownership between instances, held in etcd. No endpoints: no [cluster].
struct ClusterConfig {
  std::vector<std::string> etcd;  // "http://HOST:2379" or "https://..."
  milliseconds lease{5000};       // of this instance's claims
  std::string prefix = "/lampd/";
  // Units this instance takes at once when they are free: ids and "group:NAME".
  std::vector<std::string> prefer;
  std::string caFile, certFile, keyFile;  // etcd's TLS, as its own clients take it
  std::string username, password;         // etcd's users; the password from password_file
  int line = 0;                           // of [cluster], for errors found at start
};

struct Config {
  std::string name;  // this instance; default the host name
  MqttConfig mqtt;
  ClusterConfig cluster;
  FleetConfig fleet;
  std::vector<UnitConfig> units;
  std::vector<GroupConfig> groups;
  HttpConfig http;
  std::vector<AlertRule> alerts;
  ModbusConfig modbus;
  JournalConfig journal;
};

// The groups a unit is a member of, by its id, MAC address or address.
std::vector<std::string> GroupsOf(const std::vector<GroupConfig>& groups, const std::string& id,
                                  const std::optional<protocol::MacBytes>& mac,
                                  const std::string& address);

// False with `error` as "FILE:LINE: what is wrong".
bool LoadConfig(const std::string& path, Config& config, std::string& error);

// Whether `text` may stand as one level of a topic: letters, digits, '-',
// '_' and '.', nothing else.
bool TopicSafe(const std::string& text);

}  // namespace lampd
