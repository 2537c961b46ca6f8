#include "settings_fields.h"

#include "protocol/decimal_text.h"
#include "protocol/text_format.h"

namespace netassign {

using protocol::SettingsCommand;
using protocol::SettingsFrame;

void BuildSettingsFrame(SettingsFrame& frame, SettingsCommand command,
                        const SettingsFields& fields) {
  // The previous request's values, as its bytes hold them (zeros before the first).
  protocol::SettingsMessage previous;
  if (const auto decoded = protocol::Decode(frame)) previous = *decoded;
  protocol::SettingsRecord record = previous.record;
  protocol::MacBytes x = previous.x;
  if (command != protocol::FindMac) {
    ParseDottedBytes(record.mac, 0, protocol::kMacSize, fields.macText);
    record.ipAddress = fields.ipAddress;
    record.subnetMask = fields.subnetMask;
    record.gateway = fields.gateway;
    record.port = static_cast<std::uint16_t>(protocol::DecimalTextToInt(fields.portText) & 0xFFFF);
    record.t = static_cast<std::uint8_t>(protocol::DecimalTextToInt(fields.mtText) & 0xFF);
    ParseDottedBytes(x, 0, protocol::kMacSize, fields.maText);
  }
  frame = protocol::Encode(protocol::SettingsRequest(command, record, x));
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
    bytes[offset + i] = static_cast<std::uint8_t>(protocol::DecimalTextToInt(piece) & 0xFF);
    ++i;
    piece.clear();
  }
  if (i < count) {
    bytes[offset + i] = static_cast<std::uint8_t>(protocol::DecimalTextToInt(piece) & 0xFF);
  }
}

DecodedReply DecodeReply(std::span<const std::uint8_t> datagram) {
  DecodedReply reply;
  const auto message = protocol::Decode(datagram);
  if (!message || !(message->AnswersFind() || message->IsReadReply())) return reply;
  const protocol::SettingsRecord& record = message->record;
  reply.record = record;
  reply.macText = protocol::DottedText(record.mac);
  if (message->AnswersFind()) {
    reply.kind = DecodedReply::kMacAnswer;
    return reply;
  }
  reply.kind = DecodedReply::kReadReply;
  reply.ipAddress = record.ipAddress;
  reply.subnetMask = record.subnetMask;
  reply.gateway = record.gateway;
  reply.portText = std::to_string(record.port);
  reply.mtText = std::to_string(record.t);
  return reply;
}

}  // namespace netassign
