// The leases (and the baselines under them) kept across restarts: one JSON
// file, written whole to a temporary file, synced and renamed over the old
// one, so a crash or a power cut leaves the old file or the new, never half.
// Expiry is kept as wall-clock time and turned back into the monotonic
// clock at start.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "leases.h"

namespace lampd {

struct SavedSignals {
  std::map<std::string, UnitSignals> units;  // by unit id
  std::uint64_t serial = 0;                  // the last lease's
};

// The file's text, and what it reads back as (no I/O: the fuzz tree reads it too).
std::string SignalsText(const SavedSignals& saved, const ClockPair& clocks);
// False for text that is not such a file, whatever its shape; leases ended
// at `clocks` are dropped.
bool ParseSignals(const std::string& text, const ClockPair& clocks, SavedSignals& saved);

// False with `why` (errno's text) when the file could not be written.
bool SaveSignals(const std::string& path, const SavedSignals& saved, const ClockPair& clocks,
                 std::string& why);

enum class LoadOutcome { kNoFile, kLoaded, kMovedAside, kUnreadable };
// Reads the file. One that does not read as a state file (bad JSON, the
// wrong shape, too large) is renamed to PATH.bad-TIME (`note` says where),
// so it is neither lost nor read again; a path that is not a file or
// cannot be read is kUnreadable, never written over.
LoadOutcome LoadSignals(const std::string& path, const ClockPair& clocks, SavedSignals& saved,
                        std::string& note);

}  // namespace lampd
