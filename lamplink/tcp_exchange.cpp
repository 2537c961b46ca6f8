#include "tcp_exchange.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <string>

#include "net/socket_layer.h"
#include "protocol/text_format.h"

namespace lamplink {
namespace {

using namespace std::chrono_literals;

constexpr int kReceiveAreaSize = 20;
constexpr auto kConnectLimit = 1s;
constexpr auto kReplyPause = 100ms;
constexpr auto kReplyTimeout = 200ms;

}  // namespace

bool Tcp_Exchange(std::int8_t length, std::int32_t port, const std::uint8_t* address,
                  std::uint8_t* frame) {
  std::error_code reason;
  return Tcp_Exchange(length, port, address, frame, reason);
}

bool Tcp_Exchange(std::int8_t length, std::int32_t port, const std::uint8_t* address,
                  std::uint8_t* frame, std::error_code& reason) {
  // A negative length would make the receive below overrun the area.
  const int n = std::clamp<int>(length, 0, kReceiveAreaSize);

  const std::string dotted = protocol::DottedText(std::span(address, 4));

  platform::SocketLayerSession socketLayer(platform::kSocketVersion22);
  if (!socketLayer) {
    reason = socketLayer.Reason();
    return false;
  }

  platform::Socket unit = platform::Socket::OpenStream();
  if (!unit) {
    reason = unit.LastError();
    return false;
  }

  const auto unitAddress =
      platform::SocketAddress::FromDottedText(dotted, static_cast<std::uint16_t>(port & 0xFFFF));

  // Without non-blocking mode the connect could outlast its one second.
  if (!unit.SetNonBlocking(true)) {
    reason = unit.LastError();
    return false;
  }
  unit.StartConnect(unitAddress);
  if (!unit.WaitConnected(kConnectLimit)) {
    reason = unit.LastError();
    return false;
  }
  // The receive below waits through its own time-out, so a socket left
  // non-blocking here would still take the reply.
  unit.SetNonBlocking(false);

  // A request the unit never got (it reset the connection) is no success.
  const long sent = unit.Send(std::span<const std::uint8_t>(frame, n));
  if (sent != n) {
    reason = sent < 0 ? unit.LastError() : std::make_error_code(std::errc::io_error);
    return false;
  }

  platform::Sleep(kReplyPause);

  unit.SetReceiveTimeout(kReplyTimeout);
  std::array<std::uint8_t, kReceiveAreaSize> receiveArea{};
  platform::SocketAddress source = unitAddress;
  const long received = unit.ReceiveFrom(std::span(receiveArea).first(n), source);
  if (received > 0) std::copy_n(receiveArea.begin(), received, frame);

  return true;
}

}  // namespace lamplink
