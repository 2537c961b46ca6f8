// The event loop's Windows part: select over the watched sockets, and a
// loopback datagram pair to wake it. select, not WSAPoll: it reports a
// connect that failed (in the exception set), which WSAPoll long did not.
#define FD_SETSIZE 2048  // Winsock's sets are lists: as long as we say
#include "net/event_loop.h"

#include <cerrno>
#include <winsock2.h>

namespace platform {
namespace {

std::error_code LastError() {
  return {::WSAGetLastError() == WSAENOBUFS ? ENOBUFS : EIO, std::generic_category()};
}

}  // namespace

bool EventLoop::Open() {
  // Windows Sockets are started for as long as a loop lives: every program
  // on the loop has them without a start-up of its own.
  if (!StartSocketLayer(kSocketVersion22, &reason_)) return false;
  socketLayerStarted_ = true;
  // The wake pair: a datagram socket on loopback, and one connected to it.
  Socket receiver = Socket::OpenDatagram();
  Socket sender = Socket::OpenDatagram();
  SocketAddress bound;
  const auto fail = [this](const Socket& which) {
    reason_ = which.LastError();
    return false;
  };
  if (!receiver) return fail(receiver);
  if (!sender) return fail(sender);
  if (!receiver.Bind(SocketAddress::FromBytes(std::array<std::uint8_t, 4>{127, 0, 0, 1}, 0)) ||
      !receiver.LocalAddress(bound) || !receiver.SetNonBlocking(true)) {
    return fail(receiver);
  }
  if (!sender.ConnectDatagram(bound) || !sender.SetNonBlocking(true)) return fail(sender);
  wake_ = receiver.Release();  // the loop's from here on: Close closes them
  wakeSender_ = sender.Release();
  return true;
}

void EventLoop::Close() {
  if (wake_ != kNoSocket) ::closesocket(wake_);
  if (wakeSender_ != kNoSocket) ::closesocket(wakeSender_);
  wake_ = wakeSender_ = kNoSocket;
  if (socketLayerStarted_) CleanupSocketLayer();
  socketLayerStarted_ = false;
}

bool EventLoop::Register(NativeSocket, short, std::uint64_t, bool known, std::error_code* reason) {
  // The sets are built anew each turn; only their size is bounded.
  static_assert(kMostWatched < FD_SETSIZE);
  if (!known && watches_.size() >= kMostWatched) {
    if (reason) *reason = std::error_code(EMFILE, std::generic_category());
    return false;
  }
  return true;
}

void EventLoop::Deregister(NativeSocket) {}

void EventLoop::Wake() {
  const char one = 1;
  if (wakeSender_ != kNoSocket) ::send(wakeSender_, &one, 1, 0);
}

bool EventLoop::WaitAndDispatch(int milliseconds) {
  fd_set reading, writing, broken;
  FD_ZERO(&reading);
  FD_ZERO(&writing);
  FD_ZERO(&broken);
  FD_SET(wake_, &reading);
  for (const auto& [id, watcher] : watches_) {
    if (watcher->events & POLLIN) FD_SET(watcher->fd, &reading);
    if (watcher->events & POLLOUT) FD_SET(watcher->fd, &writing);
    FD_SET(watcher->fd, &broken);
  }
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int ready = ::select(0, &reading, &writing, &broken, milliseconds < 0 ? nullptr : &timeout);
  if (ready == SOCKET_ERROR) {
    reason_ = LastError();
    return false;
  }
  if (FD_ISSET(wake_, &reading)) {
    char drain[64];
    while (::recv(wake_, drain, sizeof drain, 0) > 0) {
    }
  }
  // What is ready, taken before any handler runs: a handler may change the watches.
  std::vector<std::pair<std::uint64_t, short>> events;
  for (const auto& [id, watcher] : watches_) {
    short revents = 0;
    if (FD_ISSET(watcher->fd, &reading)) revents |= POLLIN;
    if (FD_ISSET(watcher->fd, &writing)) revents |= POLLOUT;
    if (FD_ISSET(watcher->fd, &broken)) revents |= POLLERR;
    if (revents) events.emplace_back(id, revents);
  }
  for (const auto& [id, revents] : events) {
    if (stopping_) break;
    Dispatch(id, revents);
  }
  return true;
}

}  // namespace platform
