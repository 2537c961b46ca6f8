// Home Assistant's description of each unit served here, published
// (retained) once its model is known, again when the model changes, when
// the broker was away and when Home Assistant starts.
#include "home_assistant.h"
#include "mqtt_front.h"

namespace lampd {

void MqttFront::Describe(const std::string& id, Told& told, int model) {
  if (config_.mqtt.discoveryPrefix.empty() || told.described == model || !Connected()) return;
  const auto look = plant_.Look(id);
  if (!look || !look->servedHere) return;
  const DiscoveryFacts facts{id, model, look->mac, config_.name, LAMP_VERSION};
  if (Publish(TopicKind::kDiscovery, id, Dump(DiscoveryDocument(facts, topics_)), true)) {
    told.described = model;
  }
}

void MqttFront::OnHomeAssistant(std::string_view payload) {
  if (payload != "online") return;
  for (auto& [id, told] : told_) {
    told.described.reset();
    const auto look = plant_.Look(id);
    if (look && look->servedHere && look->model) Describe(id, told, *look->model);
  }
}

}  // namespace lampd
