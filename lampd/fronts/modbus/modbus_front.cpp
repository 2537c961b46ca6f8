// Modbus: a PLC's registers onto the one command path. A write is answered
// as soon as its commands are taken (a scan does not wait for the unit);
// what the unit then shows is in the input registers once it has answered.
// A command refused at once is answered with an exception: 06 when the
// unit has too many commands waiting, 0A when no instance serves it.
#include "modbus_front.h"

#include <algorithm>

#include "protocol/text_format.h"

namespace lampd {
namespace {

constexpr auto kGatewayPathUnavailable = static_cast<modbus::Exception>(0x0A);

std::vector<int> Numbers(const ModbusConfig& config) {
  std::vector<int> numbers;
  for (const ModbusSlot& slot : config.slots) numbers.push_back(slot.number);
  return numbers;
}

}  // namespace

ModbusFront::ModbusFront(platform::EventLoop& loop, const ModbusConfig& config, LogLimiter& log,
                         Plant& plant)
    : config_(config),
      log_(log),
      plant_(plant),
      map_(Numbers(config), config.readOnly),
      server_(loop, config, log,
              [this](const ModbusRequest& request, const protocol::IpBytes& client) {
                return Answer(request, client);
              }) {
  for (const ModbusSlot& slot : config_.slots) {
    slots_[slot.number] = &slot;
    if (slot.kind == ModbusSlot::Kind::kMac) slotsByMac_.emplace(slot.mac, slot.number);
  }
}

bool ModbusFront::Start(std::string& error) {
  if (!server_.Start(error)) return false;
  Log("Modbus on " + config_.listen + ", " + std::to_string(slots_.size()) + " slot(s)" +
      (config_.readOnly ? ", read only" : ""));
  return true;
}

void ModbusFront::Stop() { server_.Stop(); }

void ModbusFront::WriteMetrics(MetricsText& out) const { server_.WriteMetrics(out); }

std::string ModbusFront::SlotUnitId(const ModbusSlot& slot) const {
  if (slot.kind == ModbusSlot::Kind::kUnit) return slot.name;
  if (auto known = plant_.IdOfMac(slot.mac)) return *known;
  const auto learned = slotIds_.find(slot.number);
  return learned != slotIds_.end() ? learned->second : IdOf(slot.mac);
}

ModbusAnswer ModbusFront::Answer(const ModbusRequest& request, const protocol::IpBytes& client) {
  ModbusAnswer answer = map_.Handle(request, [this](int slot) { return Inputs(slot); });
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
    plant_.Submit(std::move(submitted), [this, refusal, what](Outcome outcome) {
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

modbus::Block ModbusFront::Inputs(int number) {
  if (number == 0) {
    const Plant::Summary plant = plant_.LookAtPlant();
    return modbus::StatusInputs(plant.served, plant.online, plant.broker);
  }
  const ModbusSlot& slot = *slots_.at(number);
  if (slot.kind == ModbusSlot::Kind::kGroup) {
    const auto group =
        plant_.LookAtGroup(slot.name).value_or(std::pair<std::size_t, std::size_t>{});
    return modbus::GroupInputs(group.second, group.first);
  }
  // A unit served here, or another instance's as its state tells it.
  modbus::UnitView view;
  if (const auto unit = plant_.Look(SlotUnitId(slot))) {
    view.shown = unit->shown;
    view.model = unit->model;
    view.online = unit->online;
    view.leases = unit->leases;
  }
  return modbus::UnitInputs(view);
}

void ModbusFront::OnPeerState(const std::string& id, const Json& state) {
  if (slotsByMac_.empty()) return;
  protocol::MacBytes mac{};
  const std::string instance = TextOf(state, "instance");
  const bool named = TextOf(state, "id") == id && !instance.empty() &&
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
  if (const auto known = plant_.Look(id);
      known && (known->servedHere || (known->mac && *known->mac != mac))) {
    return;
  }
  // Another instance serves it by an id of its own: a slot naming its MAC
  // address reaches it by that id from now on.
  const auto [first, last] = slotsByMac_.equal_range(mac);
  for (auto it = first; it != last; ++it) slotIds_[it->second] = id;
}

}  // namespace lampd
