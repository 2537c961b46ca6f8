#include "duration_text.h"

#include <charconv>
#include <cstdint>

namespace protocol {
namespace {

struct Unit {
  std::string_view name;
  std::int64_t milliseconds;
};
constexpr Unit kUnits[] = {{"d", 86400000}, {"h", 3600000}, {"m", 60000}, {"s", 1000}, {"ms", 1}};
constexpr std::int64_t kLongest = 100LL * 86400000;

}  // namespace

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text) {
  std::int64_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end == text.data() || count < 0) return std::nullopt;
  const std::string_view unit(end, text.data() + text.size() - end);
  for (const Unit& known : kUnits) {
    if (unit != known.name) continue;
    if (count > kLongest / known.milliseconds) return std::nullopt;
    return std::chrono::milliseconds(count * known.milliseconds);
  }
  return std::nullopt;
}

std::string DurationText(std::chrono::milliseconds duration) {
  for (const Unit& unit : kUnits) {
    if (duration.count() != 0 && duration.count() % unit.milliseconds == 0) {
      return std::to_string(duration.count() / unit.milliseconds) + std::string(unit.name);
    }
  }
  return "0s";
}

}  // namespace protocol
