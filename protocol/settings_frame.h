// The 46-byte settings record that NetAssign broadcasts and units answer
// with; requests and replies share the layout. Plain data: building and
// decoding do no I/O. Multi-byte values are most significant byte first.
//
//   offset width  content
//    0     1      '$'
//    1     2      command letters: "MR" find MAC, "IR" read, "IW" write
//    3     2      ',' 'M'   5  6  MAC address
//   11     2      ',' 'I'  13  4  IPv4 address, leftmost number first
//   17     2      ',' 'S'  19  4  subnet mask
//   23     2      ',' 'G'  25  4  gateway
//   29     2      ',' 'P'  31  2  port
//   33     2      ',' 'T'  35  1  T value (shown as MT)
//   36     2      ',' 'X'  38  6  X value (from MA); tag 'M' instead of 'X' for SETT
//   44     2      CR LF
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace protocol {

// Requests go to the units' UDP port; every unit answers to the requester's reply port.
inline constexpr std::uint16_t kSettingsPort = 50000;
inline constexpr std::uint16_t kSettingsReplyPort = 50001;

inline constexpr int kSettingsFrameSize = 46;

inline constexpr int kCommandOffset = 1;
inline constexpr int kMacOffset = 5;
inline constexpr int kIpOffset = 13;
inline constexpr int kMaskOffset = 19;
inline constexpr int kGatewayOffset = 25;
inline constexpr int kPortOffset = 31;
inline constexpr int kTOffset = 35;
inline constexpr int kXTagOffset = 37;
inline constexpr int kXOffset = 38;
inline constexpr int kMacSize = 6;

inline constexpr std::uint8_t kStartMark = '$';

using SettingsFrame = std::array<std::uint8_t, kSettingsFrameSize>;
using IpBytes = std::array<std::uint8_t, 4>;
using MacBytes = std::array<std::uint8_t, kMacSize>;

// The four requests: Mac Find ("MR"), read ("IR"), write ("IW") and SETT
// (a write with tag 'M' at the X value, which also gives the unit the MAC
// address carried there).
enum SettingsCommand { FindMac = 1, Read = 2, Write = 3, Sett = 4 };

// What a unit stores, as numbers.
struct SettingsRecord {
  MacBytes mac{};
  IpBytes ipAddress{}, subnetMask{}, gateway{};
  std::uint16_t port = 0;
  std::uint8_t t = 0;
};

// Whether two records hold the same network settings (the MAC address aside).
bool SameSettings(const SettingsRecord& a, const SettingsRecord& b);

// One settings message, request or reply: its command letters, a record and
// the X value with its tag.
struct SettingsMessage {
  std::array<char, 2> command{};  // "MR", "IR", "IW"
  SettingsRecord record;
  std::uint8_t xTag = 'X';
  MacBytes x{};

  // As the tools read a reply: 'M' first answers a Mac Find, whatever
  // follows; otherwise 'R' second is a read reply.
  bool AnswersFind() const { return command[0] == 'M'; }
  bool IsReadReply() const { return !AnswersFind() && command[1] == 'R'; }
  bool IsWriteReply() const { return command[0] == 'I' && command[1] == 'W'; }
};

// A request of `command` carrying `record`, with `x` as its X value.
SettingsMessage SettingsRequest(SettingsCommand command, const SettingsRecord& record,
                                const MacBytes& x);

// The 46 bytes of a message: every separator, tag and value in place.
SettingsFrame Encode(const SettingsMessage& message);

// A datagram of at least a record's length that starts with '$'; the
// separators, tags and anything past the record are not looked at. A
// shorter datagram is nothing: its values would be guesses.
std::optional<SettingsMessage> Decode(std::span<const std::uint8_t> datagram);

}  // namespace protocol
