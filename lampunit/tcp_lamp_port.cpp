#include "tcp_lamp_port.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "unit_log.h"

namespace lampunit {
namespace {

std::string PeerText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

// Extra bytes a long reply carries past the frame.
constexpr std::uint8_t kTrailingNoise[] = {0xEE, 0xEE, 0xEE, 0xEE};

}  // namespace

TcpLampPort::TcpLampPort(Reactor& reactor, const UnitOptions& options, std::string unitAddress,
                         LampState& state)
    : reactor_(reactor), options_(options), unit_(std::move(unitAddress)), state_(state) {}

bool TcpLampPort::Open(std::string& error) {
  listener_ = platform::Socket::OpenStream();
  int reuse = 1;
  ::setsockopt(listener_.Handle(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (!listener_.Bind(platform::SocketAddress::FromDottedText(unit_, options_.tcpPort)) ||
      ::listen(listener_.Handle(), 64) != 0) {
    error = "cannot listen on " + unit_ + ":" + std::to_string(options_.tcpPort) + ": " +
            std::strerror(errno);
    return false;
  }
  listener_.SetNonBlocking(true);
  reactor_.Watch(listener_.Handle(), POLLIN, [this](short) { OnAccept(); });
  return true;
}

void TcpLampPort::OnAccept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int fd = ::accept4(listener_.Handle(), reinterpret_cast<sockaddr*>(&peer), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  platform::Socket accepted = platform::Socket::Adopt(fd);
  const std::string peerText = PeerText(peer);
  LogEvent(unit_, "tcp accept from " + peerText);

  if (options_.tcpFault == TcpFault::kCloseAtOnce) {
    LogEvent(unit_, "tcp close at once");
    return;  // closed as `accepted` goes
  }
  if (options_.tcpFault == TcpFault::kResetAtOnce) {
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    LogEvent(unit_, "tcp reset at once");
    return;
  }

  const std::uint64_t id = nextId_++;
  reactor_.Watch(fd, POLLIN, [this, id](short) { OnReadable(id); });
  connections_.emplace(id, Connection{std::move(accepted), peerText, {}});
}

void TcpLampPort::OnReadable(std::uint64_t id) {
  auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;

  std::uint8_t chunk[256];
  const ssize_t got = ::recv(connection.socket.Handle(), chunk, sizeof chunk, 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    if (!connection.received.empty()) {
      LogReceived(unit_, "tcp partial", connection.received, connection.peer);
    }
    LogEvent(unit_, "tcp closed by " + connection.peer);
    Drop(id);
    return;
  }
  connection.received.insert(connection.received.end(), chunk, chunk + got);
  while (connection.received.size() >= lamp::kFrameSize) {
    lamp::LampFrame request{};
    std::copy_n(connection.received.begin(), lamp::kFrameSize, request.begin());
    connection.received.erase(connection.received.begin(),
                              connection.received.begin() + lamp::kFrameSize);
    LogReceived(unit_, "tcp", request, connection.peer);
    OnFrame(id, request);
    if (!connections_.contains(id)) return;
  }
}

void TcpLampPort::OnFrame(std::uint64_t id, const lamp::LampFrame& request) {
  lamp::LampFrame reply{};
  if (request[lamp::kOperationByte] == lamp::kWireWrite) {
    state_.ApplyWrite(request);
    reply = state_.Reply(lamp::kWireWrite);
  } else if (request[lamp::kOperationByte] == lamp::kWireRead) {
    reply = state_.Reply(lamp::kWireRead);
  } else {
    LogEvent(unit_, "tcp unknown operation, no answer");
    return;
  }

  switch (options_.tcpFault) {
    case TcpFault::kSilent:
      LogEvent(unit_, "tcp no answer (silent)");
      return;
    case TcpFault::kLateReply:
      reactor_.At(Reactor::Clock::now() + std::chrono::milliseconds(options_.lateReplyMs),
                  [this, id, reply] { SendReply(id, reply); });
      return;
    default:
      SendReply(id, reply);
  }
}

void TcpLampPort::SendReply(std::uint64_t id, const lamp::LampFrame& reply) {
  auto found = connections_.find(id);
  if (found == connections_.end()) {
    LogEvent(unit_, "tcp reply dropped, the peer has gone");
    return;
  }
  std::vector<std::uint8_t> bytes(reply.begin(), reply.end());
  if (options_.tcpFault == TcpFault::kShortReply) bytes.resize(options_.shortReplyBytes);
  if (options_.tcpFault == TcpFault::kLongReply) {
    bytes.insert(bytes.end(), std::begin(kTrailingNoise), std::end(kTrailingNoise));
  }
  found->second.socket.Send(bytes);
  LogSent(unit_, "tcp", bytes, found->second.peer);
}

void TcpLampPort::Drop(std::uint64_t id) {
  auto found = connections_.find(id);
  if (found == connections_.end()) return;
  reactor_.Unwatch(found->second.socket.Handle());
  connections_.erase(found);
}

}  // namespace lampunit
