// Ownership between instances: the component the plant core asks who
// serves a unit, and that tells the core when a unit is its to serve or
// another's. Here it follows the broker's retained messages (which
// instances are online, which instance each unit's state names): the rule
// itself is WhoServes (ownership.h), applied as messages come; a unit whose
// instance went offline is taken over with the leases and baseline its
// last state showed. Other instances' states are kept, bounded in number
// and bytes, for the fronts to show.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lampd/config/config.h"
#include "lampd/core/leases.h"
#include "lampd/core/log.h"
#include "lampd/fronts/mqtt/mqtt_front.h"
#include "net/event_loop.h"

namespace lampd {

// What the claims ask of the plant core, and tell it. The core keeps each
// unit's lane and sends frames only to the units it serves.
class ClaimedUnits {
 public:
  enum class Standing { kUnknown, kUndecided, kServing, kStandby };
  virtual ~ClaimedUnits() = default;
  virtual Standing StandingOf(const std::string& id) const = 0;
  // Every unit this instance reaches, by id.
  virtual std::vector<std::string> Reached() const = 0;
  // Serve unit `id` here; taken over from instance `from` (empty: from
  // nobody) with what its last state showed, where it showed any.
  virtual void Serve(const std::string& id, const std::string& from, const UnitSignals* theirs) = 0;
  // Leave unit `id` to instance `to`: nothing more is sent to it from here.
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

class Claims : public BrokerPeers {
 public:
  Claims(platform::EventLoop& loop, const Config& config, LogLimiter& log, ClaimedUnits& units);
  ~Claims();
  Claims(const Claims&) = delete;
  Claims& operator=(const Claims&) = delete;
  // The broker has its chance to hand over what it holds; without it the
  // units are served here alone.
  void Start(MqttFront& bus);
  // Says "offline" for this instance while the broker still listens.
  void Stop();
  // A unit this instance reaches now (found by Mac Find): decided at once
  // when the broker's view is known.
  void Reach(const std::string& id);

  // The online instance that serves unit `id` when this one does not; "" for none.
  std::string ServedElsewhereBy(const std::string& id) const;
  // The instance unit `id`'s last state named ("" for none).
  std::string NamedBy(const std::string& id) const;
  // Whether some instance's state has named unit `id`.
  bool Known(const std::string& id) const { return named_.contains(id); }
  // The other instances online: a group's command is passed on to them.
  std::vector<std::string> OthersOnline() const;
  // Another instance's unit as its state shows it, with "online"; its ids.
  std::optional<Json> TheirView(const std::string& id) const;
  std::vector<std::string> TheirIds() const;

  void OnBrokerConnected() override;
  void OnBridgeState(const std::string& instance, std::string_view payload) override;
  void OnBridgeSync(const std::string& instance, std::string_view payload) override;
  void OnStateSeen(const std::string& id, std::string_view payload, bool ours) override;
  void OnAvailabilitySeen(const std::string& id, std::string_view payload) override;
  void OnFindAsked() override;
  // Mac Find asked for over the broker.
  void OnFind(std::function<void()> find) { find_ = std::move(find); }

 private:
  // A unit another instance serves, as its retained state and availability tell it.
  struct TheirState {
    Json state;
    std::optional<bool> online;
    std::size_t bytes = 0;  // of the state as kept
  };

  // The broker's chance to answer is over: serve alone, or decide on what came.
  void OnBrokersChanceOver(bool waitedLonger);
  void OnSynced();
  void Decide(const std::string& id);
  bool Online(const std::string& instance) const;
  // peers.cpp: other instances' states, each counting only for the unit whose topic it stands on.
  void SeeTheirState(const std::string& id, const Json& state);
  void ForgetTheirState(const std::string& id);
  // Whether another instance's unit is online: as its availability says, while its instance is.
  bool TheirUnitOnline(const TheirState& theirs) const;

  platform::EventLoop& loop_;
  const Config& config_;
  LogLimiter& log_;
  ClaimedUnits& units_;
  MqttFront* bus_ = nullptr;
  std::function<void()> find_;
  std::map<std::string, std::string> named_;   // the instance each unit's last state names
  std::map<std::string, UnitSignals> theirs_;  // of units reached here: what that state showed
  std::map<std::string, bool> peers_;          // instances and whether they are online
  std::map<std::string, TheirState> theirStates_;
  std::size_t theirBytes_ = 0;
  bool synced_ = false;  // what the broker holds is known
  std::string syncMarker_;
  platform::EventLoop::TimerId aloneTimer_ = 0;
  bool chanceOver_ = false;  // the broker had its chance
};

}  // namespace lampd
