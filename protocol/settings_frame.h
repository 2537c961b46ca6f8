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
#include <string>

namespace protocol {

// Requests go to the units' UDP port; every unit answers to the requester's reply port.
inline constexpr std::uint16_t kSettingsPort = 50000;
inline constexpr std::uint16_t kSettingsReplyPort = 50001;

inline constexpr int kSettingsFrameSize = 46;
inline constexpr int kReceiveBufferSize = 49;

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

enum SettingsCommand { FindMac = 1, Read = 2, Write = 3, Sett = 4 };

// What a request carries from the dialog's fields.
struct SettingsFields {
  std::string macText;  // the selected MAC list entry, empty when none
  IpBytes ipAddress{}, subnetMask{}, gateway{};
  std::string portText, mtText, maText;
};

// Fills `frame` for a request in place. FindMac fills only the fixed
// positions; the value positions keep what the previous request left.
void BuildSettingsFrame(SettingsFrame& frame, SettingsCommand command,
                        const SettingsFields& fields);

// Dotted decimal text into up to `count` bytes from `offset`: "0.80.194.1.2.255".
// Bytes no piece reaches keep their content; empty text stores one 0.
void ParseDottedBytes(std::span<std::uint8_t> bytes, int offset, int count,
                      const std::string& text);

// `count` bytes from `offset` as dotted decimal text.
std::string FormatDottedBytes(std::span<const std::uint8_t> bytes, int offset, int count);

// A reply as the dialog shows it.
struct DecodedReply {
  enum Kind { kNotDecoded, kMacAnswer, kReadReply } kind = kNotDecoded;
  std::string macText;  // both kinds
  IpBytes ipAddress{}, subnetMask{}, gateway{};
  std::string portText, mtText;
};

// Every value of a whole record, as numbers, whatever its command letters.
struct SettingsRecord {
  char command[2] = {0, 0};  // "MR", "IR", "IW"
  MacBytes mac{};
  IpBytes ipAddress{}, subnetMask{}, gateway{};
  std::uint16_t port = 0;
  std::uint8_t t = 0;
};

// A datagram of at least a record's length that starts with '$'.
std::optional<SettingsRecord> ReadRecord(std::span<const std::uint8_t> datagram);

// The fields a request needs to carry `record`'s values (texts as the
// dialog would hold them), its MAC address also as the X value.
SettingsFields FieldsOf(const SettingsRecord& record);

// Decodes a received datagram. Only a whole record is decoded: a shorter
// datagram would otherwise be read with bytes that another one left behind.
DecodedReply DecodeReply(std::span<const std::uint8_t> datagram);

}  // namespace protocol
