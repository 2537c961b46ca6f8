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
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "event_loop.h"
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

// What one broadcast exchange sends where, and how long it listens.
struct BroadcastOptions {
  std::uint16_t unitPort = 0;            // where the request goes
  std::uint16_t replyPort = 0;           // where the answers come, from every sender
  std::vector<std::string> interfaces;   // empty: every adapter that can broadcast
  std::chrono::milliseconds quiet{200};  // the collection ends this long after the last datagram
  // ... and this long after the request went out at the most, so that a
  // host that never stops sending cannot hold the caller.
  std::chrono::milliseconds bound{3000};
  std::size_t datagramSize = 512;  // a longer datagram is taken cut to this
};

// Called for each datagram that reaches the reply port while the exchange
// collects, whoever sent it; an empty datagram too.
using DatagramHandler =
    std::function<void(const SocketAddress& from, std::span<const std::uint8_t> datagram)>;

// One broadcast exchange, step by step: Open (the socket layer, a sending
// socket with broadcast permission, a receiving socket bound to the reply
// port), Send (out of every adapter), Collect (each datagram as it comes,
// until the window closes), Close. The channel owns its sockets for one
// exchange; they go with it.
class BroadcastChannel {
 public:
  enum class Failure { kNone, kSocketLayer, kSendSocket, kReceiveSocket, kReplyPort, kNotSent };

  explicit BroadcastChannel(BroadcastOptions options);
  ~BroadcastChannel();
  BroadcastChannel(const BroadcastChannel&) = delete;
  BroadcastChannel& operator=(const BroadcastChannel&) = delete;

  bool Open();
  // False when the request went out of no adapter (Sent says where it failed).
  bool Send(std::span<const std::uint8_t> request);
  // Blocking: collects on a loop of its own until the window closes.
  void Collect(const DatagramHandler& onDatagram);
  // On `loop`: returns at once; `onEnd` is called once the window closes.
  // The channel must stay until then (Close or its end stops it early, quietly).
  void Collect(EventLoop& loop, DatagramHandler onDatagram, std::function<void()> onEnd);
  void Close();

  Failure FailedAt() const { return failedAt_; }
  const std::error_code& Reason() const { return reason_; }
  const BroadcastSend& Sent() const { return sent_; }

 private:
  bool Fail(Failure failure, const std::error_code& reason);
  void TakeDatagrams();
  void StopCollecting();
  void EndCollection();

  BroadcastOptions options_;
  std::optional<SocketLayerSession> socketLayer_;
  Socket sender_;
  Socket receiver_;
  Failure failedAt_ = Failure::kNone;
  std::error_code reason_;
  BroadcastSend sent_;
  EventLoop::Clock::time_point sentAt_;

  // The collection under way.
  EventLoop* loop_ = nullptr;
  DatagramHandler onDatagram_;
  std::function<void()> onEnd_;
  EventLoop::TimerId quietTimer_ = 0, boundTimer_ = 0;
  std::vector<std::uint8_t> area_;
};

// The whole exchange in one call, for callers with no steps of their own to
// show: what failed (kNone when the collection ran) and why.
struct BroadcastOutcome {
  BroadcastChannel::Failure failedAt = BroadcastChannel::Failure::kNone;
  std::error_code reason;
  BroadcastSend sent;
};
BroadcastOutcome ExchangeBroadcast(std::span<const std::uint8_t> request,
                                   const BroadcastOptions& options,
                                   const DatagramHandler& onDatagram);

}  // namespace platform
