#include "config.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>

#include "config_checker.h"
#include "protocol/text_format.h"

namespace lampd {
namespace {

bool ReadMqttUrl(Checker& check, const toml::node& node, MqttConfig& mqtt) {
  const std::string url = node.as_string()->get();
  std::string rest;
  if (url.starts_with("mqtt://")) {
    rest = url.substr(7);
  } else if (url.starts_with("mqtts://")) {
    rest = url.substr(8);
    mqtt.tls = true;
    mqtt.port = 8883;
  } else {
    return check.Fail(node.source(), "url must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
  }
  if (const auto colon = rest.rfind(':'); colon != std::string::npos) {
    int port = 0;
    if (!protocol::ParseNumber(rest.substr(colon + 1), 1, 65535, port)) {
      return check.Fail(node.source(), "url has no port from 1 to 65535: '" + url + "'");
    }
    mqtt.port = static_cast<std::uint16_t>(port);
    rest = rest.substr(0, colon);
  }
  if (rest.empty() || rest.find_first_of("/ ") != std::string::npos) {
    return check.Fail(node.source(), "url has no host: '" + url + "'");
  }
  mqtt.host = rest;
  return true;
}

bool ReadMqtt(Checker& check, const toml::table& table, Config& config) {
  MqttConfig& mqtt = config.mqtt;
  if (!check.OnlyKnown(table,
                       {"url", "client_id", "username", "password_file", "ca_file", "base_topic",
                        "discovery_prefix", "keepalive"},
                       " in [mqtt]")) {
    return false;
  }
  if (const toml::node* url = table.get("url")) {
    if (!url->is_string()) return check.Fail(url->source(), "url must be a string");
    if (!ReadMqttUrl(check, *url, mqtt)) return false;
  }
  std::string passwordFile;
  if (!check.String(table, "client_id", mqtt.clientId) ||
      !check.String(table, "username", mqtt.username) ||
      !check.String(table, "password_file", passwordFile) ||
      !check.String(table, "ca_file", mqtt.caFile) ||
      !check.String(table, "base_topic", mqtt.baseTopic) ||
      !check.String(table, "discovery_prefix", mqtt.discoveryPrefix)) {
    return false;
  }
  milliseconds keepalive{mqtt.keepaliveSeconds * 1000};
  if (!check.Duration(table, "keepalive", keepalive)) return false;
  if (keepalive < std::chrono::seconds(2) || keepalive > std::chrono::hours(1)) {
    return check.Fail(table.get("keepalive")->source(), "keepalive must be from \"2s\" to \"1h\"");
  }
  mqtt.keepaliveSeconds = static_cast<int>(keepalive.count() / 1000);
  if (!passwordFile.empty()) {
    std::ifstream file(passwordFile);
    if (!file || !std::getline(file, mqtt.password)) {
      return check.Fail(table.get("password_file")->source(),
                        "cannot read the password file " + passwordFile);
    }
  }
  for (const auto& [key, text] : {std::pair{"base_topic", &mqtt.baseTopic},
                                  std::pair{"discovery_prefix", &mqtt.discoveryPrefix}}) {
    if (const toml::node* node = table.get(key);
        node &&
        (text->find_first_of("#+") != std::string::npos || text->starts_with('/') ||
         text->ends_with('/') || (text->empty() && std::string_view(key) == "base_topic"))) {
      return check.Fail(node->source(), std::string(key) +
                                            " must be a topic without wildcards "
                                            "or a leading or trailing '/'");
    }
  }
  return true;
}

bool ReadCluster(Checker& check, const toml::table& table, Config& config) {
  ClusterConfig& cluster = config.cluster;
  if (!check.OnlyKnown(table,
                       {"etcd", "lease", "prefix", "prefer", "ca_file", "cert_file", "key_file",
                        "username", "password_file"},
                       " in [cluster]")) {
    return false;
  }
  cluster.line = static_cast<int>(table.source().begin.line);
  for (const auto& [key, list] :
       {std::pair{"etcd", &cluster.etcd}, std::pair{"prefer", &cluster.prefer}}) {
    const toml::node* node = table.get(key);
    if (!node) continue;
    const toml::array* items = node->as_array();
    if (!items) return check.Fail(node->source(), std::string(key) + " must be a list of strings");
    for (const toml::node& item : *items) {
      if (!item.is_string()) {
        return check.Fail(item.source(), std::string(key) + " must be a list of strings");
      }
      list->push_back(item.as_string()->get());
    }
  }
  if (cluster.etcd.empty()) {
    return check.Fail(table.source(),
                      "[cluster] needs etcd = [\"http://HOST:2379\", ...]: the members to ask");
  }
  for (const std::string& endpoint : cluster.etcd) {
    const bool http = endpoint.starts_with("http://"), https = endpoint.starts_with("https://");
    if ((!http && !https) || endpoint.ends_with('/') ||
        endpoint.find_first_of(" /", http ? 7 : 8) != std::string::npos) {
      return check.Fail(
          table.get("etcd")->source(),
          "etcd takes \"http://HOST:PORT\" or \"https://HOST:PORT\", not \"" + endpoint + "\"");
    }
  }
  for (const std::string& preferred : cluster.prefer) {
    if (preferred.starts_with("group:")) {
      const std::string group = preferred.substr(6);
      if (std::none_of(config.groups.begin(), config.groups.end(),
                       [&](const GroupConfig& known) { return known.name == group; })) {
        return check.Fail(table.get("prefer")->source(),
                          "prefer: no group " + group + " in [groups]");
      }
    } else if (!TopicSafe(preferred)) {
      return check.Fail(table.get("prefer")->source(),
                        "prefer takes unit ids and \"group:NAME\", not \"" + preferred + "\"");
    }
  }
  if (!check.Duration(table, "lease", cluster.lease)) return false;
  if (cluster.lease < std::chrono::seconds(2) || cluster.lease > std::chrono::minutes(1)) {
    return check.Fail(table.get("lease")->source(), "lease must be from \"2s\" to \"1m\"");
  }
  std::string passwordFile;
  if (!check.String(table, "prefix", cluster.prefix) ||
      !check.String(table, "ca_file", cluster.caFile) ||
      !check.String(table, "cert_file", cluster.certFile) ||
      !check.String(table, "key_file", cluster.keyFile) ||
      !check.String(table, "username", cluster.username) ||
      !check.String(table, "password_file", passwordFile)) {
    return false;
  }
  if (cluster.prefix.empty() || !cluster.prefix.ends_with('/')) {
    return check.Fail(table.get("prefix")->source(), "prefix must end with '/'");
  }
  if (cluster.certFile.empty() != cluster.keyFile.empty()) {
    return check.Fail(table.source(), "cert_file and key_file go together");
  }
  if (!passwordFile.empty()) {
    std::ifstream file(passwordFile);
    if (!file || !std::getline(file, cluster.password)) {
      return check.Fail(table.get("password_file")->source(),
                        "cannot read the password file " + passwordFile);
    }
  }
  return true;
}

bool ReadFleet(Checker& check, const toml::table& table, Config& config) {
  FleetConfig& fleet = config.fleet;
  if (!check.OnlyKnown(table,
                       {"interfaces", "find_every", "find_gap", "found_max", "poll_every",
                        "offline_after", "parallel", "timeout", "enforce"},
                       " in [fleet]")) {
    return false;
  }
  if (const toml::node* node = table.get("interfaces")) {
    const toml::array* names = node->as_array();
    if (!names) return check.Fail(node->source(), "interfaces must be a list of names");
    fleet.interfaces.emplace();
    for (const toml::node& name : *names) {
      if (!name.is_string()) return check.Fail(name.source(), "an interface is named by a string");
      fleet.interfaces->push_back(name.as_string()->get());
    }
  }
  return check.Duration(table, "find_every", fleet.findEvery) &&
         check.Duration(table, "find_gap", fleet.findGap) &&
         check.Integer(table, "found_max", 0, 100000, fleet.foundMax) &&
         check.Duration(table, "poll_every", fleet.pollEvery) &&
         check.Duration(table, "timeout", fleet.timeout) &&
         check.Integer(table, "offline_after", 1, 1000, fleet.offlineAfter) &&
         check.Integer(table, "parallel", 1, 4096, fleet.parallel) &&
         check.Boolean(table, "enforce", fleet.enforce);
}

bool ReadUnits(Checker& check, const toml::node& node, Config& config) {
  const toml::array* units = node.as_array();
  if (!units || !units->is_array_of_tables()) {
    return check.Fail(node.source(), "unit must be given as [[unit]] tables");
  }
  std::map<std::string, int> lines;  // id to the line it was first given on
  for (const toml::node& entry : *units) {
    const toml::table& table = *entry.as_table();
    if (!check.OnlyKnown(table, {"id", "address", "model"}, " in [[unit]]")) return false;
    UnitConfig unit;
    std::string address;
    int model = -1;
    if (!check.String(table, "id", unit.id) || !check.String(table, "address", address) ||
        !check.Integer(table, "model", 0, 255, model)) {
      return false;
    }
    if (unit.id.empty()) return check.Fail(table.source(), "a [[unit]] needs an id");
    if (unit.id == "bridge" || unit.id == "group") {
      return check.Fail(table.get("id")->source(),
                        "id '" + unit.id + "' is a topic of lampd's own");
    }
    if (!TopicSafe(unit.id)) {
      return check.Fail(table.get("id")->source(),
                        "id '" + unit.id + "' may hold only letters, digits, '-', '_' and '.'");
    }
    std::vector<protocol::UnitAddress> parsed;
    std::string why;
    if (address.empty()) return check.Fail(table.source(), "unit " + unit.id + " needs an address");
    if (!protocol::ParseUnit(address, false, parsed, why)) {
      return check.Fail(table.get("address")->source(), "unit " + unit.id + ": " + why);
    }
    unit.address = parsed.front();
    if (model >= 0) unit.model = model;
    const int line = static_cast<int>(table.get("id")->source().begin.line);
    if (const auto [first, fresh] = lines.emplace(unit.id, line); !fresh) {
      return check.Fail(
          table.get("id")->source(),
          "unit id '" + unit.id + "' is given already on line " + std::to_string(first->second));
    }
    config.units.push_back(unit);
  }
  return true;
}

bool ReadHttp(Checker& check, const toml::table& table, Config& config) {
  HttpConfig& http = config.http;
  if (!check.OnlyKnown(table,
                       {"listen", "token_file", "users_file", "session", "proxy_header",
                        "proxy_from", "tls_certificate", "tls_key", "redirect_listen"},
                       " in [http]") ||
      !ReadListen(check, table, http.listen, http.address, http.port, "127.0.0.1:9730", "HTTP") ||
      !ReadListen(check, table, http.redirectListen, http.redirectAddress, http.redirectPort,
                  "0.0.0.0:80", "redirect", "redirect_listen") ||
      !check.String(table, "tls_certificate", http.tlsCertificate) ||
      !check.String(table, "tls_key", http.tlsKey) ||
      !check.String(table, "users_file", http.usersFile) ||
      !check.Duration(table, "session", http.session) ||
      !check.String(table, "proxy_header", http.proxyHeader)) {
    return false;
  }
  if (http.session < std::chrono::minutes(1) || http.session > std::chrono::days(30)) {
    return check.Fail(table.get("session")->source(), "session must be from 1m to 30d");
  }
  http.proxyHeader = protocol::LowerCase(http.proxyHeader);
  if (const toml::node* from = table.get("proxy_from")) {
    if (!from->is_array()) {
      return check.Fail(from->source(), "proxy_from must be a list such as [\"10.20.0.5/32\"]");
    }
    for (const toml::node& entry : *from->as_array()) {
      Network network;
      if (!entry.is_string() || !ParseNetwork(entry.as_string()->get(), network)) {
        return check.Fail(entry.source(),
                          "proxy_from takes addresses and networks such as \"10.20.0.5/32\"");
      }
      http.proxyFrom.push_back(network);
    }
  }
  if (http.proxyHeader.empty() != http.proxyFrom.empty()) {
    const toml::node* given =
        table.get("proxy_header") ? table.get("proxy_header") : table.get("proxy_from");
    return check.Fail(given->source(),
                      "proxy_header and proxy_from go together: the header names the person only "
                      "on connections from those addresses");
  }
  if (!http.proxyHeader.empty() && http.usersFile.empty()) {
    return check.Fail(table.get("proxy_header")->source(),
                      "proxy_header needs users_file: the person it names must have a line there");
  }
  if (http.tlsCertificate.empty() != http.tlsKey.empty()) {
    const toml::node* given =
        table.get("tls_certificate") ? table.get("tls_certificate") : table.get("tls_key");
    return check.Fail(given->source(), "tls_certificate and tls_key go together");
  }
  for (const char* key : {"tls_certificate", "tls_key"}) {
    const toml::node* node = table.get(key);
    if (node && !std::ifstream(node->as_string()->get())) {
      return check.Fail(node->source(), std::string("cannot read the ") + key + " file " +
                                            node->as_string()->get());
    }
  }
  if (!http.redirectListen.empty() && http.tlsCertificate.empty()) {
    return check.Fail(table.get("redirect_listen")->source(),
                      "redirect_listen needs tls_certificate and tls_key: it sends plain HTTP to "
                      "HTTPS");
  }
  if (!http.redirectListen.empty() && http.redirectPort == http.port &&
      http.redirectAddress == http.address) {
    return check.Fail(table.get("redirect_listen")->source(),
                      "redirect_listen must differ from listen");
  }
  std::string tokenFile;
  if (!check.String(table, "token_file", tokenFile)) return false;
  if (const toml::node* node = table.get("token_file")) {
    std::ifstream file(tokenFile);
    if (!file || !std::getline(file, http.token)) {
      return check.Fail(node->source(), "cannot read the token file " + tokenFile);
    }
    while (!http.token.empty() && std::isspace(static_cast<unsigned char>(http.token.back()))) {
      http.token.pop_back();
    }
    if (http.token.size() < 16) {
      return check.Fail(node->source(),
                        "the token in " + tokenFile + " is shorter than 16 characters");
    }
  }
  return true;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "lampd";
  std::string text = name;
  for (char& c : text) {
    if (!TopicSafe(std::string(1, c))) c = '-';
  }
  return text;
}

}  // namespace

bool ReadListen(Checker& check, const toml::table& table, std::string& listen,
                protocol::IpBytes& address, std::uint16_t& port, std::string_view example,
                std::string_view what, const char* key) {
  if (!check.String(table, key, listen)) return false;
  if (listen.empty()) return true;
  std::vector<protocol::UnitAddress> parsed;
  std::string why;
  if (listen.find(':') == std::string::npos || !protocol::ParseUnit(listen, false, parsed, why)) {
    return check.Fail(table.get(key)->source(),
                      std::string(key) + " must be ADDRESS:PORT such as \"" + std::string(example) +
                          "\", or \"\" for no " + std::string(what));
  }
  address = parsed.front().address;
  port = parsed.front().port;
  return true;
}

bool Network::Contains(const protocol::IpBytes& other) const {
  const auto value = [](const protocol::IpBytes& bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
  };
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return (value(address) & mask) == (value(other) & mask);
}

bool TopicSafe(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    if (!safe) return false;
  }
  return true;
}

bool LoadConfig(const std::string& path, Config& config, std::string& error) {
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& failure) {
    const auto& where = failure.source();
    if (where.begin.line == 0) {
      error = path + ": cannot read it";
    } else {
      error =
          path + ":" + std::to_string(where.begin.line) + ": " + std::string(failure.description());
    }
    return false;
  }
  Checker check(path, error);
  if (!check.OnlyKnown(root,
                       {"name", "mqtt", "fleet", "unit", "groups", "http", "alert", "modbus",
                        "journal", "cluster"},
                       "")) {
    return false;
  }
  if (!check.String(root, "name", config.name)) return false;
  if (const toml::node* name = root.get("name"); name && !TopicSafe(config.name)) {
    return check.Fail(name->source(), "name may hold only letters, digits, '-', '_' and '.'");
  }
  if (config.name.empty()) config.name = HostName();
  for (const char* section : {"mqtt", "fleet", "groups", "http", "modbus", "journal", "cluster"}) {
    const toml::node* node = root.get(section);
    if (node && !node->is_table()) {
      return check.Fail(node->source(),
                        std::string(section) + " must be a table: [" + section + "]");
    }
  }
  if (const toml::node* mqtt = root.get("mqtt");
      mqtt && !ReadMqtt(check, *mqtt->as_table(), config)) {
    return false;
  }
  if (const toml::node* fleet = root.get("fleet");
      fleet && !ReadFleet(check, *fleet->as_table(), config)) {
    return false;
  }
  if (const toml::node* units = root.get("unit"); units && !ReadUnits(check, *units, config)) {
    return false;
  }
  if (const toml::node* groups = root.get("groups");
      groups && !ReadGroups(check, *groups->as_table(), config)) {
    return false;
  }
  if (const toml::node* http = root.get("http");
      http && !ReadHttp(check, *http->as_table(), config)) {
    return false;
  }
  if (const toml::node* alerts = root.get("alert"); alerts && !ReadAlerts(check, *alerts, config)) {
    return false;
  }
  if (const toml::node* modbus = root.get("modbus");
      modbus && !ReadModbus(check, *modbus->as_table(), config)) {
    return false;
  }
  if (const toml::node* journal = root.get("journal");
      journal && !ReadJournal(check, *journal->as_table(), config)) {
    return false;
  }
  // After [groups]: a preference names groups.
  if (const toml::node* cluster = root.get("cluster");
      cluster && !ReadCluster(check, *cluster->as_table(), config)) {
    return false;
  }
  if (config.mqtt.clientId.empty()) config.mqtt.clientId = "lampd-" + config.name;
  return true;
}

std::vector<std::string> GroupsOf(const std::vector<GroupConfig>& all, const std::string& id,
                                  const std::optional<protocol::MacBytes>& mac,
                                  const std::string& address) {
  std::vector<std::string> groups;
  if (all.empty()) return groups;
  std::vector<protocol::UnitAddress> parsed;
  std::string why;
  const bool hasAddress = protocol::ParseUnit(address, false, parsed, why) && parsed.size() == 1;
  for (const GroupConfig& group : all) {
    const bool member =
        std::find(group.ids.begin(), group.ids.end(), id) != group.ids.end() ||
        (mac && std::find(group.macs.begin(), group.macs.end(), *mac) != group.macs.end()) ||
        (hasAddress &&
         (std::find(group.addresses.begin(), group.addresses.end(), parsed.front()) !=
              group.addresses.end() ||
          std::any_of(group.anyPort.begin(), group.anyPort.end(),
                      [&](const auto& other) { return other.address == parsed.front().address; })));
    if (member) groups.push_back(group.name);
  }
  return groups;
}

}  // namespace lampd
