// lampd's log: one line an event on standard error, with the unit and the
// reason. Events a client can cause at will (bad commands, dropped
// messages, strangers' answers) and those that come for a whole plant at
// once (units online at start, offline with their switch, taken over from
// an instance gone) go through a limiter: a few lines a second of each
// kind, then how many more there were, so neither fills the system's log.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>

namespace lampd {

void Log(const std::string& line);

class LogLimiter {
 public:
  static constexpr int kLinesPerSecond = 5;

  // Logs `line` unless its kind has had its lines this second.
  void Say(std::string_view kind, const std::string& line);
  // Tells the kinds whose second is over how many lines they held back.
  void Flush();

 private:
  struct Window {
    std::chrono::steady_clock::time_point start;
    int said = 0, held = 0;
  };
  void Close(const std::string& kind, Window& window);
  std::map<std::string, Window, std::less<>> windows_;
};

}  // namespace lampd
