// Modbus TCP as lampd reads it from a stranger: one request at a time,
// framed by its MBAP header (transaction, protocol 0, length, unit) and
// never longer than 260 bytes, so a connection keeps at most one request's
// bytes; and the four functions lampd answers (read holding and input
// registers, write one and many) parsed from their PDU, each of its exact
// length. Pure: the server feeds bytes, the register map decides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

namespace lampd {

namespace modbus {

inline constexpr std::size_t kHeaderSize = 7;    // transaction 2, protocol 2, length 2, unit 1
inline constexpr std::size_t kLongestAdu = 260;  // header and a PDU of 253 bytes
inline constexpr std::uint16_t kMostRead = 125;  // registers one read may ask for
inline constexpr std::uint16_t kMostWritten = 123;

enum Function : std::uint8_t {
  kReadHolding = 3,
  kReadInput = 4,
  kWriteOne = 6,
  kWriteMany = 16,
};

enum Exception : std::uint8_t {
  kIllegalFunction = 1,
  kIllegalAddress = 2,
  kIllegalValue = 3,
  kDeviceFailure = 4,
  kBusy = 6,
};

}  // namespace modbus

// Gathers one request's bytes: the header first, then as many as its
// length field says.
class ModbusReader {
 public:
  enum class State { kMore, kDone, kFailed };

  // Takes bytes up to the end of one request; `used` tells how many.
  State Feed(std::span<const std::uint8_t> bytes, std::size_t& used);
  // The whole request (header included) once Feed said kDone.
  std::span<const std::uint8_t> Adu() const { return {buffer_.data(), size_}; }
  // Why the stream cannot be read on: it is closed, never answered.
  const std::string& FailReason() const { return why_; }
  bool Started() const { return size_ > 0; }
  // Ready for the next request.
  void Next();

 private:
  std::array<std::uint8_t, modbus::kLongestAdu> buffer_{};
  std::size_t size_ = 0;
  std::size_t expected_ = 0;  // once the header is in
  State state_ = State::kMore;
  std::string why_;
};

struct ModbusRequest {
  std::uint16_t transaction = 0;
  std::uint8_t unit = 0;  // the unit identifier: echoed, whatever it is
  std::uint8_t function = 0;
  std::uint16_t address = 0;
  std::uint16_t count = 0;                                   // registers read or written
  std::array<std::uint16_t, modbus::kMostWritten> values{};  // written, `count` of them
};

// The request in a whole ADU, or the exception its answer carries.
std::variant<ModbusRequest, modbus::Exception> ParseModbusRequest(
    std::span<const std::uint8_t> adu);

// The exception answer to a whole ADU: its header echoed with a length of
// 3, the function with its high bit set (a function of 128 or more keeps
// that bit: it never reads as another function's normal answer), the code.
std::array<std::uint8_t, modbus::kHeaderSize + 2> ExceptionAdu(std::span<const std::uint8_t> adu,
                                                               modbus::Exception exception);

}  // namespace lampd
