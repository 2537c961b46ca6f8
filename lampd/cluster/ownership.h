// Which instance serves a unit, decided from what the broker holds: the
// instance a unit's retained state names serves it while that instance's
// bridge state says online, so an instance that comes back finds its units
// served and leaves them be (no flapping). A unit no online instance holds
// is taken by the instances that reach it; when two hold one at once, the
// instance whose name comes first in byte order keeps it. A name that is
// not an online instance's takes nothing away. Pure: the service asks.
#pragma once

#include <string_view>

namespace lampd {

enum class Serve { kHere, kThere };

struct OwnershipFacts {
  std::string_view us;     // this instance's name
  std::string_view named;  // the instance the unit's last state names; empty: none
  bool namedOnline = false;
  bool servingHere = false;  // this instance serves (or has claimed) the unit now
};

Serve WhoServes(const OwnershipFacts& facts);

}  // namespace lampd
