// lampd's Modbus register map: slot s owns the 16 registers from 16*s.
// Holding registers 0-4 are the lamps, 5 the sound (65535: leave as it is),
// 6 the priority of the slot's writes, 7 their hold in seconds (0: they set
// the baseline), 8 an action (1 reset, 2 clear the slot's lease, 3
// acknowledge the unit's calls). Input
// registers tell what the unit shows, whether it is online, its model and
// its live leases; a group slot its members online and its members; slot
// 0 this instance. Pure: what a request reads, or the commands a write
// makes and the exception when it is refused (nothing stored then).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <variant>
#include <vector>

#include "lampd/core/command.h"
#include "modbus_request.h"

namespace lampd {

namespace modbus {

inline constexpr int kRegistersPerSlot = 16;
inline constexpr int kMostSlot = 4095;
inline constexpr std::uint16_t kUnknown = 0xFFFF;  // never written, never read, or leave as it is
inline constexpr int kPriorityRegister = 6, kHoldRegister = 7, kActionRegister = 8;
inline constexpr std::uint16_t kActionReset = 1, kActionClear = 2, kActionAcknowledge = 3;

using Block = std::array<std::uint16_t, kRegistersPerSlot>;

// What the input registers of a unit's slot tell.
struct UnitView {
  std::optional<protocol::LampCodes> shown;  // the lamps and sound of its last reply
  bool online = false;
  std::optional<int> model;
  std::size_t leases = 0;
};
Block UnitInputs(const UnitView& unit);
Block GroupInputs(std::size_t online, std::size_t members);
// Slot 0: units served here, of them online, whether the broker is connected.
Block StatusInputs(std::size_t served, std::size_t online, bool broker);

// The source of a slot's leases: "modbus:<slot>".
std::string SlotSource(int slot);

}  // namespace modbus

struct ModbusAnswer {
  std::optional<modbus::Exception> exception;
  std::vector<std::uint16_t> registers;  // what a read gives
  int slot = 0;                          // what a write wrote to
  std::vector<Command> commands;         // what it asks of the slot's target, in order
};

class ModbusMap {
 public:
  // `slots`: the slot numbers mapped (1 to 4095).
  ModbusMap(const std::vector<int>& slots, bool readOnly);

  // `inputs(slot)` tells a slot's input registers (slot 0 included).
  ModbusAnswer Handle(const ModbusRequest& request,
                      const std::function<modbus::Block(int slot)>& inputs);

 private:
  struct Holding {
    // Lamps and sound never written, priority 5, hold 0.
    std::array<std::uint16_t, 8> written = {
        modbus::kUnknown, modbus::kUnknown, modbus::kUnknown, modbus::kUnknown,
        modbus::kUnknown, modbus::kUnknown, kDefaultPriority, 0};
  };
  ModbusAnswer Write(const ModbusRequest& request, int slot, int offset);

  std::map<int, Holding> slots_;
  bool readOnly_;
};

}  // namespace lampd
