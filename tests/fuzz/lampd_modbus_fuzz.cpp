// What anyone who reaches lampd's Modbus port may send: a stream of bytes,
// cut into requests by their headers, each answered by the register map of
// two slots. No request is longer than 260 bytes; a write refused stores
// nothing (the next read gives what was there); a command names only
// lamps and sound codes a unit takes, with a priority 0-9.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "lampd/fronts/modbus/modbus_map.h"
#include "lampd/fronts/modbus/modbus_request.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

lampd::modbus::Block Inputs(int slot) {
  lampd::modbus::Block block{};
  block.fill(static_cast<std::uint16_t>(slot));
  return block;
}

std::vector<std::uint16_t> Holding(lampd::ModbusMap& map, int slot) {
  lampd::ModbusRequest read;
  read.function = lampd::modbus::kReadHolding;
  read.address = static_cast<std::uint16_t>(slot * lampd::modbus::kRegistersPerSlot);
  read.count = lampd::modbus::kRegistersPerSlot;
  return map.Handle(read, Inputs).registers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  lampd::ModbusMap map({1, 4095}, size > 0 && data[0] == 0xFF);
  lampd::ModbusReader reader;
  std::span<const std::uint8_t> rest(data, size);
  while (!rest.empty()) {
    std::size_t used = 0;
    const auto state = reader.Feed(rest, used);
    Check(used <= rest.size());
    rest = rest.subspan(used);
    if (state == lampd::ModbusReader::State::kFailed) {
      Check(!reader.FailReason().empty());
      break;
    }
    if (state == lampd::ModbusReader::State::kMore) {
      Check(rest.empty());
      break;
    }
    const auto adu = reader.Adu();
    Check(adu.size() > lampd::modbus::kHeaderSize && adu.size() <= lampd::modbus::kLongestAdu);
    const auto parsed = lampd::ParseModbusRequest(adu);
    if (const auto* request = std::get_if<lampd::ModbusRequest>(&parsed)) {
      const int slot = request->address / lampd::modbus::kRegistersPerSlot;
      const bool mapped = slot == 1 || slot == 4095;
      const auto before = mapped ? Holding(map, slot) : std::vector<std::uint16_t>{};
      const lampd::ModbusAnswer answer = map.Handle(*request, Inputs);
      if (answer.exception) {
        Check(answer.commands.empty() && answer.registers.empty());
        if (mapped) Check(Holding(map, slot) == before);
      } else if (request->function == lampd::modbus::kReadHolding ||
                 request->function == lampd::modbus::kReadInput) {
        Check(answer.registers.size() == request->count);
      }
      for (const lampd::Command& command : answer.commands) {
        Check(command.priority >= 0 && command.priority <= 9);
        for (int field = 0; field < protocol::kLampCount; ++field) {
          Check(command.codes[field] <= protocol::kLampBlink ||
                command.codes[field] == protocol::kLeaveUnchanged);
        }
        Check(command.codes[protocol::kSoundLamp] <= 5 ||
              command.codes[protocol::kSoundLamp] == protocol::kLeaveUnchanged);
      }
    }
    reader.Next();
  }
  return 0;
}
