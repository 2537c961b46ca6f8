// What an instance without [cluster] hears of the others, and what it
// makes of it: their units to pass commands on to, and units driven twice.
#include "sole_claims.h"

namespace lampd {
namespace {

constexpr std::size_t kMostKnownElsewhere = 100000;
constexpr std::size_t kMostPeers = 1000;

}  // namespace

SoleClaims::SoleClaims(const Config& config, LogLimiter& log, ClaimedUnits& units)
    : config_(config),
      log_(log),
      units_(units),
      theirStates_(log, [&units](const std::string& id) { units.Changed(id); }) {}

bool SoleClaims::Start(MqttFront& bus, std::string& /*error*/) {
  bus_ = &bus;
  for (const std::string& id : units_.Reached()) units_.Serve(id, "", nullptr);
  return true;
}

void SoleClaims::Stop() {
  if (bus_) bus_->Publish(TopicKind::kBridgeState, config_.name, "offline", true);
}

void SoleClaims::OnBrokerConnected() {
  bus_->Publish(TopicKind::kBridgeState, config_.name, "online", true);
  units_.TellAll();  // what the broker may have lost meanwhile
}

bool SoleClaims::Online(const std::string& instance) const {
  if (instance == config_.name) return true;
  const auto peer = peers_.find(instance);
  return peer != peers_.end() && peer->second;
}

bool SoleClaims::MayDrive(const std::string& id) const {
  return units_.StandingOf(id) == ClaimedUnits::Standing::kServing;
}

std::string SoleClaims::NamedBy(const std::string& id) const {
  const auto named = named_.find(id);
  return named == named_.end() ? "" : named->second;
}

std::string SoleClaims::ServedElsewhereBy(const std::string& id) const {
  if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) return "";
  const std::string owner = NamedBy(id);
  return owner != config_.name && Online(owner) ? owner : "";
}

std::string SoleClaims::AlsoDrivenBy(const std::string& id) const {
  const auto also = alsoBy_.find(id);
  return also == alsoBy_.end() ? "" : also->second;
}

std::vector<std::string> SoleClaims::OthersOnline() const {
  std::vector<std::string> others;
  for (const auto& [peer, online] : peers_) {
    if (online && peer != config_.name) others.push_back(peer);
  }
  return others;
}

std::optional<Json> SoleClaims::TheirView(const std::string& id) const {
  return theirStates_.View(id, [this](const std::string& instance) { return Online(instance); });
}

void SoleClaims::OnBridgeState(const std::string& instance, std::string_view payload) {
  const bool online = payload == "online";
  if (instance == config_.name) {
    // Only we say what we are while we run.
    if (!online && bus_ && bus_->Connected()) {
      log_.Say("forged", "bridge state of this instance said \"" + std::string(payload) +
                             "\" while it runs: put right");
      bus_->Publish(TopicKind::kBridgeState, config_.name, "online", true);
    }
    return;
  }
  if (!peers_.contains(instance) && peers_.size() >= kMostPeers) return;
  const bool was = Online(instance);
  peers_[instance] = online;
  if (was == online) return;
  Log("instance " + instance + " is " + (online ? "online" : "offline"));
  // The console shows its units online or not with it.
  for (const std::string& id : theirStates_.Of(instance)) units_.Changed(id);
  if (online) return;
  // Gone, it drives nothing any more.
  for (auto also = alsoBy_.begin(); also != alsoBy_.end();) {
    if (also->second != instance) {
      ++also;
      continue;
    }
    const std::string id = also->first;
    also = alsoBy_.erase(also);
    units_.TellAgain(id);
  }
}

void SoleClaims::OnStateSeen(const std::string& id, std::string_view payload, bool ours) {
  const Json state = theirStates_.Seen(id, payload, config_.name);
  const std::string instance = TextOf(state, "instance");
  // Those who follow other instances' states hear of this one; a state of
  // this instance's own name is none of theirs.
  units_.PeerState(id, instance == config_.name ? Json() : state);
  if (units_.StandingOf(id) == ClaimedUnits::Standing::kUnknown) {
    if (payload.empty()) {
      named_.erase(id);
    } else if (!instance.empty() && instance != config_.name &&
               (named_.size() < kMostKnownElsewhere || named_.contains(id))) {
      named_[id] = instance;
    }
    return;
  }
  if (ours) return;
  if (!instance.empty() && instance != config_.name && Online(instance)) {
    return DrivenToo(id, instance);
  }
  // Not our state, and not an online instance's: put right.
  log_.Say("forged", "unit " + id + ": a state not published here stood on its topic: put right");
  units_.TellAgain(id);
}

void SoleClaims::DrivenToo(const std::string& id, const std::string& instance) {
  const auto [also, fresh] = alsoBy_.insert_or_assign(id, instance);
  if (!fresh) return;
  // Each instance tells it once: two that put each other right would never stop.
  log_.Say("conflict", "unit " + id + " is driven by instance " + instance +
                           " too: a configuration error (name each unit in one instance's "
                           "configuration, or share them in [cluster])");
  units_.TellAgain(id);
}

void SoleClaims::WriteMetrics(MetricsText& out) const {
  out.Family("lampd_units_driven_elsewhere_too", "gauge",
             "Units served here that another instance drives too (a configuration error).");
  out.Sample("lampd_units_driven_elsewhere_too", {}, static_cast<double>(alsoBy_.size()));
}

}  // namespace lampd
