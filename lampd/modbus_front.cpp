// Modbus: a PLC's registers onto the one command path. A write is answered
// as soon as its commands are taken (a scan does not wait for the unit);
// what the unit then shows is in the input registers once it has answered.
// A command refused at once is answered with an exception: 06 when the
// unit has too many commands waiting, 0A when no instance serves it.
#include <algorithm>

#include "protocol/text_format.h"
#include "service.h"

namespace lampd {
namespace {

constexpr auto kGatewayPathUnavailable = static_cast<modbus::Exception>(0x0A);

}  // namespace

bool Service::StartModbus(std::string& error) {
  std::vector<int> numbers;
  for (const ModbusSlot& slot : config_.modbus.slots) {
    slots_[slot.number] = &slot;
    numbers.push_back(slot.number);
    if (slot.kind == ModbusSlot::Kind::kUnit) slotsById_.emplace(slot.name, slot.number);
    if (slot.kind == ModbusSlot::Kind::kMac) {
      slotsById_.emplace(IdOf(slot.mac), slot.number);
      slotsByMac_.emplace(slot.mac, slot.number);
    }
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
  if (const auto seen = slotsElsewhere_.find(slot.number); seen != slotsElsewhere_.end()) {
    return seen->second.id;
  }
  return IdOf(slot.mac);
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
  const auto found = units_.find(SlotUnitId(slot));
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
  if (const auto seen = slotsElsewhere_.find(number); seen != slotsElsewhere_.end()) {
    return modbus::UnitInputs(seen->second.view);
  }
  return modbus::UnitInputs({});
}

std::vector<int> Service::SlotsNaming(const std::string& id,
                                      const std::optional<protocol::MacBytes>& mac) {
  std::vector<int> numbers;
  const auto [first, last] = slotsById_.equal_range(id);
  for (auto it = first; it != last; ++it) numbers.push_back(it->second);
  if (mac) {
    const auto [from, to] = slotsByMac_.equal_range(*mac);
    for (auto it = from; it != to; ++it) {
      if (std::find(numbers.begin(), numbers.end(), it->second) != numbers.end()) continue;
      const int number = it->second;
      numbers.push_back(number);
      // Another instance serves it by an id of its own: known by that id
      // from now on, and only by the latest such.
      const std::string own = IdOf(*mac);
      std::erase_if(slotsById_, [&](const auto& entry) {
        return entry.second == number && entry.first != own;
      });
      slotsById_.emplace(id, number);
    }
  }
  return numbers;
}

void Service::ModbusSeeState(const std::string& id, const Json& state) {
  std::optional<protocol::MacBytes> mac;
  protocol::MacBytes bytes{};
  if (const auto named = state.find("mac"); named != state.end() && named->is_string() &&
                                            protocol::ParseMac(named->get<std::string>(), bytes)) {
    mac = bytes;
  }
  for (const int number : SlotsNaming(id, mac)) {
    SlotElsewhere& seen = slotsElsewhere_[number];
    const bool online = seen.id == id && seen.view.online;
    seen.id = id;
    seen.view = {};
    seen.view.online = online;
    protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
    std::string why;
    if (state.contains("lamps") && CodesOf(state, codes, why)) seen.view.shown = codes;
    if (const auto model = state.find("model");
        model != state.end() && model->is_number_integer()) {
      seen.view.model = model->get<int>();
    }
    if (const auto leases = state.find("leases"); leases != state.end() && leases->is_array()) {
      seen.view.leases = leases->size();
    }
  }
}

void Service::ModbusSeeAvailability(const std::string& id, std::string_view payload) {
  const auto found = units_.find(id);
  if (found != units_.end() && found->second.Serving()) return;
  for (const int number : SlotsNaming(id, std::nullopt)) {
    SlotElsewhere& seen = slotsElsewhere_[number];
    if (seen.id != id) seen = {id, {}};
    seen.view.online = payload == "online";
  }
}

}  // namespace lampd
