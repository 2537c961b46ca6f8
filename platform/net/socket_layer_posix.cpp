// The socket layer on POSIX sockets (Linux).
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "broadcast.h"
#include "protocol/text_format.h"
#include "socket_layer.h"

namespace platform {
namespace {

std::mutex startupMutex;
int startupCount = 0;

bool SocketLayerUsable() {
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  ::close(probe);
  return true;
}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
  std::this_thread::sleep_until(deadline);
}

std::error_code Reason(int number) { return std::error_code(number, std::generic_category()); }

}  // namespace

std::string ReasonText(const std::error_code& reason) {
  // The C library's text for errno values: nothing virtual to call, and the
  // same words C tools print.
  std::string text = &reason.category() == &std::generic_category()
                         ? std::string(std::strerror(reason.value()))
                         : reason.message();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

bool StartSocketLayer(std::uint16_t version, std::error_code* reason) {
  if (version != kSocketVersion11 && version != kSocketVersion22) {
    if (reason) *reason = Reason(EINVAL);
    return false;
  }
  std::lock_guard lock(startupMutex);
  if (startupCount == 0 && !SocketLayerUsable()) {
    if (reason) *reason = Reason(errno);
    return false;
  }
  ++startupCount;
  return true;
}

void SetLastSocketError(const std::error_code& reason) { errno = reason.value(); }

void CleanupSocketLayer() {
  std::lock_guard lock(startupMutex);
  if (startupCount > 0) --startupCount;
}

Socket Socket::OpenStream() {
  Socket made(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!made) made.Failed();
  return made;
}

Socket Socket::OpenDatagram() {
  Socket made(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!made) made.Failed();
  return made;
}

bool Socket::Failed() {
  error_ = Reason(errno);
  return false;
}

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Socket::SetNonBlocking(bool on) {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return Failed();
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd_, F_SETFL, flags) == 0 || Failed();
}

bool Socket::SetReceiveBufferSize(int bytes) {
  // SO_RCVBUFFORCE passes the system's cap when we may; otherwise take what is allowed.
  return SetOption(SOL_SOCKET, SO_RCVBUFFORCE, bytes) || SetOption(SOL_SOCKET, SO_RCVBUF, bytes) ||
         Failed();
}

bool Socket::SetSendBufferSize(int bytes) {
  return SetOption(SOL_SOCKET, SO_SNDBUFFORCE, bytes) || SetOption(SOL_SOCKET, SO_SNDBUF, bytes) ||
         Failed();
}

bool Socket::SetAbortOnClose() {
  linger abort{1, 0};
  return ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0 || Failed();
}

Socket Socket::Accept(SocketAddress& peer) {
  socklen_t length = sizeof peer.in;
  for (;;) {
    Socket accepted(::accept4(fd_, reinterpret_cast<sockaddr*>(&peer.in), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!accepted && errno == EINTR) continue;
    if (!accepted) Failed();
    return accepted;
  }
}

void Socket::StartConnect(const SocketAddress& to) {
  // 0.0.0.0 names no peer; Linux would quietly connect to this host instead.
  if (to.in.sin_addr.s_addr == htonl(INADDR_ANY)) {
    connectFailed_ = true;
    error_ = Reason(EDESTADDRREQ);
    return;
  }
  int result = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in);
  connectFailed_ = result != 0 && errno != EINPROGRESS && errno != EINTR;
  if (connectFailed_) Failed();
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
    if (ready < 0) return Failed();
    if (ready == 0) {
      error_ = Reason(ETIMEDOUT);
      return false;
    }
    break;
  }
  if (!FinishConnect()) {
    connectFailed_ = true;
    SleepUntil(deadline);
    return false;
  }
  return true;
}

bool Socket::FinishConnect() {
  // Writable also means "failed" here: only an established connection counts.
  int error = 0;
  socklen_t length = sizeof error;
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Failed();
  if (error != 0) {
    error_ = Reason(error);
    return false;
  }
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    // A reset that came between the two calls left its error behind: that is the reason.
    error = 0;
    length = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    error_ = Reason(error != 0 ? error : ENOTCONN);
    return false;
  }
  return true;
}

bool Socket::ConnectDatagram(const SocketAddress& to) {
  // The any-address names no peer: the socket stays open to every sender.
  // (Linux would tie it to this host instead.)
  if (to.in.sin_addr.s_addr == htonl(INADDR_ANY)) {
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    return ::connect(fd_, &none, sizeof none) == 0 || Failed();
  }
  return ::connect(fd_, reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in) == 0 || Failed();
}

long Socket::Send(std::span<const std::uint8_t> bytes) {
  for (;;) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) Failed();
    return static_cast<long>(sent);
  }
}

long Socket::SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to) {
  for (;;) {
    ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&to.in), sizeof to.in);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) Failed();
    return static_cast<long>(sent);
  }
}

long Socket::SendFrom(std::span<const std::uint8_t> bytes, const SocketAddress& to,
                      std::optional<std::array<std::uint8_t, 4>> source, unsigned interfaceIndex) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  iovec data{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_name = const_cast<sockaddr_in*>(&to.in);
  message.msg_namelen = sizeof to.in;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = IPPROTO_IP;
  header->cmsg_type = IP_PKTINFO;
  header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo via{};
  via.ipi_ifindex = static_cast<int>(interfaceIndex);
  if (source) std::memcpy(&via.ipi_spec_dst.s_addr, source->data(), 4);
  std::memcpy(CMSG_DATA(header), &via, sizeof via);
  for (;;) {
    ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) Failed();
    return static_cast<long>(sent);
  }
}

bool Socket::WaitReadable() {
  const auto deadline = std::chrono::steady_clock::now() + *receiveTimeout_;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd watch{fd_, POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Failed();
    if (ready == 0) {
      error_ = Reason(ETIMEDOUT);
      return false;
    }
    return true;
  }
}

long Socket::ReceiveFrom(std::span<std::uint8_t> area, SocketAddress& from) {
  if (receiveTimeout_ && !WaitReadable()) return -1;
  // After the wait the data is there: never block past the time-out.
  const int flags = receiveTimeout_ ? MSG_DONTWAIT : 0;
  socklen_t length = sizeof from.in;
  for (;;) {
    const ssize_t got = ::recvfrom(fd_, area.data(), area.size(), flags,
                                   reinterpret_cast<sockaddr*>(&from.in), &length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Failed();
    return static_cast<long>(got);
  }
}

long Socket::BytesWaiting() const {
  int waiting = 0;
  return ::ioctl(fd_, FIONREAD, &waiting) == 0 ? waiting : 0;
}

long Socket::Receive(std::span<std::uint8_t> area) {
  for (;;) {
    ssize_t got = ::recv(fd_, area.data(), area.size(), MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Failed();
    return static_cast<long>(got);
  }
}

bool ListInterfaces(std::vector<NetworkInterface>& interfaces, std::error_code& reason) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    reason = std::error_code(errno, std::generic_category());
    return false;
  }
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, ::freeifaddrs);
  interfaces.clear();
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    NetworkInterface found;
    found.name = entry->ifa_name;
    found.index = ::if_nametoindex(entry->ifa_name);
    SocketAddress address;
    std::memcpy(&address.in, entry->ifa_addr, sizeof address.in);
    found.address = address.Bytes();
    found.up = (entry->ifa_flags & IFF_UP) != 0;
    found.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    found.canBroadcast = (entry->ifa_flags & IFF_BROADCAST) != 0;
    interfaces.push_back(found);
  }
  return true;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace platform
