#include "state_document.h"

#include "command.h"
#include "protocol/sound_catalogue.h"
#include "protocol/text_format.h"
#include "time_text.h"

namespace lampd {

std::string Dump(const Json& document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string TextOf(const Json& document, const char* key) {
  if (!document.is_object()) return "";
  const auto found = document.find(key);
  return found != document.end() && found->is_string() ? found->get<std::string>() : "";
}

Json SoundJson(std::uint8_t code) {
  if (code == protocol::kSoundOff) return "off";
  return code;
}

std::optional<std::uint8_t> LampValue(const Json& value) {
  if (!value.is_string()) return std::nullopt;
  return protocol::LampCodeOf(value.get_ref<const std::string&>());
}

std::optional<std::uint8_t> SoundValue(const Json& value) {
  if (value.is_number_integer()) {
    const auto number = value.get<long long>();
    if (number >= 1 && number <= protocol::kSoundsPerModel)
      return static_cast<std::uint8_t>(number);
    return std::nullopt;
  }
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  if (text == "off") return protocol::kSoundOff;
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '5') {
    return static_cast<std::uint8_t>(text[0] - '0');
  }
  return std::nullopt;
}

Json CodesJson(const protocol::LampCodes& codes) {
  Json lamps = Json::object();
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    if (codes[lamp] != protocol::kLeaveUnchanged) {
      lamps[std::string(protocol::kLampNames[lamp])] =
          std::string(protocol::LampStateName(codes[lamp]));
    }
  }
  Json document = {{"lamps", lamps}};
  if (codes[protocol::kSoundLamp] != protocol::kLeaveUnchanged) {
    document["sound"] = SoundJson(codes[protocol::kSoundLamp]);
  }
  return document;
}

bool CodesOf(const Json& document, protocol::LampCodes& codes, std::string& why) {
  if (const auto lamps = document.find("lamps"); lamps != document.end()) {
    if (!lamps->is_object()) {
      why = "lamps takes an object such as {\"red\": \"on\"}, not " + Dump(*lamps);
      return false;
    }
    for (const auto& [name, value] : lamps->items()) {
      const auto lamp = protocol::LampNumberOf(name);
      if (!lamp) {
        why = "not a lamp (red, yellow, green, blue, white): \"" + name + "\"";
        return false;
      }
      const auto code = LampValue(value);
      if (!code) {
        why = name + " takes \"off\", \"on\" or \"blink\", not " + Dump(value);
        return false;
      }
      codes[*lamp] = *code;
    }
  }
  if (const auto sound = document.find("sound"); sound != document.end()) {
    const auto code = SoundValue(*sound);
    if (!code) {
      why = "sound takes 1 to 5 or \"off\", not " + Dump(*sound);
      return false;
    }
    codes[protocol::kSoundLamp] = *code;
  }
  return true;
}

Json LeaseJson(const Lease& lease, const ClockPair& clocks) {
  Json document = {{"source", lease.source},
                   {"priority", lease.priority},
                   {"expires", TimeText(clocks.WallOf(lease.ends))}};
  const Json codes = CodesJson(lease.codes);
  for (const auto& [key, value] : codes.items()) document[key] = value;
  if (lease.call != 0) document["id"] = lease.call;
  if (lease.started != SteadyClock::time_point{}) {
    document["taken"] = TimeText(clocks.WallOf(lease.started));
  }
  if (lease.acknowledged) {
    document["acknowledged"] = {{"by", lease.acknowledged->by},
                                {"at", TimeText(lease.acknowledged->at)}};
  }
  if (!lease.escalate.empty()) document["escalate"] = EscalationJson(lease.escalate, true);
  return document;
}

bool LeaseOf(const Json& document, const ClockPair& clocks, Lease& lease) {
  if (!document.is_object()) return false;
  for (const auto& [key, value] : document.items()) {
    if (key != "source" && key != "priority" && key != "expires" && key != "lamps" &&
        key != "sound" && key != "serial" && key != "id" && key != "taken" &&
        key != "acknowledged" && key != "escalate") {
      return false;
    }
  }
  lease = Lease{};
  if (const auto id = document.find("id"); id != document.end()) {
    if (!id->is_number_unsigned()) return false;
    lease.call = id->get<std::uint64_t>();
  }
  if (const auto taken = document.find("taken"); taken != document.end()) {
    const auto when =
        taken->is_string() ? ParseTime(taken->get_ref<const std::string&>()) : std::nullopt;
    if (!when) return false;
    lease.started = clocks.SteadyOf(*when);
  }
  if (const auto ack = document.find("acknowledged"); ack != document.end()) {
    const auto by = ack->is_object() ? ack->find("by") : ack->end();
    const auto at = ack->is_object() ? ack->find("at") : ack->end();
    const auto when = at != ack->end() && at->is_string()
                          ? ParseTime(at->get_ref<const std::string&>())
                          : std::nullopt;
    if (by == ack->end() || !by->is_string() || !when) return false;
    lease.acknowledged = Acknowledgement{by->get<std::string>(), *when};
  }
  if (const auto steps = document.find("escalate"); steps != document.end()) {
    std::string why;
    if (!ParseEscalation(*steps, lease.escalate, why)) return false;
  }
  const auto source = document.find("source");
  const auto priority = document.find("priority");
  const auto expires = document.find("expires");
  if (source == document.end() || !source->is_string() || priority == document.end() ||
      !priority->is_number_integer() || expires == document.end() || !expires->is_string()) {
    return false;
  }
  const auto rank = priority->get<long long>();
  const auto when = ParseTime(expires->get_ref<const std::string&>());
  std::string why;
  if (rank < 0 || rank > 9 || !when || !CodesOf(document, lease.codes, why) ||
      lease.codes == protocol::kLeaveAllUnchanged) {
    return false;
  }
  lease.source = source->get<std::string>();
  lease.priority = static_cast<int>(rank);
  lease.ends = clocks.SteadyOf(*when);
  if (lease.started == SteadyClock::time_point{}) lease.started = clocks.steady;
  return true;
}

