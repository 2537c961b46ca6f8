#include "udp_settings_port.h"

#include <poll.h>

#include <algorithm>

#include "protocol/text_format.h"
#include "unit_log.h"

namespace lampunit {
namespace {

using protocol::kSettingsFrameSize;
using protocol::kSettingsPort;
using protocol::kSettingsReplyPort;
constexpr auto kFloodInterval = std::chrono::milliseconds(50);

// "MR" answers a find, "IR" a read, "IW" a write: the unit's record, its
// MAC address also as the X value.
protocol::SettingsFrame ReplyFrame(const UnitSettings& unit, char second) {
  protocol::SettingsMessage reply;
  reply.command = {second == 'M' ? 'M' : 'I', second == 'M' ? 'R' : second};
  reply.record = unit.stored;
  reply.x = unit.stored.mac;
  return protocol::Encode(reply);
}

void StoreSettings(UnitSettings& unit, const protocol::SettingsMessage& request) {
  const protocol::MacBytes mac = unit.stored.mac;
  unit.stored = request.record;
  unit.stored.mac = mac;
  // SETT (tag 'M') also gives the unit the MAC address carried in X.
  if (request.xTag == 'M') unit.stored.mac = request.x;
}

}  // namespace

UdpSettingsPort::UdpSettingsPort(platform::EventLoop& loop, const UnitOptions& options,
                                 std::vector<UnitSettings*> units, UnitLog& log)
    : loop_(loop), options_(options), units_(std::move(units)), log_(log) {}

bool UdpSettingsPort::Open(std::string& error) {
  socket_ = platform::Socket::OpenDatagram();
  // Several unit processes share port 50000; each gets every broadcast.
  // Hundreds of units answering one request at once need large queues.
  if (!socket_ || !socket_.SetReuseAddress(true) || !socket_.SetBroadcast(true) ||
      !socket_.SetReceiveBufferSize(1 << 20) || !socket_.SetSendBufferSize(4 << 20) ||
      !socket_.Bind(platform::SocketAddress::Any(kSettingsPort)) || !socket_.SetNonBlocking(true)) {
    error = "cannot open udp port 50000: " + platform::ReasonText(socket_.LastError());
    return false;
  }
  loop_.Watch(socket_.Handle(), POLLIN, [this](short) { OnDatagram(); });
  return true;
}

void UdpSettingsPort::OnDatagram() {
  std::uint8_t request[128];
  platform::SocketAddress requester;
  const long length = socket_.ReceiveFrom(request, requester);
  if (length < 0) return;
  const std::string unitName = units_.empty() ? "" : units_.front()->address;
  log_.Received(unitName, "udp", std::span<const std::uint8_t>(request, length),
                requester.EndpointText());
  const auto message = protocol::Decode(std::span<const std::uint8_t>(request, length));
  if (!message) return;

  const auto replyTo = platform::SocketAddress::FromBytes(requester.Bytes(), kSettingsReplyPort);
  const auto [first, second] = message->command;
  for (UnitSettings* unit : units_) {
    const bool namesUnit = message->record.mac == unit->stored.mac;
    if (first == 'M' && second == 'R') {
      Answer(*unit, 'M', replyTo);
    } else if (first == 'I' && second == 'R' &&
               (namesUnit || options_.udpFault == UdpFault::kStray)) {
      Answer(*unit, 'R', replyTo);
    } else if (first == 'I' && second == 'W' && namesUnit) {
      if (options_.udpFault == UdpFault::kIgnoreWrites) {
        log_.Event(unit->address, "udp write ignored");
      } else {
        StoreSettings(*unit, *message);
        log_.Event(unit->address, "udp settings stored (they take effect when the unit restarts)");
      }
      Answer(*unit, 'W', replyTo);
    }
  }
}

void UdpSettingsPort::Answer(UnitSettings& unit, char second,
                             const platform::SocketAddress& requester) {
  const protocol::SettingsFrame frame = ReplyFrame(unit, second);
  std::vector<std::uint8_t> reply(frame.begin(), frame.end());
  switch (options_.udpFault) {
    case UdpFault::kEmpty:
      SendFrom(unit, {}, requester);
      break;
    case UdpFault::kGarbage:
      SendFrom(unit, std::vector<std::uint8_t>(kSettingsFrameSize, 0xA7), requester);
      break;
    case UdpFault::kShort:
      reply.resize(20);
      break;
    case UdpFault::kOversize:
      reply.insert(reply.end(), 30, 0xEE);
      break;
    case UdpFault::kFlood:
      if (!flooding_) {
        flooding_ = true;
        Flood(unit, requester,
              platform::EventLoop::Clock::now() + std::chrono::milliseconds(options_.floodMs));
      }
      break;
    case UdpFault::kStray:
    case UdpFault::kIgnoreWrites:
    case UdpFault::kNone:
      break;
  }
  SendFrom(unit, reply, requester);
}

void UdpSettingsPort::Flood(const UnitSettings& unit, platform::SocketAddress to,
                            platform::EventLoop::Clock::time_point until) {
  if (platform::EventLoop::Clock::now() >= until) {
    flooding_ = false;
    log_.Event(unit.address, "udp flood over");
    return;
  }
  SendFrom(unit, std::vector<std::uint8_t>(8, 0x55), to);
  loop_.At(platform::EventLoop::Clock::now() + kFloodInterval,
           [this, &unit, to, until] { Flood(unit, to, until); });
}

void UdpSettingsPort::SendFrom(const UnitSettings& unit, const std::vector<std::uint8_t>& bytes,
                               const platform::SocketAddress& to) {
  // The unit's own address as the source, though one socket serves all units.
  if (socket_.SendFrom(bytes, to, unit.servingAddress) < 0) {
    log_.Event(unit.address, "udp send failed: " + platform::ReasonText(socket_.LastError()));
    return;
  }
  log_.Sent(unit.address, "udp", bytes, to.EndpointText());
}

}  // namespace lampunit
