// What anyone on the broker or the HTTP port may send lampd as a command
// or an acknowledgement, the times Alertmanager sends, a line of the
// journal read back, and a state document another instance published. A
// command taken is the same command when written out and read again (how a
// group command reaches the other instances); a time taken prints as itself
// to the millisecond.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lampd/andon/journal_record.h"
#include "lampd/core/command.h"
#include "lampd/core/time_text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lampd::Command command;
  std::string why;
  if (lampd::ParseCommand(text, "fuzz", command, why)) {
    Check(why.empty());
    lampd::Command again;
    Check(lampd::ParseCommand(lampd::CommandText(command), "other", again, why));
    Check(again.codes == command.codes && again.reset == command.reset &&
          again.lease == command.lease && again.source == command.source &&
          again.clear == command.clear && again.relayedBy == command.relayedBy &&
          again.escalate == command.escalate && again.client == command.client);
    Check(command.clear || again.priority == command.priority);
    Check(!command.lease || (*command.lease > std::chrono::milliseconds(0) &&
                             *command.lease <= lampd::kLongestLease));
  } else {
    Check(!why.empty());
  }
  std::string field = text.substr(0, text.find('='));
  if (lampd::ParseField(field, text.substr(std::min(text.size(), field.size() + 1)), "fuzz",
                        command, why)) {
    Check(command.NamesAnything());
  }

  if (lampd::ParseAck(text, command, why)) {
    lampd::Command again;
    Check(lampd::ParseAck(lampd::CommandText(command), again, why) && again.ack == command.ack);
  }
  // A journal's line, whatever it holds, is judged without a fault.
  const lampd::Json record = lampd::Json::parse(text, nullptr, false);
  lampd::EventQuery query;
  query.unit = "press-3";
  query.since = "2026-01-01T00:00:00.000Z";
  query.Prepare();
  if (lampd::MayMatch(text, query)) lampd::Judge(record, query);
  lampd::AndonReport report("2026-01-01T00:00:00.000Z", "");
  report.Take(record);
  report.Result();
  // The same text as a state another instance published, as anyone on the broker may.
  const auto clocks = lampd::ClockPair::Now();
  lampd::UnitSignals signals;
  std::uint64_t serial = 0;
  lampd::SignalsOfState(record, clocks, serial, signals);
  // What the console keeps of it keeps itself whole, its leases a list.
  const lampd::Json kept = lampd::TheirStateOf(record, clocks);
  Check(kept.at("leases").is_array() && lampd::TheirStateOf(kept, clocks) == kept);

  if (const auto time = lampd::ParseTime(text)) {
    const auto again = lampd::ParseTime(lampd::TimeText(*time));
    Check(again && *again == std::chrono::time_point_cast<std::chrono::milliseconds>(*time));
  }
  return 0;
}
