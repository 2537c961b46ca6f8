#include "unit_address.h"

#include <charconv>

#include "text_format.h"

namespace protocol {

std::string UnitAddress::Text() const { return EndpointText(address, port); }

bool ParseNumber(std::string_view text, int low, int high, int& value) {
  int parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (parsed < low || parsed > high || (text.size() > 1 && text[0] == '0')) return false;
  value = parsed;
  return true;
}

bool ParseUnit(std::string_view text, bool allowRange, std::vector<UnitAddress>& units,
               std::string& error) {
  const std::string quoted = "'" + std::string(text) + "'";
  std::string_view host = text;
  int port = kDefaultLampPort;
  if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    if (!ParseNumber(text.substr(colon + 1), 1, 65535, port)) {
      error = "not a port from 1 to 65535 in " + quoted;
      return false;
    }
  }
  UnitAddress unit;
  unit.port = static_cast<std::uint16_t>(port);
  const auto dash = host.find('-');
  if (dash == std::string_view::npos) {
    if (!ParseIpv4(host, unit.address)) {
      error = "not an IPv4 address: " + quoted;
      return false;
    }
    units.push_back(unit);
    return true;
  }
  int last = 0;
  if (!allowRange || !ParseIpv4(host.substr(0, dash), unit.address) ||
      !ParseNumber(host.substr(dash + 1), 0, 255, last) || last < unit.address[3]) {
    error = allowRange ? "not an address range like 192.168.10.1-254: " + quoted
                       : "not an IPv4 address: " + quoted;
    return false;
  }
  for (int octet = unit.address[3]; octet <= last; ++octet) {
    unit.address[3] = static_cast<std::uint8_t>(octet);
    units.push_back(unit);
  }
  return true;
}

}  // namespace protocol
