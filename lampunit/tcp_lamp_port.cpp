#include "tcp_lamp_port.h"

#include <algorithm>
#include <cerrno>

#include "unit_log.h"

namespace lampunit {
namespace {

// Extra bytes a long reply carries past the frame.
constexpr std::uint8_t kTrailingNoise[] = {0xEE, 0xEE, 0xEE, 0xEE};

}  // namespace

TcpLampPort::TcpLampPort(Reactor& reactor, const UnitOptions& options, std::string unitAddress,
                         LampState& state)
    : reactor_(reactor), options_(options), unit_(std::move(unitAddress)), state_(state) {}

bool TcpLampPort::Open(std::string& error) {
  const auto local = platform::SocketAddress::FromDottedText(unit_, options_.tcpPort);
  listener_ = platform::Socket::OpenStream();
  // A unit restarted at once must get its port back.
  if (!listener_ || !listener_.SetReuseAddress(true) || !listener_.Bind(local) ||
      !listener_.Listen(64) || !listener_.SetNonBlocking(true)) {
    error = "cannot listen on " + local.EndpointText() + ": " +
            platform::ReasonText(listener_.LastError());
    return false;
  }
  reactor_.Watch(listener_.Handle(), POLLIN, [this](short) { OnAccept(); });
  return true;
}

void TcpLampPort::OnAccept() {
  platform::SocketAddress peer;
  platform::Socket accepted = listener_.Accept(peer);
  if (!accepted) return;
  const std::string peerText = peer.EndpointText();
  LogEvent(unit_, "tcp accept from " + peerText);

  if (options_.tcpFault == TcpFault::kCloseAtOnce) {
    LogEvent(unit_, "tcp close at once");
    return;  // closed as `accepted` goes
  }
  if (options_.tcpFault == TcpFault::kResetAtOnce) {
    accepted.SetAbortOnClose();
    LogEvent(unit_, "tcp reset at once");
    return;
  }

  const std::uint64_t id = nextId_++;
  reactor_.Watch(accepted.Handle(), POLLIN, [this, id](short) { OnReadable(id); });
  connections_.emplace(id, Connection{std::move(accepted), peerText, {}});
}

void TcpLampPort::OnReadable(std::uint64_t id) {
  auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;

  std::uint8_t chunk[256];
  const long got = connection.socket.Receive(chunk);
  if (got < 0 && connection.socket.LastError() == std::errc::resource_unavailable_try_again) {
    return;
  }
  if (got <= 0) {
    if (!connection.received.empty()) {
      LogReceived(unit_, "tcp partial", connection.received, connection.peer);
    }
    LogEvent(unit_, "tcp closed by " + connection.peer);
    Drop(id);
    return;
  }
  connection.received.insert(connection.received.end(), chunk, chunk + got);
  while (connection.received.size() >= protocol::kFrameSize) {
    protocol::LampFrame request{};
    std::copy_n(connection.received.begin(), protocol::kFrameSize, request.begin());
    connection.received.erase(connection.received.begin(),
                              connection.received.begin() + protocol::kFrameSize);
    LogReceived(unit_, "tcp", request, connection.peer);
    OnFrame(id, request);
    if (!connections_.contains(id)) return;
  }
}

void TcpLampPort::OnFrame(std::uint64_t id, const protocol::LampFrame& request) {
  protocol::LampFrame reply{};
  if (request[protocol::kOperationByte] == protocol::kWireWrite) {
    state_.ApplyWrite(request);
    reply = state_.Reply(protocol::kWireWrite);
  } else if (request[protocol::kOperationByte] == protocol::kWireRead) {
    reply = state_.Reply(protocol::kWireRead);
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

void TcpLampPort::SendReply(std::uint64_t id, const protocol::LampFrame& reply) {
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
