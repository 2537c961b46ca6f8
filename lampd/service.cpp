#include "service.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"

namespace lampd {
namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

constexpr std::size_t kPayloadLimit = 4096;
constexpr std::size_t kErrorPayloadShown = 200;
constexpr std::size_t kCommandsWaiting = 64;  // a unit's queue of commands, at the most
// A unit's MAC address as its id: twelve lower-case hex digits.
std::string IdOf(const protocol::MacBytes& mac) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (std::uint8_t byte : mac) {
    id += kHex[byte >> 4];
    id += kHex[byte & 0xF];
  }
  return id;
}

std::string Dump(const json& document) {
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

// What a command asks, as the codes of one write, or a reset.
struct Wanted {
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  bool reset = false;
};

// A sound as a payload gives it: 1 to 5, or "off".
std::optional<std::uint8_t> SoundCode(const json& value) {
  if (value.is_number_integer() && value.get<int>() >= 1 && value.get<int>() <= 5) {
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

// The JSON of a set command; false with `why`.
bool ParseSet(std::string_view payload, Wanted& wanted, std::string& why) {
  const json document = json::parse(payload, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    why = "not a JSON object";
    return false;
  }
  if (document.empty()) {
    why = "nothing to set";
    return false;
  }
  for (const auto& [key, value] : document.items()) {
    if (key == "sound") {
      const auto code = SoundCode(value);
      if (!code) {
        why = "sound takes 1 to 5 or \"off\", not " + value.dump();
        return false;
      }
      wanted.codes[protocol::kSoundLamp] = *code;
    } else if (key == "reset") {
      if (!value.is_boolean()) {
        why = "reset takes true";
        return false;
      }
      wanted.reset = value.get<bool>();
    } else if (const auto lamp = protocol::LampNumberOf(key)) {
      const auto code =
          value.is_string() ? protocol::LampCodeOf(value.get<std::string>()) : std::nullopt;
      if (!code) {
        why = key + " takes \"off\", \"on\" or \"blink\", not " + value.dump();
        return false;
      }
      wanted.codes[*lamp] = *code;
    } else {
      why = "not a lamp (red, yellow, green, blue, white), sound or reset: \"" + key + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace

void Log(const std::string& line) {
  std::fprintf(stderr, "lampd: %s\n", protocol::PrintableText(line, 1000).c_str());
}

Service::Service(platform::EventLoop& loop, Config config)
    : loop_(loop),
      config_(std::move(config)),
      exchanges_(loop, platform::TcpExchangeLimits{1000ms, config_.fleet.timeout, 8,
                                                   config_.fleet.parallel}) {
  for (const UnitConfig& configured : config_.units) {
    Unit unit;
    unit.id = configured.id;
    unit.address = configured.address;
    unit.model = configured.model;
    units_.emplace(unit.id, unit);
  }
}

Service::~Service() {
  loop_.Cancel(pollTimer_);
  loop_.Cancel(findTimer_);
}

bool Service::Start(std::string& error) {
  MqttOptions options;
  options.host = config_.mqtt.host;
  options.port = config_.mqtt.port;
  options.tls = config_.mqtt.tls;
  options.caFile = config_.mqtt.caFile;
  options.clientId = config_.mqtt.clientId;
  options.username = config_.mqtt.username;
  options.password = config_.mqtt.password;
  options.willTopic = Topic("bridge/" + config_.name + "/state");
  options.willPayload = "offline";
  mqtt_ = std::make_unique<MqttConnection>(
      loop_, options,
      MqttConnection::Handlers{[this] { OnConnected(); },
                               [](const std::string& why) { Log("broker: " + why); },
                               [this](const std::string& topic, std::string_view payload) {
                                 OnMessage(topic, payload);
                               }});
  if (!mqtt_->Start(error)) return false;
  Log("started as " + config_.name + ", " + std::to_string(units_.size()) +
      " configured unit(s), broker " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port));
  PollAll();
  if (config_.fleet.interfaces) Find(false);
  return true;
}

void Service::Stop() {
  if (mqtt_ && mqtt_->Connected()) {
    mqtt_->Publish(Topic("bridge/" + config_.name + "/state"), "offline", 1, true);
  }
  if (mqtt_) mqtt_->Disconnect();
  loop_.Cancel(pollTimer_);
  loop_.Cancel(findTimer_);
  finding_.reset();
  Log("stopped");
}

// --- the broker

void Service::OnConnected() {
  Log("broker: connected to " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port));
  const std::string base = config_.mqtt.baseTopic;
  for (const std::string& pattern : {base + "/+", base + "/+/set", base + "/+/set/+",
                                     base + "/+/get", base + "/bridge/request/find"}) {
    mqtt_->Subscribe(pattern, 1);
  }
  if (!config_.mqtt.discoveryPrefix.empty()) mqtt_->Subscribe("homeassistant/status", 1);
  mqtt_->Publish(Topic("bridge/" + config_.name + "/state"), "online", 1, true);
  // What the broker may have lost meanwhile, published again.
  for (auto& [id, unit] : units_) {
    if (!unit.servedBy.empty()) continue;
    unit.discovered = false;
    if (unit.state) PublishState(unit);
    if (unit.online) PublishAvailability(unit, *unit.online);
    if (unit.state) PublishDiscovery(unit);
  }
}

void Service::OnMessage(const std::string& topic, std::string_view payload) {
  if (topic == "homeassistant/status") {
    if (payload == "online") {
      for (auto& [id, unit] : units_) {
        unit.discovered = false;
        if (unit.state && unit.servedBy.empty()) PublishDiscovery(unit);
      }
    }
    return;
  }
  const std::string base = config_.mqtt.baseTopic + "/";
  if (!topic.starts_with(base)) return;
  const std::string rest = topic.substr(base.size());
  if (rest == "bridge/request/find") {
    Find(true);
    return;
  }
  const auto slash = rest.find('/');
  const std::string id = rest.substr(0, slash);
  if (id == "bridge" || id == "group") return;
  if (slash == std::string::npos) {
    // A unit's retained state: whose it is tells which instance serves it.
    const json state = json::parse(payload, nullptr, false);
    if (!state.is_object() || !state.contains("instance")) return;
    const std::string instance =
        state["instance"].is_string() ? state["instance"].get<std::string>() : "";
    if (instance.empty() || instance == config_.name) return;
    elsewhere_.insert(id);
    const auto ours = units_.find(id);
    if (ours != units_.end() && ours->second.servedBy.empty()) {
      // Two claim it: the instance whose name sorts first serves it.
      if (instance < config_.name) {
        ours->second.servedBy = instance;
        Log("unit " + id + " is served by instance " + instance + " too; leaving it to " +
            instance + " (the first name in order serves)");
      } else {
        Log("unit " + id + " is claimed by instance " + instance + " too; serving it here (" +
            config_.name + " comes first in order)");
        if (ours->second.state) PublishState(ours->second);
      }
    }
    return;
  }
  OnCommand(id, rest.substr(slash + 1), payload);
}

void Service::OnCommand(const std::string& id, const std::string& what, std::string_view payload) {
  const auto found = units_.find(id);
  if (found == units_.end() || !found->second.servedBy.empty()) {
    // Another instance's unit is none of ours to answer for.
    if (found == units_.end() && !elsewhere_.contains(id)) {
      PublishError(id, "no instance serves a unit with id " + id, payload);
    }
    return;
  }
  Unit& unit = found->second;
  if (payload.size() > kPayloadLimit) {
    PublishError(id, "payload of " + std::to_string(payload.size()) + " bytes, over 4 KiB",
                 payload);
    return;
  }
  if (what == "get") {
    Exchange(unit, protocol::StatusRequest(ModelOf(unit)), true);
    return;
  }
  Wanted wanted;
  std::string why;
  if (what == "set") {
    if (!ParseSet(payload, wanted, why)) {
      PublishError(id, why, payload);
      return;
    }
  } else if (what.starts_with("set/")) {
    const std::string name = what.substr(4);
    const std::string text(payload);
    if (name == "sound") {
      const auto code = SoundCode(json(text));
      if (!code) {
        PublishError(id, "sound takes 1 to 5 or off", payload);
        return;
      }
      wanted.codes[protocol::kSoundLamp] = *code;
    } else if (const auto lamp = protocol::LampNumberOf(name)) {
      const auto code = protocol::LampCodeOf(text);
      if (!code) {
        PublishError(id, name + " takes off, on or blink", payload);
        return;
      }
      wanted.codes[*lamp] = *code;
    } else {
      PublishError(id, "not a lamp (red, yellow, green, blue, white) or sound: " + name, payload);
      return;
    }
  } else {
    return;  // the unit's own topics (availability, error): not commands
  }
  Exchange(unit,
           wanted.reset ? protocol::ResetRequest(ModelOf(unit))
                        : protocol::WriteRequest(ModelOf(unit), wanted.codes),
           true);
}

void Service::PublishState(Unit& unit) {
  if (!mqtt_->Connected() || !unit.state) return;
  const protocol::LampFrame& reply = *unit.state;
  json lamps = json::object();
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    lamps[std::string(protocol::kLampNames[lamp])] =
        std::string(protocol::LampStateName(reply[protocol::kFirstLampByte + lamp]));
  }
  const int sound = reply[protocol::kSoundByte];
  json state = {
      {"id", unit.id},
      {"address", unit.address.Text()},
      {"model", reply[protocol::kModelByte]},
      {"lamps", lamps},
      {"sound", sound},
      {"sound_name", std::string(protocol::SoundNameOf(reply[protocol::kModelByte], sound))},
      {"words", protocol::DecodeStatusWords(reply)}};
  if (unit.mac) state["mac"] = protocol::MacColonText(*unit.mac);
  state["instance"] = config_.name;
  mqtt_->Publish(Topic(unit.id), Dump(state), 1, true);
}

void Service::PublishAvailability(Unit& unit, bool online) {
  unit.online = online;
  mqtt_->Publish(Topic(unit.id + "/availability"), online ? "online" : "offline", 1, true);
}

void Service::PublishError(const std::string& id, const std::string& why,
                           std::string_view payload) {
  Log("unit " + id + ": " + why);
  if (!mqtt_->Connected()) return;
  const json error = {{"error", why},
                      {"payload", std::string(payload.substr(0, kErrorPayloadShown))}};
  mqtt_->Publish(Topic(id + "/error"), Dump(error), 1, false);
}

void Service::PublishDiscovery(Unit& unit) {
  if (config_.mqtt.discoveryPrefix.empty() || unit.discovered || !unit.state ||
      !mqtt_->Connected()) {
    return;
  }
  const int model = (*unit.state)[protocol::kModelByte];
  const std::string stateTopic = Topic(unit.id);
  const std::string uniqueBase = "lampd_" + unit.id;
  json components = json::object();
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    const std::string name(protocol::kLampNames[lamp]);
    std::string caption = name;
    caption[0] = static_cast<char>(std::toupper(caption[0]));
    components[unit.id + "_" + name] = {{"platform", "select"},
                                        {"name", caption},
                                        {"unique_id", uniqueBase + "_" + name},
                                        {"options", {"off", "on", "blink"}},
                                        {"command_topic", Topic(unit.id + "/set/" + name)},
                                        {"state_topic", stateTopic},
                                        {"value_template", "{{ value_json.lamps." + name + " }}"}};
  }
  json tones = json::array();
  std::string numbers = "{";
  for (int sound = 1; sound <= protocol::kSoundsPerModel; ++sound) {
    const std::string tone(protocol::SoundNameOf(model, sound));
    if (tone.empty()) continue;
    tones.push_back(tone);
    numbers += (sound > 1 ? ", " : "") + json(tone).dump() + ": " + std::to_string(sound);
  }
  numbers += "}";
  json siren = {{"platform", "siren"},
                {"name", "Buzzer"},
                {"unique_id", uniqueBase + "_buzzer"},
                {"command_topic", Topic(unit.id + "/set/sound")},
                {"command_off_template", "off"},
                {"state_topic", stateTopic},
                {"state_value_template", "{{ 'ON' if value_json.sound > 0 else 'OFF' }}"},
                {"support_duration", false},
                {"support_volume_set", false}};
  if (!tones.empty()) {
    siren["available_tones"] = tones;
    siren["command_template"] = "{% set sounds = " + numbers +
                                " %}{{ sounds[tone] if tone is defined and tone in sounds "
                                "else 1 }}";
  } else {
    siren["command_template"] = "1";
  }
  components[unit.id + "_buzzer"] = siren;
  components[unit.id + "_reset"] = {{"platform", "button"},
                                    {"name", "Reset"},
                                    {"unique_id", uniqueBase + "_reset"},
                                    {"command_topic", Topic(unit.id + "/set")},
                                    {"payload_press", "{\"reset\": true}"}};
  json device = {{"identifiers", {uniqueBase}},
                 {"name", "Signal tower " + unit.id},
                 {"model", model < protocol::kModelCount ? protocol::kModelNames[model]
                                                         : "model " + std::to_string(model)}};
  if (unit.mac) {
    device["connections"] = json::array({json::array({"mac", protocol::MacColonText(*unit.mac)})});
  }
  const json config = {{"device", device},
                       {"origin", {{"name", "lampd"}, {"sw_version", LAMP_VERSION}}},
                       {"availability",
                        {{{"topic", Topic(unit.id + "/availability")}},
                         {{"topic", Topic("bridge/" + config_.name + "/state")}}}},
                       {"availability_mode", "all"},
                       {"qos", 1},
                       {"components", components}};
  if (mqtt_->Publish(config_.mqtt.discoveryPrefix + "/device/" + unit.id + "/config", Dump(config),
                     1, true)) {
    unit.discovered = true;
  }
}

// --- the units

int Service::ModelOf(const Unit& unit) const {
  if (unit.model) return *unit.model;
  return unit.state ? (*unit.state)[protocol::kModelByte] : 0;
}

void Service::PollAll() {
  for (auto& [id, unit] : units_) {
    if (!unit.busy && unit.servedBy.empty()) {
      Exchange(unit, protocol::StatusRequest(ModelOf(unit)), false);
    }
  }
  pollTimer_ = loop_.After(config_.fleet.pollEvery, [this] { PollAll(); });
}

void Service::Exchange(Unit& unit, const protocol::LampFrame& request, bool command) {
  if (unit.busy) {
    // A unit takes one connection at a time: commands wait their turn, and
    // only so many, so a flood of them costs a bounded queue and an error each.
    if (!command) return;
    if (unit.waiting.size() >= kCommandsWaiting) {
      PublishError(
          unit.id,
          "the unit is busy: " + std::to_string(kCommandsWaiting) + " commands wait for it already",
          "");
      return;
    }
    unit.waiting.push_back(request);
    return;
  }
  unit.busy = true;
  platform::TcpExchange exchange{
      platform::SocketAddress::FromBytes(unit.address.address, unit.address.port),
      {request.begin(), request.end()}};
  // A command goes ahead of the poll round under way.
  exchanges_.Start(
      std::move(exchange),
      [this, id = unit.id, command](const platform::TcpExchangeResult& result) {
        OnResult(id, result, command);
      },
      command);
}

void Service::OnResult(const std::string& id, const platform::TcpExchangeResult& result,
                       bool command) {
  const auto found = units_.find(id);
  if (found == units_.end()) return;
  Unit& unit = found->second;
  unit.busy = false;
  TakeResult(unit, result, command);
  // The next command waiting for this unit goes as this one ends.
  if (!unit.busy && !unit.waiting.empty()) {
    const protocol::LampFrame next = unit.waiting.front();
    unit.waiting.pop_front();
    Exchange(unit, next, true);
  }
}

void Service::TakeResult(Unit& unit, const platform::TcpExchangeResult& result, bool command) {
  const std::string& id = unit.id;
  if (!result.ok) {
    if (command) PublishError(id, "the unit did not answer: " + result.Reason(), "");
    if (++unit.missed >= config_.fleet.offlineAfter && unit.online.value_or(true)) {
      Log("unit " + id + " at " + unit.address.Text() + " offline after " +
          std::to_string(unit.missed) + " missed polls: " + result.Reason());
      if (mqtt_->Connected()) PublishAvailability(unit, false);
      unit.online = false;
    }
    return;
  }
  protocol::LampFrame reply{};
  std::copy(result.reply.begin(), result.reply.end(), reply.begin());
  // What the unit shows; the operation letter is the request's, not its state.
  reply[protocol::kOperationByte] = protocol::kWireRead;
  unit.missed = 0;
  if (unit.online != true) {
    Log("unit " + id + " at " + unit.address.Text() + " online");
    if (mqtt_->Connected()) PublishAvailability(unit, true);
    unit.online = true;
  }
  const bool changed = !unit.state || *unit.state != reply;
  const bool modelChanged =
      unit.state && (*unit.state)[protocol::kModelByte] != reply[protocol::kModelByte];
  unit.state = reply;
  if (modelChanged) unit.discovered = false;
  if (changed || command) PublishState(unit);
  PublishDiscovery(unit);
}

void Service::Find(bool answer) {
  answerFind_ = answerFind_ || answer;
  if (finding_) return;  // one at a time; its answer serves both
  platform::BroadcastOptions options;
  options.unitPort = protocol::kSettingsPort;
  options.replyPort = protocol::kSettingsReplyPort;
  options.interfaces = config_.fleet.interfaces.value_or(std::vector<std::string>{});
  finding_ = std::make_unique<platform::BroadcastChannel>(options);
  if (!finding_->Open() ||
      !finding_->Send(protocol::Encode(protocol::SettingsRequest(protocol::FindMac, {}, {})))) {
    Log("Mac Find: " + platform::ReasonText(finding_->Reason()));
    finding_.reset();
  } else {
    finding_->Collect(
        loop_,
        [this](const platform::SocketAddress&, std::span<const std::uint8_t> datagram) {
          if (const auto answer = protocol::Decode(datagram); answer && answer->AnswersFind()) {
            OnFound(answer->record);
          }
        },
        [this] {
          loop_.After(0ms, [this] {  // the channel goes once its collection has ended
            finding_.reset();
          });
          if (answerFind_ && mqtt_->Connected()) {
            json ids = json::array();
            for (const auto& [id, unit] : units_) {
              if (unit.mac && unit.servedBy.empty()) ids.push_back(id);
            }
            mqtt_->Publish(Topic("bridge/response/find"), Dump({{"status", "ok"}, {"data", ids}}),
                           1, false);
          }
          answerFind_ = false;
        });
  }
  if (!answer) {
    loop_.Cancel(findTimer_);
    findTimer_ = loop_.After(config_.fleet.findEvery, [this] { Find(false); });
  }
}

void Service::OnFound(const protocol::SettingsRecord& record) {
  const std::string id = IdOf(record.mac);
  protocol::UnitAddress address{record.ipAddress, record.port};
  // A unit named in the file keeps its id when a broadcast finds it too.
  for (auto& [configuredId, unit] : units_) {
    if (!unit.mac && unit.address == address) {
      if (!units_.contains(id)) unit.mac = record.mac;
      return;
    }
  }
  auto [found, fresh] = units_.try_emplace(id);
  Unit& unit = found->second;
  if (fresh) {
    unit.id = id;
    unit.mac = record.mac;
    unit.address = address;
    Log("unit " + id + " found at " + address.Text());
    if (unit.servedBy.empty()) Exchange(unit, protocol::StatusRequest(0), false);
  } else if (unit.mac && !(unit.address == address)) {
    Log("unit " + id + " moved from " + unit.address.Text() + " to " + address.Text());
    unit.address = address;
  }
}

}  // namespace lampd
