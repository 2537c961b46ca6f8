// Ownership between instances, as the broker's retained messages tell it:
// which instances are online, which instance each unit's state names.
// The rule itself is WhoServes (ownership.h); here it is applied as
// messages come, and a unit whose instance went offline is taken over
// with the leases and baseline its last state showed.
#include "lampd/core/service.h"
#include "ownership.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

// Long enough for an instance to put right a forged "offline" before its
// units are taken over; short beside the failover's bound.
constexpr auto kTakeOverAfter = 1s;
constexpr std::size_t kMostKnownElsewhere = 100000;
constexpr std::size_t kMostPeers = 1000;

}  // namespace

bool Service::Online(const std::string& instance) const {
  if (instance == config_.name) return true;
  const auto peer = peers_.find(instance);
  return peer != peers_.end() && peer->second;
}

std::string Service::ServedElsewhereBy(const std::string& id) const {
  const auto unit = units_.find(id);
  std::string owner = unit != units_.end() ? unit->second.owner : "";
  if (const auto known = elsewhere_.find(id); owner.empty() && known != elsewhere_.end()) {
    owner = known->second;
  }
  return owner != config_.name && Online(owner) ? owner : "";
}

void Service::OnBridgeState(const std::string& instance, std::string_view payload) {
  const bool online = payload == "online";
  if (instance == config_.name) {
    // Only we say what we are while we run.
    if (!online && mqtt_->Connected()) {
      log_.Say("forged", "bridge state of this instance said \"" + std::string(payload) +
                             "\" while it runs: put right");
      mqtt_->Publish(TopicKind::kBridgeState, config_.name, "online", true);
    }
    return;
  }
  if (!peers_.contains(instance) && peers_.size() >= kMostPeers) return;
  const bool was = Online(instance);
  peers_[instance] = online;
  if (was == online) return;
  Log("instance " + instance + " is " + (online ? "online" : "offline"));
  // The console shows its units online or not with it.
  for (const auto& [id, theirs] : theirStates_) {
    if (TextOf(theirs.state, "instance") == instance) Changed(id);
  }
  if (online) {
    // Its units it serves by its states; ours we keep (see WhoServes).
    return;
  }
  loop_.After(kTakeOverAfter, [this, instance] {
    if (Online(instance)) return;
    for (auto& [id, unit] : units_) {
      if (unit.owner == instance) Decide(unit);
    }
  });
}

void Service::OnStateSeen(const std::string& id, std::string_view payload, bool ours) {
  const Json state = Json::parse(payload, nullptr, false);
  const std::string instance = TextOf(state, "instance");
  // Those who follow other instances' states hear of this one; a state of
  // this instance's own name is none of theirs.
  for (PlantListener* listener : listeners_) {
    listener->OnPeerState(id, instance == config_.name ? Json() : state);
  }
  if (!instance.empty() && instance != config_.name) {
    SeeTheirState(id, state);
  } else if (payload.empty()) {
    // Its retained state taken away: no other instance shows it any more.
    ForgetTheirState(id);
    elsewhere_.erase(id);
  }
  const auto found = units_.find(id);
  if (found == units_.end()) {
    if (instance.empty() || instance == config_.name) return;
    if (elsewhere_.size() < kMostKnownElsewhere || elsewhere_.contains(id)) {
      elsewhere_[id] = instance;
    }
    return;
  }
  Unit& unit = found->second;
  if (unit.Serving()) {
    if (ours) return;
    if (!instance.empty() && instance != config_.name && Online(instance)) {
      unit.owner = instance;
      Decide(unit);  // both hold it: the first name keeps it
      if (unit.Serving()) {
        // After a broker's restart every unit may be claimed at once: summarised.
        log_.Say("claim", "unit " + id + " is claimed by instance " + instance +
                              " too; serving it here (" + config_.name + " comes first in order)");
        TellState(unit);
      }
      return;
    }
    // Not our state, and not an online instance's: put right.
    log_.Say("forged", "unit " + id + ": a state not published here stood on its topic: put right");
    TellState(unit);
    return;
  }
  unit.owner = instance;
  unit.theirs.reset();
  if (!instance.empty() && instance != config_.name) {
    std::uint64_t serial = 0;
    UnitSignals signals;
    if (SignalsOfState(state, ClockPair::Now(), serial, signals)) unit.theirs = std::move(signals);
  }
  if (synced_) Decide(unit);
}

void Service::OnSynced() {
  synced_ = true;
  loop_.Cancel(aloneTimer_);
  aloneTimer_ = 0;
  for (auto& [id, unit] : units_) Decide(unit);
}

void Service::Decide(Unit& unit) {
  const lampd::Serve serve =
      WhoServes({config_.name, unit.owner, Online(unit.owner), unit.Serving()});
  if (serve == lampd::Serve::kHere && !unit.Serving()) {
    const bool takingOver = !unit.owner.empty() && unit.owner != config_.name;
    if (takingOver && unit.theirs) {
      // Nothing the plant was told is lost: its leases and baseline go on here.
      UnitSignals adopted;
      for (const Lease& lease : unit.theirs->Leases()) {
        Lease copy = lease;
        copy.serial = ++serial_;
        ArmExpiry(copy.ends);
        adopted.AddLease(std::move(copy));
      }
      adopted.SetBaseline(unit.theirs->Baseline());
      unit.signals = std::move(adopted);
      SaveSoon();
    }
    if (takingOver) {
      // An instance gone takes all its units over at once: the limiter summarises them.
      log_.Say("takeover", "unit " + unit.id + ": instance " + unit.owner +
                               " is offline; serving it here with the " +
                               std::to_string(unit.signals.Leases().size()) +
                               " lease(s) its last state showed");
    }
    unit.owner = config_.name;
    unit.theirs.reset();
    Serve(unit);
  } else if (serve == lampd::Serve::kThere && unit.role != Role::kStandby) {
    Yield(unit, unit.owner);
  }
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
    SendNext(unit);  // commands that came before it was decided
  }
}

void Service::Yield(Unit& unit, const std::string& to) {
  const bool was = unit.Serving();
  unit.role = Role::kStandby;
  Changed(unit.id);
  unit.owner = to;
  unit.online.reset();
  std::deque<Waiting> waiting = std::move(unit.waiting);
  unit.waiting.clear();
  for (Waiting& dropped : waiting) {
    if (dropped.done) dropped.done("the unit is served by instance " + to + " now");
  }
  log_.Say("stand-by", "unit " + unit.id + " is served by instance " + to +
                           (was ? "; leaving it to " + to : "") + " (this instance stands by)");
}

}  // namespace lampd
