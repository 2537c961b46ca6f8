// The claims as messages come: which instances are online, which instance
// each unit's state names, and what is decided on it (see WhoServes).
#include "claims.h"

#include <random>

#include "ownership.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

// How long the broker has, at the least, to answer and hand over what it holds.
constexpr auto kBrokersChance = 2s;
// Long enough for an instance to put right a forged "offline" before its
// units are taken over; short beside the failover's bound.
constexpr auto kTakeOverAfter = 1s;
constexpr std::size_t kMostKnownElsewhere = 100000;
constexpr std::size_t kMostPeers = 1000;

}  // namespace

Claims::Claims(platform::EventLoop& loop, const Config& config, LogLimiter& log,
               ClaimedUnits& units)
    : loop_(loop),
      config_(config),
      log_(log),
      units_(units),
      theirStates_(log, [&units](const std::string& id) { units.Changed(id); }) {}

Claims::~Claims() { loop_.Cancel(aloneTimer_); }

bool Claims::Start(MqttFront& bus, std::string& /*error*/) {
  bus_ = &bus;
  // Without a broker nobody else can be asked: the units are served here
  // alone once the broker has had its chance. Serving too soon, on a busy
  // machine, would have two instances send frames to one unit.
  const auto chance = std::max<SteadyClock::duration>(
      config_.fleet.pollEvery * config_.fleet.offlineAfter, kBrokersChance);
  aloneTimer_ = loop_.After(chance, [this] { OnBrokersChanceOver(false); });
  return true;
}

void Claims::Stop() {
  loop_.Cancel(aloneTimer_);
  aloneTimer_ = 0;
  if (bus_) bus_->Publish(TopicKind::kBridgeState, config_.name, "offline", true);
}

