// What the front publishes of the units served here, retained: the state
// document and the availability; and what it does when something else
// stands on those topics.
#include <functional>

#include "mqtt_front.h"

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

void MqttFront::OnUnitState(const std::string& id, const Json& state) {
  Told& told = told_[id];
  PublishState(id, told, state);
  if (const auto model = state.find("model"); model != state.end() && model->is_number_integer()) {
    Describe(id, told, model->get<int>());
  }
}

void MqttFront::OnUnitAvailability(const std::string& id, bool online) {
  Told& told = told_[id];
  told.online = online;
  PublishAvailability(id, told, online);
}

void MqttFront::OnUnitChanged(const std::string& id) {
  // A unit left to another instance is none of this front's to tell of.
  if (told_.contains(id) && plant_.Reaches(id) != Plant::Reach::kHere) told_.erase(id);
}

void MqttFront::PublishState(const std::string& id, Told& told, const Json& state) {
  if (!Connected()) return;
  const auto now = SteadyClock::now();
  if (!told.published.empty() && now - told.published.back().second >= kEchoLost) {
    told.published.clear();
  }
  if (told.published.size() >= kEchoesAwaited) {
    told.waiting = state;
    return;
  }
  told.waiting.reset();
  const std::string payload = Dump(state);
  told.published.emplace_back(HashOf(payload), now);
  connection_->Publish(topics_.Name(TopicKind::kUnitState, id), payload, 1, true);
}

bool MqttFront::OurEcho(const std::string& id, std::string_view payload) {
  const auto found = told_.find(id);
  if (found == told_.end()) return false;
  Told& told = found->second;
  const std::size_t hash = HashOf(payload);
  for (auto it = told.published.begin(); it != told.published.end(); ++it) {
    if (it->first == hash) {
      // Echoes come in the order published: older ones will not come now.
      told.published.erase(told.published.begin(), std::next(it));
      if (told.waiting) {
        const Json waiting = std::move(*told.waiting);
        PublishState(id, told, waiting);  // the change that waited for room
      }
      return true;
    }
  }
  return false;
}

void MqttFront::PublishAvailability(const std::string& id, Told& told, bool online) {
  if (!Connected()) return;
  // Each word's echo is known as ours: a unit that flaps sees "offline" come
  // back while it is online again, and that is no forgery.
  told.availabilitySent.push_back(online);
  if (told.availabilitySent.size() > kEchoesAwaited) told.availabilitySent.pop_front();
  connection_->Publish(topics_.Name(TopicKind::kUnitAvailability, id),
                       online ? "online" : "offline", 1, true);
}

void MqttFront::SeeAvailability(const std::string& id, std::string_view payload) {
  const auto found = told_.find(id);
  if (found == told_.end()) return;
  Told& told = found->second;
  if (!told.availabilitySent.empty() && (payload == "online" || payload == "offline") &&
      told.availabilitySent.front() == (payload == "online")) {
    told.availabilitySent.pop_front();  // echoes come in the order published
    return;
  }
  if (!told.online) return;
  const std::string_view truth = *told.online ? "online" : "offline";
  if (payload == truth) return;
  log_.Say("forged", "unit " + id + ": availability \"" + std::string(payload) +
                         "\" stood on its topic while it is " + std::string(truth) + ": put right");
  PublishAvailability(id, told, *told.online);
}

}  // namespace lampd
