// Start and stop, and the broker: what is subscribed, and where each
// message goes. A message over its topic's size is dropped unread.
#include "service.h"

#include <random>

#include "state_file.h"

namespace lampd {

using namespace std::chrono_literals;

namespace {

// How long the broker has, at the least, to answer and hand over what it holds.
constexpr auto kBrokersChance = 2s;

}  // namespace

std::string_view OriginName(Origin origin) {
  switch (origin) {
    case Origin::kMqtt:
      return "mqtt";
    case Origin::kHttp:
      return "http";
    case Origin::kAlertmanager:
      return "alertmanager";
    case Origin::kModbus:
      return "modbus";
    case Origin::kWeb:
      return "web";
    case Origin::kEscalation:
      return "escalation";
  }
  return "other";
}

Service::Service(platform::EventLoop& loop, Config config, std::string statePath)
    : loop_(loop),
      config_(std::move(config)),
      topics_(config_.mqtt.baseTopic, config_.mqtt.discoveryPrefix),
      commandLane_(loop, platform::TcpExchangeLimits{1000ms, config_.fleet.timeout, 8,
                                                     config_.fleet.parallel}),
      pollLane_(loop, platform::TcpExchangeLimits{1000ms, config_.fleet.timeout, 8,
                                                  config_.fleet.parallel}),
      // Units that do not answer hold a connection for the whole limit: a
      // quarter of the lanes at the most.
      probeLane_(loop, platform::TcpExchangeLimits{1000ms, config_.fleet.timeout, 8,
                                                   std::max(1, config_.fleet.parallel / 4)}),
      statePath_(std::move(statePath)) {
  for (const UnitConfig& configured : config_.units) {
    Unit unit;
    unit.id = configured.id;
    unit.address = configured.address;
    unit.model = configured.model;
    unit.configured = true;
    units_.emplace(unit.id, unit);
  }
  Listen(andonFigures_);
}

Service::~Service() {
  if (http_) http_->Stop();
  for (const auto timer :
       {pollTimer_, findTimer_, expiryTimer_, aloneTimer_, saveTimer_, tallyTimer_}) {
    loop_.Cancel(timer);
  }
}

bool Service::Start(std::string& error) {
  if (!StartJournal(error)) return false;
  if (!statePath_.empty()) {
    SavedSignals saved;
    std::string note;
    switch (LoadSignals(statePath_, ClockPair::Now(), saved, note)) {
      case LoadOutcome::kUnreadable:
        error = "state: " + note;  // what could not be read must not be written over
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
    http_ = std::make_unique<HttpFront>(loop_, config_.http, config_.alerts, log_, *this);
    // The console's paths, the metrics' and the journal's read back; the
    // REST API and the webhook are the front's own.
    console_ = std::make_unique<ConsoleFront>(loop_, config_, *this, *http_);
    Listen(*console_);
    console_->Start();
    metrics_ = std::make_unique<MetricsFront>(loop_, *this, *http_);
    metrics_->Start();
    http_->Handle([this](const HttpRequest& request, const HttpFront::Answer& answer) {
      if (request.path == "/api/events") {
        if (HttpFront::Only("GET", request, answer)) ServeEvents(request, answer);
      } else if (request.path == "/api/report") {
        if (HttpFront::Only("GET", request, answer)) ServeReport(request, answer);
      } else {
        return false;
      }
      return true;
    });
    if (!http_->Start(error)) return false;
    Log("HTTP on " + config_.http.listen +
        (config_.http.token.empty() ? "" : ", a token asked for all but /metrics"));
  }
  if (!config_.modbus.listen.empty()) {
    modbus_ = std::make_unique<ModbusFront>(loop_, config_.modbus, log_, *this);
    Listen(*modbus_);
    if (!modbus_->Start(error)) return false;
  }
  MqttOptions options;
  options.host = config_.mqtt.host;
  options.port = config_.mqtt.port;
  options.tls = config_.mqtt.tls;
  options.caFile = config_.mqtt.caFile;
  options.clientId = config_.mqtt.clientId;
  options.username = config_.mqtt.username;
  options.password = config_.mqtt.password;
  options.keepaliveSeconds = config_.mqtt.keepaliveSeconds;
  options.willTopic = topics_.Name(TopicKind::kBridgeState, config_.name);
  options.willPayload = "offline";
  mqtt_ = std::make_unique<MqttConnection>(
      loop_, options,
      MqttConnection::Handlers{[this] { OnConnected(); },
                               [](const std::string& why) { Log("broker: " + why); },
                               [this](const std::string& topic, std::string_view payload) {
                                 OnMessage(topic, payload);
                               }});
  if (!mqtt_->Start(error)) return false;
  Record({.kind = "started", .reason = "lampd " LAMP_VERSION " as " + config_.name});
  Log("started as " + config_.name + ", " + std::to_string(units_.size()) +
      " configured unit(s), broker " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port));
  // Without a broker nobody else can be asked: the units are served here
  // alone once the broker has had its chance. Serving too soon, on a busy
  // machine, would have two instances send frames to one unit.
  const auto chance = std::max<SteadyClock::duration>(
      config_.fleet.pollEvery * config_.fleet.offlineAfter, kBrokersChance);
  aloneTimer_ = loop_.After(chance, [this] { OnBrokersChanceOver(false); });
  roundStart_ = SteadyClock::now();
  PollTick();
  if (config_.fleet.interfaces) Find(false);
  return true;
}

void Service::OnBrokersChanceOver(bool waitedLonger) {
  aloneTimer_ = 0;
  if (synced_) return;
  if (mqtt_->Connected()) {
    // Connected, but the marker has not come back: it is given a while more,
    // then (a broker that queues only so much for one client may drop it)
    // what has come is decided on.
    if (!waitedLonger) {
      aloneTimer_ = loop_.After(kBrokersChance, [this] { OnBrokersChanceOver(true); });
      return;
    }
    Log("broker: what it holds is not all in yet; deciding on the states received");
    return OnSynced();
  }
  Log("broker not reached: serving the configured units alone until it is");
  for (auto& [id, unit] : units_) {
    if (unit.role == Role::kUndecided) Serve(unit);
  }
}

void Service::Stop() {
  if (http_) http_->Stop();
  if (modbus_) modbus_->Stop();
  // Whatever happened before, the leases as they stand now are written.
  if (!statePath_.empty()) Save();
  if (mqtt_ && mqtt_->Connected()) {
    mqtt_->Publish(topics_.Name(TopicKind::kBridgeState, config_.name), "offline", 1, true);
  }
  if (mqtt_) mqtt_->Disconnect();
  for (const auto timer : {pollTimer_, findTimer_, expiryTimer_, aloneTimer_, saveTimer_}) {
    loop_.Cancel(timer);
  }
  finding_.reset();
  Record({.kind = "stopped"});
  if (journal_) journal_->Flush();
  log_.Flush();
  Log("stopped");
}

void Service::OnConnected() {
  Log("broker: connected to " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port));
  for (const std::string& pattern : topics_.Subscriptions()) mqtt_->Subscribe(pattern, 1);
  mqtt_->Publish(topics_.Name(TopicKind::kBridgeState, config_.name), "online", 1, true);
  // Our own marker comes back after every retained message the
  // subscriptions brought: then who serves what is known.
  syncMarker_ = std::to_string(std::random_device{}());
  mqtt_->Publish(topics_.Name(TopicKind::kBridgeSync, config_.name), syncMarker_, 1, false);
  // What the broker may have lost meanwhile, published again.
  for (auto& [id, unit] : units_) {
    if (!unit.Serving()) continue;
    unit.discovered = false;
    if (unit.state) PublishState(unit);
    if (unit.online) PublishAvailability(unit, *unit.online);
    if (unit.state) PublishDiscovery(unit);
  }
}

