// A file of units for poll --from: one unit or range a line, as on the
// command line.
#pragma once

#include <string>
#include <vector>

#include "protocol/unit_address.h"

namespace lampctl {

// Blank lines and '#' comments are skipped.
bool ReadUnitFile(const std::string& path, std::vector<protocol::UnitAddress>& units,
                  std::string& error);

}  // namespace lampctl
