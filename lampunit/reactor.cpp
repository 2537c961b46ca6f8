#include "reactor.h"

#include <cerrno>

namespace lampunit {

void Reactor::Watch(int fd, short events, Handler handler) {
  watches_[fd] = {events, std::move(handler)};
}

void Reactor::Unwatch(int fd) { watches_.erase(fd); }

void Reactor::At(Clock::time_point when, std::function<void()> action) {
  timers_.emplace(when, std::move(action));
}

void Reactor::Run() {
  std::vector<pollfd> watched;
  while (!watches_.empty() || !timers_.empty()) {
    watched.clear();
    for (const auto& [fd, watch] : watches_) watched.push_back({fd, watch.first, 0});

    int timeoutMs = -1;
    if (!timers_.empty()) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first - Clock::now());
      timeoutMs = left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    int ready = ::poll(watched.data(), watched.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) return;

    for (const pollfd& entry : watched) {
      if (entry.revents == 0) continue;
      auto found = watches_.find(entry.fd);  // an earlier handler may have dropped it
      if (found == watches_.end()) continue;
      Handler handler = found->second.second;
      handler(entry.revents);
    }
    while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
      auto action = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      action();
    }
  }
}

}  // namespace lampunit