void Service::OnMessage(const std::string& topic, std::string_view payload) {
  const auto parsed = topics_.Parse(topic);
  if (!parsed) return;
  if (payload.size() > Topics::Limit(parsed->kind)) {
    ++droppedMessages_;
    log_.Say("dropped", "a message of " + std::to_string(payload.size()) + " bytes on " + topic +
                            " dropped unread: over " + std::to_string(Topics::Limit(parsed->kind)) +
                            " bytes");
    const std::string why = "payload of " + std::to_string(payload.size()) + " bytes, over 4 KiB";
    const auto unit = units_.find(parsed->name);
    if ((parsed->kind == TopicKind::kUnitSet || parsed->kind == TopicKind::kUnitSetField) &&
        unit != units_.end() && unit->second.role != Role::kStandby) {
      PublishError(TopicKind::kUnitError, parsed->name, why, payload);
    } else if ((parsed->kind == TopicKind::kGroupSet ||
                parsed->kind == TopicKind::kGroupSetField) &&
               GroupNamed(parsed->name)) {
      PublishError(TopicKind::kGroupError, parsed->name, why, payload);
    }
    return;
  }
  switch (parsed->kind) {
    case TopicKind::kHomeAssistant:
      return OnHomeAssistant(payload);
    case TopicKind::kBridgeState:
      return OnBridgeState(parsed->name, payload);
    case TopicKind::kBridgeSync:
      if (parsed->name == config_.name && payload == syncMarker_ && !synced_) OnSynced();
      return;
    case TopicKind::kUnitState:
      return OnUnitState(parsed->name, payload);
    case TopicKind::kUnitAvailability:
      if (const auto unit = units_.find(parsed->name); unit != units_.end()) {
        OnAvailabilitySeen(unit->second, payload);
      }
      SeeTheirAvailability(parsed->name, payload);
      return;
    case TopicKind::kFindRequest:
      return Find(true);
    default:
      return OnMqttCommand(*parsed, payload);
  }
}

void Service::OnHomeAssistant(std::string_view payload) {
  if (payload != "online") return;
  for (auto& [id, unit] : units_) {
    unit.discovered = false;
    if (unit.state && unit.Serving()) PublishDiscovery(unit);
  }
}

}  // namespace lampd
