// Who drives each unit, between instances: the one component the plant
// core asks before it sends a unit a frame, and that tells the core when a
// unit is its to serve or another's. Two stand behind it: an instance
// that shares nothing (SoleClaims, without [cluster]), and ownership held
// in etcd under a lease (EtcdClaims), with fencing.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "lampd/core/leases.h"
#include "lampd/core/metrics.h"
#include "lampd/core/state_document.h"
#include "lampd/fronts/mqtt/mqtt_front.h"

namespace lampd {

// What the owners ask of the plant core, and tell it. The core keeps each
// unit's lane and sends frames only to the units it serves.
class ClaimedUnits {
 public:
  enum class Standing { kUnknown, kUndecided, kServing, kStandby };
  virtual ~ClaimedUnits() = default;
  virtual Standing StandingOf(const std::string& id) const = 0;
  // Every unit this instance reaches, by id.
  virtual std::vector<std::string> Reached() const = 0;
  // Whether unit `id` is a member of [groups] group `group`.
  virtual bool Member(const std::string& id, const std::string& group) const = 0;
  // Serve unit `id` here; taken over from instance `from` (empty: from
  // nobody) with what the plant was told of it, where that is known.
  virtual void Serve(const std::string& id, const std::string& from, const UnitSignals* theirs) = 0;
  // Leave unit `id` to instance `to`: nothing more is sent to it from here.
  // `to` empty: nobody else holds it yet; its commands wait for a decision.
  virtual void Yield(const std::string& id, const std::string& to) = 0;
  // Unit `id`'s state published again: something else stood on its topic.
  virtual void TellAgain(const std::string& id) = 0;
  // The broker is back: every state and availability served here, again.
  virtual void TellAll() = 0;
  // Unit `id` changed as the fronts show it (whose it is, online).
  virtual void Changed(const std::string& id) = 0;
  // Another instance's state of unit `id` (null: taken away or ours).
  virtual void PeerState(const std::string& id, const Json& state) = 0;
};

class UnitOwners : public BrokerPeers {
 public:
  // Begins to decide; the broker is how the instances speak. False with
  // `error` when it cannot begin.
  virtual bool Start(MqttFront& bus, std::string& error) = 0;
  // Lets go of what this instance holds, where others can take it at once.
  virtual void Stop() = 0;
  // A unit this instance reaches now (found by Mac Find).
  virtual void Reach(const std::string& id) = 0;
  // Whether a frame may go to unit `id` now: it is served here, and this
  // instance is sure no other can have taken it.
  virtual bool MayDrive(const std::string& id) const = 0;
  // The online instance that serves unit `id` when this one does not; "" for none.
  virtual std::string ServedElsewhereBy(const std::string& id) const = 0;
  // The instance that holds unit `id` or last did ("" for none known).
  virtual std::string NamedBy(const std::string& id) const = 0;
  // Whether unit `id` is known to another instance (an escalation's target).
  virtual bool Known(const std::string& id) const = 0;
  // The other instances online: a group's command is passed on to them.
  virtual std::vector<std::string> OthersOnline() const = 0;
  // Another instance's unit as its state shows it, with "online"; their ids.
  virtual std::optional<Json> TheirView(const std::string& id) const = 0;
  virtual std::vector<std::string> TheirIds() const = 0;
  // Another instance that drives unit `id`, served here, too (a
  // configuration error); "" for none.
  virtual std::string AlsoDrivenBy(const std::string& /*id*/) const { return ""; }
  // What the plant was told of unit `id`, served here, changed: kept where
  // the instance that takes the unit over finds it.
  virtual void Keep(const std::string& /*id*/, const UnitSignals& /*signals*/) {}
  // Runs `then` once what was kept of unit `id` so far is where a successor
  // finds it (at once where nothing waits): nothing is told before it is kept.
  virtual void AfterKept(const std::string& /*id*/, std::function<void()> then) { then(); }
  // Unit `id`, served here, answers again (`online`) or no longer does.
  virtual void Answers(const std::string& /*id*/, bool /*online*/) {}
  // Mac Find asked for over the broker.
  virtual void OnFind(std::function<void()> find) = 0;
  virtual void WriteMetrics(MetricsText& /*out*/) const {}
};

}  // namespace lampd
