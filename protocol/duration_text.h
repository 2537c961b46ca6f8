// Durations as configuration files and commands write them: a whole number
// and a unit, "300ms", "1s", "5m", "2h", "1d".
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace protocol {

// Nothing for text that is not a number and one of ms, s, m, h, d (or a
// duration past 100 days).
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text);

// The shortest exact form: "300ms", "90s", "5m".
std::string DurationText(std::chrono::milliseconds duration);

}  // namespace protocol
