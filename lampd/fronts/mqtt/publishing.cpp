// What lampd publishes of the units it serves, retained: the state
// document and the availability; and what it does when something else
// stands on those topics.
#include <functional>

#include "lampd/core/service.h"

namespace lampd {
namespace {

// States published whose echo has not come back, at the most, for a unit:
// a change past them waits for an echo, and then the latest state goes.
// So every echo is known for certain, however far the broker falls behind.
constexpr std::size_t kEchoesAwaited = 8;
// An echo this late will not come (the broker lost it): forgotten.
constexpr auto kEchoLost = std::chrono::seconds(10);

std::size_t HashOf(std::string_view payload) { return std::hash<std::string_view>{}(payload); }

}  // namespace

Json Service::StateOf(const Unit& unit, bool withOnline) const {
  UnitFacts facts;
  facts.id = unit.id;
  facts.address = unit.address.Text();
  facts.instance = unit.Serving() ? config_.name : unit.owner;
  facts.mac = unit.mac;
  facts.shown = unit.state;
  facts.signals = &unit.signals;
  if (withOnline) facts.online = unit.online.value_or(false);
  return StateDocument(facts, ClockPair::Now());
}

void Service::PublishState(Unit& unit) {
  unit.changed = false;
  Changed(unit.id);
  if (!mqtt_->Connected() || !unit.state || !unit.Serving()) return;
  const auto now = SteadyClock::now();
  if (!unit.published.empty() && now - unit.published.back().second >= kEchoLost) {
    unit.published.clear();
  }
  if (unit.published.size() >= kEchoesAwaited) {
    unit.republish = true;
    return;
  }
  unit.republish = false;
  const std::string payload = Dump(StateOf(unit, false));
  unit.published.emplace_back(HashOf(payload), now);
  mqtt_->Publish(topics_.Name(TopicKind::kUnitState, unit.id), payload, 1, true);
}

bool Service::OurEcho(Unit& unit, std::string_view payload) {
  const std::size_t hash = HashOf(payload);
  for (auto it = unit.published.begin(); it != unit.published.end(); ++it) {
    if (it->first == hash) {
      // Echoes come in the order published: older ones will not come now.
      unit.published.erase(unit.published.begin(), std::next(it));
      if (unit.republish) PublishState(unit);  // the change that waited for room
      return true;
    }
  }
  return false;
}

void Service::PublishAvailability(Unit& unit, bool online) {
  if (unit.online != online) {
    Record({.unit = unit.id, .kind = online ? "online" : "offline"});
    Changed(unit.id);
  }
  unit.online = online;
  if (!mqtt_->Connected() || !unit.Serving()) return;
  // Each word's echo is known as ours: a unit that flaps sees "offline" come
  // back while it is online again, and that is no forgery.
  unit.availabilitySent.push_back(online);
  if (unit.availabilitySent.size() > kEchoesAwaited) unit.availabilitySent.pop_front();
  mqtt_->Publish(topics_.Name(TopicKind::kUnitAvailability, unit.id), online ? "online" : "offline",
                 1, true);
}

void Service::OnAvailabilitySeen(Unit& unit, std::string_view payload) {
  if (!unit.availabilitySent.empty() && (payload == "online" || payload == "offline") &&
      unit.availabilitySent.front() == (payload == "online")) {
    unit.availabilitySent.pop_front();  // echoes come in the order published
    return;
  }
  if (!unit.Serving() || !unit.online) return;
  const std::string_view truth = *unit.online ? "online" : "offline";
  if (payload == truth) return;
  log_.Say("forged", "unit " + unit.id + ": availability \"" + std::string(payload) +
                         "\" stood on its topic while it is " + std::string(truth) + ": put right");
  PublishAvailability(unit, *unit.online);
}

}  // namespace lampd
