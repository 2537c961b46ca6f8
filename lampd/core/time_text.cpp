#include "time_text.h"

#include <cstdio>
#include <ctime>

namespace lampd {

using namespace std::chrono;

std::string TimeText(system_clock::time_point time) {
  const auto ms = time_point_cast<milliseconds>(time).time_since_epoch().count();
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms - static_cast<long long>(seconds) * 1000));
  return text;
}

namespace {

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::optional<system_clock::time_point> ParseTime(std::string_view text) {
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || text.size() < 20 || text[4] != '-' ||
      !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day) ||
      (text[10] != 'T' && text[10] != 't' && text[10] != ' ') || !Digits(text, 11, 2, hour) ||
      text[13] != ':' || !Digits(text, 14, 2, minute) || text[16] != ':' ||
      !Digits(text, 17, 2, second) || year < 1970 || year > 2200 || month < 1 || month > 12 ||
      day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::size_t at = 19;
  nanoseconds fraction{0};
  if (text[at] == '.') {
    long long scale = 100'000'000;
    ++at;
    const std::size_t first = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      fraction += nanoseconds((text[at] - '0') * scale);
      scale /= 10;
      ++at;
    }
    if (at == first) return std::nullopt;
  }
  minutes offset{0};
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z') && at + 1 == text.size()) {
  } else if (at + 6 == text.size() && (text[at] == '+' || text[at] == '-') && text[at + 3] == ':') {
    int hours, mins;
    if (!Digits(text, at + 1, 2, hours) || !Digits(text, at + 4, 2, mins)) return std::nullopt;
    offset = minutes(hours * 60 + mins) * (text[at] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  const sys_days date =
      year_month_day{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
  const auto time = date + hours(hour) + minutes(minute) + seconds(second) - offset;
  return time_point_cast<system_clock::duration>(time + fraction);
}

}  // namespace lampd
