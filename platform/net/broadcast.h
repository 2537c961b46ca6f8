// The limited broadcast (255.255.255.255) as the lamp tools need it on a
// real host: out of every adapter that can carry it, whether or not a route
// for it exists, and replies collected until a quiet window passes. Windows
// gives each adapter an on-link route for the limited broadcast; Linux sends
// it only where the routing table says, which on a bench PC without a
// default route is nowhere.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "socket_layer.h"

namespace platform {

// An IPv4 adapter of this host.
struct NetworkInterface {
  std::string name;
  unsigned index = 0;
  std::array<std::uint8_t, 4> address{};
  bool up = false;
  bool loopback = false;
  bool canBroadcast = false;
};

// Every IPv4 address of every interface (an adapter with two addresses is
// listed twice). False with `reason` when the list cannot be read.
bool ListInterfaces(std::vector<NetworkInterface>& interfaces, std::error_code& reason);

// Where one broadcast went.
struct BroadcastSend {
  std::vector<std::string> sentVia;    // interface names, "route" for the routed copy
  std::vector<std::string> failedVia;  // the same, for copies that could not be sent
  std::error_code reason;              // of the last failure
  int Copies() const { return static_cast<int>(sentVia.size()); }
};

// Sends `datagram` to 255.255.255.255:`port` once out of every interface
// that is up, not loopback and can broadcast, from that interface's own
// address. Where the host routes the limited broadcast through an interface
// not among those (the private test network routes it over loopback), one
// more copy goes the routed way. With `onlyInterfaces` it goes out of just
// the interfaces named (loopback too), and nowhere else. The socket needs
// broadcast permission.
BroadcastSend SendBroadcast(Socket& socket, std::span<const std::uint8_t> datagram,
                            std::uint16_t port,
                            const std::vector<std::string>& onlyInterfaces = {});

// Replies to a broadcast: datagrams are taken until `quiet` passes without
// one, and for `bound` at the most in all, so that a host that never stops
// sending cannot hold the caller.
class ReplyWindow {
 public:
  ReplyWindow(std::chrono::milliseconds quiet, std::chrono::milliseconds bound);

  // The next datagram, as Socket::ReceiveFrom; -1 once the window is over.
  long Receive(Socket& socket, std::span<std::uint8_t> area, SocketAddress& from);

 private:
  std::chrono::milliseconds quiet_;
  std::chrono::steady_clock::time_point end_;
};

// One broadcast exchange as a whole, for callers without a dialog of their
// own to keep step by step: a reply socket bound to `replyPort` (every
// sender), the request sent as SendBroadcast does, and every datagram that
// arrives until the window closes.
struct Datagram {
  SocketAddress from;
  std::vector<std::uint8_t> bytes;
};
struct BroadcastExchange {
  enum class Outcome { kDone, kNoSocket, kReplyPortBusy, kNotSent } outcome = Outcome::kDone;
  std::error_code reason;  // of a failed outcome
  BroadcastSend sent;
  std::vector<Datagram> replies;
};
BroadcastExchange ExchangeBroadcast(std::span<const std::uint8_t> request, std::uint16_t unitPort,
                                    std::uint16_t replyPort,
                                    const std::vector<std::string>& onlyInterfaces,
                                    std::chrono::milliseconds quiet,
                                    std::chrono::milliseconds bound);

}  // namespace platform
