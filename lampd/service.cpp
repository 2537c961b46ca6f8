#include "service.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "protocol/duration_text.h"
#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"
#include "state_file.h"

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

// How an exchange failed, in a few words for the metrics' label.
std::string FailureKind(const platform::TcpExchangeResult& result) {
  using Step = platform::TcpExchangeResult::Step;
  switch (result.failedAt) {
    case Step::kSocket:
      return "socket";
    case Step::kConnect:
      return "connect";
    case Step::kSend:
      return "send";
    case Step::kReply:
      return result.reply.empty() ? "no_reply" : "short_reply";
    case Step::kNone:
      break;
  }
  return "other";
}

}  // namespace

void Log(const std::string& line) {
  std::fprintf(stderr, "lampd: %s\n", protocol::PrintableText(line, 1000).c_str());
}

Service::Service(platform::EventLoop& loop, Config config, std::string statePath)
    : loop_(loop),
      config_(std::move(config)),
      exchanges_(loop, platform::TcpExchangeLimits{1000ms, config_.fleet.timeout, 8,
                                                   config_.fleet.parallel}),
      statePath_(std::move(statePath)) {
  for (const UnitConfig& configured : config_.units) {
    Unit unit;
    unit.id = configured.id;
    unit.address = configured.address;
    unit.model = configured.model;
    units_.emplace(unit.id, unit);
  }
}

Service::~Service() {
  if (http_) http_->Stop();
  loop_.Cancel(pollTimer_);
  loop_.Cancel(findTimer_);
  loop_.Cancel(expiryTimer_);
}

bool Service::Start(std::string& error) {
  if (!statePath_.empty()) {
    SavedSignals saved;
    std::string note;
    switch (LoadSignals(statePath_, WallClock::now(), saved, note)) {
      case LoadOutcome::kUnreadable:
        error = note;  // what could not be read must not be written over
        return false;
      case LoadOutcome::kMovedAside:
        Log("state: " + note);
        break;
      case LoadOutcome::kLoaded: {
        std::size_t leases = 0;
        for (auto& [id, signals] : saved.units) {
          leases += signals.Leases().size();
          if (const auto next = signals.NextExpiry()) ArmExpiry(*next);
          const auto unit = units_.find(id);
          (unit != units_.end() ? unit->second.signals : unplaced_[id]) = std::move(signals);
        }
        serial_ = saved.serial;
        Log("state: " + std::to_string(leases) + " live lease(s) of " +
            std::to_string(saved.units.size()) + " unit(s) read from " + statePath_);
        break;
      }
      case LoadOutcome::kNoFile:
        break;
    }
  }
  if (!config_.http.listen.empty()) {
    http_ = std::make_unique<HttpServer>(
        loop_, config_.http,
        [this](const HttpRequest& request, std::function<void(HttpAnswer)> answer) {
          OnHttp(request, std::move(answer));
        });
    if (!http_->Start(error)) return false;
    Log("HTTP on " + config_.http.listen +
        (config_.http.token.empty() ? "" : ", a token asked for all but /metrics"));
  }
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
  if (http_) http_->Stop();
  if (saveQueued_) Save();
  if (mqtt_ && mqtt_->Connected()) {
    mqtt_->Publish(Topic("bridge/" + config_.name + "/state"), "offline", 1, true);
  }
  if (mqtt_) mqtt_->Disconnect();
  loop_.Cancel(pollTimer_);
  loop_.Cancel(findTimer_);
  loop_.Cancel(expiryTimer_);
  finding_.reset();
  Log("stopped");
}

// --- the broker

void Service::OnConnected() {
  Log("broker: connected to " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port));
  const std::string base = config_.mqtt.baseTopic;
  for (const std::string& pattern :
       {base + "/+", base + "/+/set", base + "/+/set/+", base + "/+/get",
        base + "/bridge/request/find", base + "/group/+/set", base + "/group/+/set/+"}) {
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
  if (rest.starts_with("group/")) {
    const auto slash = rest.find('/', 6);
    if (slash != std::string::npos) {
      OnGroupCommand(rest.substr(6, slash - 6), rest.substr(slash + 1), payload);
    }
    return;
  }
  const auto slash = rest.find('/');
  const std::string id = rest.substr(0, slash);
  if (id == "bridge") return;
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
  Command command;
  std::string why;
  if (what == "set") {
    if (!ParseCommand(payload, "mqtt", command, why)) return PublishError(id, why, payload);
  } else if (what.starts_with("set/")) {
    if (!ParseField(what.substr(4), payload, "mqtt", command, why)) {
      return PublishError(id, why, payload);
    }
  } else {
    return;  // the unit's own topics (availability, error): not commands
  }
  ++commands_["mqtt"];
  if (const auto refused = Apply(unit, command, {})) PublishError(id, *refused, payload);
}

