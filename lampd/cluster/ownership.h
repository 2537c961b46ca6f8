// Who drives a unit with etcd, as pure rules: which instance takes a
// free unit first, and how long an instance may drive on its lease.
#pragma once

#include <chrono>
#include <set>
#include <string>

namespace lampd {

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