void Claims::OnBrokersChanceOver(bool waitedLonger) {
  aloneTimer_ = 0;
  chanceOver_ = true;
  if (synced_) return;
  if (bus_->Connected()) {
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
  for (const std::string& id : units_.Reached()) {
    if (units_.StandingOf(id) == ClaimedUnits::Standing::kUndecided) units_.Serve(id, "", nullptr);
  }
}

void Claims::Reach(const std::string& id) {
  if (synced_) {
    Decide(id);
  } else if (chanceOver_ && aloneTimer_ == 0) {
    units_.Serve(id, "", nullptr);  // no broker to ask
  }
}

void Claims::OnBrokerConnected() {
  bus_->Publish(TopicKind::kBridgeState, config_.name, "online", true);
  // Our own marker comes back after every retained message the
  // subscriptions brought: then who serves what is known.
  syncMarker_ = std::to_string(std::random_device{}());
  bus_->Publish(TopicKind::kBridgeSync, config_.name, syncMarker_, false);
  units_.TellAll();  // what the broker may have lost meanwhile
}

void Claims::OnBridgeSync(const std::string& instance, std::string_view payload) {
  if (instance == config_.name && payload == syncMarker_ && !synced_) OnSynced();
}

void Claims::OnFindAsked() {
  if (find_) find_();
}

bool Claims::Online(const std::string& instance) const {
  if (instance == config_.name) return true;
  const auto peer = peers_.find(instance);
  return peer != peers_.end() && peer->second;
}

bool Claims::MayDrive(const std::string& id) const {
  return units_.StandingOf(id) == ClaimedUnits::Standing::kServing;
}

std::string Claims::NamedBy(const std::string& id) const {
  const auto named = named_.find(id);
  return named == named_.end() ? "" : named->second;
}

std::string Claims::ServedElsewhereBy(const std::string& id) const {
  const std::string owner = NamedBy(id);
  return owner != config_.name && Online(owner) ? owner : "";
}

std::vector<std::string> Claims::OthersOnline() const {
  std::vector<std::string> others;
  for (const auto& [peer, online] : peers_) {
    if (online && peer != config_.name) others.push_back(peer);
  }
  return others;
}

void Claims::OnBridgeState(const std::string& instance, std::string_view payload) {
  const bool online = payload == "online";
  if (instance == config_.name) {
    // Only we say what we are while we run.
    if (!online && bus_->Connected()) {
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
  if (online) {
    // Its units it serves by its states; ours we keep (see WhoServes).
    return;
  }
  loop_.After(kTakeOverAfter, [this, instance] {
    if (Online(instance)) return;
    for (const std::string& id : units_.Reached()) {
      if (NamedBy(id) == instance) Decide(id);
    }
  });
}

void Claims::OnStateSeen(const std::string& id, std::string_view payload, bool ours) {
  const Json state = theirStates_.Seen(id, payload, config_.name);
  const std::string instance = TextOf(state, "instance");
  // Those who follow other instances' states hear of this one; a state of
  // this instance's own name is none of theirs.
  units_.PeerState(id, instance == config_.name ? Json() : state);
  const ClaimedUnits::Standing standing = units_.StandingOf(id);
  if (standing == ClaimedUnits::Standing::kUnknown) {
    if (payload.empty()) {
      named_.erase(id);
    } else if (!instance.empty() && instance != config_.name &&
               (named_.size() < kMostKnownElsewhere || named_.contains(id))) {
      named_[id] = instance;
    }
    return;
  }
  // What another instance's state shows of a unit reached here goes on
  // here if that instance goes.
  theirs_.erase(id);
  if (!instance.empty() && instance != config_.name) {
    std::uint64_t serial = 0;
    UnitSignals signals;
    if (SignalsOfState(state, ClockPair::Now(), serial, signals)) {
      theirs_.emplace(id, std::move(signals));
    }
  }
  if (standing == ClaimedUnits::Standing::kServing) {
    if (ours) return;
    if (!instance.empty() && instance != config_.name && Online(instance)) {
      named_[id] = instance;
      Decide(id);  // both hold it: the first name keeps it
      if (units_.StandingOf(id) == ClaimedUnits::Standing::kServing) {
        theirs_.erase(id);
        // After a broker's restart every unit may be claimed at once: summarised.
        log_.Say("claim", "unit " + id + " is claimed by instance " + instance +
                              " too; serving it here (" + config_.name + " comes first in order)");
        units_.TellAgain(id);
      }
      return;
    }
    // Not our state, and not an online instance's: put right, and not kept.
    theirs_.erase(id);
    log_.Say("forged", "unit " + id + ": a state not published here stood on its topic: put right");
    units_.TellAgain(id);
    return;
  }
  named_[id] = instance;
  if (synced_) Decide(id);
}

void Claims::OnSynced() {
  synced_ = true;
  loop_.Cancel(aloneTimer_);
  aloneTimer_ = 0;
  for (const std::string& id : units_.Reached()) Decide(id);
}

void Claims::Decide(const std::string& id) {
  const ClaimedUnits::Standing standing = units_.StandingOf(id);
  if (standing == ClaimedUnits::Standing::kUnknown) return;
  const bool serving = standing == ClaimedUnits::Standing::kServing;
  const std::string owner = NamedBy(id);
  const lampd::Serve serve = WhoServes({config_.name, owner, Online(owner), serving});
  if (serve == lampd::Serve::kHere && !serving) {
    const bool takingOver = !owner.empty() && owner != config_.name;
    const auto theirs = theirs_.find(id);
    // Nothing the plant was told is lost: its leases and baseline go on here.
    units_.Serve(id, takingOver ? owner : "",
                 takingOver && theirs != theirs_.end() ? &theirs->second : nullptr);
    named_[id] = config_.name;
    theirs_.erase(id);
  } else if (serve == lampd::Serve::kThere && standing != ClaimedUnits::Standing::kStandby) {
    units_.Yield(id, owner);
  }
}

}  // namespace lampd

namespace lampd {

std::optional<Json> Claims::TheirView(const std::string& id) const {
  return theirStates_.View(id, [this](const std::string& instance) { return Online(instance); });
}

std::vector<std::string> Claims::TheirIds() const { return theirStates_.Ids(); }

void Claims::OnAvailabilitySeen(const std::string& id, std::string_view payload) {
  theirStates_.SeeAvailability(id, payload);
}

}  // namespace lampd
