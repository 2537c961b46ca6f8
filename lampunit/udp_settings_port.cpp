#include "udp_settings_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "unit_log.h"

namespace lampunit {
namespace {

using namespace netassign;

constexpr std::uint16_t kSettingsPort = 50000;
constexpr std::uint16_t kReplyPort = 50001;
constexpr auto kFloodInterval = std::chrono::milliseconds(50);

SettingsFrame ReplyFrame(const UnitSettings& unit, char second) {
  SettingsFrame frame{};
  SettingsFields fields;
  fields.macText = FormatDottedBytes(unit.mac, 0, kMacSize);
  fields.ipAddress = unit.ipAddress;
  fields.subnetMask = unit.subnetMask;
  fields.gateway = unit.gateway;
  fields.portText = std::to_string(unit.port);
  fields.mtText = std::to_string(unit.t);
  fields.maText = fields.macText;
  BuildSettingsFrame(frame, Read, fields);
  // "MR" answers a find, "IR" a read, "IW" a write.
  frame[kCommandOffset] = second == 'M' ? 'M' : 'I';
  frame[kCommandOffset + 1] = second == 'M' ? 'R' : second;
  return frame;
}

bool NamesUnit(const std::uint8_t* request, const UnitSettings& unit) {
  return std::equal(unit.mac.begin(), unit.mac.end(), request + kMacOffset);
}

void StoreSettings(UnitSettings& unit, const std::uint8_t* request) {
  std::copy_n(request + kIpOffset, 4, unit.ipAddress.begin());
  std::copy_n(request + kMaskOffset, 4, unit.subnetMask.begin());
  std::copy_n(request + kGatewayOffset, 4, unit.gateway.begin());
  unit.port = static_cast<std::uint16_t>(request[kPortOffset] * 256 + request[kPortOffset + 1]);
  unit.t = request[kTOffset];
  // SETT (tag 'M') also gives the unit the MAC address carried in X.
  if (request[kXTagOffset] == 'M') std::copy_n(request + kXOffset, kMacSize, unit.mac.begin());
  LogEvent(unit.address, "udp settings stored (they take effect when the unit restarts)");
}

}  // namespace

UdpSettingsPort::UdpSettingsPort(Reactor& reactor, const UnitOptions& options,
                                 std::vector<UnitSettings*> units)
    : reactor_(reactor), options_(options), units_(std::move(units)) {}

bool UdpSettingsPort::Open(std::string& error) {
  socket_ = platform::Socket::OpenDatagram();
  // Several unit processes share port 50000; each gets every broadcast.
  int on = 1;
  ::setsockopt(socket_.Handle(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socket_.SetBroadcast(true);
  socket_.SetReceiveBufferSize(1 << 20);
  // Hundreds of units answering one request at once would overflow a small send queue.
  int sendBuffer = 4 << 20;
  ::setsockopt(socket_.Handle(), SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer);
  if (!socket_.Bind(platform::SocketAddress::Any(kSettingsPort))) {
    error = std::string("cannot bind udp port 50000: ") + std::strerror(errno);
    return false;
  }
  socket_.SetNonBlocking(true);
  reactor_.Watch(socket_.Handle(), POLLIN, [this](short) { OnDatagram(); });
  return true;
}

void UdpSettingsPort::OnDatagram() {
  std::uint8_t request[128];
  platform::SocketAddress requester;
  const long length = socket_.ReceiveFrom(request, requester);
  if (length < 0) return;
  const std::string unitName = units_.empty() ? "" : units_.front()->address;
  LogReceived(unitName, "udp", std::span<const std::uint8_t>(request, length),
              requester.DottedText() + ":" + std::to_string(requester.Port()));
  if (length < kSettingsFrameSize || request[0] != kStartMark) return;

  platform::SocketAddress replyTo = requester;
  replyTo.in.sin_port = htons(kReplyPort);
  const char first = static_cast<char>(request[kCommandOffset]);
  const char second = static_cast<char>(request[kCommandOffset + 1]);

  for (UnitSettings* unit : units_) {
    if (first == 'M' && second == 'R') {
      Answer(*unit, 'M', replyTo);
    } else if (first == 'I' && second == 'R' && NamesUnit(request, *unit)) {
      Answer(*unit, 'R', replyTo);
    } else if (first == 'I' && second == 'W' && NamesUnit(request, *unit)) {
      StoreSettings(*unit, request);
      Answer(*unit, 'W', replyTo);
    }
  }
}

void UdpSettingsPort::Answer(UnitSettings& unit, char second,
                             const platform::SocketAddress& requester) {
  const SettingsFrame frame = ReplyFrame(unit, second);
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
              Reactor::Clock::now() + std::chrono::milliseconds(options_.floodMs));
      }
      break;
    case UdpFault::kNone:
      break;
  }
  SendFrom(unit, reply, requester);
}

void UdpSettingsPort::Flood(const UnitSettings& unit, platform::SocketAddress to,
                            Reactor::Clock::time_point until) {
  if (Reactor::Clock::now() >= until) {
    flooding_ = false;
    LogEvent(unit.address, "udp flood over");
    return;
  }
  SendFrom(unit, std::vector<std::uint8_t>(8, 0x55), to);
  reactor_.At(Reactor::Clock::now() + kFloodInterval,
              [this, &unit, to, until] { Flood(unit, to, until); });
}

void UdpSettingsPort::SendFrom(const UnitSettings& unit, const std::vector<std::uint8_t>& bytes,
                               const platform::SocketAddress& to) {
  // The unit's own address as the source, though one socket serves all units.
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
  in_pktinfo source{};
  inet_pton(AF_INET, unit.address.c_str(), &source.ipi_spec_dst);
  std::memcpy(CMSG_DATA(header), &source, sizeof source);
  if (::sendmsg(socket_.Handle(), &message, 0) < 0) {
    LogEvent(unit.address, std::string("udp send failed: ") + std::strerror(errno));
    return;
  }
  LogSent(unit.address, "udp", bytes, to.DottedText() + ":" + std::to_string(to.Port()));
}

}  // namespace lampunit
