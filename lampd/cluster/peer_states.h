// Other instances' units as their retained states and availability tell
// them, for the fronts to show: bounded in number and bytes, each state
// counting only for the unit whose topic it stands on.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lampd/core/log.h"
#include "lampd/core/state_document.h"

namespace lampd {

class PeerStates {
 public:
  // `changed`: a unit as the fronts show it changed.
  PeerStates(LogLimiter& log, std::function<void(const std::string& id)> changed)
      : log_(log), changed_(std::move(changed)) {}
  // A retained state on unit `id`'s topic, read: kept when it names another
  // instance than `us`, forgotten when it was taken away. What it reads as.
  Json Seen(const std::string& id, std::string_view payload, const std::string& us);
  void SeeAvailability(const std::string& id, std::string_view payload);
  // Its state with "online": as its availability says, while `online` says its instance is.
  std::optional<Json> View(const std::string& id,
                           const std::function<bool(const std::string&)>& online) const;
  std::vector<std::string> Ids() const;
  // The units whose state names `instance`.
  std::vector<std::string> Of(const std::string& instance) const;

 private:
  void See(const std::string& id, const Json& state);
  void Forget(const std::string& id);

  struct TheirState {
    Json state;
    std::optional<bool> online;
    std::size_t bytes = 0;  // of the state as kept
  };

  LogLimiter& log_;
  std::function<void(const std::string&)> changed_;
  std::map<std::string, TheirState> states_;
  std::size_t bytes_ = 0;
};

}  // namespace lampd
