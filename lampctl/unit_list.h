// A file of units for poll --from: one unit or range a line, as on the
// command line, '#' comments and blank lines skipped. A file that names no
// unit, is not a file, or is not text is refused, as is one past the limits.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/unit_address.h"

namespace lampctl {

inline constexpr std::size_t kUnitFileLineLimit = 1024;      // bytes a line
inline constexpr std::size_t kUnitFileByteLimit = 16 << 20;  // bytes a file
inline constexpr std::size_t kUnitLimit = 65536;             // units a poll

// False with `error` ("FILE:LINE: why", "no units in FILE", the system's
// reason when it cannot be read).
bool ReadUnitFile(const std::string& path, std::vector<protocol::UnitAddress>& units,
                  std::string& error);

}  // namespace lampctl
