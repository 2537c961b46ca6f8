// A single-threaded poll loop with timers: the simulated unit serves all its
// sockets from one thread, so hundreds of units cost one process.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <vector>

namespace lampunit {

class Reactor {
 public:
  using Clock = std::chrono::steady_clock;
  using Handler = std::function<void(short revents)>;

  void Watch(int fd, short events, Handler handler);
  void Unwatch(int fd);
  void At(Clock::time_point when, std::function<void()> action);

  // Serves events and timers until nothing is left to wait for.
  void Run();

 private:
  std::map<int, std::pair<short, Handler>> watches_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
};

}  // namespace lampunit