void Service::OnGroupCommand(const std::string& name, const std::string& what,
                             std::string_view payload) {
  const GroupConfig* group = GroupNamed(name);
  if (!group) {
    Log("group " + name + ": not in this instance's [groups]; passed over");
    return;
  }
  if (payload.size() > kPayloadLimit) {
    return PublishError("group/" + name, "payload over 4 KiB", payload);
  }
  Command command;
  std::string why;
  // Only .../set and .../set/<lamp> are subscribed to.
  const bool parsed = what == "set" ? ParseCommand(payload, "mqtt", command, why)
                                    : ParseField(what.substr(4), payload, "mqtt", command, why);
  if (!parsed) return PublishError("group/" + name, why, payload);
  if (command.relayedBy == config_.name) return;  // our own, passed on to the others
  ++commands_["mqtt"];
  const std::vector<Unit*> members = Members(*group);
  const std::string lease = LeaseText(command);
  Log("group " + name + ": " + (lease.empty() ? "a command" : lease) + " to " +
      std::to_string(members.size()) + " unit(s) here");
  for (Unit* unit : members) {
    if (const auto refused = Apply(*unit, command, {}, true)) {
      PublishError(unit->id, *refused, payload);
    }
  }
}

nlohmann::ordered_json Service::StateJson(const Unit& unit) const {
  json state = {{"id", unit.id}, {"address", unit.address.Text()}};
  if (unit.state) {
    const protocol::LampFrame& reply = *unit.state;
    json lamps = json::object();
    for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
      lamps[std::string(protocol::kLampNames[lamp])] =
          std::string(protocol::LampStateName(reply[protocol::kFirstLampByte + lamp]));
    }
    const int sound = reply[protocol::kSoundByte];
    state["model"] = reply[protocol::kModelByte];
    state["lamps"] = lamps;
    state["sound"] = sound;
    state["sound_name"] = std::string(protocol::SoundNameOf(reply[protocol::kModelByte], sound));
    state["words"] = protocol::DecodeStatusWords(reply);
  }
  if (unit.mac) state["mac"] = protocol::MacColonText(*unit.mac);
  state["instance"] = config_.name;
  json leases = json::array();
  for (const Lease& lease : unit.signals.Leases()) leases.push_back(LeaseJson(lease));
  state["leases"] = leases;
  return state;
}