Json StateDocument(const UnitFacts& unit, const ClockPair& clocks) {
  Json state = {{"id", unit.id}, {"address", unit.address}};
  if (unit.shown) {
    const protocol::LampFrame& reply = *unit.shown;
    const int model = reply[protocol::kModelByte];
    state["model"] = model;
    // Every byte as the unit gave it, 0x64 included: a unit may answer anything.
    Json lamps = Json::object();
    for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
      lamps[std::string(protocol::kLampNames[lamp])] =
          std::string(protocol::LampStateName(reply[protocol::kFirstLampByte + lamp]));
    }
    state["lamps"] = lamps;
    state["sound"] = SoundJson(reply[protocol::kSoundByte]);
    const std::string_view name = protocol::SoundNameOf(model, reply[protocol::kSoundByte]);
    if (!name.empty()) state["sound_name"] = std::string(name);
    state["words"] = protocol::DecodeStatusWords(reply);
  }
  if (unit.mac) state["mac"] = protocol::MacColonText(*unit.mac);
  state["instance"] = unit.instance;
  if (!unit.alsoDrivenBy.empty()) state["also_driven_by"] = unit.alsoDrivenBy;
  if (unit.online) state["online"] = *unit.online;
  Json leases = Json::array();
  if (unit.signals) {
    for (const Lease& lease : unit.signals->Leases()) leases.push_back(LeaseJson(lease, clocks));
    state["baseline"] = CodesJson(unit.signals->Baseline());
  }
  state["leases"] = leases;
  return state;
}

Json TheirStateOf(const Json& state, const ClockPair& clocks) {
  if (!state.is_object()) return {{"leases", Json::array()}};
  Json kept = Json::object();
  const auto field = [&state](const char* key) {
    const auto found = state.find(key);
    return found != state.end() ? &*found : nullptr;
  };
  for (const char* key : {"id", "address", "instance", "mac", "sound_name"}) {
    if (const Json* text = field(key); text && text->is_string()) kept[key] = *text;
  }
  if (const Json* model = field("model"); model && model->is_number_unsigned() && *model <= 255) {
    kept["model"] = *model;
  }
  if (const Json* lamps = field("lamps"); lamps && lamps->is_object()) {
    Json shown = Json::object();
    for (const std::string_view name : protocol::kLampNames) {
      const auto lamp = lamps->find(std::string(name));
      if (lamp != lamps->end() && LampValue(*lamp)) shown[std::string(name)] = *lamp;
    }
    kept["lamps"] = shown;
  }
  // A unit may show a sound code no command gives: any byte is kept.
  if (const Json* sound = field("sound");
      sound && (*sound == "off" || (sound->is_number_unsigned() && *sound <= 255))) {
    kept["sound"] = *sound;
  }
  if (const Json* baseline = field("baseline"); baseline && baseline->is_object()) {
    protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
    std::string why;
    if (CodesOf(*baseline, codes, why)) kept["baseline"] = *baseline;
  }
  if (const Json* online = field("online"); online && online->is_boolean()) {
    kept["online"] = *online;
  }
  Json leases = Json::array();
  if (const Json* given = field("leases"); given && given->is_array()) {
    for (const Json& item : *given) {
      Lease lease;
      if (LeaseOf(item, clocks, lease)) leases.push_back(item);
    }
  }
  kept["leases"] = std::move(leases);
  return kept;
}

bool SignalsOfState(const Json& state, const ClockPair& clocks, std::uint64_t& serial,
                    UnitSignals& signals) {
  signals = UnitSignals{};
  if (!state.is_object()) return false;
  if (const auto baseline = state.find("baseline"); baseline != state.end()) {
    protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
    std::string why;
    if (!baseline->is_object() || !CodesOf(*baseline, codes, why)) return false;
    signals.SetBaseline(codes);
  }
  const auto leases = state.find("leases");
  if (leases == state.end()) return true;
  if (!leases->is_array()) return false;
  for (const Json& item : *leases) {
    Lease lease;
    if (!LeaseOf(item, clocks, lease)) return false;
    lease.serial = ++serial;  // in the order the document lists them: oldest first
    if (lease.ends > clocks.steady) signals.AddLease(std::move(lease));
  }
  return true;
}

std::string IdOf(const protocol::MacBytes& mac) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (std::uint8_t byte : mac) {
    id += kHex[byte >> 4];
    id += kHex[byte & 0xF];
  }
  return id;
}

}  // namespace lampd
