#include "access_rules.h"

#include <algorithm>

namespace lampd {
namespace {

std::string Named(const Person& person) {
  return std::string(RoleName(person.role)) + " " + person.name;
}

}  // namespace

std::string RoleRefusal(const Person& person, Role role, const std::string& what) {
  if (person.role >= role) return "";
  return Named(person) + " may not " + what + " (a " + std::string(RoleName(role)) + "'s right)";
}

std::string CommandRefusal(
    const Person& person, const Request& request,
    const std::function<bool(const std::string& id, const std::string& group)>& member) {
  const Command& command = request.command;
  if (request.read) return "";
  if (request.target != Request::Target::kUnit) {
    return RoleRefusal(person, Role::kSupervisor, "command a group or all units");
  }
  if (command.clear) return RoleRefusal(person, Role::kSupervisor, "clear a lease");
  if (command.reset) return RoleRefusal(person, Role::kSupervisor, "reset a unit");
  if (const std::string why = RoleRefusal(
          person, Role::kOperator, command.ack ? "acknowledge a call" : "change what a unit shows");
      !why.empty()) {
    return why;
  }
  if (person.role > Role::kOperator || person.groups.empty()) return "";
  const bool ours =
      std::any_of(person.groups.begin(), person.groups.end(),
                  [&](const std::string& group) { return member(request.name, group); });
  if (ours) return "";
  std::string groups;
  for (const std::string& group : person.groups) groups += (groups.empty() ? "" : ", ") + group;
  return Named(person) + " acts on the units of " + groups + " only; " + request.name +
         " is not one of them";
}

void Failures::Failed(std::chrono::steady_clock::time_point now) {
  ++count;
  if (count < kFreeFailures) return;
  const int doublings = std::min(count - kFreeFailures, 7);
  until = now + std::min<std::chrono::steady_clock::duration>(
                    kFirstWait * (std::int64_t{1} << doublings), kLongestWait);
}

std::chrono::steady_clock::duration Failures::Wait(
    std::chrono::steady_clock::time_point now) const {
  return until > now ? until - now : std::chrono::steady_clock::duration::zero();
}

}  // namespace lampd
