#include "event_loop.h"

#include <algorithm>

// The loop's own part, the same on both systems: watches, timers, posted
// work and the turn. The system's part waits (event_loop_epoll.cpp,
// windows/event_loop.cpp).
namespace platform {

EventLoop::EventLoop() { ready_ = Open(); }

EventLoop::~EventLoop() { Close(); }

bool EventLoop::Watch(NativeSocket fd, short events, Handler handler, std::error_code* reason) {
  const std::uint64_t id = nextWatchId_++;
  const auto known = watchOf_.find(fd);
  if (!Register(fd, events, id, known != watchOf_.end(), reason)) return false;
  if (known != watchOf_.end()) Drop(known->second);
  watchOf_[fd] = id;
  watches_.emplace(id, std::make_unique<Watcher>(Watcher{fd, events, std::move(handler)}));
  return true;
}

void EventLoop::Unwatch(NativeSocket fd) {
  const auto known = watchOf_.find(fd);
  if (known == watchOf_.end()) return;
  Deregister(fd);
  Drop(known->second);
  watchOf_.erase(known);
}

void EventLoop::Drop(std::uint64_t id) {
  const auto found = watches_.find(id);
  if (found == watches_.end()) return;
  dropped_.push_back(std::move(found->second));
  watches_.erase(found);
}

void EventLoop::Dispatch(std::uint64_t id, short revents) {
  const auto found = watches_.find(id);  // an earlier handler may have dropped it
  if (found == watches_.end()) return;
  if (turnBegan_ == Clock::time_point{}) turnBegan_ = Clock::now();
  found->second->handler(revents);  // kept if it drops itself
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
  Wake();
}

void EventLoop::Stop() {
  stopping_ = true;
  Wake();
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
  while (!stopping_) {
    RunPosted();  // what was posted before the loop began, or by the last turn
    EndTurn();
    if (stopping_ || (untilIdle && Idle())) return;
    if (!WaitAndDispatch(WaitMilliseconds())) return;
    dropped_.clear();
    if (turnBegan_ == Clock::time_point{}) turnBegan_ = Clock::now();  // timers or posts alone
    RunDueTimers();
  }
}

void EventLoop::EndTurn() {
  if (turnBegan_ == Clock::time_point{}) return;
  longestTurn_ = std::max(longestTurn_, Clock::now() - turnBegan_);
  turnBegan_ = {};
}

EventLoop::Clock::duration EventLoop::TakeLongestTurn() {
  const auto longest = longestTurn_;
  longestTurn_ = {};
  return longest;
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
