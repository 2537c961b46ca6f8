// Who may do what over HTTP, as pure rules: a person's role, and for an
// operator the groups its line names, against what a request would do.
//
//   viewer      sees the plant and the events
//   operator    also acknowledges calls and sets or holds what a unit shows,
//               on the units of its groups (all units when it names none)
//   supervisor  also clears leases, resets, commands groups and many units
//               at once, and takes Alertmanager's webhook
//   admin       everything
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "lampd/core/plant.h"
#include "person.h"

namespace lampd {

// Why `person` may not send `request` (a unit's or a group's command); ""
// when it may. `member` says whether a unit belongs to a group.
std::string CommandRefusal(
    const Person& person, const Request& request,
    const std::function<bool(const std::string& id, const std::string& group)>& member);

// Why `person` may not use a route that needs `role`; "" when it may.
std::string RoleRefusal(const Person& person, Role role, const std::string& what);

// Sign-in attempts of one address or one name: after kFreeFailures wrong
// ones in a row, each further attempt waits twice as long as the last
// (from kFirstWait up to kLongestWait), until one succeeds.
struct Failures {
  static constexpr int kFreeFailures = 5;
  static constexpr std::chrono::seconds kFirstWait{5};
  static constexpr std::chrono::seconds kLongestWait{300};
  int count = 0;
  std::chrono::steady_clock::time_point until{};
  void Failed(std::chrono::steady_clock::time_point now);
  // How long until an attempt is taken again; zero when it is now.
  std::chrono::steady_clock::duration Wait(std::chrono::steady_clock::time_point now) const;
};

}  // namespace lampd
