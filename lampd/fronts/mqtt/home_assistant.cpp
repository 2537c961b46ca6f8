#include "home_assistant.h"

#include <cctype>

#include "protocol/lamp_frame.h"
#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"

namespace lampd {

Json DiscoveryDocument(const DiscoveryFacts& unit, const Topics& topics) {
  const int model = unit.model;
  const std::string stateTopic = topics.Name(TopicKind::kUnitState, unit.id);
  const std::string uniqueBase = "lampd_" + unit.id;
  Json components = Json::object();
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    const std::string name(protocol::kLampNames[lamp]);
    std::string caption = name;
    caption[0] = static_cast<char>(std::toupper(caption[0]));
    components[unit.id + "_" + name] = {
        {"platform", "select"},
        {"name", caption},
        {"unique_id", uniqueBase + "_" + name},
        {"options", {"off", "on", "blink"}},
        {"command_topic", topics.Name(TopicKind::kUnitSetField, unit.id, name)},
        {"state_topic", stateTopic},
        {"value_template", "{{ value_json.lamps." + name + " }}"}};
  }
  Json tones = Json::array();
  std::string numbers = "{";
  for (int sound = 1; sound <= protocol::kSoundsPerModel; ++sound) {
    const std::string tone(protocol::SoundNameOf(model, sound));
    if (tone.empty()) continue;
    tones.push_back(tone);
    numbers += (sound > 1 ? ", " : "") + Json(tone).dump() + ": " + std::to_string(sound);
  }
  numbers += "}";
  Json siren = {{"platform", "siren"},
                {"name", "Buzzer"},
                {"unique_id", uniqueBase + "_buzzer"},
                {"command_topic", topics.Name(TopicKind::kUnitSetField, unit.id, "sound")},
                {"command_off_template", "off"},
                {"state_topic", stateTopic},
                {"state_value_template", "{{ 'ON' if value_json.sound != 'off' else 'OFF' }}"},
                {"support_duration", false},
                {"support_volume_set", false}};
  if (!tones.empty()) {
    siren["available_tones"] = tones;
    siren["command_template"] = "{% set sounds = " + numbers +
                                " %}{{ sounds[tone] if tone is defined and tone in sounds "
                                "else 1 }}";
  } else {
    siren["command_template"] = "1";
  }
  components[unit.id + "_buzzer"] = siren;
  components[unit.id + "_reset"] = {{"platform", "button"},
                                    {"name", "Reset"},
                                    {"unique_id", uniqueBase + "_reset"},
                                    {"command_topic", topics.Name(TopicKind::kUnitSet, unit.id)},
                                    {"payload_press", "{\"reset\": true}"}};
  // Answers the unit's calls: the horn stops, the lamps stay.
  components[unit.id + "_acknowledge"] = {
      {"platform", "button"},
      {"name", "Acknowledge"},
      {"unique_id", uniqueBase + "_acknowledge"},
      {"command_topic", topics.Name(TopicKind::kUnitAck, unit.id)},
      {"payload_press", "{\"by\": \"Home Assistant\"}"}};
  Json device = {{"identifiers", {uniqueBase}},
                 {"name", "Signal tower " + unit.id},
                 {"model", model < protocol::kModelCount ? protocol::kModelNames[model]
                                                         : "model " + std::to_string(model)}};
  if (unit.mac) {
    device["connections"] = Json::array({Json::array({"mac", protocol::MacColonText(*unit.mac)})});
  }
  return {{"device", device},
          {"origin", {{"name", "lampd"}, {"sw_version", unit.version}}},
          {"availability",
           {{{"topic", topics.Name(TopicKind::kUnitAvailability, unit.id)}},
            {{"topic", topics.Name(TopicKind::kBridgeState, unit.instance)}}}},
          {"availability_mode", "all"},
          {"qos", 1},
          {"components", components}};
}

}  // namespace lampd
