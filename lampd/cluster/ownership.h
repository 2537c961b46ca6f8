// Which instance serves a unit, decided from what the broker holds: the
// instance a unit's retained state names serves it while that instance's
// bridge state says online, so an instance that comes back finds its units
// served and leaves them be (no flapping). A unit no online instance holds
// is taken by the instances that reach it; when two hold one at once, the
// instance whose name comes first in byte order keeps it. A name that is
// not an online instance's takes nothing away. Pure: the service asks.
// With etcd, which instance takes a free unit first and how long an
// instance may drive on its lease are rules of this file too.
#pragma once

#include <chrono>
#include <set>
#include <string>
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

// With etcd: the instance that ranks first for unit `id` among `instances`
// (rendezvous hashing: each unit's rank of every instance, the same on every
// instance, so units spread evenly and only a gone instance's units move).
std::string FirstFor(const std::set<std::string>& instances, const std::string& id);

// How long after the send of a keep-alive etcd confirmed an instance may go
// on sending frames: the lease, less a second or a fifth of the lease (the
// larger: clocks' rates, the loop's turns, a keep-alive's way), less the
// time a frame may take to reach its unit.
std::chrono::milliseconds Fence(std::chrono::milliseconds lease,
                                std::chrono::milliseconds frameTimeout);

}  // namespace lampd
