// The one event loop of our programs: descriptors, timers and work posted
// from other threads, served on one thread. epoll underneath on Linux, so
// thousands of idle sockets cost nothing between their events; select on
// Windows (windows/event_loop.cpp). The simulated units,
// the many-exchange client and the broadcast exchange all run on it; a
// service adds its own sockets beside them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "socket_layer.h"

namespace platform {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  // Called with what happened, in poll's bits (POLLIN, POLLOUT, POLLERR, POLLHUP).
  using Handler = std::function<void(short revents)>;
  using Action = std::function<void()>;
  using TimerId = std::uint64_t;
#ifdef _WIN32
  // select's sets are as long as windows/event_loop.cpp makes them.
  static constexpr std::size_t kMostWatched = 2000;
#else
  static constexpr std::size_t kMostWatched = static_cast<std::size_t>(-1);
#endif

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // False when the loop could not be made (out of descriptors); Reason says why.
  explicit operator bool() const { return ready_; }
  const std::error_code& Reason() const { return reason_; }

  // Calls `handler` on the loop's thread whenever `fd` is ready for
  // `events` (POLLIN and/or POLLOUT). Watching a descriptor again replaces
  // its events and handler. False with `reason` when epoll refuses it.
  bool Watch(NativeSocket fd, short events, Handler handler, std::error_code* reason = nullptr);
  // Safe from inside any handler, its own included.
  void Unwatch(NativeSocket fd);
  std::size_t Watched() const { return watches_.size(); }

  TimerId At(Clock::time_point when, Action action);
  TimerId After(Clock::duration delay, Action action) {
    return At(Clock::now() + delay, std::move(action));
  }
  // A timer that has run or was cancelled already is ignored.
  void Cancel(TimerId timer);

  // From any thread: `action` runs on the loop's thread soon after, in the
  // order posted.
  void Post(Action action);

  // Serves until Stop.
  void Run();
  // Serves until nothing is watched, timed or posted any more, or Stop:
  // the blocking forms of our exchanges run a loop of their own this way.
  void RunUntilIdle();
  // From any thread: Run returns soon after (at once if it has not begun).
  void Stop();
  // The longest turn (handlers, timers and posted work between two waits)
  // since the last call; a service's measure of how long it kept others waiting.
  Clock::duration TakeLongestTurn();

 private:
  struct Watcher {
    NativeSocket fd;
    short events;
    Handler handler;
  };

  // The system's part (event_loop_epoll.cpp, windows/event_loop.cpp).
  bool Open();
  void Close();
  bool Register(NativeSocket fd, short events, std::uint64_t id, bool known,
                std::error_code* reason);
  void Deregister(NativeSocket fd);
  void Wake();
  // Waits for the next events and calls their handlers; false when the wait failed.
  bool WaitAndDispatch(int milliseconds);

  void Dispatch(std::uint64_t id, short revents);
  void Serve(bool untilIdle);
  void Drop(std::uint64_t watch);
  int WaitMilliseconds() const;
  void RunDueTimers();
  void RunPosted();
  bool Idle();

  bool ready_ = false;
  int poller_ = -1;                      // the epoll descriptor (Linux)
  NativeSocket wake_ = kNoSocket;        // what Post and Stop write to: an eventfd, or a
  NativeSocket wakeSender_ = kNoSocket;  // loopback datagram pair on Windows
  bool socketLayerStarted_ = false;      // Windows: the loop holds a start-up
  std::error_code reason_;
  std::atomic<bool> stopping_{false};

  std::uint64_t nextWatchId_ = 1;
  std::unordered_map<std::uint64_t, std::unique_ptr<Watcher>> watches_;  // by watch id
  // Watches dropped during a turn, kept until it ends: a handler may drop
  // its own watch while it runs.
  std::vector<std::unique_ptr<Watcher>> dropped_;
  std::unordered_map<NativeSocket, std::uint64_t> watchOf_;  // descriptor to watch id

  Clock::time_point turnBegan_{};  // of the turn under way; unset between turns
  Clock::duration longestTurn_{};
  void EndTurn();
  TimerId nextTimer_ = 1;
  std::map<std::pair<Clock::time_point, TimerId>, Action> timers_;
  std::unordered_map<TimerId, Clock::time_point> timerDue_;

  std::mutex postedLock_;
  std::vector<Action> posted_;
};

}  // namespace platform
