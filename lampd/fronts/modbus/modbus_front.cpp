// Modbus: a PLC's registers onto the one command path. A write is answered
// as soon as its commands are taken (a scan does not wait for the unit);
// what the unit then shows is in the input registers once it has answered.
// A command refused at once is answered with an exception: 06 when the
// unit has too many commands waiting, 0A when no instance serves it.
#include <algorithm>

#include "lampd/core/service.h"
#include "protocol/text_format.h"

namespace lampd {
namespace {

constexpr auto kGatewayPathUnavailable = static_cast<modbus::Exception>(0x0A);

}  // namespace

bool Service::StartModbus(std::string& error) {
  std::vector<int> numbers;
  for (const ModbusSlot& slot : config_.modbus.slots) {
    slots_[slot.number] = &slot;
    numbers.push_back(slot.number);
    if (slot.kind == ModbusSlot::Kind::kMac) slotsByMac_.emplace(slot.mac, slot.number);
  }
  modbusMap_ = std::make_unique<ModbusMap>(numbers, config_.modbus.readOnly);
  modbus_ = std::make_unique<ModbusServer>(
      loop_, config_.modbus, log_,
      [this](const ModbusRequest& request, const protocol::IpBytes& client) {
        return OnModbus(request, client);
      });
  if (!modbus_->Start(error)) return false;
  Log("Modbus on " + config_.modbus.listen + ", " + std::to_string(numbers.size()) + " slot(s)" +
      (config_.modbus.readOnly ? ", read only" : ""));
  return true;
}

std::string Service::SlotUnitId(const ModbusSlot& slot) const {
  if (slot.kind == ModbusSlot::Kind::kUnit) return slot.name;
  for (const auto& [id, unit] : units_) {
    if (unit.mac == slot.mac) return id;
  }
  const auto learned = slotIds_.find(slot.number);
  return learned != slotIds_.end() ? learned->second : IdOf(slot.mac);
}

ModbusAnswer Service::OnModbus(const ModbusRequest& request, const protocol::IpBytes& client) {
  ModbusAnswer answer =
      modbusMap_->Handle(request, [this](int slot) { return ModbusInputs(slot); });
  if (answer.exception || answer.commands.empty()) return answer;
  const ModbusSlot& slot = *slots_.at(answer.slot);
  for (Command& command : answer.commands) {
    Request submitted;
    submitted.target =
        slot.kind == ModbusSlot::Kind::kGroup ? Request::Target::kGroup : Request::Target::kUnit;
    submitted.name = slot.kind == ModbusSlot::Kind::kGroup ? slot.name : SlotUnitId(slot);
    submitted.command = std::move(command);
    submitted.origin = Origin::kModbus;
    submitted.client = protocol::DottedText(client);
    auto refusal = std::make_shared<std::optional<Outcome>>();
    const std::string what = "Modbus slot " + std::to_string(slot.number) + " (" + slot.text +
                             ") from " + submitted.client;
    Submit(std::move(submitted), [this, refusal, what](Outcome outcome) {
      if (outcome.refusal != Outcome::Refusal::kNone) {
        log_.Say("modbus refused", what + ": refused: " + outcome.why);
        *refusal = std::move(outcome);
        return;
      }
      for (const auto& [id, why] : outcome.failed) {
        log_.Say("modbus failed", what + ": unit " + id + ": " + why);
      }
    });
    if (*refusal) {
      answer.exception = (*refusal)->refusal == Outcome::Refusal::kUnknown ? kGatewayPathUnavailable
                                                                           : modbus::kBusy;
      return answer;
    }
  }
  return answer;
}

modbus::Block Service::ModbusInputs(int number) {
  if (number == 0) {
    std::size_t served = 0, online = 0;
    for (const auto& [id, unit] : units_) {
      if (!unit.Serving()) continue;
      ++served;
      if (unit.online == true) ++online;
    }
    return modbus::StatusInputs(served, online, mqtt_ && mqtt_->Connected());
  }
  const ModbusSlot& slot = *slots_.at(number);
  if (slot.kind == ModbusSlot::Kind::kGroup) {
    const GroupConfig* group = GroupNamed(slot.name);
    const std::vector<Unit*> members = group ? Members(*group) : std::vector<Unit*>{};
    const auto online = std::count_if(members.begin(), members.end(),
                                      [](const Unit* unit) { return unit->online == true; });
    return modbus::GroupInputs(static_cast<std::size_t>(online), members.size());
  }
  const std::string id = SlotUnitId(slot);
  const auto found = units_.find(id);
  if (found != units_.end() && found->second.Serving()) {
    const Unit& unit = found->second;
    modbus::UnitView view;
    if (unit.state) {
      view.shown = ShownCodes(*unit.state);
      view.model = (*unit.state)[protocol::kModelByte];
    } else {
      view.model = unit.model;
    }
    view.online = unit.online == true;
    view.leases = unit.signals.Leases().size();
    return modbus::UnitInputs(view);
  }
  // Another instance's unit, as its retained state tells it.
  modbus::UnitView view;
  const auto theirs = theirStates_.find(id);
  if (theirs == theirStates_.end()) return modbus::UnitInputs(view);
  const Json& state = theirs->second.state;
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  std::string why;
  if (state.contains("lamps") && CodesOf(state, codes, why)) view.shown = codes;
  if (const auto model = state.find("model"); model != state.end() && model->is_number_integer()) {
    view.model = model->get<int>();
  }
  if (const auto leases = state.find("leases"); leases != state.end() && leases->is_array()) {
    view.leases = leases->size();
  }
  view.online = TheirUnitOnline(theirs->second);
  return modbus::UnitInputs(view);
}

void Service::ModbusSeeState(const std::string& id, const Json& state) {
  if (slotsByMac_.empty()) return;
  protocol::MacBytes mac{};
  const bool named = TextOf(state, "id") == id && !TextOf(state, "instance").empty() &&
                     TextOf(state, "instance") != config_.name &&
                     protocol::ParseMac(TextOf(state, "mac"), mac);
  // A slot that reached its unit by this id no longer does when the id's
  // state names another MAC address, or none (put right, or taken away).
  std::erase_if(slotIds_, [&](const auto& entry) {
    return entry.second == id && (!named || slots_.at(entry.first)->mac != mac);
  });
  if (!named) return;
  // What this instance knows of the unit outweighs what a state says: a unit
  // reached here under this id with another MAC address, or one served here,
  // is not moved by a state on its topic.
  if (const auto known = units_.find(id);
      known != units_.end() &&
      (known->second.Serving() || (known->second.mac && *known->second.mac != mac))) {
    return;
  }
  // Another instance serves it by an id of its own: a slot naming its MAC
  // address reaches it by that id from now on.
  const auto [first, last] = slotsByMac_.equal_range(mac);
  for (auto it = first; it != last; ++it) slotIds_[it->second] = id;
}

}  // namespace lampd
