// status, poll, set and reset: one lamp frame to each unit, all at once,
// and what each unit answered.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "lamp_frame.h"
#include "unit_list.h"

namespace lampctl {

inline constexpr auto kConnectLimit = std::chrono::milliseconds(1000);

struct LampExchangeOptions {
  int parallel = 256;
  std::chrono::milliseconds timeout{300};  // for the reply, after the send
};

struct UnitAnswer {
  UnitAddress unit;
  bool ok = false;
  bool noSocket = false;  // the network itself could not be used
  std::string error;      // why it failed
  double seconds = 0;
  protocol::LampFrame reply{};  // the unit's state, when ok
};

// The frames of the commands, as the console builds them, ready for the wire.
protocol::LampFrame StatusFrame();
protocol::LampFrame ResetFrame(int model);

// `frame` (wire form) to every unit; the answers in the order of `units`.
std::vector<UnitAnswer> ExchangeFrame(const std::vector<UnitAddress>& units,
                                      const protocol::LampFrame& frame,
                                      const LampExchangeOptions& options);

}  // namespace lampctl
