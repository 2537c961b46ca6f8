// Ownership without [cluster]: an instance shares nothing. It serves every
// unit its configuration names or it finds, from the start and whatever the
// broker holds; it learns from the broker which units other instances
// announce (their retained states), to pass commands for those on and to
// show them. A unit it serves that another online instance's state also
// claims is driven by both: a configuration error, told in the log, the
// metric lampd_units_driven_elsewhere_too and the unit's state
// ("also_driven_by"), never settled by moving the unit: deciding who drives
// a unit between instances takes an engine built for it (EtcdClaims).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lampd/config/config.h"
#include "lampd/core/log.h"
#include "lampd/fronts/mqtt/mqtt_front.h"
#include "net/event_loop.h"
#include "peer_states.h"
#include "unit_owners.h"

namespace lampd {

class SoleClaims : public UnitOwners {
 public:
  SoleClaims(const Config& config, LogLimiter& log, ClaimedUnits& units);
  SoleClaims(const SoleClaims&) = delete;
  SoleClaims& operator=(const SoleClaims&) = delete;
  // Serves every unit reached so far.
  bool Start(MqttFront& bus, std::string& error) override;
  // Says "offline" for this instance while the broker still listens.
  void Stop() override;
  void Reach(const std::string& id) override { units_.Serve(id, "", nullptr); }
  bool MayDrive(const std::string& id) const override;
  std::string ServedElsewhereBy(const std::string& id) const override;
  std::string NamedBy(const std::string& id) const override;
  bool Known(const std::string& id) const override { return named_.contains(id); }
  std::vector<std::string> OthersOnline() const override;
  std::optional<Json> TheirView(const std::string& id) const override;
  std::vector<std::string> TheirIds() const override { return theirStates_.Ids(); }
  std::string AlsoDrivenBy(const std::string& id) const override;
  void OnFind(std::function<void()> find) override { find_ = std::move(find); }
  void WriteMetrics(MetricsText& out) const override;

  void OnBrokerConnected() override;
  void OnBridgeState(const std::string& instance, std::string_view payload) override;
  void OnStateSeen(const std::string& id, std::string_view payload, bool ours) override;
  void OnAvailabilitySeen(const std::string& id, std::string_view payload) override {
    theirStates_.SeeAvailability(id, payload);
  }
  void OnFindAsked() override {
    if (find_) find_();
  }

 private:
  bool Online(const std::string& instance) const;
  // Unit `id`, served here, is claimed by online instance `instance` too.
  void DrivenToo(const std::string& id, const std::string& instance);

  const Config& config_;
  LogLimiter& log_;
  ClaimedUnits& units_;
  MqttFront* bus_ = nullptr;
  std::function<void()> find_;
  std::map<std::string, std::string>
      named_;  // of units not reached here: the instance their state names
  std::map<std::string, std::string>
      alsoBy_;                         // of units served here: the other instance driving them
  std::map<std::string, bool> peers_;  // instances and whether they are online
  PeerStates theirStates_;
};

}  // namespace lampd
