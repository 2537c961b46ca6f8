#include "modbus_request.h"

#include <algorithm>

namespace lampd {
namespace {

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

}  // namespace

ModbusReader::State ModbusReader::Feed(std::span<const std::uint8_t> bytes, std::size_t& used) {
  used = 0;
  if (state_ != State::kMore) return state_;
  while (used < bytes.size()) {
    const std::size_t wanted = (expected_ == 0 ? modbus::kHeaderSize : expected_) - size_;
    const std::size_t taken = std::min(wanted, bytes.size() - used);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(used), taken, buffer_.begin() + size_);
    size_ += taken;
    used += taken;
    if (size_ < modbus::kHeaderSize) return state_;
    if (expected_ == 0) {
      const std::span<const std::uint8_t> header(buffer_.data(), modbus::kHeaderSize);
      const std::uint16_t protocol = Word(header, 2), length = Word(header, 4);
      if (protocol != 0) {
        why_ = "protocol identifier " + std::to_string(protocol) + ", not 0 (Modbus)";
        return state_ = State::kFailed;
      }
      // The length counts the unit identifier and the PDU: a function code at least.
      if (length < 2 || modbus::kHeaderSize - 1 + length > modbus::kLongestAdu) {
        why_ = "length field " + std::to_string(length) + ": a request is 2 to " +
               std::to_string(modbus::kLongestAdu - modbus::kHeaderSize + 1) + " bytes long";
        return state_ = State::kFailed;
      }
      expected_ = modbus::kHeaderSize - 1 + length;
    }
    if (size_ == expected_) return state_ = State::kDone;
  }
  return state_;
}

void ModbusReader::Next() {
  size_ = 0;
  expected_ = 0;
  state_ = State::kMore;
}

std::variant<ModbusRequest, modbus::Exception> ParseModbusRequest(
    std::span<const std::uint8_t> adu) {
  ModbusRequest request;
  request.transaction = Word(adu, 0);
  request.unit = adu[6];
  request.function = adu[7];
  const std::span<const std::uint8_t> pdu = adu.subspan(modbus::kHeaderSize);
  switch (request.function) {
    case modbus::kReadHolding:
    case modbus::kReadInput:
      if (pdu.size() != 5) return modbus::kIllegalValue;
      request.address = Word(pdu, 1);
      request.count = Word(pdu, 3);
      if (request.count < 1 || request.count > modbus::kMostRead) return modbus::kIllegalValue;
      break;
    case modbus::kWriteOne:
      if (pdu.size() != 5) return modbus::kIllegalValue;
      request.address = Word(pdu, 1);
      request.count = 1;
      request.values[0] = Word(pdu, 3);
      break;
    case modbus::kWriteMany: {
      if (pdu.size() < 6) return modbus::kIllegalValue;
      request.address = Word(pdu, 1);
      request.count = Word(pdu, 3);
      const std::size_t bytes = pdu[5];
      if (request.count < 1 || request.count > modbus::kMostWritten ||
          bytes != 2u * request.count || pdu.size() != 6 + bytes) {
        return modbus::kIllegalValue;
      }
      for (std::size_t i = 0; i < request.count; ++i) request.values[i] = Word(pdu, 6 + 2 * i);
      break;
    }
    default:
      return modbus::kIllegalFunction;
  }
  // Past the last register there is none.
  if (request.address + request.count > 0x10000) return modbus::kIllegalAddress;
  return request;
}

std::array<std::uint8_t, modbus::kHeaderSize + 2> ExceptionAdu(std::span<const std::uint8_t> adu,
                                                               modbus::Exception exception) {
  // Transaction, protocol and unit as asked; a PDU of two bytes.
  return {adu[0],
          adu[1],
          adu[2],
          adu[3],
          0,
          3,
          adu[6],
          static_cast<std::uint8_t>(adu[7] | 0x80),
          static_cast<std::uint8_t>(exception)};
}

}  // namespace lampd
