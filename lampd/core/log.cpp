#include "log.h"

#include <cstdio>

#include "protocol/text_format.h"

namespace lampd {

using namespace std::chrono_literals;

void Log(const std::string& line) {
  std::fprintf(stderr, "lampd: %s\n", protocol::PrintableText(line, 1000).c_str());
}

void LogLimiter::Say(std::string_view kind, const std::string& line) {
  const auto now = std::chrono::steady_clock::now();
  auto found = windows_.find(kind);
  if (found == windows_.end()) found = windows_.emplace(std::string(kind), Window{now}).first;
  Window& window = found->second;
  if (now - window.start >= 1s) {
    Close(found->first, window);
    window = Window{now};
  }
  if (window.said < kLinesPerSecond) {
    ++window.said;
    Log(line);
  } else {
    ++window.held;
  }
}

void LogLimiter::Flush() {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (now - it->second.start < 1s) {
      ++it;
      continue;
    }
    Close(it->first, it->second);
    it = windows_.erase(it);
  }
}

void LogLimiter::Close(const std::string& kind, Window& window) {
  if (window.held > 0) {
    Log(kind + ": " + std::to_string(window.held) +
        " more such event(s) in that second, not logged");
  }
  window.held = 0;
}

}  // namespace lampd
