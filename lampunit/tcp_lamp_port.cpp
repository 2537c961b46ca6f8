#include "tcp_lamp_port.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "protocol/text_format.h"

namespace lampunit {
namespace {

using namespace std::chrono_literals;

// Extra bytes a long reply carries past the frame.
constexpr std::uint8_t kTrailingNoise[] = {0xEE, 0xEE, 0xEE, 0xEE};
// Connections the system holds for the unit until it takes them: room for a
// crowd, so that a client's handshake is queued rather than dropped.
constexpr int kBacklog = 1024;
// Connections taken at each turn of the loop while more are waiting.
constexpr int kAcceptsAtOnce = 32;
// Out of descriptors, how long to leave the listener alone before trying again.
constexpr auto kAcceptPause = 200ms;

}  // namespace

TcpLampPort::TcpLampPort(platform::EventLoop& loop, const UnitOptions& options,
                         std::string unitAddress, LampState& state, UnitLog& log)
    : loop_(loop), options_(options), unit_(std::move(unitAddress)), state_(state), log_(log) {}

bool TcpLampPort::Open(std::string& error) {
  const auto local = platform::SocketAddress::FromDottedText(unit_, options_.tcpPort);
  listener_ = platform::Socket::OpenListening(local, kBacklog);
  if (!listener_) {
    error = "cannot listen on " + local.EndpointText() + ": " +
            platform::ReasonText(listener_.LastError());
    return false;
  }
  ResumeAccepting();
  return true;
}

void TcpLampPort::ResumeAccepting() {
  paused_ = false;
  loop_.Watch(listener_.Handle(), POLLIN, [this](short) {
    for (int i = 0; i < kAcceptsAtOnce && !paused_; ++i) {
      if (!OnAccept()) break;
    }
  });
}

void TcpLampPort::PauseAccepting() {
  // Polling a listener that cannot accept would wake the loop for nothing,
  // as fast as it can turn: leave it until a descriptor may be free.
  paused_ = true;
  loop_.Unwatch(listener_.Handle());
  loop_.At(platform::EventLoop::Clock::now() + kAcceptPause, [this] {
    if (paused_) ResumeAccepting();
  });
}

bool TcpLampPort::OnAccept() {
  platform::SocketAddress peer;
  platform::Socket accepted = listener_.Accept(peer);
  if (!accepted) {
    if (listener_.LastErrorIs(EMFILE) || listener_.LastErrorIs(ENFILE) ||
        listener_.LastErrorIs(ENOMEM) || listener_.LastErrorIs(ENOBUFS)) {
      log_.Event(unit_,
                 "tcp cannot accept: " + platform::ReasonText(listener_.LastError()) + "; waiting");
      PauseAccepting();
    }
    return false;  // none waiting, or none can be taken now
  }
  const std::string peerText = peer.EndpointText();
  log_.Event(unit_, "tcp accept from " + peerText);

  if (options_.tcpFault == TcpFault::kCloseAtOnce) {
    log_.Event(unit_, "tcp close at once");
    return true;  // closed as `accepted` goes
  }
  if (options_.tcpFault == TcpFault::kResetAtOnce) {
    accepted.SetAbortOnClose();
    log_.Event(unit_, "tcp reset at once");
    return true;
  }

  // At the bound, a connection that has sent nothing since its last frame
  // (nor has anything waiting) makes room for the new one, the longest idle
  // first; when every one is busy, the newcomer is turned away.
  if (static_cast<int>(connections_.size()) >= options_.maxConnections) {
    const std::string bound = " (" + std::to_string(options_.maxConnections) + " connections open)";
    auto idlest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
      const Connection& connection = it->second;
      if (!connection.received.empty() || connection.socket.BytesWaiting() > 0) continue;
      if (idlest == connections_.end() || connection.lastFrame < idlest->second.lastFrame) {
        idlest = it;
      }
    }
    if (idlest == connections_.end()) {
      log_.Event(unit_, "tcp connection from " + peerText + " turned away" + bound);
      return true;
    }
    Drop(idlest->first, "closed to make room" + bound);
  }

  const std::uint64_t id = nextId_++;
  loop_.Watch(accepted.Handle(), POLLIN, [this, id](short) { OnReadable(id); });
  connections_.emplace(
      id, Connection{std::move(accepted), peerText, {}, platform::EventLoop::Clock::now()});
  ScheduleIdleCheck();
  return true;
}

