// Times as RFC 3339 writes them ("2026-12-07T19:40:00.250Z"): how leases
// show their expiry and how Alertmanager sends its times.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace lampd {

// UTC, with milliseconds.
std::string TimeText(std::chrono::system_clock::time_point time);
// Any offset ("Z", "+01:00") and any fraction of a second; nothing for text
// that is not such a time, or outside 1970 to 2200 (Alertmanager's "no
// end" is year 1).
std::optional<std::chrono::system_clock::time_point> ParseTime(std::string_view text);

}  // namespace lampd
