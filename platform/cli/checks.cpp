#include "checks.h"

#include <array>
#include <cstdint>
#include <vector>

#include "protocol/text_format.h"
#include "protocol/unit_address.h"

namespace platform {

CLI::Validator Ipv4Check() {
  return CLI::Validator(
      [](std::string& text) {
        std::array<std::uint8_t, 4> address{};
        return protocol::ParseIpv4(text, address) ? std::string()
                                                  : "not an IPv4 address: '" + text + "'";
      },
      "A.B.C.D");
}

CLI::Validator MacCheck() {
  return CLI::Validator(
      [](std::string& text) {
        std::array<std::uint8_t, 6> mac{};
        return protocol::ParseMac(text, mac) ? std::string() : "not a MAC address: '" + text + "'";
      },
      "MAC");
}

CLI::Validator UnitCheck(bool allowRange) {
  return CLI::Validator(
      [allowRange](std::string& text) {
        std::vector<protocol::UnitAddress> units;
        std::string error;
        return protocol::ParseUnit(text, allowRange, units, error) ? std::string() : error;
      },
      allowRange ? "UNIT|RANGE" : "UNIT");
}

}  // namespace platform
