// The event loop's Linux part: epoll, and an eventfd to wake it.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "event_loop.h"

namespace platform {
namespace {

// epoll reports in poll's bits on Linux; the handlers are written in those.
static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP);

constexpr std::uint64_t kWakeId = 0;  // the eventfd's place in epoll's data
// Descriptors served in one turn at the most: the rest stay ready for the
// next, so a crowd of busy sockets costs turns of bounded length and the
// timers and posted work between them are never far behind.
constexpr int kEventsAtOnce = 64;

std::error_code LastErrno() { return {errno, std::generic_category()}; }

}  // namespace

bool EventLoop::Open() {
  poller_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (poller_ < 0 || wake_ < 0) {
    reason_ = LastErrno();
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeId;
  if (::epoll_ctl(poller_, EPOLL_CTL_ADD, wake_, &event) != 0) {
    reason_ = LastErrno();
    return false;
  }
  return true;
}

void EventLoop::Close() {
  if (wake_ >= 0) ::close(wake_);
  if (poller_ >= 0) ::close(poller_);
  wake_ = kNoSocket;
  poller_ = -1;
}

bool EventLoop::Register(NativeSocket fd, short events, std::uint64_t id, bool known,
                         std::error_code* reason) {
  epoll_event event{};
  event.events = static_cast<std::uint32_t>(events);
  event.data.u64 = id;
  int done = -1;
  if (known) {
    done = ::epoll_ctl(poller_, EPOLL_CTL_MOD, fd, &event);
    // The descriptor was closed and its number is in use again: add it anew.
    if (done != 0 && errno == ENOENT) done = ::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event);
  } else {
    done = ::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event);
  }
  if (done != 0 && reason) *reason = LastErrno();
  return done == 0;
}

void EventLoop::Deregister(NativeSocket fd) {
  ::epoll_ctl(poller_, EPOLL_CTL_DEL, fd, nullptr);  // gone already if it was closed
}

void EventLoop::Wake() {
  const std::uint64_t one = 1;
  if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
}

bool EventLoop::WaitAndDispatch(int milliseconds) {
  std::array<epoll_event, kEventsAtOnce> events;
  const int ready = ::epoll_wait(poller_, events.data(), kEventsAtOnce, milliseconds);
  if (ready < 0 && errno != EINTR) {
    reason_ = LastErrno();
    return false;
  }
  for (int i = 0; i < ready && !stopping_; ++i) {
    if (events[i].data.u64 == kWakeId) {
      std::uint64_t count = 0;
      (void)!::read(wake_, &count, sizeof count);
      continue;
    }
    Dispatch(events[i].data.u64, static_cast<short>(events[i].events));
  }
  return true;
}

}  // namespace platform
