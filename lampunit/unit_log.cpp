#include "unit_log.h"

#include <cstdio>

#include "text_format.h"

namespace lampunit {

void LogReceived(const std::string& unit, const char* protocol, std::span<const std::uint8_t> bytes,
                 const std::string& peer) {
  LogEvent(unit, std::string(protocol) + " recv " + std::to_string(bytes.size()) +
                     " bytes: " + protocol::HexBytes(bytes) + " from " + peer);
}

void LogSent(const std::string& unit, const char* protocol, std::span<const std::uint8_t> bytes,
             const std::string& peer) {
  LogEvent(unit, std::string(protocol) + " send " + std::to_string(bytes.size()) +
                     " bytes: " + protocol::HexBytes(bytes) + " to " + peer);
}

void LogEvent(const std::string& unit, const std::string& event) {
  std::printf("[%s] %s\n", unit.c_str(), event.c_str());
  std::fflush(stdout);
}

}  // namespace lampunit
