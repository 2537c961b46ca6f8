// The units a lamp command goes to, as people write them: ADDRESS[:PORT],
// a last-octet range 192.168.10.1-254[:PORT], or a file of such lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings_frame.h"

namespace lampctl {

inline constexpr std::uint16_t kDefaultLampPort = 20000;

struct UnitAddress {
  protocol::IpBytes address{};
  std::uint16_t port = kDefaultLampPort;
  std::string Text() const;  // "192.168.10.200:20000"
};

// Adds the unit(s) `text` names; false with `error` when it does not parse.
bool ParseUnit(std::string_view text, bool allowRange, std::vector<UnitAddress>& units,
               std::string& error);

// One unit or range a line; blank lines and '#' comments are skipped.
bool ReadUnitFile(const std::string& path, std::vector<UnitAddress>& units, std::string& error);

}  // namespace lampctl
