// A unit as Home Assistant's MQTT discovery reads it: one device with a
// select for each lamp, a siren for the buzzer whose tones are the sounds
// of the unit's model, and a reset button. Data only: the service publishes it.
#pragma once

#include <optional>
#include <string>

#include "lampd/core/state_document.h"
#include "protocol/settings_frame.h"
#include "topics.h"

namespace lampd {

struct DiscoveryFacts {
  std::string id;
  int model = 0;
  std::optional<protocol::MacBytes> mac;
  std::string instance;  // whose bridge state says whether it is served
  std::string version;   // lampd's
};

Json DiscoveryDocument(const DiscoveryFacts& unit, const Topics& topics);

}  // namespace lampd
