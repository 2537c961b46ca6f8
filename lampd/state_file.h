// The leases (and the baselines under them) kept across restarts: one JSON
// file, written whole to a temporary file, synced and renamed over the old
// one, so a crash or a power cut leaves the old file or the new, never half.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "leases.h"

namespace lampd {

struct SavedSignals {
  std::map<std::string, UnitSignals> units;  // by unit id
  std::uint64_t serial = 0;                  // the last lease's
};

// A lease as states and the file show it: {source, priority, expires,
// lamps: {red: "on"}, sound}.
nlohmann::ordered_json LeaseJson(const Lease& lease);

// False with `why` (errno's text) when the file could not be written.
bool SaveSignals(const std::string& path, const SavedSignals& saved, std::string& why);

enum class LoadOutcome { kNoFile, kLoaded, kMovedAside, kUnreadable };
// Reads the file, dropping leases expired at `now`. A file that does not
// parse is renamed to PATH.bad-TIME (`note` says where), so it is neither
// lost nor read again.
LoadOutcome LoadSignals(const std::string& path, WallClock::time_point now, SavedSignals& saved,
                        std::string& note);

}  // namespace lampd
