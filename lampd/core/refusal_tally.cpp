#include "refusal_tally.h"

namespace lampd {

bool RefusalTally::Count(const std::string& client, const std::string& why, Clock::time_point now) {
  std::string key = client;
  if (!tallies_.contains(key) && tallies_.size() >= kMostClients) key = "others";
  const auto [found, fresh] = tallies_.try_emplace(key, Tally{now, 0, why});
  if (fresh) return true;
  Tally& tally = found->second;
  // A window over with nothing counted starts again; one with a count is
  // summarised by Due first.
  if (now - tally.since >= kWindow && tally.more == 0) {
    tally = Tally{now, 0, why};
    return true;
  }
  ++tally.more;
  tally.why = why;
  return false;
}

std::vector<RefusalTally::Summary> RefusalTally::Due(Clock::time_point now) {
  std::vector<Summary> due;
  for (auto it = tallies_.begin(); it != tallies_.end();) {
    if (now - it->second.since < kWindow) {
      ++it;
      continue;
    }
    if (it->second.more > 0) due.push_back({it->first, it->second.more, it->second.why});
    it = tallies_.erase(it);
  }
  return due;
}

}  // namespace lampd
