#include "leases.h"

#include <algorithm>

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

bool UnitSignals::AddLease(Lease lease) {
  for (Lease& older : leases_) {
    if (older.source != lease.source) continue;
    for (std::size_t field = 0; field < lease.codes.size(); ++field) {
      if (lease.codes[field] != kLeaveUnchanged) older.codes[field] = kLeaveUnchanged;
    }
  }
  std::erase_if(leases_,
                [](const Lease& older) { return older.codes == protocol::kLeaveAllUnchanged; });
  if (leases_.size() >= kLeasesPerUnit) return false;
  leases_.push_back(std::move(lease));
  return true;
}

int UnitSignals::Clear(std::string_view source) {
  return static_cast<int>(std::erase_if(
      leases_, [&](const Lease& lease) { return source == "*" || lease.source == source; }));
}

int UnitSignals::Expire(SteadyClock::time_point now) {
  return static_cast<int>(
      std::erase_if(leases_, [&](const Lease& lease) { return lease.ends <= now; }));
}

std::optional<SteadyClock::time_point> UnitSignals::NextExpiry() const {
  std::optional<SteadyClock::time_point> next;
  for (const Lease& lease : leases_) {
    if (!next || lease.ends < *next) next = lease.ends;
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
    if (winner) wanted[field] = winner->codes[field];
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
