// Alertmanager's webhook read against the [[alert]] rules: each alert that
// matches a rule becomes a command for the rule's target, a lease while it
// fires, a clear once it resolves. All or nothing: a body with any wrong
// type or value is refused whole, with the reason, and gives no command.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lampd/core/command.h"
#include "lampd/core/leases.h"
#include "protocol/lamp_frame.h"

namespace lampd {

// An alert whose labels hold every label of `match` lights `target` (a unit
// id or "group:NAME") with `set` for as long as it fires.
struct AlertRule {
  int line = 0;
  std::vector<std::pair<std::string, std::string>> match;
  std::string target;
  protocol::LampCodes set = protocol::kLeaveAllUnchanged;  // the lamps and the sound
  int priority = 9;
  std::chrono::milliseconds lasts{6 * 60 * 60 * 1000};  // without word from Alertmanager, at most
  std::vector<EscalationStep> escalate;                 // while nobody answers
};

struct AlertCommand {
  std::string target;  // a unit id or "group:NAME"
  Command command;
};

struct AlertBatch {
  int firing = 0, resolved = 0;
  std::vector<AlertCommand> commands;
};

// False with `why` for a body that is not Alertmanager's webhook JSON as
// it should be; then `batch` is left as it was.
bool ReadAlerts(std::string_view body, const std::vector<AlertRule>& rules,
                WallClock::time_point now, AlertBatch& batch, std::string& why);

// The longest prefix of `text` of at most `bytes` bytes that ends on a
// UTF-8 character's boundary.
std::string CutUtf8(std::string_view text, std::size_t bytes);

}  // namespace lampd
