// What one unit should show: a baseline (set without "for", or taken from
// what the unit shows) and leases over it that expire and outrank each
// other. For each lamp and for the sound, the highest-priority live lease
// that names it wins (the newest among equals); without one, the baseline.
// Leases end on the monotonic clock, so a step of the wall clock changes no
// lease's length; the wall clock only says when, for people and the state
// file. No I/O: the service decides what to send.
#pragma once

#include <array>
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

// A step of an escalation: if the lease is still unanswered `after` its
// start, `set` goes to `target` (a unit id or "group:NAME"; empty: the
// lease's own unit) as a lease of its own.
struct EscalationStep {
  std::chrono::milliseconds after{};
  protocol::LampCodes set = protocol::kLeaveAllUnchanged;
  std::string target;
  std::optional<int> priority;  // default the lease's
  bool fired = false;
  bool operator==(const EscalationStep&) const = default;
};
inline constexpr std::size_t kMostEscalationSteps = 4;

// Who answered a call, and when.
struct Acknowledgement {
  std::string by;
  WallClock::time_point at;
};

struct Lease {
  std::string source;
  int priority = 5;
  SteadyClock::time_point ends;
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;  // what it holds, as asked
  std::uint64_t serial = 0;                                  // larger is newer
  // The call it answers to: its own serial, or that of the lease it renews.
  std::uint64_t call = 0;
  SteadyClock::time_point started{};
  std::optional<Acknowledgement> acknowledged{};  // an acknowledged lease's sound is off
  std::vector<EscalationStep> escalate{};

  // What it holds now: the sound off once acknowledged.
  protocol::LampCodes Holds() const;
  std::optional<SteadyClock::time_point> NextStep() const;
};

// A step that fell due: which lease it is of, and the step.
struct DueStep {
  Lease lease;  // as it stands, the step marked fired
  EscalationStep step;
  SteadyClock::time_point due;
};

// What adding a lease did to the leases of its source.
struct Added {
  bool taken = false;           // false: the unit holds kLeasesPerUnit already
  std::vector<Lease> replaced;  // older leases left holding nothing
  bool renewed = false;         // it renews a live lease of the same source, lamps and priority
};

class UnitSignals {
 public:
  // A command without "for": the new baseline of what it names.
  void SetBaseline(const protocol::LampCodes& codes);
  // A new lease takes what it names from its source's older leases (a CI
  // job that renews its light does not pile leases up). One that asks
  // exactly what a live lease of its source asks renews that call: its
  // start, its acknowledgement and the steps fired so far carry over, so
  // an alert sent again is neither a new call nor loud again.
  Added AddLease(Lease lease);
  // Ends the leases of `source` ("*": all); those that ended.
  std::vector<Lease> Clear(std::string_view source);
  // Ends the leases ended at `now`; those that ended.
  std::vector<Lease> Expire(SteadyClock::time_point now);
  // Acknowledges every live lease not acknowledged yet; those it acknowledged.
  std::vector<Lease> Acknowledge(const Acknowledgement& acknowledgement);
  // Whether a live lease waits for its acknowledgement.
  bool Unanswered() const;
  // The escalation steps due at `now` of leases still unanswered, marked fired.
  std::vector<DueStep> DueSteps(SteadyClock::time_point now);
  // The earliest end of a lease, or (`withSteps`) step of an escalation.
  std::optional<SteadyClock::time_point> NextExpiry(bool withSteps = true) const;

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
