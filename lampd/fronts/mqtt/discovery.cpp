// Home Assistant's description of each unit served here, published
// (retained) once its model is known, and again when Home Assistant starts.
#include "home_assistant.h"
#include "lampd/core/service.h"

namespace lampd {

void Service::PublishDiscovery(Unit& unit) {
  if (config_.mqtt.discoveryPrefix.empty() || unit.discovered || !unit.state || !unit.Serving() ||
      !mqtt_->Connected()) {
    return;
  }
  const DiscoveryFacts facts{unit.id, (*unit.state)[protocol::kModelByte], unit.mac, config_.name,
                             LAMP_VERSION};
  if (mqtt_->Publish(topics_.Name(TopicKind::kDiscovery, unit.id),
                     Dump(DiscoveryDocument(facts, topics_)), 1, true)) {
    unit.discovered = true;
  }
}

}  // namespace lampd
