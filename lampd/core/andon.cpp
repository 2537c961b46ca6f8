// Andon: a lease is a call. An acknowledgement answers a unit's calls (the
// sound goes off, the lamps stay, their escalation stops); a call nobody
// answers escalates step by step, each step a lease of its own on its
// target that ends with the call or its answer. How long calls took to be
// answered and to end goes to the metrics by the unit's groups.
#include "protocol/duration_text.h"
#include "service.h"

namespace lampd {
namespace {

using namespace std::chrono_literals;

constexpr auto kLateEnoughToSay = 500ms;  // a timer is a few milliseconds late at most

double SecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A request to a step's target: a unit id or "group:NAME".
Request To(const std::string& target) {
  Request request;
  request.origin = Origin::kEscalation;
  if (target.starts_with("group:")) {
    request.target = Request::Target::kGroup;
    request.name = target.substr(6);
  } else {
    request.name = target;
  }
  return request;
}

}  // namespace

void Service::Acknowledge(Unit& unit, const Request& request, Done done) {
  const auto& [by, note] = *request.command.ack;
  const std::string who = !by.empty()             ? by
                          : !Who(request).empty() ? Who(request)
                                                  : std::string(OriginName(request.origin));
  const auto answered = unit.signals.Acknowledge({who, WallClock::now()});
  JournalRecord record{.unit = unit.id,
                       .kind = "ack",
                       .origin = std::string(OriginName(request.origin)),
                       .who = who,
                       .reason = note};
  for (const Lease& lease : answered) {
    record.leases.push_back(lease.call);
    ObserveCall(unit, lease, true);
    EndEscalations(unit.id, lease);
  }
  Record(std::move(record));
  log_.Say("ack", "unit " + unit.id + ": " + std::to_string(answered.size()) +
                      " call(s) acknowledged by " + who);
  LeasesChanged(unit);
  SendWanted(unit, protocol::kLeaveAllUnchanged, false, std::move(done));
}

void Service::Escalate(Unit& unit, const DueStep& due, SteadyClock::time_point now) {
  const Lease& lease = due.lease;
  const std::string target = due.step.target.empty() ? unit.id : due.step.target;
  std::string reason =
      "unanswered after " + protocol::DurationText(due.step.after) + ": to " + target;
  if (now - due.due >= kLateEnoughToSay) {
    // After a restart: late rather than never, and said.
    const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(now - due.due);
    reason += ", " + protocol::DurationText(late) + " late";
    Log("unit " + unit.id + ": a step of " + lease.source + "'s escalation fired " +
        protocol::DurationText(late) + " late");
  }
  Request request = To(target);
  request.command.codes = due.step.set;
  request.command.priority = due.step.priority.value_or(lease.priority);
  request.command.source = lease.source + std::string(kEscalatedSuffix);
  request.command.lease =
      std::max(1ms, std::chrono::ceil<std::chrono::milliseconds>(lease.ends - now));
  // The calls of one group lease escalate to one target together: the
  // first lights it, the rest find it lit. A call then costs its own steps'
  // frames at most, never the members times the steps.
  const bool lit = lease.ends > now && AlreadyEscalated(request, lease.ends);
  if (lit) reason += " (lit already by another call of " + lease.source + ")";
  RecordLease(unit, "lease-escalated", lease, nullptr, reason);
  LeasesChanged(unit);
  if (lease.ends <= now || lit) return;
  Submit(std::move(request), [](const Outcome&) {});
}

bool Service::AlreadyEscalated(const Request& request, SteadyClock::time_point ends) {
  std::vector<Unit*> targets;
  if (request.target == Request::Target::kGroup) {
    const GroupConfig* group = GroupNamed(request.name);
    if (!group) return false;
    targets = Members(*group);
  } else if (const auto unit = units_.find(request.name);
             unit != units_.end() && unit->second.Serving()) {
    targets.push_back(&unit->second);
  }
  const Command& command = request.command;
  const auto holds = [&](const Unit* unit) {
    const auto& leases = unit->signals.Leases();
    return std::any_of(leases.begin(), leases.end(), [&](const Lease& lease) {
      return lease.source == command.source && lease.codes == command.codes &&
             lease.priority == command.priority && lease.ends + 1s >= ends;
    });
  };
  return !targets.empty() && std::all_of(targets.begin(), targets.end(), holds);
}

std::string Service::UnknownStepTarget(const Command& command) const {
  for (const EscalationStep& step : command.escalate) {
    if (step.target.empty()) continue;
    if (step.target.starts_with("group:")) {
      if (!GroupNamed(step.target.substr(6))) {
        return "escalate: no group " + step.target.substr(6) + " in [groups]";
      }
    } else if (!units_.contains(step.target) && !owners_->Known(step.target)) {
      return "escalate: no unit " + step.target + " is known here or on the broker";
    }
  }
  return "";
}

void Service::EndEscalations(const std::string& unitId, const Lease& lease) {
  std::set<std::string> targets;
  for (const EscalationStep& step : lease.escalate) {
    if (step.fired) targets.insert(step.target.empty() ? unitId : step.target);
  }
  for (const std::string& target : targets) {
    Request request = To(target);
    request.command.source = lease.source + std::string(kEscalatedSuffix);
    request.command.clear = request.command.source;
    Submit(std::move(request), [](const Outcome&) {});
  }
}

void Service::ObserveCall(const Unit& unit, const Lease& lease, bool acknowledged) {
  // An escalation's lease answers to its call, which is what is measured.
  if (lease.source.ends_with(kEscalatedSuffix)) return;
  const double seconds = SecondsBetween(lease.started, SteadyClock::now());
  const std::vector<std::string> groups =
      GroupsOf(config_.groups, unit.id, unit.mac, unit.address.Text());
  for (PlantListener* listener : listeners_)
    listener->OnCallAnswered(groups, seconds, acknowledged);
}

}  // namespace lampd
