#include "broadcast.h"

#ifndef _WIN32
#include <poll.h>
#endif

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
  if (!probe.LocalAddress(local)) return std::nullopt;
  return local.Bytes();
}

}  // namespace

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

BroadcastChannel::BroadcastChannel(BroadcastOptions options) : options_(std::move(options)) {}

BroadcastChannel::~BroadcastChannel() { Close(); }

bool BroadcastChannel::Fail(Failure failure, const std::error_code& reason) {
  failedAt_ = failure;
  reason_ = reason;
  Close();
  return false;
}

bool BroadcastChannel::Open() {
  socketLayer_.emplace(kSocketVersion22);
  if (!*socketLayer_) return Fail(Failure::kSocketLayer, socketLayer_->Reason());
  sender_ = Socket::OpenDatagram();
  if (!sender_) return Fail(Failure::kSendSocket, sender_.LastError());
  sender_.SetBroadcast(true);  // a failure shows when the send goes nowhere
  receiver_ = Socket::OpenDatagram();
  if (!receiver_) return Fail(Failure::kReceiveSocket, receiver_.LastError());
  // Thousands of units answering at once need room; what is granted is enough otherwise.
  receiver_.SetReceiveBufferSize(4 * 1024 * 1024);
  // Bound before the request goes out, so that no early answer is lost.
  if (!receiver_.Bind(SocketAddress::Any(options_.replyPort))) {
    return Fail(Failure::kReplyPort, receiver_.LastError());
  }
  return true;
}

bool BroadcastChannel::Send(std::span<const std::uint8_t> request) {
  sent_ = SendBroadcast(sender_, request, options_.unitPort, options_.interfaces);
  sentAt_ = EventLoop::Clock::now();
  if (sent_.Copies() > 0) return true;
  failedAt_ = Failure::kNotSent;
  reason_ = sent_.reason;
  return false;
}

void BroadcastChannel::Collect(const DatagramHandler& onDatagram) {
  EventLoop loop;
  if (!loop) return;  // out of descriptors: nothing can be heard
  Collect(loop, onDatagram, [] {});
  loop.RunUntilIdle();
}

void BroadcastChannel::Collect(EventLoop& loop, DatagramHandler onDatagram,
                               std::function<void()> onEnd) {
  loop_ = &loop;
  onDatagram_ = std::move(onDatagram);
  onEnd_ = std::move(onEnd);
  area_.assign(options_.datagramSize, 0);
  if (!receiver_ || !receiver_.SetNonBlocking(true) ||
      !loop.Watch(receiver_.Handle(), POLLIN, [this](short) { TakeDatagrams(); })) {
    quietTimer_ = loop.After(std::chrono::milliseconds(0), [this] { EndCollection(); });
    return;
  }
  quietTimer_ = loop.After(options_.quiet, [this] { EndCollection(); });
  boundTimer_ = loop.At(sentAt_ + options_.bound, [this] { EndCollection(); });
}

void BroadcastChannel::TakeDatagrams() {
  // Everything waiting, then one quiet window from the last; the bound is
  // looked at between datagrams, so a flood cannot outlast it.
  for (int taken = 0;; ++taken) {
    if (taken % 64 == 63 && EventLoop::Clock::now() >= sentAt_ + options_.bound) {
      EndCollection();
      return;
    }
    SocketAddress from;
    const long received = receiver_.ReceiveFrom(area_, from);
    if (received < 0) {
      if (receiver_.LastErrorIs(EAGAIN)) break;
      EndCollection();  // a receive failure ends the collection, as a time-out does
      return;
    }
    onDatagram_(from, std::span<const std::uint8_t>(area_.data(), received));
    if (!loop_) return;  // the handler closed the channel
  }
  loop_->Cancel(quietTimer_);
  quietTimer_ = loop_->After(options_.quiet, [this] { EndCollection(); });
}

void BroadcastChannel::StopCollecting() {
  if (!loop_) return;
  loop_->Cancel(quietTimer_);
  loop_->Cancel(boundTimer_);
  if (receiver_) loop_->Unwatch(receiver_.Handle());
  loop_ = nullptr;
  onDatagram_ = nullptr;
}

void BroadcastChannel::EndCollection() {
  if (!loop_) return;
  StopCollecting();
  if (auto onEnd = std::move(onEnd_)) onEnd();
}

void BroadcastChannel::Close() {
  StopCollecting();
  onEnd_ = nullptr;  // an early end is quiet
  receiver_.Close();
  sender_.Close();
  socketLayer_.reset();
}

BroadcastOutcome ExchangeBroadcast(std::span<const std::uint8_t> request,
                                   const BroadcastOptions& options,
                                   const DatagramHandler& onDatagram) {
  BroadcastChannel channel(options);
  if (channel.Open() && channel.Send(request)) channel.Collect(onDatagram);
  return {channel.FailedAt(), channel.Reason(), channel.Sent()};
}

}  // namespace platform
