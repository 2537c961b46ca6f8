// The settings record as the dialog holds it: texts in its edit fields and
// four bytes in each address field, read leniently as the dialog always
// has. The record itself (numbers, the 46 bytes) is protocol's; this turns
// the fields into a request and a reply back into fields.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "protocol/settings_frame.h"

namespace netassign {

// Each datagram is taken into an area three bytes longer than a record; a
// longer one is cut to it.
inline constexpr int kReceiveBufferSize = 49;

// What a request carries from the dialog's fields.
struct SettingsFields {
  std::string macText;  // the selected MAC list entry, empty when none
  protocol::IpBytes ipAddress{}, subnetMask{}, gateway{};
  std::string portText, mtText, maText;
};

// Fills `frame` for a request in place. FindMac fills only the fixed
// positions; the value positions keep what the previous request left, and
// so do the bytes of a dotted text that its pieces do not reach.
void BuildSettingsFrame(protocol::SettingsFrame& frame, protocol::SettingsCommand command,
                        const SettingsFields& fields);

// Dotted decimal text into up to `count` bytes from `offset`: "0.80.194.1.2.255".
// Bytes no piece reaches keep their content; empty text stores one 0.
void ParseDottedBytes(std::span<std::uint8_t> bytes, int offset, int count,
                      const std::string& text);

// A reply as the dialog shows it.
struct DecodedReply {
  enum Kind { kNotDecoded, kMacAnswer, kReadReply } kind = kNotDecoded;
  protocol::SettingsRecord record;  // as numbers
  std::string macText;              // both kinds
  protocol::IpBytes ipAddress{}, subnetMask{}, gateway{};
  std::string portText, mtText;
};

// Decodes a received datagram. Only a whole record is decoded: a shorter
// datagram would otherwise be read with bytes that another one left behind.
DecodedReply DecodeReply(std::span<const std::uint8_t> datagram);

}  // namespace netassign
