// find, read and write: the settings record broadcast on every adapter (or
// those named), the units' answers matched to what was asked, and what the
// commands print.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "protocol/settings_frame.h"

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
  std::size_t notRecords = 0;  // datagrams that were no settings record
  std::string firstNotRecordFrom;
};

struct BroadcastOptions {
  std::vector<std::string> interfaces;  // empty: every adapter
  std::chrono::milliseconds wait{200};  // quiet window after the last answer
  bool json = false;
};

// Units a find lists at the most; answers from more are counted and said.
inline constexpr std::size_t kFindLimit = 65536;

// Every unit that answers a Mac Find, once each, in MAC order.
std::vector<UnitSettings> FindUnits(const BroadcastOptions& options, SettingsOutcome& outcome);

// The settings of the unit with `mac`, or nothing when it did not answer.
std::optional<UnitSettings> ReadUnit(const protocol::MacBytes& mac, const BroadcastOptions& options,
                                     SettingsOutcome& outcome);

// Sends a write of `record` to the unit with record.mac; true when that
// unit acknowledged it.
bool WriteUnit(const protocol::SettingsRecord& record, const BroadcastOptions& options,
               SettingsOutcome& outcome);

// The values `write` changes; the rest stay as the unit holds them.
struct WriteValues {
  std::optional<std::string> ip, mask, gateway;
  std::optional<int> port, t;
  bool noConfirm = false;
  bool force = false;  // write settings that would take the unit off the network
  bool Any() const { return ip || mask || gateway || port || t; }
};

// The commands, printing their results; each returns the exit status.
int Find(const BroadcastOptions& options);
int Read(const BroadcastOptions& options, const std::string& macText);
int Write(const BroadcastOptions& options, const std::string& macText, const WriteValues& values);

}  // namespace lampctl
