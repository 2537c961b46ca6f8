#include "broadcast.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

namespace platform {
namespace {

constexpr std::array<std::uint8_t, 4> kLimitedBroadcast = {255, 255, 255, 255};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The source address the host would use for a routed limited broadcast, or
// nothing where it routes none.
std::optional<std::array<std::uint8_t, 4>> RoutedBroadcastSource(std::uint16_t port) {
  Socket probe = Socket::OpenDatagram();
  if (!probe || !probe.SetBroadcast(true)) return std::nullopt;
  if (!probe.ConnectDatagram(SocketAddress::FromBytes(kLimitedBroadcast, port))) {
    return std::nullopt;  // no route: the per-interface copies are all there is
  }
  SocketAddress local;
  socklen_t length = sizeof local.in;
  if (::getsockname(probe.Handle(), reinterpret_cast<sockaddr*>(&local.in), &length) != 0) {
    return std::nullopt;
  }
  return local.Bytes();
}

}  // namespace

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

BroadcastSend SendBroadcast(Socket& socket, std::span<const std::uint8_t> datagram,
                            std::uint16_t port, const std::vector<std::string>& onlyInterfaces) {
  BroadcastSend result;
  const SocketAddress everyone = SocketAddress::FromBytes(kLimitedBroadcast, port);

  std::vector<NetworkInterface> interfaces;
  if (!ListInterfaces(interfaces, result.reason)) return result;

  std::vector<std::array<std::uint8_t, 4>> covered;
  std::vector<std::string> done;  // one copy an interface, whatever its number of addresses
  for (const NetworkInterface& adapter : interfaces) {
    const bool wanted = onlyInterfaces.empty()
                            ? adapter.up && !adapter.loopback && adapter.canBroadcast
                            : Contains(onlyInterfaces, adapter.name) && adapter.up;
    if (!wanted) continue;
    covered.push_back(adapter.address);
    if (Contains(done, adapter.name)) continue;
    done.push_back(adapter.name);
    if (socket.SendFrom(datagram, everyone, adapter.address, adapter.index) ==
        static_cast<long>(datagram.size())) {
      result.sentVia.push_back(adapter.name);
    } else {
      result.failedVia.push_back(adapter.name);
      result.reason = socket.LastError();
    }
  }
  for (const std::string& name : onlyInterfaces) {
    if (!Contains(done, name)) {
      result.failedVia.push_back(name);
      result.reason = std::make_error_code(std::errc::no_such_device);
    }
  }
  if (!onlyInterfaces.empty()) return result;

  // The routed way, where it leads somewhere the copies above did not go.
  const auto source = RoutedBroadcastSource(port);
  if (source && std::find(covered.begin(), covered.end(), *source) == covered.end()) {
    if (socket.SendTo(datagram, everyone) == static_cast<long>(datagram.size())) {
      result.sentVia.push_back("route");
    } else {
      result.failedVia.push_back("route");
      result.reason = socket.LastError();
    }
  }
  if (result.sentVia.empty() && result.failedVia.empty()) {
    result.reason = std::make_error_code(std::errc::network_unreachable);
  }
  return result;
}

ReplyWindow::ReplyWindow(std::chrono::milliseconds quiet, std::chrono::milliseconds bound)
    : quiet_(quiet), end_(std::chrono::steady_clock::now() + bound) {}

long ReplyWindow::Receive(Socket& socket, std::span<std::uint8_t> area, SocketAddress& from) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
  if (left.count() <= 0) return -1;
  socket.SetReceiveTimeout(std::min(quiet_, left));
  return socket.ReceiveFrom(area, from);
}

BroadcastExchange ExchangeBroadcast(std::span<const std::uint8_t> request, std::uint16_t unitPort,
                                    std::uint16_t replyPort,
                                    const std::vector<std::string>& onlyInterfaces,
                                    std::chrono::milliseconds quiet,
                                    std::chrono::milliseconds bound) {
  BroadcastExchange exchange;
  Socket sender = Socket::OpenDatagram();
  Socket receiver = Socket::OpenDatagram();
  if (!sender || !receiver || !sender.SetBroadcast(true)) {
    exchange.outcome = BroadcastExchange::Outcome::kNoSocket;
    exchange.reason = receiver ? sender.LastError() : receiver.LastError();
    return exchange;
  }
  // Thousands of units answering at once need room; what is granted is enough otherwise.
  receiver.SetReceiveBufferSize(4 * 1024 * 1024);
  if (!receiver.Bind(SocketAddress::Any(replyPort))) {
    exchange.outcome = BroadcastExchange::Outcome::kReplyPortBusy;
    exchange.reason = receiver.LastError();
    return exchange;
  }
  exchange.sent = SendBroadcast(sender, request, unitPort, onlyInterfaces);
  if (exchange.sent.Copies() == 0) {
    exchange.outcome = BroadcastExchange::Outcome::kNotSent;
    exchange.reason = exchange.sent.reason;
    return exchange;
  }
  ReplyWindow window(quiet, bound);
  std::array<std::uint8_t, 512> area{};
  for (;;) {
    Datagram datagram;
    const long received = window.Receive(receiver, area, datagram.from);
    if (received < 0) break;
    datagram.bytes.assign(area.begin(), area.begin() + received);
    exchange.replies.push_back(std::move(datagram));
  }
  return exchange;
}

}  // namespace platform
