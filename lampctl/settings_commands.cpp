#include "settings_commands.h"

#include <algorithm>

#include "broadcast.h"
#include "text_format.h"

namespace lampctl {
namespace {

using namespace std::chrono_literals;

// As NetAssign's: a host that never stops sending cannot hold us for good.
constexpr auto kCollectionBound = 3s;

std::vector<platform::Datagram> Exchange(const protocol::SettingsFrame& request,
                                         const BroadcastOptions& options,
                                         SettingsOutcome& outcome) {
  const auto exchange = platform::ExchangeBroadcast(
      request, protocol::kSettingsPort, protocol::kSettingsReplyPort, options.interfaces,
      options.wait, options.wait + kCollectionBound);
  using Outcome = platform::BroadcastExchange::Outcome;
  const std::string reason = platform::ReasonText(exchange.reason);
  switch (exchange.outcome) {
    case Outcome::kDone:
      for (const std::string& name : exchange.sent.failedVia) {
        outcome.warnings.push_back("could not send on " + name + ": " + reason);
      }
      return exchange.replies;
    case Outcome::kNoSocket:
      outcome.error = "no udp socket: " + reason;
      break;
    case Outcome::kReplyPortBusy:
      outcome.error = "cannot receive on udp port 50001: " + reason;
      break;
    case Outcome::kNotSent:
      outcome.error = "the request could not be sent on any interface: " + reason;
      break;
  }
  outcome.networkUnusable = true;
  return {};
}

protocol::SettingsFrame Request(protocol::SettingsCommand command,
                                const protocol::SettingsRecord& record) {
  protocol::SettingsFrame frame{};
  protocol::BuildSettingsFrame(frame, command, protocol::FieldsOf(record));
  return frame;
}

bool SameSettings(const protocol::SettingsRecord& a, const protocol::SettingsRecord& b) {
  return a.ipAddress == b.ipAddress && a.subnetMask == b.subnetMask && a.gateway == b.gateway &&
         a.port == b.port && a.t == b.t;
}

}  // namespace

std::vector<UnitSettings> FindUnits(const BroadcastOptions& options, SettingsOutcome& outcome) {
  const auto replies = Exchange(Request(protocol::FindMac, {}), options, outcome);
  std::vector<UnitSettings> units;
  for (const platform::Datagram& datagram : replies) {
    if (protocol::DecodeReply(datagram.bytes).kind != protocol::DecodedReply::kMacAnswer) continue;
    const auto record = protocol::ReadRecord(datagram.bytes);
    const bool listed = std::any_of(units.begin(), units.end(), [&](const UnitSettings& unit) {
      return unit.record.mac == record->mac;
    });
    if (!listed) units.push_back({*record, datagram.from.DottedText()});
  }
  std::sort(units.begin(), units.end(), [](const UnitSettings& a, const UnitSettings& b) {
    return a.record.mac < b.record.mac;
  });
  return units;
}

std::optional<UnitSettings> ReadUnit(const protocol::MacBytes& mac, const BroadcastOptions& options,
                                     SettingsOutcome& outcome) {
  protocol::SettingsRecord asked;
  asked.mac = mac;
  const auto replies = Exchange(Request(protocol::Read, asked), options, outcome);
  std::optional<UnitSettings> first;
  for (const platform::Datagram& datagram : replies) {
    if (protocol::DecodeReply(datagram.bytes).kind != protocol::DecodedReply::kReadReply) continue;
    const auto record = protocol::ReadRecord(datagram.bytes);
    if (record->mac != mac) continue;  // not the unit asked for
    if (!first) {
      first = UnitSettings{*record, datagram.from.DottedText()};
    } else if (!SameSettings(first->record, *record)) {
      outcome.warnings.push_back("another answer for " + protocol::MacColonText(mac) + " from " +
                                 datagram.from.DottedText() +
                                 " with other settings; kept the one from " + first->from);
    }
  }
  return first;
}

bool WriteUnit(const protocol::SettingsRecord& record, const BroadcastOptions& options,
               SettingsOutcome& outcome) {
  const auto replies = Exchange(Request(protocol::Write, record), options, outcome);
  return std::any_of(replies.begin(), replies.end(), [&](const platform::Datagram& datagram) {
    const auto answer = protocol::ReadRecord(datagram.bytes);
    return answer && answer->command[0] == 'I' && answer->command[1] == 'W' &&
           answer->mac == record.mac;
  });
}

}  // namespace lampctl
