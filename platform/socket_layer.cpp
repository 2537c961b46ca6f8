#include "socket_layer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

namespace platform {
namespace {

std::mutex startupMutex;
int startupCount = 0;

bool SocketLayerUsable() {
  int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (probe < 0) return false;
  ::close(probe);
  return true;
}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
  std::this_thread::sleep_until(deadline);
}

}  // namespace

bool StartSocketLayer(std::uint16_t version) {
  if (version != kSocketVersion11 && version != kSocketVersion22) return false;
  std::lock_guard lock(startupMutex);
  if (startupCount == 0 && !SocketLayerUsable()) return false;
  ++startupCount;
  return true;
}

void CleanupSocketLayer() {
  std::lock_guard lock(startupMutex);
  if (startupCount > 0) --startupCount;
}

SocketAddress SocketAddress::FromDottedText(const std::string& dotted, std::uint16_t port) {
  SocketAddress address;
  address.in.sin_family = AF_INET;
  address.in.sin_port = htons(port);
  address.in.sin_addr.s_addr = inet_addr(dotted.c_str());
  return address;
}

SocketAddress SocketAddress::Any(std::uint16_t port) {
  SocketAddress address;
  address.in.sin_family = AF_INET;
  address.in.sin_port = htons(port);
  address.in.sin_addr.s_addr = htonl(INADDR_ANY);
  return address;
}

std::string SocketAddress::DottedText() const {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
  return text;
}

std::uint16_t SocketAddress::Port() const { return ntohs(in.sin_port); }

Socket Socket::OpenStream() { return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

Socket Socket::OpenDatagram() { return Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

Socket::Socket(Socket&& other) noexcept
    : fd_(other.fd_), connectFailed_(other.connectFailed_) {
  other.fd_ = -1;
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    connectFailed_ = other.connectFailed_;
    other.fd_ = -1;
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Socket::SetNonBlocking(bool on) {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd_, F_SETFL, flags) == 0;
}

bool Socket::SetReceiveTimeout(std::chrono::milliseconds timeout) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

bool Socket::SetBroadcast(bool on) {
  int value = on ? 1 : 0;
  return ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == 0;
}

bool Socket::SetReceiveBufferSize(int bytes) {
  // SO_RCVBUFFORCE passes the system's cap when we may; otherwise take what is allowed.
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return true;
  return ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool Socket::Bind(const SocketAddress& local) {
  return ::bind(fd_, reinterpret_cast<const sockaddr*>(&local.in), sizeof local.in) == 0;
}

void Socket::StartConnect(const SocketAddress& to) {
  // 0.0.0.0 names no peer; Linux would quietly connect to this host instead.
  if (to.in.sin_addr.s_addr == htonl(INADDR_ANY)) {
    connectFailed_ = true;
    return;
  }
  int result = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in);
  connectFailed_ = result != 0 && errno != EINPROGRESS && errno != EINTR;
}

bool Socket::WaitConnected(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (connectFailed_) {
    SleepUntil(deadline);
    return false;
  }
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    pollfd watch{fd_, POLLOUT, 0};
    int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (ready == 0) return false;
    break;
  }
  // Writable also means "failed" here: only an established connection counts.
  int error = 0;
  socklen_t length = sizeof error;
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  bool established = ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                     error == 0 &&
                     ::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
  if (!established) {
    connectFailed_ = true;
    SleepUntil(deadline);
  }
  return established;
}

bool Socket::ConnectDatagram(const SocketAddress& to) {
  // The any-address names no peer: the socket stays open to every sender.
  // (Linux would tie it to this host instead.)
  if (to.in.sin_addr.s_addr == htonl(INADDR_ANY)) {
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    return ::connect(fd_, &none, sizeof none) == 0;
  }
  return ::connect(fd_, reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in) == 0;
}

long Socket::Send(std::span<const std::uint8_t> bytes) {
  for (;;) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    return static_cast<long>(sent);
  }
}

long Socket::SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to) {
  for (;;) {
    ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in);
    if (sent < 0 && errno == EINTR) continue;
    return static_cast<long>(sent);
  }
}

long Socket::ReceiveFrom(std::span<std::uint8_t> area, SocketAddress& from) {
  socklen_t length = sizeof from.in;
  for (;;) {
    ssize_t got = ::recvfrom(fd_, area.data(), area.size(), 0,
                             reinterpret_cast<sockaddr*>(&from.in), &length);
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

void Sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace platform
