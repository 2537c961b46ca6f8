#include "tcp_exchange.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <span>

#include "socket_layer.h"

namespace lamplink {
namespace {

using namespace std::chrono_literals;

constexpr int kReceiveAreaSize = 20;
constexpr auto kConnectLimit = 1s;
constexpr auto kReplyPause = 100ms;
constexpr auto kReplyTimeout = 200ms;

}  // namespace

std::string DottedAddress(const std::uint8_t* address) {
  std::string dotted;
  char piece[8];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(piece, sizeof piece, i < 3 ? "%d." : "%d", address[i]);
    dotted += piece;
  }
  return dotted;
}

bool Tcp_Exchange(std::int8_t length, std::int32_t port, const std::uint8_t* address,
                  std::uint8_t* frame) {
  // A negative length would make the receive below overrun the area.
  const int n = std::clamp<int>(length, 0, kReceiveAreaSize);

  const std::string dotted = DottedAddress(address);

  platform::SocketLayerSession socketLayer(platform::kSocketVersion22);
  if (!socketLayer) return false;

  platform::Socket unit = platform::Socket::OpenStream();
  if (!unit) return false;

  const auto unitAddress =
      platform::SocketAddress::FromDottedText(dotted, static_cast<std::uint16_t>(port & 0xFFFF));

  unit.SetNonBlocking(true);
  unit.StartConnect(unitAddress);
  if (!unit.WaitConnected(kConnectLimit)) return false;
  unit.SetNonBlocking(false);

  // A request the unit never got (it reset the connection) is no success.
  if (unit.Send(std::span<const std::uint8_t>(frame, n)) != n) return false;

  platform::Sleep(kReplyPause);

  unit.SetReceiveTimeout(kReplyTimeout);
  std::array<std::uint8_t, kReceiveAreaSize> receiveArea{};
  platform::SocketAddress source = unitAddress;
  const long received = unit.ReceiveFrom(std::span(receiveArea).first(n), source);
  if (received > 0) std::copy_n(receiveArea.begin(), received, frame);

  return true;
}

}  // namespace lamplink
