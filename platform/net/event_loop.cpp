#include "event_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace platform {
namespace {

// epoll reports in poll's bits on Linux; the handlers are written in those.
static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP);

constexpr std::uint64_t kWakeId = 0;  // the eventfd's place in epoll's data
constexpr int kEventsAtOnce = 256;

std::error_code LastErrno() { return {errno, std::generic_category()}; }

}  // namespace

EventLoop::EventLoop()
    : poller_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (poller_ < 0 || wake_ < 0) {
    reason_ = LastErrno();
    return;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeId;
  if (::epoll_ctl(poller_, EPOLL_CTL_ADD, wake_, &event) != 0) {
    reason_ = LastErrno();
    ::close(wake_);
    wake_ = -1;
  }
}

EventLoop::~EventLoop() {
  if (wake_ >= 0) ::close(wake_);
  if (poller_ >= 0) ::close(poller_);
}

bool EventLoop::Watch(int fd, short events, Handler handler, std::error_code* reason) {
  const std::uint64_t id = nextWatchId_++;
  epoll_event event{};
  event.events = static_cast<std::uint32_t>(events);
  event.data.u64 = id;
  const auto known = watchOf_.find(fd);
  int done = -1;
  if (known != watchOf_.end()) {
    done = ::epoll_ctl(poller_, EPOLL_CTL_MOD, fd, &event);
    // The descriptor was closed and its number is in use again: add it anew.
    if (done != 0 && errno == ENOENT) done = ::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event);
  } else {
    done = ::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event);
  }
  if (done != 0) {
    if (reason) *reason = LastErrno();
    return false;
  }
  if (known != watchOf_.end()) Drop(known->second);
  watchOf_[fd] = id;
  watches_.emplace(id, std::make_unique<Watcher>(Watcher{fd, std::move(handler)}));
  return true;
}

void EventLoop::Unwatch(int fd) {
  const auto known = watchOf_.find(fd);
  if (known == watchOf_.end()) return;
  ::epoll_ctl(poller_, EPOLL_CTL_DEL, fd, nullptr);  // gone already if it was closed
  Drop(known->second);
  watchOf_.erase(known);
}

void EventLoop::Drop(std::uint64_t id) {
  const auto found = watches_.find(id);
  if (found == watches_.end()) return;
  dropped_.push_back(std::move(found->second));
  watches_.erase(found);
}

EventLoop::TimerId EventLoop::At(Clock::time_point when, Action action) {
  const TimerId id = nextTimer_++;
  timers_.emplace(std::pair{when, id}, std::move(action));
  timerDue_.emplace(id, when);
  return id;
}

void EventLoop::Cancel(TimerId timer) {
  const auto due = timerDue_.find(timer);
  if (due == timerDue_.end()) return;
  timers_.erase({due->second, timer});
  timerDue_.erase(due);
}

void EventLoop::Post(Action action) {
  {
    std::lock_guard lock(postedLock_);
    posted_.push_back(std::move(action));
  }
  const std::uint64_t one = 1;
  if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
}

void EventLoop::Stop() {
  stopping_ = true;
  const std::uint64_t one = 1;
  if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
}

void EventLoop::Run() { Serve(false); }

void EventLoop::RunUntilIdle() { Serve(true); }

bool EventLoop::Idle() {
  if (!watches_.empty() || !timers_.empty()) return false;
  std::lock_guard lock(postedLock_);
  return posted_.empty();
}

int EventLoop::WaitMilliseconds() const {
  if (timers_.empty()) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void EventLoop::Serve(bool untilIdle) {
  if (!*this) return;
  std::array<epoll_event, kEventsAtOnce> events;
  while (!stopping_) {
    RunPosted();  // what was posted before the loop began, or by the last turn
    if (stopping_ || (untilIdle && Idle())) return;
    const int ready = ::epoll_wait(poller_, events.data(), kEventsAtOnce, WaitMilliseconds());
    if (ready < 0 && errno != EINTR) {
      reason_ = LastErrno();
      return;
    }
    for (int i = 0; i < ready && !stopping_; ++i) {
      const std::uint64_t id = events[i].data.u64;
      if (id == kWakeId) {
        std::uint64_t count = 0;
        (void)!::read(wake_, &count, sizeof count);
        continue;
      }
      const auto found = watches_.find(id);  // an earlier handler may have dropped it
      if (found == watches_.end()) continue;
      found->second->handler(static_cast<short>(events[i].events));  // kept if it drops itself
    }
    dropped_.clear();
    RunDueTimers();
  }
}

void EventLoop::RunDueTimers() {
  // Only what was due when this turn began: a timer that sets another for
  // "now" cannot keep the loop here.
  const auto now = Clock::now();
  while (!stopping_ && !timers_.empty() && timers_.begin()->first.first <= now) {
    const auto first = timers_.begin();
    Action action = std::move(first->second);
    timerDue_.erase(first->first.second);
    timers_.erase(first);
    action();
  }
}

void EventLoop::RunPosted() {
  std::vector<Action> batch;
  {
    std::lock_guard lock(postedLock_);
    batch.swap(posted_);
  }
  for (Action& action : batch) action();
}

}  // namespace platform
