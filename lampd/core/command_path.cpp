// The one command path: every front hands its command here and hears one
// outcome. A unit served here takes it; one another instance serves gets
// it passed on over the broker; a group goes to its members here and on to
// the other instances. Counting and logging are done here, once.
#include <algorithm>

#include "protocol/duration_text.h"
#include "service.h"

namespace lampd {
namespace {

constexpr std::size_t kCommandsWaiting = 64;  // a unit's queue of commands, at the most
constexpr std::size_t kReadersWaiting = 64;   // of the read a unit's reads join
constexpr std::size_t kMembersAtOnce = 32;    // a group's members taken in one loop turn

std::string From(const Request& request) {
  return Who(request).empty() ? "" : " from " + Who(request);
}

}  // namespace

std::string Service::LeaseText(const Command& command) {
  if (command.clear) return "a clear of " + *command.clear;
  if (!command.lease) return "";
  return "a lease of " + command.source + ", priority " + std::to_string(command.priority) +
         ", for " + protocol::DurationText(*command.lease);
}

std::string Service::CommandWords(const Command& command) {
  if (command.reset) return "a reset";
  if (command.ack) return "an acknowledgement";
  std::string words;
  for (std::size_t field = 0; field < command.codes.size(); ++field) {
    const std::uint8_t code = command.codes[field];
    if (code == protocol::kLeaveUnchanged) continue;
    words += words.empty() ? "" : ", ";
    words +=
        field == protocol::kSoundLamp
            ? "sound " + (code == protocol::kSoundOff ? std::string("off") : std::to_string(code))
            : std::string(protocol::kLampNames[field]) + " " +
                  std::string(protocol::LampStateName(code));
  }
  const std::string lease = LeaseText(command);
  if (words.empty()) return lease.empty() ? "nothing" : lease;
  return lease.empty() ? words : words + " as " + lease;
}

const GroupConfig* Service::GroupNamed(const std::string& name) const {
  for (const GroupConfig& group : config_.groups) {
    if (group.name == name) return &group;
  }
  return nullptr;
}

bool Service::IsMember(const GroupConfig& group, const Unit& unit) {
  const auto same = [&](const protocol::UnitAddress& address) { return address == unit.address; };
  const auto sameHost = [&](const protocol::UnitAddress& address) {
    return address.address == unit.address.address;
  };
  return std::find(group.ids.begin(), group.ids.end(), unit.id) != group.ids.end() ||
         (unit.mac &&
          std::find(group.macs.begin(), group.macs.end(), *unit.mac) != group.macs.end()) ||
         std::any_of(group.addresses.begin(), group.addresses.end(), same) ||
         std::any_of(group.anyPort.begin(), group.anyPort.end(), sameHost);
}

std::vector<Service::Unit*> Service::Members(const GroupConfig& group) {
  std::vector<Unit*> members;
  for (auto& [id, unit] : units_) {
    if (unit.role != Role::kStandby && IsMember(group, unit)) members.push_back(&unit);
  }
  return members;
}

void Service::Submit(Request request, Reply given) {
  // Counted once its fate is known: taken, or refused.
  Reply reply = [this, origin = request.origin, group = request.target == Request::Target::kGroup,
                 name = request.name, source = request.command.source, who = Who(request),
                 given = std::move(given)](Outcome outcome) {
    if (outcome.refusal == Outcome::Refusal::kNone) {
      ++commands_[std::string(OriginName(origin))];
    } else {
      const bool told = Refused(origin, name, group, outcome.why, who, source);
      if (outcome.refusal == Outcome::Refusal::kOverShare) {
        ++overShare_[std::string(OriginName(origin))];
        outcome.summarised = !told;
      }
    }
    given(std::move(outcome));
  };
  // A group's or every unit's members, found once: what the command costs
  // of its share is the frames it makes, a member each.
  const GroupConfig* group =
      request.target == Request::Target::kGroup ? GroupNamed(request.name) : nullptr;
  std::vector<Unit*> members;
  if (group) members = Members(*group);
  if (request.target == Request::Target::kAll) {
    for (auto& [id, unit] : units_) {
      if (unit.Serving()) members.push_back(&unit);
    }
  }
  // Escalation is lampd's own, bounded per call; every other origin draws on its share.
  if (request.origin != Origin::kEscalation) {
    const std::size_t cost =
        request.target == Request::Target::kUnit ? 1 : std::max<std::size_t>(1, members.size());
    if (std::string why =
            shares_.Take(OriginName(request.origin), request.client, SteadyClock::now(), cost);
        !why.empty()) {
      return reply(Outcome::Refused(Outcome::Refusal::kOverShare, std::move(why)));
    }
  }
  // A typo in a step's target would mean nobody is ever called: refused now.
  // Another instance passing one on checked it against what it knows.
  if (!request.relayed) {
    if (std::string why = UnknownStepTarget(request.command); !why.empty()) {
      return reply(Outcome::Refused(Outcome::Refusal::kBad, std::move(why)));
    }
  }
  switch (request.target) {
    case Request::Target::kUnit:
      return SubmitToUnit(request, std::move(reply));
    case Request::Target::kGroup: {
      if (!group) {
        return reply(Outcome::Refused(Outcome::Refusal::kUnknown,
                                      "no group " + request.name + " in [groups]"));
      }
      const std::string lease = LeaseText(request.command);
      Record({.group = request.name,
              .kind = request.command.ack ? "ack" : "command",
              .origin = std::string(OriginName(request.origin)),
              .source = request.command.source,
              .who = Who(request),
              .reason = CommandWords(request.command) + " to " + std::to_string(members.size()) +
                        " unit(s) here",
              .what = request.command.codes});
      log_.Say("group", "group " + request.name + ": " + (lease.empty() ? "a command" : lease) +
                            (request.origin == Origin::kMqtt
                                 ? ""
                                 : " over " + std::string(OriginName(request.origin))) +
                            From(request) + " to " + std::to_string(members.size()) +
                            " unit(s) here");
      Outcome passed;
      // MQTT's group topics reach every instance by themselves; the rest is passed on.
      if (request.origin != Origin::kMqtt && !request.relayed) {
        Relay(request, TopicKind::kGroupSet);
        passed.passedTo = owners_->OthersOnline();
      }
      return SubmitToMembers(request, std::move(members),
                             [passed, reply = std::move(reply)](Outcome outcome) {
                               outcome.passedTo = passed.passedTo;
                               reply(std::move(outcome));
                             });
    }
    case Request::Target::kAll:
      return SubmitToMembers(request, std::move(members), std::move(reply));
  }
}

void Service::SubmitToUnit(const Request& request, Reply reply) {
  const auto found = units_.find(request.name);
  const bool here = found != units_.end() && found->second.role != Role::kStandby;
  if (!here) {
    // Another instance's unit: passed on to it over the broker.
    const std::string owner = owners_->ServedElsewhereBy(request.name);
    if (owner.empty()) {
      return reply(Outcome::Refused(Outcome::Refusal::kUnknown,
                                    "no instance serves a unit with id " + request.name));
    }
    Outcome passed;
    if (!request.relayed && request.origin != Origin::kMqtt) {
      Relay(request, request.read          ? TopicKind::kUnitGet
                     : request.command.ack ? TopicKind::kUnitAck
                                           : TopicKind::kUnitSet);
      passed.passedTo.push_back(owner);
    }
    return reply(std::move(passed));
  }
  Unit& unit = found->second;
  const std::string lease = LeaseText(request.command);
  if (!lease.empty() || !request.client.empty()) {
    log_.Say(
        "command",
        "unit " + unit.id + ": " +
            (request.client.empty() ? lease : CommandWords(request.command)) +
            (request.client.empty() ? "" : " over " + std::string(OriginName(request.origin))) +
            From(request));
  }
  SubmitToMembers(request, {&unit}, std::move(reply));
}

// A command on its way to its members, a slice a loop turn.
struct Service::MembersRun {
  Request request;
  std::vector<std::string> ids;
  std::size_t next = 0;
  bool states = false;  // answered with the units' states
  Outcome outcome;
  std::size_t left = 0;  // members not yet answered, and one for the run itself
  Reply reply;
  void Finish() {
    if (--left == 0) reply(std::move(outcome));
  }
};

void Service::SubmitToMembers(const Request& request, std::vector<Unit*> members, Reply reply) {
  // The outcome goes when the last member has answered.
  auto run = std::make_shared<MembersRun>();
  run->request = request;
  for (const Unit* member : members) run->ids.push_back(member->id);
  run->left = members.size() + 1;
  run->reply = std::move(reply);
  // Only the HTTP API and the console answer with the units' states: the
  // other fronts' answers are on the units' topics and registers, and a
  // flood of gets joined to one read must not cost a document each.
  run->states = request.origin == Origin::kHttp || request.origin == Origin::kWeb;
  SubmitSlice(run);
}

void Service::SubmitSlice(const std::shared_ptr<MembersRun>& run) {
  // A group of hundreds is taken a slice a turn: the loop serves the other
  // fronts between the slices.
  const Request& request = run->request;
  const std::size_t end = std::min(run->ids.size(), run->next + kMembersAtOnce);
  for (; run->next < end; ++run->next) {
    const std::string& id = run->ids[run->next];
    // Answered once what the unit was told is kept where another instance
    // taking it over would find it.
    const Done done = [this, id, run](const std::string& failed) {
      owners_->AfterKept(id, [this, id, run, failed] {
        const auto unit = units_.find(id);
        if (!failed.empty() || unit == units_.end()) {
          run->outcome.failed.emplace_back(id, failed.empty() ? "the unit is gone" : failed);
        } else if (run->states) {
          run->outcome.answered.push_back(StateOf(unit->second, true));
        }
        run->Finish();
      });
    };
    const auto found = units_.find(id);
    if (found == units_.end() || found->second.role == Role::kStandby) {
      done("the unit is gone");
      continue;
    }
    Unit& member = found->second;
    if (member.role == Role::kUndecided) {
      // Applied only once this instance knows it drives the unit: a command
      // the broker kept for it while it was away is the owner's alone.
      if (member.undecided.size() >= kCommandsWaiting && request.origin != Origin::kEscalation) {
        done("the unit is busy: " + std::to_string(kCommandsWaiting) +
             " commands wait for it already");
        continue;
      }
      member.undecided.push_back([this, run, id, done](const std::string& to) {
        const auto unit = units_.find(id);
        if (!to.empty() || unit == units_.end()) {
          return done(to.empty() ? "the unit is gone"
                                 : "the unit is served by instance " + to + " now");
        }
        SubmitToMember(run, unit->second, done);
      });
      continue;
    }
    SubmitToMember(run, member, done);
  }
  if (run->next < run->ids.size()) {
    loop_.After(std::chrono::milliseconds(0), [this, run] { SubmitSlice(run); });
    return;
  }
  run->Finish();
}

void Service::SubmitToMember(const std::shared_ptr<MembersRun>& run, Unit& member,
                             const Done& done) {
  const Request& request = run->request;
  const bool one = run->ids.size() == 1;
  const std::string& id = member.id;
  if (request.read) {
    Read(member, done);
    return;
  }
  // A step of an escalation is never lost to a full queue: how many a call
  // makes is bounded where it is taken.
  if (member.waiting.size() >= kCommandsWaiting && request.origin != Origin::kEscalation) {
    const std::string why =
        "the unit is busy: " + std::to_string(kCommandsWaiting) + " commands wait for it already";
    if (one) run->outcome = Outcome::Refused(Outcome::Refusal::kFull, why);
    run->outcome.failed.emplace_back(id, why);
    run->Finish();
    return;
  }
  if (request.command.ack && !member.signals.Unanswered()) {
    // Nothing to answer is no fault of the unit's: told as such.
    Record({.unit = id,
            .kind = "ack",
            .origin = std::string(OriginName(request.origin)),
            .who = request.command.ack->first,
            .reason = "nothing to acknowledge"});
    run->outcome.nothingToAcknowledge.push_back(id);
    run->Finish();
    return;
  }
  if (const auto refused = Apply(member, request, done)) {
    if (one) run->outcome = Outcome::Refused(Outcome::Refusal::kFull, *refused);
    run->outcome.failed.emplace_back(id, *refused);
    run->Finish();
  }
}

void Service::Read(Unit& unit, Done done) {
  if (unit.reading) {
    if (unit.reading->size() >= kReadersWaiting) {
      return done("the unit is busy: " + std::to_string(kReadersWaiting) +
                  " reads wait for it already");
    }
    unit.reading->push_back(std::move(done));
    return;
  }
  auto readers = std::make_shared<std::vector<Done>>();
  readers->push_back(std::move(done));
  unit.reading = readers;
  Send(unit, protocol::StatusRequest(ModelOf(unit)),
       [this, id = unit.id, readers](const std::string& why) {
         if (const auto found = units_.find(id);
             found != units_.end() && found->second.reading == readers) {
           found->second.reading.reset();
         }
         for (const Done& reader : *readers) reader(why);
       });
}

void Service::Relay(const Request& request, TopicKind kind) {
  if (!mqtt_->Connected()) return;
  Command command = request.command;
  if (command.client.empty()) command.client = Who(request);
  command.relayedBy = config_.name;
  mqtt_->Publish(kind, request.name, request.read ? "" : CommandText(command), false);
}

}  // namespace lampd
