// What lampctl prints: aligned columns for people (coloured only on a
// terminal), or one JSON document per call for scripts.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "lamp_commands.h"
#include "settings_commands.h"

namespace lampctl {

// Whether to colour what goes to standard output.
bool UseColour();

nlohmann::ordered_json SettingsJson(const UnitSettings& unit);
nlohmann::ordered_json AnswerJson(const UnitAnswer& answer);

// find and read: one row a unit.
void PrintSettingsTable(std::ostream& out, const std::vector<UnitSettings>& units);
// status, set and reset: a block a unit.
void PrintUnitState(std::ostream& out, const UnitAnswer& answer, bool colour);
// poll: one line a unit, in the order given.
void PrintPollTable(std::ostream& out, const std::vector<UnitAnswer>& answers, bool colour);

}  // namespace lampctl
