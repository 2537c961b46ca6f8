#include "leases.h"

#include <algorithm>
#include <functional>

namespace lampd {

using protocol::kLeaveUnchanged;

protocol::LampCodes ShownCodes(const protocol::LampFrame& reply) {
  protocol::LampCodes codes{};
  std::copy_n(reply.begin() + protocol::kFirstLampByte, codes.size(), codes.begin());
  return codes;
}

protocol::LampCodes CodesToSend(const UnitSignals& signals,
                                const std::optional<protocol::LampCodes>& shown,
                                const protocol::LampCodes& named, bool heldOnly) {
  const auto wanted = signals.Wanted();
  const auto held = signals.Held();
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  for (std::size_t field = 0; field < codes.size(); ++field) {
    if (wanted[field] == kLeaveUnchanged || (heldOnly && !held[field])) continue;
    const bool differs = !shown || (*shown)[field] != wanted[field];
    if (differs || named[field] != kLeaveUnchanged) codes[field] = wanted[field];
  }
  return codes;
}

void UnitSignals::SetBaseline(const protocol::LampCodes& codes) {
  for (std::size_t field = 0; field < codes.size(); ++field) {
    if (codes[field] != kLeaveUnchanged) baseline_[field] = codes[field];
  }
}

protocol::LampCodes Lease::Holds() const {
  protocol::LampCodes holds = codes;
  if (acknowledged && holds[protocol::kSoundLamp] != kLeaveUnchanged) {
    holds[protocol::kSoundLamp] = protocol::kSoundOff;
  }
  return holds;
}

std::optional<SteadyClock::time_point> Lease::NextStep() const {
  std::optional<SteadyClock::time_point> next;
  if (acknowledged) return next;
  for (const EscalationStep& step : escalate) {
    const auto due = started + step.after;
    if (!step.fired && due < ends && (!next || due < *next)) next = due;
  }
  return next;
}

Added UnitSignals::AddLease(Lease lease) {
  Added added;
  if (lease.call == 0) lease.call = lease.serial;
  for (Lease& older : leases_) {
    if (older.source != lease.source) continue;
    if (older.codes == lease.codes && older.priority == lease.priority) {
      lease.call = older.call;
      lease.started = older.started;
      lease.acknowledged = older.acknowledged;
      for (std::size_t i = 0; i < lease.escalate.size() && i < older.escalate.size(); ++i) {
        EscalationStep step = lease.escalate[i];
        step.fired = older.escalate[i].fired;
        if (step == older.escalate[i]) lease.escalate[i].fired = step.fired;
      }
      added.renewed = true;
    }
    for (std::size_t field = 0; field < lease.codes.size(); ++field) {
      if (lease.codes[field] != kLeaveUnchanged) older.codes[field] = kLeaveUnchanged;
    }
  }
  std::erase_if(leases_, [&](Lease& older) {
    if (older.codes != protocol::kLeaveAllUnchanged) return false;
    if (older.call != lease.call) added.replaced.push_back(std::move(older));
    return true;
  });
  if (leases_.size() >= kLeasesPerUnit) return added;
  leases_.push_back(std::move(lease));
  added.taken = true;
  return added;
}

namespace {

std::vector<Lease> TakeOut(std::vector<Lease>& leases,
                           const std::function<bool(const Lease&)>& which) {
  std::vector<Lease> taken;
  std::erase_if(leases, [&](Lease& lease) {
    if (!which(lease)) return false;
    taken.push_back(std::move(lease));
    return true;
  });
  return taken;
}

}  // namespace

std::vector<Lease> UnitSignals::Clear(std::string_view source) {
  return TakeOut(leases_,
                 [&](const Lease& lease) { return source == "*" || lease.source == source; });
}

std::vector<Lease> UnitSignals::Expire(SteadyClock::time_point now) {
  return TakeOut(leases_, [&](const Lease& lease) { return lease.ends <= now; });
}

std::vector<Lease> UnitSignals::Acknowledge(const Acknowledgement& acknowledgement) {
  std::vector<Lease> answered;
  for (Lease& lease : leases_) {
    if (lease.acknowledged) continue;
    lease.acknowledged = acknowledgement;
    answered.push_back(lease);
  }
  return answered;
}

bool UnitSignals::Unanswered() const {
  return std::any_of(leases_.begin(), leases_.end(),
                     [](const Lease& lease) { return !lease.acknowledged; });
}

std::vector<DueStep> UnitSignals::DueSteps(SteadyClock::time_point now) {
  std::vector<DueStep> due;
  for (Lease& lease : leases_) {
    if (lease.acknowledged) continue;
    for (EscalationStep& step : lease.escalate) {
      const auto when = lease.started + step.after;
      if (step.fired || when > now || when >= lease.ends) continue;
      step.fired = true;
      due.push_back({lease, step, when});
    }
  }
  return due;
}

std::optional<SteadyClock::time_point> UnitSignals::NextExpiry(bool withSteps) const {
  std::optional<SteadyClock::time_point> next;
  for (const Lease& lease : leases_) {
    if (!next || lease.ends < *next) next = lease.ends;
    if (!withSteps) continue;
    if (const auto step = lease.NextStep(); step && *step < *next) next = step;
  }
  return next;
}

protocol::LampCodes UnitSignals::Wanted() const {
  protocol::LampCodes wanted = baseline_;
  for (std::size_t field = 0; field < wanted.size(); ++field) {
    const Lease* winner = nullptr;
    for (const Lease& lease : leases_) {
      if (lease.codes[field] == kLeaveUnchanged) continue;
      if (!winner || lease.priority > winner->priority ||
          (lease.priority == winner->priority && lease.serial > winner->serial)) {
        winner = &lease;
      }
    }
    if (winner) wanted[field] = winner->Holds()[field];
  }
  return wanted;
}

std::array<bool, protocol::kLampCount + 1> UnitSignals::Held() const {
  std::array<bool, protocol::kLampCount + 1> held{};
  for (const Lease& lease : leases_) {
    for (std::size_t field = 0; field < held.size(); ++field) {
      held[field] = held[field] || lease.codes[field] != kLeaveUnchanged;
    }
  }
  return held;
}

void UnitSignals::AdoptShown(const protocol::LampFrame& reply) {
  const auto held = Held();
  const auto shown = ShownCodes(reply);
  for (std::size_t field = 0; field < shown.size(); ++field) {
    if (!held[field]) baseline_[field] = shown[field];
  }
}

}  // namespace lampd
