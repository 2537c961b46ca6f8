// Start and stop, and what the claims between instances ask of the core
// and tell it: a unit to serve, with what another instance showed of it,
// or to leave.
#include "service.h"

#include "lampd/cluster/etcd_claims.h"
#include "lampd/cluster/sole_claims.h"
#include "state_file.h"

namespace lampd {

using namespace std::chrono_literals;

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
  for (const auto timer : {pollTimer_, findTimer_, expiryTimer_, saveTimer_, tallyTimer_}) {
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
    events_ = std::make_unique<EventsFront>(*http_, journal_.get());
    events_->Start();
    if (!http_->Start(error)) return false;
    Log((config_.http.tlsCertificate.empty() ? "HTTP on " : "HTTPS on ") + config_.http.listen +
        (config_.http.redirectListen.empty()
             ? ""
             : ", plain HTTP on " + config_.http.redirectListen + " sent on to it") +
        (config_.http.token.empty() ? "" : ", a token asked for all but /metrics"));
  }
  if (!config_.modbus.listen.empty()) {
    modbus_ = std::make_unique<ModbusFront>(loop_, config_.modbus, log_, *this);
    Listen(*modbus_);
    if (!modbus_->Start(error)) return false;
  }
  ClaimedUnits& claimed = *this;
  owners_ = MakeOwners(claimed);
  owners_->OnFind([this] { Find(true); });
  mqtt_ = std::make_unique<MqttFront>(loop_, config_, log_, *this, *owners_);
  Listen(*mqtt_);
  if (!mqtt_->Start(error)) return false;
  Record({.kind = "started", .reason = "lampd " LAMP_VERSION " as " + config_.name});
  Log("started as " + config_.name + ", " + std::to_string(units_.size()) +
      " configured unit(s), broker " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port));
  if (!owners_->Start(*mqtt_, error)) return false;
  roundStart_ = SteadyClock::now();
  PollTick();
  if (config_.fleet.interfaces) Find(false);
  return true;
}

void Service::Stop() {
  if (http_) http_->Stop();
  if (modbus_) modbus_->Stop();
  // Whatever happened before, the leases as they stand now are written.
  if (!statePath_.empty()) Save();
  if (owners_) owners_->Stop();
  if (mqtt_) mqtt_->Stop();
  for (const auto timer : {pollTimer_, findTimer_, expiryTimer_, saveTimer_}) {
    loop_.Cancel(timer);
  }
  finding_.reset();
  Record({.kind = "stopped"});
  if (journal_) journal_->Flush();
  log_.Flush();
  Log("stopped");
}

void Service::Reload() {
  if (http_) http_->Reload();
}

std::unique_ptr<UnitOwners> Service::MakeOwners(ClaimedUnits& units) {
  if (config_.cluster.etcd.empty()) return std::make_unique<SoleClaims>(config_, log_, units);
  return std::make_unique<EtcdClaims>(loop_, config_, log_, units);
}

ClaimedUnits::Standing Service::StandingOf(const std::string& id) const {
  const auto found = units_.find(id);
  if (found == units_.end()) return Standing::kUnknown;
  switch (found->second.role) {
    case Role::kUndecided:
      return Standing::kUndecided;
    case Role::kServing:
      return Standing::kServing;
    case Role::kStandby:
      return Standing::kStandby;
  }
  return Standing::kUnknown;
}

std::vector<std::string> Service::Reached() const {
  std::vector<std::string> ids;
  ids.reserve(units_.size());
  for (const auto& [id, unit] : units_) ids.push_back(id);
  return ids;
}

bool Service::Member(const std::string& id, const std::string& group) const {
  const auto unit = units_.find(id);
  const GroupConfig* named = GroupNamed(group);
  return unit != units_.end() && named && IsMember(*named, unit->second);
}

void Service::Serve(const std::string& id, const std::string& from, const UnitSignals* theirs) {
  const auto found = units_.find(id);
  if (found == units_.end()) return;
  Unit& unit = found->second;
  if (!from.empty() && theirs) {
    // Nothing the plant was told is lost: its leases and baseline go on here.
    UnitSignals adopted;
    for (const Lease& lease : theirs->Leases()) {
      Lease copy = lease;
      copy.serial = ++serial_;
      ArmExpiry(copy.ends);
      adopted.AddLease(std::move(copy));
    }
    adopted.SetBaseline(theirs->Baseline());
    unit.signals = std::move(adopted);
    SaveSoon();
  }
  if (!from.empty()) {
    // An instance gone takes all its units over at once: the limiter summarises them.
    log_.Say("takeover", "unit " + id + ": serving it here with the " +
                             std::to_string(unit.signals.Leases().size()) + " lease(s) instance " +
                             from + " was told of" +
                             (from == config_.name ? " before this start" : ""));
  }
  Serve(unit);
}

void Service::Serve(Unit& unit) {
  unit.role = Role::kServing;
  // Steps of its calls' escalations that fell due meanwhile fire now, late rather than never.
  if (const auto next = unit.signals.NextExpiry()) ArmExpiry(*next);
  Changed(unit.id);
  unit.changed = true;  // its state says who serves it now
  if (unit.waiting.empty()) {
    Poll(unit);
  } else {
    SendNext(unit);  // frames that waited while it was not sure
  }
  RunUndecided(unit, "");  // then the commands taken meanwhile
}

void Service::Yield(const std::string& id, const std::string& to) {
  const auto found = units_.find(id);
  if (found == units_.end()) return;
  Unit& unit = found->second;
  const bool was = unit.Serving();
  if (to.empty()) {
    // Nobody else holds it yet: its commands wait here for whoever is sure first.
    unit.role = Role::kUndecided;
    Changed(unit.id);
    log_.Say("stand-by", "unit " + unit.id +
                             ": not driven from here until this instance is sure "
                             "it may (its commands wait)");
    return;
  }
  unit.role = Role::kStandby;
  Changed(unit.id);
  unit.online.reset();
  RunUndecided(unit, to);
  std::deque<Waiting> waiting = std::move(unit.waiting);
  unit.waiting.clear();
  for (Waiting& dropped : waiting) {
    if (dropped.done) dropped.done("the unit is served by instance " + to + " now");
  }
  log_.Say("stand-by", "unit " + unit.id + " is served by instance " + to +
                           (was ? "; leaving it to " + to : "") + " (this instance stands by)");
}

void Service::RunUndecided(Unit& unit, const std::string& to) {
  // Each may change what waits; the unit stays where it is (units_ is a map).
  std::deque<std::function<void(const std::string&)>> undecided = std::move(unit.undecided);
  unit.undecided.clear();
  for (const auto& command : undecided) command(to);
}

void Service::TellAgain(const std::string& id) {
  if (const auto found = units_.find(id); found != units_.end()) TellState(found->second);
}

void Service::TellAll() {
  for (auto& [id, unit] : units_) {
    if (!unit.Serving()) continue;
    if (unit.state) TellState(unit);
    if (unit.online) TellAvailability(unit, *unit.online);
  }
}

void Service::PeerState(const std::string& id, const Json& state) {
  for (PlantListener* listener : listeners_) listener->OnPeerState(id, state);
}

}  // namespace lampd
