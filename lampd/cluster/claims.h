// Ownership between instances without etcd: the claims follow the broker's
// retained messages (which instances are online, which instance each
// unit's state names). The rule itself is WhoServes (ownership.h), applied
// as messages come; a unit whose instance went offline is taken over with
// the leases and baseline its last state showed. Other instances' states
// are kept, bounded in number and bytes, for the fronts to show.
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
#include "peer_states.h"
#include "unit_owners.h"

namespace lampd {

class Claims : public UnitOwners {
 public:
  Claims(platform::EventLoop& loop, const Config& config, LogLimiter& log, ClaimedUnits& units);
  ~Claims();
  Claims(const Claims&) = delete;
  Claims& operator=(const Claims&) = delete;
  // The broker has its chance to hand over what it holds; without it the
  // units are served here alone.
  bool Start(MqttFront& bus, std::string& error) override;
  // Says "offline" for this instance while the broker still listens.
  void Stop() override;
  // Decided at once when the broker's view is known.
  void Reach(const std::string& id) override;
  bool MayDrive(const std::string& id) const override;
  std::string ServedElsewhereBy(const std::string& id) const override;
  std::string NamedBy(const std::string& id) const override;
  bool Known(const std::string& id) const override { return named_.contains(id); }
  std::vector<std::string> OthersOnline() const override;
  std::optional<Json> TheirView(const std::string& id) const override;
  std::vector<std::string> TheirIds() const override;

  void OnBrokerConnected() override;
  void OnBridgeState(const std::string& instance, std::string_view payload) override;
  void OnBridgeSync(const std::string& instance, std::string_view payload) override;
  void OnStateSeen(const std::string& id, std::string_view payload, bool ours) override;
  void OnAvailabilitySeen(const std::string& id, std::string_view payload) override;
  void OnFindAsked() override;
  void OnFind(std::function<void()> find) override { find_ = std::move(find); }

 private:
  // The broker's chance to answer is over: serve alone, or decide on what came.
  void OnBrokersChanceOver(bool waitedLonger);
  void OnSynced();
  void Decide(const std::string& id);
  bool Online(const std::string& instance) const;

  platform::EventLoop& loop_;
  const Config& config_;
  LogLimiter& log_;
  ClaimedUnits& units_;
  MqttFront* bus_ = nullptr;
  std::function<void()> find_;
  std::map<std::string, std::string> named_;   // the instance each unit's last state names
  std::map<std::string, UnitSignals> theirs_;  // of units reached here: what that state showed
  std::map<std::string, bool> peers_;          // instances and whether they are online
  PeerStates theirStates_;
  bool synced_ = false;  // what the broker holds is known
  std::string syncMarker_;
  platform::EventLoop::TimerId aloneTimer_ = 0;
  bool chanceOver_ = false;  // the broker had its chance
};

}  // namespace lampd
