#include "settings_frame.h"

#include <algorithm>

namespace protocol {
namespace {

constexpr std::pair<int, std::uint8_t> kSeparatorsAndTags[] = {
    {3, ','},  {4, 'M'},  {11, ','}, {12, 'I'}, {17, ','}, {18, 'S'}, {23, ','},
    {24, 'G'}, {29, ','}, {30, 'P'}, {33, ','}, {34, 'T'}, {36, ','},
};

template <std::size_t N>
void Put(SettingsFrame& frame, int offset, const std::array<std::uint8_t, N>& bytes) {
  std::copy(bytes.begin(), bytes.end(), frame.begin() + offset);
}

template <std::size_t N>
std::array<std::uint8_t, N> Take(std::span<const std::uint8_t> bytes, int offset) {
  std::array<std::uint8_t, N> taken{};
  std::copy_n(bytes.begin() + offset, N, taken.begin());
  return taken;
}

}  // namespace

bool SameSettings(const SettingsRecord& a, const SettingsRecord& b) {
  return a.ipAddress == b.ipAddress && a.subnetMask == b.subnetMask && a.gateway == b.gateway &&
         a.port == b.port && a.t == b.t;
}

SettingsMessage SettingsRequest(SettingsCommand command, const SettingsRecord& record,
                                const MacBytes& x) {
  SettingsMessage message;
  message.command = {command == FindMac ? 'M' : 'I',
                     (command == Write || command == Sett) ? 'W' : 'R'};
  message.record = record;
  message.xTag = command == Sett ? 'M' : 'X';
  message.x = x;
  return message;
}

SettingsFrame Encode(const SettingsMessage& message) {
  SettingsFrame frame{};
  frame[0] = kStartMark;
  frame[kCommandOffset] = static_cast<std::uint8_t>(message.command[0]);
  frame[kCommandOffset + 1] = static_cast<std::uint8_t>(message.command[1]);
  for (const auto& [offset, value] : kSeparatorsAndTags) frame[offset] = value;
  const SettingsRecord& record = message.record;
  Put(frame, kMacOffset, record.mac);
  Put(frame, kIpOffset, record.ipAddress);
  Put(frame, kMaskOffset, record.subnetMask);
  Put(frame, kGatewayOffset, record.gateway);
  frame[kPortOffset] = static_cast<std::uint8_t>(record.port >> 8);
  frame[kPortOffset + 1] = static_cast<std::uint8_t>(record.port & 0xFF);
  frame[kTOffset] = record.t;
  frame[kXTagOffset] = message.xTag;
  Put(frame, kXOffset, message.x);
  frame[44] = '\r';
  frame[45] = '\n';
  return frame;
}

std::optional<SettingsMessage> Decode(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kSettingsFrameSize || datagram[0] != kStartMark) return std::nullopt;
  SettingsMessage message;
  message.command = {static_cast<char>(datagram[kCommandOffset]),
                     static_cast<char>(datagram[kCommandOffset + 1])};
  SettingsRecord& record = message.record;
  record.mac = Take<kMacSize>(datagram, kMacOffset);
  record.ipAddress = Take<4>(datagram, kIpOffset);
  record.subnetMask = Take<4>(datagram, kMaskOffset);
  record.gateway = Take<4>(datagram, kGatewayOffset);
  record.port = static_cast<std::uint16_t>(datagram[kPortOffset] * 256 + datagram[kPortOffset + 1]);
  record.t = datagram[kTOffset];
  message.xTag = datagram[kXTagOffset];
  message.x = Take<kMacSize>(datagram, kXOffset);
  return message;
}

}  // namespace protocol