void Service::PublishState(Unit& unit) {
  if (!mqtt_->Connected() || !unit.state) return;
  mqtt_->Publish(Topic(unit.id), Dump(StateJson(unit)), 1, true);
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

void Service::Exchange(Unit& unit, const protocol::LampFrame& request, bool command, Done done) {
  if (unit.busy) {
    // A unit takes one connection at a time: commands wait their turn, and
    // only so many, so a flood of them costs a bounded queue and an error each.
    if (!command) return;
    if (unit.waiting.size() >= kCommandsWaiting) {
      const std::string why =
          "the unit is busy: " + std::to_string(kCommandsWaiting) + " commands wait for it already";
      PublishError(unit.id, why, "");
      if (done) done(why);
      return;
    }
    unit.waiting.push_back({request, std::move(done)});
    return;
  }
  unit.busy = true;
  platform::TcpExchange exchange{
      platform::SocketAddress::FromBytes(unit.address.address, unit.address.port),
      {request.begin(), request.end()}};
  // A command goes ahead of the poll round under way.
  exchanges_.Start(
      std::move(exchange),
      [this, id = unit.id, command, done = std::move(done)](
          const platform::TcpExchangeResult& result) { OnResult(id, result, command, done); },
      command);
}

void Service::OnResult(const std::string& id, const platform::TcpExchangeResult& result,
                       bool command, const Done& done) {
  const auto found = units_.find(id);
  if (found == units_.end()) return;
  Unit& unit = found->second;
  unit.busy = false;
  ++unit.exchanges;
  exchangeSeconds_.Observe(result.elapsed.count());
  if (!result.ok) ++unit.failures[FailureKind(result)];
  TakeResult(unit, result, command);
  if (done) done(result.ok ? "" : "the unit did not answer: " + result.Reason());
  // The next command waiting for this unit goes as this one ends.
  if (!unit.busy && !unit.waiting.empty()) {
    Waiting next = std::move(unit.waiting.front());
    unit.waiting.pop_front();
    Exchange(unit, next.frame, true, std::move(next.done));
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
  const std::optional<bool> wasOnline = unit.online;
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
  if (!unit.waiting.empty()) return;  // what the unit shows is about to change

  if (wasOnline == false) {
    // Back after a power cut or a pulled cable: what it should show, again.
    if (unit.signals.Wanted() != protocol::kLeaveAllUnchanged) {
      Log("unit " + id + " is back: sending what it should show again");
      SendWanted(unit, protocol::kLeaveAllUnchanged, false, {});
    }
    return;
  }
  if (unit.signals.Empty()) {  // most polls: nothing held, what it shows is how it is meant
    unit.strayed = false;
    unit.signals.AdoptShown(reply);
    return;
  }
  const auto held = unit.signals.Held();
  const auto wanted = unit.signals.Wanted();
  const auto shown = ShownCodes(reply);
  std::string strays;
  for (std::size_t field = 0; field < held.size(); ++field) {
    if (held[field] && shown[field] != wanted[field]) {
      const std::string name = field == protocol::kSoundLamp
                                   ? std::string("sound")
                                   : std::string(protocol::kLampNames[field]);
      strays += (strays.empty() ? "" : ", ") + name;
    }
  }
  // At start, leases kept from before are sent whatever; later only when enforced.
  if (!strays.empty() && (!wasOnline || config_.fleet.enforce)) {
    if (!unit.strayed) {
      Log("unit " + id + " shows other than its leases (" + strays + "): sending them again");
    }
    unit.strayed = wasOnline.has_value();
    SendWanted(unit, protocol::kLeaveAllUnchanged, true, {});
    return;
  }
  unit.strayed = false;
  unit.signals.AdoptShown(reply);
}

// --- leases and baselines

std::string Service::LeaseText(const Command& command) {
  if (command.clear) return "a clear of " + *command.clear;
  if (!command.lease) return "";
  return "a lease of " + command.source + ", priority " + std::to_string(command.priority) +
         ", for " + protocol::DurationText(*command.lease);
}

std::optional<std::string> Service::Apply(Unit& unit, const Command& command, Done done,
                                          bool quiet) {
  if (command.clear) {
    const int ended = unit.signals.Clear(*command.clear);
    if (ended > 0) {
      if (!quiet) {
        Log("unit " + unit.id + ": " + std::to_string(ended) + " lease(s) of " + *command.clear +
            " cleared");
      }
      LeasesChanged(unit);
    }
    SendWanted(unit, protocol::kLeaveAllUnchanged, false, std::move(done));
    return std::nullopt;
  }
  if (command.reset) {
    unit.signals.SetBaseline({protocol::kLampOff, protocol::kLampOff, protocol::kLampOff,
                              protocol::kLampOff, protocol::kLampOff, protocol::kSoundOff});
    if (unit.signals.Empty()) {
      Exchange(unit, protocol::ResetRequest(ModelOf(unit)), true, std::move(done));
    } else {
      // The leases still hold what they name: they go straight after.
      Exchange(unit, protocol::ResetRequest(ModelOf(unit)), true, {});
      Exchange(unit, protocol::WriteRequest(ModelOf(unit), unit.signals.Wanted()), true,
               std::move(done));
    }
    return std::nullopt;
  }
  if (command.lease) {
    Lease lease;
    lease.source = command.source;
    lease.priority = command.priority;
    lease.expires = WallClock::now() + *command.lease;
    lease.codes = command.codes;
    lease.serial = ++serial_;
    const auto expires = lease.expires;
    if (!unit.signals.AddLease(std::move(lease))) {
      return "the unit holds " + std::to_string(kLeasesPerUnit) + " leases already";
    }
    ArmExpiry(expires);
    if (!quiet) Log("unit " + unit.id + ": " + LeaseText(command));
    LeasesChanged(unit);
  } else {
    unit.signals.SetBaseline(command.codes);
  }
  SendWanted(unit, command.codes, false, std::move(done));
  return std::nullopt;
}

void Service::SendWanted(Unit& unit, const protocol::LampCodes& named, bool heldOnly, Done done) {
  const auto wanted = unit.signals.Wanted();
  const auto held = unit.signals.Held();
  const auto shown = unit.state ? std::optional(ShownCodes(*unit.state)) : std::nullopt;
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  for (std::size_t field = 0; field < codes.size(); ++field) {
    if (wanted[field] == protocol::kLeaveUnchanged || (heldOnly && !held[field])) continue;
    const bool differs = !shown || (*shown)[field] != wanted[field];
    if (differs || named[field] != protocol::kLeaveUnchanged) codes[field] = wanted[field];
  }
  if (codes == protocol::kLeaveAllUnchanged) {
    if (done) done("");
    return;
  }
  Exchange(unit, protocol::WriteRequest(ModelOf(unit), codes), true, std::move(done));
}

void Service::LeasesChanged(Unit& unit) {
  SaveSoon();
  if (unit.state) PublishState(unit);
}

void Service::ArmExpiry(WallClock::time_point when) {
  if (expiryAt_ && *expiryAt_ <= when) return;
  loop_.Cancel(expiryTimer_);
  expiryAt_ = when;
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(std::max(when - WallClock::now(), {}));
  expiryTimer_ = loop_.After(wait, [this] { OnExpiry(); });
}

void Service::OnExpiry() {
  expiryAt_.reset();
  expiryTimer_ = 0;
  const auto now = WallClock::now();
  std::optional<WallClock::time_point> next;
  const auto sooner = [&next](std::optional<WallClock::time_point> when) {
    if (when && (!next || *when < *next)) next = when;
  };
  int ended = 0, units = 0;
  for (auto& [id, unit] : units_) {
    if (const int count = unit.signals.Expire(now); count > 0) {
      ended += count;
      ++units;
      LeasesChanged(unit);
      // Every unit whose leases ended gets its one frame in this turn: one batch.
      if (unit.servedBy.empty()) SendWanted(unit, protocol::kLeaveAllUnchanged, false, {});
    }
    sooner(unit.signals.NextExpiry());
  }
  for (auto place = unplaced_.begin(); place != unplaced_.end();) {
    ended += place->second.Expire(now);
    sooner(place->second.NextExpiry());
    place = place->second.Empty() ? unplaced_.erase(place) : std::next(place);
  }
  if (ended > 0) {
    Log(std::to_string(ended) + " lease(s) expired on " + std::to_string(units) + " unit(s)");
    SaveSoon();
  }
  if (next) ArmExpiry(*next);
}

void Service::SaveSoon() {
  if (statePath_.empty() || saveQueued_) return;
  saveQueued_ = true;
  // Once a turn: a thousand leases that end together are one write.
  loop_.After(0ms, [this] {
    if (saveQueued_) Save();
  });
}

void Service::Save() {
  saveQueued_ = false;
  SavedSignals saved;
  saved.serial = serial_;
  for (const auto& [id, unit] : units_) {
    if (!unit.signals.Empty()) saved.units.emplace(id, unit.signals);
  }
  for (const auto& [id, signals] : unplaced_) saved.units.emplace(id, signals);
  std::string why;
  const bool ok = SaveSignals(statePath_, saved, why);
  if (!ok && !saveFailing_)
    Log("state: " + why + "; leases live on but would not survive a restart");
  if (ok && saveFailing_) Log("state: written to " + statePath_ + " again");
  saveFailing_ = !ok;
}

const GroupConfig* Service::GroupNamed(const std::string& name) const {
  for (const GroupConfig& group : config_.groups) {
    if (group.name == name) return &group;
  }
  return nullptr;
}

std::vector<Service::Unit*> Service::Members(const GroupConfig& group) {
  std::vector<Unit*> members;
  for (auto& [id, unit] : units_) {
    if (!unit.servedBy.empty()) continue;
    const auto same = [&](const protocol::UnitAddress& address) { return address == unit.address; };
    const auto sameHost = [&](const protocol::UnitAddress& address) {
      return address.address == unit.address.address;
    };
    if (std::find(group.ids.begin(), group.ids.end(), id) != group.ids.end() ||
        (unit.mac &&
         std::find(group.macs.begin(), group.macs.end(), *unit.mac) != group.macs.end()) ||
        std::any_of(group.addresses.begin(), group.addresses.end(), same) ||
        std::any_of(group.anyPort.begin(), group.anyPort.end(), sameHost)) {
      members.push_back(&unit);
    }
  }
  return members;
}

void Service::Relay(const std::string& topic, Command command) {
  if (!mqtt_->Connected()) return;
  command.relayedBy = config_.name;
  mqtt_->Publish(Topic(topic), CommandText(command), 1, false);
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
    if (const auto kept = unplaced_.find(id); kept != unplaced_.end()) {
      unit.signals = std::move(kept->second);
      unplaced_.erase(kept);
    }
    Log("unit " + id + " found at " + address.Text());
    if (unit.servedBy.empty()) Exchange(unit, protocol::StatusRequest(0), false);
  } else if (unit.mac && !(unit.address == address)) {
    Log("unit " + id + " moved from " + unit.address.Text() + " to " + address.Text());
    unit.address = address;
  }
}

}  // namespace lampd
