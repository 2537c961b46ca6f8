#include "peer_states.h"

namespace lampd {
namespace {

// Other instances' states kept, at the most: in number, and in bytes
// (a plant's states are about a kilobyte each).
constexpr std::size_t kMostTheirStates = 100000;
constexpr std::size_t kMostTheirBytes = 32u << 20;

}  // namespace

std::optional<Json> PeerStates::View(const std::string& id,
                                     const std::function<bool(const std::string&)>& online) const {
  const auto theirs = states_.find(id);
  if (theirs == states_.end()) return std::nullopt;
  Json state = theirs->second.state;
  // An instance that went offline says nothing of its units any more.
  state["online"] =
      theirs->second.online.value_or(true) && online(TextOf(theirs->second.state, "instance"));
  return state;
}

std::vector<std::string> PeerStates::Ids() const {
  std::vector<std::string> ids;
  ids.reserve(states_.size());
  for (const auto& [id, theirs] : states_) ids.push_back(id);
  return ids;
}

std::vector<std::string> PeerStates::Of(const std::string& instance) const {
  std::vector<std::string> ids;
  for (const auto& [id, theirs] : states_) {
    if (TextOf(theirs.state, "instance") == instance) ids.push_back(id);
  }
  return ids;
}

Json PeerStates::Seen(const std::string& id, std::string_view payload, const std::string& us) {
  Json state = Json::parse(payload, nullptr, false);
  const std::string instance = TextOf(state, "instance");
  if (!instance.empty() && instance != us) {
    See(id, state);
  } else if (payload.empty()) {
    Forget(id);  // taken away: no other instance shows it any more
  }
  return state;
}

void PeerStates::See(const std::string& id, const Json& state) {
  // A state speaks for the unit whose topic it stands on, and for no other.
  if (const std::string named = TextOf(state, "id"); !named.empty() && named != id) {
    log_.Say("forged", "unit " + id + ": a state naming unit " + named +
                           " stood on its topic: " + "not taken");
    Forget(id);
    return;
  }
  Json kept = TheirStateOf(state, ClockPair::Now());
  const std::size_t bytes = Dump(kept).size();
  auto found = states_.find(id);
  const std::size_t before = found == states_.end() ? 0 : found->second.bytes;
  if (bytes_ - before + bytes > kMostTheirBytes ||
      (found == states_.end() && states_.size() >= kMostTheirStates)) {
    log_.Say("their states", "unit " + id + ": another instance's state not kept: " +
                                 std::to_string(states_.size()) + " states of " +
                                 std::to_string(bytes_ >> 10) + " KiB held already");
    return;
  }
  if (found == states_.end()) found = states_.emplace(id, TheirState{}).first;
  found->second.state = std::move(kept);
  found->second.bytes = bytes;
  bytes_ = bytes_ - before + bytes;
  changed_(id);
}

void PeerStates::Forget(const std::string& id) {
  const auto found = states_.find(id);
  if (found == states_.end()) return;
  bytes_ -= found->second.bytes;
  states_.erase(found);
  changed_(id);
}

void PeerStates::SeeAvailability(const std::string& id, std::string_view payload) {
  const auto theirs = states_.find(id);
  if (theirs == states_.end()) return;
  theirs->second.online = payload == "online";
  changed_(id);
}

}  // namespace lampd
