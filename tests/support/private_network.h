#pragma once

namespace lamptest {

// True when lo is the only network interface (a private namespace made by
// scripts/private-net), so nothing sent can leave the machine; otherwise
// says so on standard error.
bool InsidePrivateNetwork();

}  // namespace lamptest
