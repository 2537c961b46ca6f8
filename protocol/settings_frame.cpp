#include "settings_frame.h"

#include <algorithm>

#include "decimal_text.h"
#include "text_format.h"

namespace protocol {
namespace {

constexpr std::pair<int, std::uint8_t> kSeparatorsAndTags[] = {
    {3, ','},  {4, 'M'},  {11, ','}, {12, 'I'}, {17, ','}, {18, 'S'}, {23, ','},
    {24, 'G'}, {29, ','}, {30, 'P'}, {33, ','}, {34, 'T'}, {36, ','},
};

void PutIp(SettingsFrame& frame, int offset, const IpBytes& bytes) {
  for (int i = 0; i < 4; ++i) frame[offset + i] = bytes[i];
}

IpBytes TakeIp(std::span<const std::uint8_t> bytes, int offset) {
  return {bytes[offset], bytes[offset + 1], bytes[offset + 2], bytes[offset + 3]};
}

}  // namespace

void BuildSettingsFrame(SettingsFrame& frame, SettingsCommand command,
                        const SettingsFields& fields) {
  frame[0] = kStartMark;
  frame[kCommandOffset] = command == FindMac ? 'M' : 'I';
  frame[kCommandOffset + 1] = (command == Write || command == Sett) ? 'W' : 'R';
  for (const auto& [offset, value] : kSeparatorsAndTags) frame[offset] = value;
  frame[kXTagOffset] = command == Sett ? 'M' : 'X';

  if (command != FindMac) {
    ParseDottedBytes(frame, kMacOffset, kMacSize, fields.macText);
    PutIp(frame, kIpOffset, fields.ipAddress);
    PutIp(frame, kMaskOffset, fields.subnetMask);
    PutIp(frame, kGatewayOffset, fields.gateway);
    const std::int32_t port = DecimalTextToInt(fields.portText);
    frame[kPortOffset] = static_cast<std::uint8_t>((port >> 8) & 0xFF);
    frame[kPortOffset + 1] = static_cast<std::uint8_t>(port & 0xFF);
    frame[kTOffset] = static_cast<std::uint8_t>(DecimalTextToInt(fields.mtText) & 0xFF);
    ParseDottedBytes(frame, kXOffset, kMacSize, fields.maText);
  }

  frame[44] = '\r';
  frame[45] = '\n';
}

void ParseDottedBytes(std::span<std::uint8_t> bytes, int offset, int count,
                      const std::string& text) {
  std::string piece;
  int i = 0;
  for (char c : text) {
    if (i >= count) return;  // the rest of the text is ignored
    if (c != '.') {
      piece += c;
      continue;
    }
    bytes[offset + i] = static_cast<std::uint8_t>(DecimalTextToInt(piece) & 0xFF);
    ++i;
    piece.clear();
  }
  if (i < count) bytes[offset + i] = static_cast<std::uint8_t>(DecimalTextToInt(piece) & 0xFF);
}

std::string FormatDottedBytes(std::span<const std::uint8_t> bytes, int offset, int count) {
  return DottedText(bytes.subspan(offset, count));
}

std::optional<SettingsRecord> ReadRecord(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kSettingsFrameSize || datagram[0] != kStartMark) return std::nullopt;
  SettingsRecord record;
  record.command[0] = static_cast<char>(datagram[kCommandOffset]);
  record.command[1] = static_cast<char>(datagram[kCommandOffset + 1]);
  std::copy_n(datagram.begin() + kMacOffset, kMacSize, record.mac.begin());
  record.ipAddress = TakeIp(datagram, kIpOffset);
  record.subnetMask = TakeIp(datagram, kMaskOffset);
  record.gateway = TakeIp(datagram, kGatewayOffset);
  record.port = static_cast<std::uint16_t>(datagram[kPortOffset] * 256 + datagram[kPortOffset + 1]);
  record.t = datagram[kTOffset];
  return record;
}

SettingsFields FieldsOf(const SettingsRecord& record) {
  SettingsFields fields;
  fields.macText = DottedText(record.mac);
  fields.ipAddress = record.ipAddress;
  fields.subnetMask = record.subnetMask;
  fields.gateway = record.gateway;
  fields.portText = std::to_string(record.port);
  fields.mtText = std::to_string(record.t);
  fields.maText = fields.macText;
  return fields;
}

DecodedReply DecodeReply(std::span<const std::uint8_t> datagram) {
  DecodedReply reply;
  const auto record = ReadRecord(datagram);
  if (!record) return reply;
  if (record->command[0] == 'M') {
    reply.kind = DecodedReply::kMacAnswer;
    reply.macText = DottedText(record->mac);
  } else if (record->command[1] == 'R') {
    reply.kind = DecodedReply::kReadReply;
    reply.macText = DottedText(record->mac);
    reply.ipAddress = record->ipAddress;
    reply.subnetMask = record->subnetMask;
    reply.gateway = record->gateway;
    reply.portText = std::to_string(record->port);
    reply.mtText = std::to_string(record->t);
  }
  return reply;
}

}  // namespace protocol
