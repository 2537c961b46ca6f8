// How people write the units a lamp command goes to, and the numbers on a
// command line: ADDRESS[:PORT], a last-octet range 192.168.10.1-254[:PORT],
// plain decimal numbers within bounds. Pure text rules; the programs'
// command lines and files take them from here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings_frame.h"

namespace protocol {

inline constexpr std::uint16_t kDefaultLampPort = 20000;

struct UnitAddress {
  IpBytes address{};
  std::uint16_t port = kDefaultLampPort;
  std::string Text() const;  // "192.168.10.200:20000"
  friend bool operator==(const UnitAddress&, const UnitAddress&) = default;
};

// A decimal number from `low` to `high`: digits only, no sign, blanks or
// leading zeros. False (and `value` untouched) otherwise.
bool ParseNumber(std::string_view text, int low, int high, int& value);

// Adds the unit(s) `text` names; false with `error` when it does not parse.
bool ParseUnit(std::string_view text, bool allowRange, std::vector<UnitAddress>& units,
               std::string& error);

}  // namespace protocol