void TcpLampPort::ScheduleIdleCheck() {
  if (idleCheckDue_ || connections_.empty()) return;
  auto oldest = platform::EventLoop::Clock::time_point::max();
  for (const auto& [id, connection] : connections_) {
    oldest = std::min(oldest, connection.lastFrame);
  }
  idleCheckDue_ = true;
  loop_.At(oldest + std::chrono::milliseconds(options_.idleTimeoutMs), [this] {
    idleCheckDue_ = false;
    CloseIdle();
    ScheduleIdleCheck();
  });
}

void TcpLampPort::CloseIdle() {
  const auto limit =
      platform::EventLoop::Clock::now() - std::chrono::milliseconds(options_.idleTimeoutMs);
  std::vector<std::uint64_t> idle;
  for (const auto& [id, connection] : connections_) {
    if (connection.lastFrame <= limit) idle.push_back(id);
  }
  for (std::uint64_t id : idle) {
    Drop(id, "closed: no complete frame within " + std::to_string(options_.idleTimeoutMs) + " ms");
  }
}

void TcpLampPort::OnReadable(std::uint64_t id) {
  auto found = connections_.find(id);
  if (found == connections_.end()) return;
  Connection& connection = found->second;

  std::uint8_t chunk[256];
  const long got = connection.socket.Receive(chunk);
  if (got < 0 && connection.socket.LastErrorIs(EAGAIN)) {
    return;
  }
  if (got <= 0) {
    if (!connection.received.empty()) {
      log_.Received(unit_, "tcp partial", connection.received, connection.peer);
    }
    Drop(id, "closed by " + connection.peer);
    return;
  }
  connection.received.insert(connection.received.end(), chunk, chunk + got);
  while (connection.received.size() >= protocol::kFrameSize) {
    protocol::LampFrame request{};
    std::copy_n(connection.received.begin(), protocol::kFrameSize, request.begin());
    connection.received.erase(connection.received.begin(),
                              connection.received.begin() + protocol::kFrameSize);
    connection.lastFrame = platform::EventLoop::Clock::now();
    log_.Received(unit_, "tcp", request, connection.peer);
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
    // Not a lamp frame: what follows is noise too. Closing throws away
    // whatever the peer queued, so a flood of junk ends when its sender stops.
    Drop(id,
         "closed: not a lamp frame (operation " + protocol::HexBytes(request).substr(0, 2) + ")");
    return;
  }

  switch (options_.tcpFault) {
    case TcpFault::kSilent:
      log_.Event(unit_, "tcp no answer (silent)");
      return;
    case TcpFault::kLateReply:
      loop_.At(platform::EventLoop::Clock::now() + std::chrono::milliseconds(options_.lateReplyMs),
               [this, id, reply] { SendReply(id, reply); });
      return;
    default:
      SendReply(id, reply);
  }
}

void TcpLampPort::SendReply(std::uint64_t id, const protocol::LampFrame& reply) {
  auto found = connections_.find(id);
  if (found == connections_.end()) {
    log_.Event(unit_, "tcp reply dropped, the peer has gone");
    return;
  }
  std::vector<std::uint8_t> bytes(reply.begin(), reply.end());
  if (options_.tcpFault == TcpFault::kShortReply) bytes.resize(options_.shortReplyBytes);
  if (options_.tcpFault == TcpFault::kLongReply) {
    bytes.insert(bytes.end(), std::begin(kTrailingNoise), std::end(kTrailingNoise));
  }
  if (found->second.socket.Send(bytes) < 0 && found->second.socket.LastErrorIs(EAGAIN)) {
    // Its replies pile up unread: a peer that only sends gets no more turns.
    Drop(id, "closed: it does not read its replies");
    return;
  }
  log_.Sent(unit_, "tcp", bytes, found->second.peer);
}

void TcpLampPort::Drop(std::uint64_t id, const std::string& why) {
  auto found = connections_.find(id);
  if (found == connections_.end()) return;
  log_.Event(unit_, "tcp connection from " + found->second.peer + " " + why);
  loop_.Unwatch(found->second.socket.Handle());
  connections_.erase(found);
  // A descriptor is free again: a paused listener may take the next one now.
  if (paused_) ResumeAccepting();
}

}  // namespace lampunit
