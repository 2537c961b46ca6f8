// Refusals summarised: the first refusal of a client in a second is told
// whole (journal, error topic, log); the rest of that second are counted
// and told as one summary when the second is over. A flood of refused
// commands then costs a record a second, never more than the commands
// would have. Pure: the caller says what time it is.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lampd {

class RefusalTally {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kWindow{1};
  // Clients tallied at once; past it, the rest share one tally ("others").
  static constexpr std::size_t kMostClients = 4096;

  struct Summary {
    std::string client;   // as Count was given it, or "others"
    std::uint64_t count;  // refusals not told one by one
    std::string why;      // the last one's reason
  };

  // Counts one refusal of `client`: true when it is to be told whole.
  bool Count(const std::string& client, const std::string& why, Clock::time_point now);
  // The summaries of windows over by `now`; their clients are forgotten.
  std::vector<Summary> Due(Clock::time_point now);
  bool Waiting() const { return !tallies_.empty(); }

 private:
  struct Tally {
    Clock::time_point since;
    std::uint64_t more = 0;
    std::string why;
  };
  std::map<std::string, Tally> tallies_;
};

}  // namespace lampd
