// What one unit should show: a baseline (set without "for", or taken from
// what the unit shows) and leases over it that expire and outrank each
// other. For each lamp and for the sound, the highest-priority live lease
// that names it wins (the newest among equals); without one, the baseline.
// Leases end on the monotonic clock, so a step of the wall clock changes no
// lease's length; the wall clock only says when, for people and the state
// file. No I/O: the service decides what to send.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/lamp_frame.h"

namespace lampd {

using WallClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

inline constexpr std::size_t kLeasesPerUnit = 64;

// Both clocks read at one instant: a lease's end as the wall clock tells
// it, and back.
struct ClockPair {
  SteadyClock::time_point steady;
  WallClock::time_point wall;

  static ClockPair Now() { return {SteadyClock::now(), WallClock::now()}; }
  WallClock::time_point WallOf(SteadyClock::time_point when) const {
    return wall + std::chrono::duration_cast<WallClock::duration>(when - steady);
  }
  SteadyClock::time_point SteadyOf(WallClock::time_point when) const {
    return steady + std::chrono::duration_cast<SteadyClock::duration>(when - wall);
  }
};

struct Lease {
  std::string source;
  int priority = 5;
  SteadyClock::time_point ends;
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;  // what it holds
  std::uint64_t serial = 0;                                  // larger is newer
};

class UnitSignals {
 public:
  // A command without "for": the new baseline of what it names.
  void SetBaseline(const protocol::LampCodes& codes);
  // A new lease takes what it names from its source's older leases (a CI
  // job that renews its light does not pile leases up). False when the unit
  // holds kLeasesPerUnit already.
  bool AddLease(Lease lease);
  // Ends the leases of `source` ("*": all); how many ended.
  int Clear(std::string_view source);
  // Ends the leases ended at `now`; how many ended.
  int Expire(SteadyClock::time_point now);
  std::optional<SteadyClock::time_point> NextExpiry() const;

  // What the unit should show; kLeaveUnchanged where nothing is known.
  protocol::LampCodes Wanted() const;
  // Which of the six a live lease holds.
  std::array<bool, protocol::kLampCount + 1> Held() const;
  // What the unit shows becomes the baseline of whatever no lease holds:
  // a console press or lampctl is how the lamp is meant to be now.
  void AdoptShown(const protocol::LampFrame& reply);

  const std::vector<Lease>& Leases() const { return leases_; }
  const protocol::LampCodes& Baseline() const { return baseline_; }
  bool Empty() const { return leases_.empty(); }

 private:
  protocol::LampCodes baseline_ = protocol::kLeaveAllUnchanged;
  std::vector<Lease> leases_;
};

// The codes as the unit's reply carries them (bytes 2 to 7).
protocol::LampCodes ShownCodes(const protocol::LampFrame& reply);

// What one write should carry for the unit to show what `signals` want:
// each field the unit shows otherwise (all when what it shows is not
// known), and each field `named` names whatever it shows; with `heldOnly`
// only the fields a lease holds. kLeaveAllUnchanged: nothing need go.
protocol::LampCodes CodesToSend(const UnitSignals& signals,
                                const std::optional<protocol::LampCodes>& shown,
                                const protocol::LampCodes& named, bool heldOnly);

}  // namespace lampd
