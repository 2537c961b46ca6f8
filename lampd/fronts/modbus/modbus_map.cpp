#include "modbus_map.h"

#include <algorithm>

namespace lampd {
namespace modbus {

Block UnitInputs(const UnitView& unit) {
  Block block{};
  for (std::size_t field = 0; field <= protocol::kLampCount; ++field) {
    block[field] = unit.shown ? (*unit.shown)[field] : kUnknown;
  }
  block[6] = unit.online ? 1 : 0;
  block[7] = unit.model ? static_cast<std::uint16_t>(*unit.model) : kUnknown;
  block[8] = static_cast<std::uint16_t>(std::min<std::size_t>(unit.leases, 0xFFFF));
  return block;
}

Block GroupInputs(std::size_t online, std::size_t members) {
  Block block;
  block.fill(kUnknown);
  block[6] = static_cast<std::uint16_t>(std::min<std::size_t>(online, 0xFFFF));
  block[7] = static_cast<std::uint16_t>(std::min<std::size_t>(members, 0xFFFF));
  return block;
}

Block StatusInputs(std::size_t served, std::size_t online, bool broker) {
  Block block{};
  block[0] = static_cast<std::uint16_t>(std::min<std::size_t>(served, 0xFFFF));
  block[1] = static_cast<std::uint16_t>(std::min<std::size_t>(online, 0xFFFF));
  block[2] = broker ? 1 : 0;
  return block;
}

std::string SlotSource(int slot) { return "modbus:" + std::to_string(slot); }

}  // namespace modbus

namespace {

using namespace modbus;

bool ValueFits(int offset, std::uint16_t value) {
  if (offset < protocol::kLampCount) return value <= protocol::kLampBlink || value == kUnknown;
  if (offset == protocol::kSoundLamp) return value <= 5 || value == kUnknown;
  if (offset == kPriorityRegister) return value <= 9;
  if (offset == kHoldRegister) return true;  // up to 18 hours
  return value == 0 || value == kActionReset || value == kActionClear ||
         value == kActionAcknowledge;
}

}  // namespace

ModbusMap::ModbusMap(const std::vector<int>& slots, bool readOnly) : readOnly_(readOnly) {
  for (int slot : slots) slots_.emplace(slot, Holding{});
}

ModbusAnswer ModbusMap::Handle(const ModbusRequest& request,
                               const std::function<Block(int slot)>& inputs) {
  ModbusAnswer answer;
  const bool write = request.function == kWriteOne || request.function == kWriteMany;
  if (write && readOnly_) {
    answer.exception = kIllegalFunction;
    return answer;
  }
  // One request, one slot: its first and last register in the same 16.
  const int slot = request.address / kRegistersPerSlot;
  const int offset = request.address % kRegistersPerSlot;
  const bool inputRead = request.function == kReadInput;
  if ((request.address + request.count - 1) / kRegistersPerSlot != slot ||
      (!(inputRead && slot == 0) && !slots_.contains(slot))) {
    answer.exception = kIllegalAddress;
    return answer;
  }
  answer.slot = slot;
  if (write) return Write(request, slot, offset);
  Block block{};
  if (inputRead) {
    block = inputs(slot);
  } else {
    const Holding& holding = slots_.at(slot);
    std::copy(holding.written.begin(), holding.written.end(), block.begin());
  }
  answer.registers.assign(block.begin() + offset, block.begin() + offset + request.count);
  return answer;
}

ModbusAnswer ModbusMap::Write(const ModbusRequest& request, int slot, int offset) {
  ModbusAnswer answer;
  answer.slot = slot;
  if (offset + request.count > kActionRegister + 1) {
    answer.exception = kIllegalAddress;  // 9 to 15 are kept free
    return answer;
  }
  for (int i = 0; i < request.count; ++i) {
    if (!ValueFits(offset + i, request.values[i])) {
      answer.exception = kIllegalValue;
      return answer;
    }
  }
  Holding& holding = slots_.at(slot);
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  std::optional<std::uint16_t> action;
  for (int i = 0; i < request.count; ++i) {
    const int at = offset + i;
    const std::uint16_t value = request.values[i];
    if (at == kActionRegister) {
      action = value;
      continue;
    }
    holding.written[at] = value;
    if (at <= protocol::kSoundLamp && value != kUnknown) {
      codes[at] = static_cast<std::uint8_t>(value);
    }
  }
  const std::string source = SlotSource(slot);
  if (codes != protocol::kLeaveAllUnchanged) {
    Command command;
    command.codes = codes;
    command.priority = holding.written[kPriorityRegister];
    command.source = source;
    if (const int hold = holding.written[kHoldRegister]; hold > 0) {
      command.lease = std::chrono::seconds(hold);
    }
    answer.commands.push_back(command);
  }
  if (action == kActionReset) {
    Command command;
    command.reset = true;
    command.source = source;
    answer.commands.push_back(command);
  } else if (action == kActionClear) {
    Command command;
    command.clear = source;
    command.source = source;
    answer.commands.push_back(command);
  } else if (action == kActionAcknowledge) {
    Command command;
    command.ack.emplace(source, "");
    command.source = source;
    answer.commands.push_back(command);
  }
  return answer;
}

}  // namespace lampd
