// status, set, reset and poll: one lamp frame to each unit, all at once,
// what each unit answered, and what the commands print.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/lamp_frame.h"
#include "protocol/unit_address.h"

namespace lampctl {

inline constexpr auto kConnectLimit = std::chrono::milliseconds(1000);

struct LampExchangeOptions {
  int parallel = 256;
  std::chrono::milliseconds timeout{300};  // for the reply, after the send
  bool json = false;
};

struct UnitAnswer {
  protocol::UnitAddress unit;
  bool ok = false;
  bool noSocket = false;  // the network itself could not be used
  std::string error;      // why it failed
  double seconds = 0;
  protocol::LampFrame reply{};  // the unit's state, when ok
};

// `frame` (wire form) to every unit; the answers in the order of `units`.
std::vector<UnitAnswer> ExchangeFrame(const std::vector<protocol::UnitAddress>& units,
                                      const protocol::LampFrame& frame,
                                      const LampExchangeOptions& options);

// LAMP=STATE or sound=N|off, as a lamp number (the sound is 5) and its code;
// nothing with `error` when it does not parse.
std::optional<std::pair<int, std::uint8_t>> ParseAssignment(const std::string& text,
                                                            std::string& error);

// All of a set command's assignments as the codes of one write; nothing
// with `error` when one does not parse or a lamp is named twice.
std::optional<protocol::LampCodes> ParseAssignments(const std::vector<std::string>& texts,
                                                    std::string& error);

// The commands, printing their results; each returns the exit status.
// status, set and reset are all this, with their own frame.
int Status(const LampExchangeOptions& options, const std::vector<protocol::UnitAddress>& units,
           const protocol::LampFrame& frame);
int Poll(const LampExchangeOptions& options, const std::vector<protocol::UnitAddress>& units);

}  // namespace lampctl
