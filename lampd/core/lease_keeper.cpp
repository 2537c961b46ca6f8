// Leases and baselines: what a command changes, the one frame that makes a
// unit show what it should, the one timer at the earliest end of a lease
// (on the monotonic clock), and the state file, written once a loop turn
// after a change and tried again until it is written.
#include "service.h"
#include "state_file.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr auto kSaveRetry = 2s;

}  // namespace

std::optional<std::string> Service::Apply(Unit& unit, const Request& request, Done done) {
  const Command& command = request.command;
  if (command.ack) {
    Acknowledge(unit, request, std::move(done));
    return std::nullopt;
  }
  if (command.clear) {
    const auto ended = unit.signals.Clear(*command.clear);
    if (!ended.empty()) {
      Log("unit " + unit.id + ": " + std::to_string(ended.size()) + " lease(s) of " +
          *command.clear + " cleared");
      for (const Lease& lease : ended) {
        RecordLease(unit, "lease-cleared", lease, &request);
        ObserveCall(unit, lease, false);
        EndEscalations(unit.id, lease);
      }
      LeasesChanged(unit);
    } else {
      RecordCommand(unit, request, "a clear of " + *command.clear + ": no lease of it");
    }
    SendWanted(unit, protocol::kLeaveAllUnchanged, false, std::move(done));
    return std::nullopt;
  }
  if (command.reset) {
    RecordCommand(unit, request, "a reset");
    unit.signals.SetBaseline({protocol::kLampOff, protocol::kLampOff, protocol::kLampOff,
                              protocol::kLampOff, protocol::kLampOff, protocol::kSoundOff});
    unit.changed = true;
    if (unit.signals.Empty()) {
      Send(unit, protocol::ResetRequest(ModelOf(unit)), std::move(done));
    } else {
      // The leases still hold what they name: they go straight after.
      Send(unit, protocol::ResetRequest(ModelOf(unit)), {});
      Send(unit, protocol::WriteRequest(ModelOf(unit), unit.signals.Wanted()), std::move(done));
    }
    return std::nullopt;
  }
  if (command.lease) {
    Lease lease;
    lease.source = command.source;
    lease.priority = command.priority;
    lease.started = SteadyClock::now();
    lease.ends = lease.started + *command.lease;
    lease.codes = command.codes;
    lease.serial = ++serial_;
    lease.escalate = command.escalate;
    const Lease asked = lease;
    Added added = unit.signals.AddLease(std::move(lease));
    for (const Lease& replaced : added.replaced) {
      RecordLease(unit, "lease-replaced", replaced, &request,
                  "by a lease of " + asked.source + " that names what it held");
      ObserveCall(unit, replaced, false);
      EndEscalations(unit.id, replaced);
    }
    if (!added.taken) {
      --serial_;
      return "the unit holds " + std::to_string(kLeasesPerUnit) + " leases already";
    }
    const Lease& taken = unit.signals.Leases().back();
    RecordLease(unit, added.renewed ? "lease-renewed" : "lease-taken", taken, &request,
                LeaseText(command));
    if (const auto next = unit.signals.NextExpiry()) ArmExpiry(*next);
    LeasesChanged(unit);
  } else {
    RecordCommand(unit, request, "");
    unit.signals.SetBaseline(command.codes);
    unit.changed = true;
  }
  SendWanted(unit, command.codes, false, std::move(done));
  return std::nullopt;
}

void Service::SendWanted(Unit& unit, const protocol::LampCodes& named, bool heldOnly, Done done) {
  const auto shown = unit.state ? std::optional(ShownCodes(*unit.state)) : std::nullopt;
  const protocol::LampCodes codes = CodesToSend(unit.signals, shown, named, heldOnly);
  if (codes == protocol::kLeaveAllUnchanged) {
    // Nothing goes to the unit: the change is published now.
    if (unit.changed) TellState(unit);
    if (done) done("");
    return;
  }
  Send(unit, protocol::WriteRequest(ModelOf(unit), codes), std::move(done));
}

void Service::LeasesChanged(Unit& unit) {
  SaveSoon();
  owners_->Keep(unit.id, unit.signals);
  unit.changed = true;  // published once the unit has answered
}

void Service::ArmExpiry(SteadyClock::time_point when) {
  if (expiryAt_ && *expiryAt_ <= when) return;
  loop_.Cancel(expiryTimer_);
  expiryAt_ = when;
  expiryTimer_ = loop_.At(when, [this] { OnExpiry(); });
}

void Service::OnExpiry() {
  expiryAt_.reset();
  expiryTimer_ = 0;
  const auto now = SteadyClock::now();
  std::optional<SteadyClock::time_point> next;
  const auto sooner = [&next](std::optional<SteadyClock::time_point> when) {
    if (when && (!next || *when < *next)) next = when;
  };
  std::size_t ended = 0, units = 0;
  for (auto& [id, unit] : units_) {
    // Steps fire where the unit is served; their lease's end counts everywhere.
    if (unit.Serving()) {
      for (const DueStep& due : unit.signals.DueSteps(now)) Escalate(unit, due, now);
    }
    if (auto gone = unit.signals.Expire(now); !gone.empty()) {
      ended += gone.size();
      ++units;
      for (const Lease& lease : gone) {
        RecordLease(unit, "lease-ended", lease, nullptr, "expired");
        ObserveCall(unit, lease, false);
      }
      LeasesChanged(unit);
      // Every unit whose leases ended gets its one frame in this turn: one batch.
      if (unit.Serving()) SendWanted(unit, protocol::kLeaveAllUnchanged, false, {});
    }
    sooner(unit.signals.NextExpiry(unit.Serving()));
  }
  for (auto place = unplaced_.begin(); place != unplaced_.end();) {
    ended += place->second.Expire(now).size();
    sooner(place->second.NextExpiry(false));
    place = place->second.Empty() ? unplaced_.erase(place) : std::next(place);
  }
  if (ended > 0) {
    Log(std::to_string(ended) + " lease(s) expired on " + std::to_string(units) + " unit(s)");
    SaveSoon();
  }
  if (next) ArmExpiry(*next);
}

void Service::SaveSoon() {
  if (statePath_.empty() || saveQueued_) return;
  saveQueued_ = true;
  if (saveFailing_) return;  // the retry's timer is set already
  // Once a turn: a thousand leases that end together are one write.
  saveTimer_ = loop_.After(0ms, [this] {
    saveTimer_ = 0;
    if (saveQueued_) Save();
  });
}

void Service::Save() {
  saveQueued_ = false;
  loop_.Cancel(saveTimer_);
  saveTimer_ = 0;
  SavedSignals saved;
  saved.serial = serial_;
  for (const auto& [id, unit] : units_) {
    if (!unit.signals.Empty() && unit.role != Role::kStandby) saved.units.emplace(id, unit.signals);
  }
  for (const auto& [id, signals] : unplaced_) saved.units.emplace(id, signals);
  std::string why;
  const bool ok = SaveSignals(statePath_, saved, ClockPair::Now(), why);
  if (!ok) {
    ++saveFailures_;
    if (!saveFailing_) {
      Log("state: " + why + "; leases live on, and the file is tried again every " +
          std::to_string(kSaveRetry.count()) + " s until it is written");
    }
    saveFailing_ = true;
    // Tried again until it is written: the disk may be freed at any time.
    saveTimer_ = loop_.After(kSaveRetry, [this] {
      saveTimer_ = 0;
      Save();
    });
    return;
  }
  if (saveFailing_) Log("state: written to " + statePath_ + " again");
  saveFailing_ = false;
}

}  // namespace lampd
