// find, read and write: the settings record broadcast on every adapter (or
// those named), and the units' answers matched to what was asked.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "settings_frame.h"

namespace lampctl {

struct UnitSettings {
  protocol::SettingsRecord record;  // MAC, address, mask, gateway, port, T
  std::string from;                 // the address the answer came from
};

// What a broadcast command ended with.
struct SettingsOutcome {
  bool networkUnusable = false;  // no socket, reply port taken, or sent nowhere
  std::string error;             // why, when unusable
  std::vector<std::string> warnings;
};

struct BroadcastOptions {
  std::vector<std::string> interfaces;  // empty: every adapter
  std::chrono::milliseconds wait{200};  // quiet window after the last answer
};

// Every unit that answers a Mac Find, once each, in MAC order.
std::vector<UnitSettings> FindUnits(const BroadcastOptions& options, SettingsOutcome& outcome);

// The settings of the unit with `mac`, or nothing when it did not answer.
std::optional<UnitSettings> ReadUnit(const protocol::MacBytes& mac, const BroadcastOptions& options,
                                     SettingsOutcome& outcome);

// Sends a write of `record` to the unit with record.mac; true when that
// unit acknowledged it.
bool WriteUnit(const protocol::SettingsRecord& record, const BroadcastOptions& options,
               SettingsOutcome& outcome);

}  // namespace lampctl
