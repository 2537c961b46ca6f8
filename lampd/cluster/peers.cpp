// Other instances' units as their retained states and availability tell
// them: bounded in number and bytes, each counting only for the unit whose
// topic it stands on.
#include "claims.h"

namespace lampd {
namespace {

// Other instances' states kept, at the most: in number, and in bytes
// (a plant's states are about a kilobyte each).
constexpr std::size_t kMostTheirStates = 100000;
constexpr std::size_t kMostTheirBytes = 32u << 20;

}  // namespace

bool Claims::TheirUnitOnline(const TheirState& theirs) const {
  // An instance that went offline says nothing of its units any more.
  return theirs.online.value_or(true) && Online(TextOf(theirs.state, "instance"));
}

std::optional<Json> Claims::TheirView(const std::string& id) const {
  const auto theirs = theirStates_.find(id);
  if (theirs == theirStates_.end()) return std::nullopt;
  Json state = theirs->second.state;
  state["online"] = TheirUnitOnline(theirs->second);
  return state;
}

std::vector<std::string> Claims::TheirIds() const {
  std::vector<std::string> ids;
  ids.reserve(theirStates_.size());
  for (const auto& [id, theirs] : theirStates_) ids.push_back(id);
  return ids;
}

void Claims::SeeTheirState(const std::string& id, const Json& state) {
  // A state speaks for the unit whose topic it stands on, and for no other.
  if (const std::string named = TextOf(state, "id"); !named.empty() && named != id) {
    log_.Say("forged", "unit " + id + ": a state naming unit " + named +
                           " stood on its topic: " + "not taken");
    ForgetTheirState(id);
    return;
  }
  Json kept = TheirStateOf(state, ClockPair::Now());
  const std::size_t bytes = Dump(kept).size();
  auto found = theirStates_.find(id);
  const std::size_t before = found == theirStates_.end() ? 0 : found->second.bytes;
  if (theirBytes_ - before + bytes > kMostTheirBytes ||
      (found == theirStates_.end() && theirStates_.size() >= kMostTheirStates)) {
    log_.Say("their states", "unit " + id + ": another instance's state not kept: " +
                                 std::to_string(theirStates_.size()) + " states of " +
                                 std::to_string(theirBytes_ >> 10) + " KiB held already");
    return;
  }
  if (found == theirStates_.end()) found = theirStates_.emplace(id, TheirState{}).first;
  found->second.state = std::move(kept);
  found->second.bytes = bytes;
  theirBytes_ = theirBytes_ - before + bytes;
  units_.Changed(id);
}

void Claims::ForgetTheirState(const std::string& id) {
  const auto found = theirStates_.find(id);
  if (found == theirStates_.end()) return;
  theirBytes_ -= found->second.bytes;
  theirStates_.erase(found);
  units_.Changed(id);
}

void Claims::OnAvailabilitySeen(const std::string& id, std::string_view payload) {
  const auto theirs = theirStates_.find(id);
  if (theirs == theirStates_.end()) return;
  theirs->second.online = payload == "online";
  units_.Changed(id);
}

}  // namespace lampd
