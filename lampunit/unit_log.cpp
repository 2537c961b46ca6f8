#include "unit_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "text_format.h"

namespace lampunit {
namespace {

// Local time to the millisecond: "14:03:07.129".
std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(milliseconds));
  return text;
}

}  // namespace

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
  std::printf("%s [%s] %s\n", TimeStamp().c_str(), unit.c_str(), event.c_str());
  std::fflush(stdout);
}

}  // namespace lampunit
