// What lampd's benchmarks share: a fleet of simulated units from
// 192.168.20.1 on, one [[unit]] table each in lampd's configuration, and
// how many units are up and how a percentile is read.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace lampbench {

// Unit i's address: 192.168.20.1, .2, ... on through 192.168.21.0 and beyond,
// as `lampunit --address 192.168.20.1 --count N` numbers them.
inline std::string FleetAddress(int i) {
  const int host = 1 + i;
  return "192.168." + std::to_string(20 + host / 256) + "." + std::to_string(host % 256);
}

// The [[unit]] tables of units u0 .. u<count-1>.
inline std::string FleetUnitTables(int count) {
  std::string tables;
  for (int i = 0; i < count; ++i) {
    tables +=
        "[[unit]]\nid = \"u" + std::to_string(i) + "\"\naddress = \"" + FleetAddress(i) + "\"\n";
  }
  return tables;
}

// How many units lampd's metrics text says are up.
inline int UnitsUp(const std::string& metrics) {
  int up = 0;
  for (std::size_t at = metrics.find("\nlampd_unit_up{"); at != std::string::npos;
       at = metrics.find("\nlampd_unit_up{", at + 1)) {
    const std::size_t end = metrics.find('\n', at + 1);
    if (end != std::string::npos && metrics.compare(end - 2, 2, " 1") == 0) ++up;
  }
  return up;
}

inline double Percentile(std::vector<double> values, double at) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(at * values.size()))];
}

}  // namespace lampbench
