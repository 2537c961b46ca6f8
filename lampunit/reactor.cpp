#include "reactor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace lampunit {

Reactor::Reactor() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Reactor::~Reactor() {
  if (wake_ >= 0) ::close(wake_);
}

void Reactor::Watch(int fd, short events, Handler handler) {
  watches_[fd] = {events, std::move(handler)};
}

void Reactor::Unwatch(int fd) { watches_.erase(fd); }

void Reactor::At(Clock::time_point when, std::function<void()> action) {
  timers_.emplace(when, std::move(action));
}

void Reactor::Stop() {
  stopping_ = true;
  const std::uint64_t one = 1;
  if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
}

void Reactor::Run() {
  std::vector<pollfd> watched;
  while (!stopping_ && (!watches_.empty() || !timers_.empty())) {
    watched.clear();
    if (wake_ >= 0) watched.push_back({wake_, POLLIN, 0});
    for (const auto& [fd, watch] : watches_) watched.push_back({fd, watch.first, 0});

    int timeoutMs = -1;
    if (!timers_.empty()) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first - Clock::now());
      timeoutMs = left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    int ready = ::poll(watched.data(), watched.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) return;
    if (stopping_) return;

    for (const pollfd& entry : watched) {
      if (entry.revents == 0 || entry.fd == wake_) continue;
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
