// Start and stop, and the broker's peers: what the MQTT front hands on of
// other instances and Mac Find.
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
  BrokerPeers& peers = *this;
  mqtt_ = std::make_unique<MqttFront>(loop_, config_, log_, *this, peers);
  Listen(*mqtt_);
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
  if (mqtt_) {
    mqtt_->Publish(TopicKind::kBridgeState, config_.name, "offline", true);
    mqtt_->Stop();
  }
  for (const auto timer : {pollTimer_, findTimer_, expiryTimer_, aloneTimer_, saveTimer_}) {
    loop_.Cancel(timer);
  }
  finding_.reset();
  Record({.kind = "stopped"});
  if (journal_) journal_->Flush();
  log_.Flush();
  Log("stopped");
}

void Service::OnBrokerConnected() {
  mqtt_->Publish(TopicKind::kBridgeState, config_.name, "online", true);
  // Our own marker comes back after every retained message the
  // subscriptions brought: then who serves what is known.
  syncMarker_ = std::to_string(std::random_device{}());
  mqtt_->Publish(TopicKind::kBridgeSync, config_.name, syncMarker_, false);
  // What the broker may have lost meanwhile, published again.
  for (auto& [id, unit] : units_) {
    if (!unit.Serving()) continue;
    if (unit.state) TellState(unit);
    if (unit.online) TellAvailability(unit, *unit.online);
  }
}

void Service::OnBridgeSync(const std::string& instance, std::string_view payload) {
  if (instance == config_.name && payload == syncMarker_ && !synced_) OnSynced();
}

void Service::OnAvailabilitySeen(const std::string& id, std::string_view payload) {
  SeeTheirAvailability(id, payload);
}

void Service::OnFindAsked() { Find(true); }

}  // namespace lampd
