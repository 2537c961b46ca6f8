// The one state document: what lampd publishes for a unit on MQTT and
// HTTP, what the state file keeps, and how commands name lamps and the
// sound. Lamps are "off", "on" or "blink", the sound "off" or 1 to 5, the
// same names everywhere (lampctl --json writes them too), so a state's
// lamps and sound sent back as a command are taken as they stand.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "leases.h"
#include "protocol/lamp_frame.h"
#include "protocol/settings_frame.h"

namespace lampd {

using Json = nlohmann::ordered_json;

// JSON as lampd writes it: text that is not UTF-8 is replaced, never thrown over.
std::string Dump(const Json& document);

// A key's text in a document read from outside (MQTT, a file edited by
// hand): "" where it is absent or not text, never thrown over.
std::string TextOf(const Json& document, const char* key);

// A sound code as the documents write it: "off", or the number.
Json SoundJson(std::uint8_t code);
// "off", "on", "blink" for a lamp; "off" or 1 to 5 (also "1" to "5") for
// the sound. Nothing for anything else.
std::optional<std::uint8_t> LampValue(const Json& value);
std::optional<std::uint8_t> SoundValue(const Json& value);

// {"lamps": {"red": "on", ...}, "sound": "off"} of what `codes` names.
Json CodesJson(const protocol::LampCodes& codes);
// The reverse, over the keys "lamps" and "sound" of `document` (either may
// be absent); false with `why` for a lamp, a state or a sound it does not know.
bool CodesOf(const Json& document, protocol::LampCodes& codes, std::string& why);

// {source, priority, expires (RFC 3339, UTC), lamps, sound}.
Json LeaseJson(const Lease& lease, const ClockPair& clocks);
// The reverse (serial not read); false for anything else. An "acknowledged"
// or other key lampd does not write is refused, not passed over.
bool LeaseOf(const Json& document, const ClockPair& clocks, Lease& lease);

// What a unit is and shows, as the state document gives it.
struct UnitFacts {
  std::string id, address, instance;
  std::optional<protocol::MacBytes> mac;
  std::optional<protocol::LampFrame> shown;  // its last reply
  const UnitSignals* signals = nullptr;
  std::optional<bool> online;  // HTTP only: MQTT has the availability topic
  std::string alsoDrivenBy;    // another instance that drives it too
};
Json StateDocument(const UnitFacts& unit, const ClockPair& clocks);

// What the console and the Modbus front keep of a state another instance
// published (anyone on the broker may publish there): the keys a state
// document has, each of its kind, and of its leases those that read as
// leases. Its status words are not kept: the console does not show them.
Json TheirStateOf(const Json& state, const ClockPair& clocks);

// The leases and the baseline of a state document another instance
// published, to serve the unit on with; false when it does not read as one.
// The leases are numbered on from `serial`, oldest first.
bool SignalsOfState(const Json& state, const ClockPair& clocks, std::uint64_t& serial,
                    UnitSignals& signals);

// A unit found by Mac Find is known by its MAC address: twelve lower-case hex digits.
std::string IdOf(const protocol::MacBytes& mac);

}  // namespace lampd
