// Other instances' units as their retained states and availability tell
// them: bounded in number and bytes, each counting only for the unit whose
// topic it stands on.
#include "lampd/core/service.h"

namespace lampd {

bool Service::TheirUnitOnline(const TheirState& theirs) const {
  // An instance that went offline says nothing of its units any more.
  return theirs.online.value_or(true) && Online(TextOf(theirs.state, "instance"));
}

void Service::SeeTheirState(const std::string& id, const Json& state) {
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
  Changed(id);
}

void Service::ForgetTheirState(const std::string& id) {
  const auto found = theirStates_.find(id);
  if (found == theirStates_.end()) return;
  theirBytes_ -= found->second.bytes;
  theirStates_.erase(found);
  Changed(id);
}

void Service::SeeTheirAvailability(const std::string& id, std::string_view payload) {
  const auto theirs = theirStates_.find(id);
  if (theirs == theirStates_.end()) return;
  theirs->second.online = payload == "online";
  Changed(id);
}

}  // namespace lampd
