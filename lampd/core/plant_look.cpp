// The plant as the fronts see it: a unit, a group or the whole, looked at
// without reaching into the core; and what the listeners are told of a unit.
#include "protocol/text_format.h"
#include "service.h"

namespace lampd {

std::optional<UnitLook> Service::Look(const std::string& id) const {
  UnitLook look;
  const auto found = units_.find(id);
  if (found != units_.end() && found->second.Serving()) {
    const Unit& unit = found->second;
    look.servedHere = true;
    look.mac = unit.mac;
    if (unit.state) {
      look.shown = ShownCodes(*unit.state);
      look.model = (*unit.state)[protocol::kModelByte];
    } else {
      look.model = unit.model;
    }
    look.online = unit.online == true;
    look.leases = unit.signals.Leases().size();
    return look;
  }
  // Reached here while another instance serves it, or only seen in its state.
  if (found != units_.end()) {
    look.mac = found->second.mac;
    look.owner = owners_->NamedBy(id);
  }
  const auto theirs = owners_->TheirView(id);
  if (!theirs) return found != units_.end() ? std::optional(look) : std::nullopt;
  const Json& state = *theirs;
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  std::string why;
  if (state.contains("lamps") && CodesOf(state, codes, why)) look.shown = codes;
  if (const auto model = state.find("model"); model != state.end() && model->is_number_integer()) {
    look.model = model->get<int>();
  }
  if (const auto leases = state.find("leases"); leases != state.end() && leases->is_array()) {
    look.leases = leases->size();
  }
  look.online = state.value("online", false);
  return look;
}

Json Service::StateOf(const Unit& unit, bool withOnline) const {
  UnitFacts facts;
  facts.id = unit.id;
  facts.address = unit.address.Text();
  facts.instance = unit.Serving() ? config_.name : owners_->NamedBy(unit.id);
  facts.mac = unit.mac;
  facts.shown = unit.state;
  facts.signals = &unit.signals;
  if (withOnline) facts.online = unit.online.value_or(false);
  facts.alsoDrivenBy = owners_->AlsoDrivenBy(unit.id);
  return StateDocument(facts, ClockPair::Now());
}

void Service::TellState(Unit& unit) {
  unit.changed = false;
  Changed(unit.id);
  if (!unit.Serving()) return;
  owners_->Keep(unit.id, unit.signals);  // a baseline set, a step fired
  // Told once it is kept where another instance would find it, as it is then.
  if (unit.telling) return;
  unit.telling = true;
  owners_->AfterKept(unit.id, [this, id = unit.id] {
    const auto found = units_.find(id);
    if (found == units_.end()) return;
    Unit& told = found->second;
    told.telling = false;
    if (!told.state || !told.Serving()) return;
    const Json state = StateOf(told, false);
    for (PlantListener* listener : listeners_) listener->OnUnitState(id, state);
  });
}

void Service::TellAvailability(Unit& unit, bool online) {
  if (unit.online != online) {
    Record({.unit = unit.id, .kind = online ? "online" : "offline"});
    Changed(unit.id);
    if (unit.Serving()) owners_->Answers(unit.id, online);
  }
  unit.online = online;
  if (!unit.Serving()) return;
  for (PlantListener* listener : listeners_) listener->OnUnitAvailability(unit.id, online);
}

Plant::Reach Service::Reaches(const std::string& id) const {
  const auto found = units_.find(id);
  if (found != units_.end() && found->second.role != Role::kStandby) return Reach::kHere;
  return owners_->ServedElsewhereBy(id).empty() ? Reach::kNowhere : Reach::kElsewhere;
}

std::optional<Json> Service::State(const std::string& id) const {
  const auto found = units_.find(id);
  if (found == units_.end() || found->second.role == Role::kStandby) return std::nullopt;
  return StateOf(found->second, true);
}

Json Service::States() const {
  Json units = Json::array();
  for (const auto& [id, unit] : units_) {
    if (unit.role != Role::kStandby) units.push_back(StateOf(unit, true));
  }
  return units;
}

void Service::Refuse(Origin origin, const std::string& name, bool group, const std::string& why,
                     const std::string& who) {
  Refused(origin, name, group, why, who);
}

std::vector<std::string> Service::Ids() const {
  std::vector<std::string> ids;
  for (const auto& [id, unit] : units_) ids.push_back(id);
  for (std::string& id : owners_->TheirIds()) {
    if (!units_.contains(id)) ids.push_back(std::move(id));
  }
  return ids;
}

std::optional<Json> Service::View(const std::string& id) const {
  if (auto state = State(id)) return state;
  return owners_->TheirView(id);
}

void Service::Changed(const std::string& id) {
  for (PlantListener* listener : listeners_) listener->OnUnitChanged(id);
}

std::optional<std::string> Service::IdOfMac(const protocol::MacBytes& mac) const {
  for (const auto& [id, unit] : units_) {
    if (unit.mac == mac) return id;
  }
  return std::nullopt;
}

std::optional<std::pair<std::size_t, std::size_t>> Service::LookAtGroup(
    const std::string& name) const {
  const GroupConfig* group = GroupNamed(name);
  if (!group) return std::nullopt;
  std::pair<std::size_t, std::size_t> members{};
  for (const auto& [id, unit] : units_) {
    if (unit.role == Role::kStandby || !IsMember(*group, unit)) continue;
    ++members.first;
    if (unit.online == true) ++members.second;
  }
  return members;
}

Plant::Summary Service::LookAtPlant() const {
  Summary summary;
  for (const auto& [id, unit] : units_) {
    if (!unit.Serving()) continue;
    ++summary.served;
    if (unit.online == true) ++summary.online;
  }
  summary.broker = mqtt_ && mqtt_->Connected();
  return summary;
}

}  // namespace lampd
