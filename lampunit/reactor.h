// A single-threaded poll loop with timers: the simulated unit serves all its
// sockets from one thread, so hundreds of units cost one process.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <vector>

namespace lampunit {

class Reactor {
 public:
  using Clock = std::chrono::steady_clock;
  using Handler = std::function<void(short revents)>;

  Reactor();
  ~Reactor();
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

  void Watch(int fd, short events, Handler handler);
  void Unwatch(int fd);
  void At(Clock::time_point when, std::function<void()> action);

  // Serves events and timers until nothing is left to wait for, or Stop.
  void Run();
  // From any thread: Run returns soon after.
  void Stop();

 private:
  std::map<int, std::pair<short, Handler>> watches_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
  int wake_ = -1;  // an eventfd that Stop writes to
  std::atomic<bool> stopping_{false};
};

}  // namespace lampunit
