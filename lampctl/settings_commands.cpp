#include "settings_commands.h"

#include <map>

#include "net/broadcast.h"
#include "output.h"
#include "protocol/text_format.h"
#include "report.h"

namespace lampctl {
namespace {

using namespace std::chrono_literals;

// As NetAssign's: a host that never stops sending cannot hold us for good.
constexpr auto kCollectionBound = 3s;

// The request out of every adapter (or those named), `onAnswer` for each
// whole record that comes back.
void Exchange(const protocol::SettingsMessage& request, const BroadcastOptions& options,
              SettingsOutcome& outcome,
              const std::function<void(const protocol::SettingsMessage&, const std::string& from)>&
                  onAnswer) {
  platform::BroadcastOptions broadcast;
  broadcast.unitPort = protocol::kSettingsPort;
  broadcast.replyPort = protocol::kSettingsReplyPort;
  broadcast.interfaces = options.interfaces;
  broadcast.quiet = options.wait;
  broadcast.bound = options.wait + kCollectionBound;
  const auto exchange = platform::ExchangeBroadcast(
      protocol::Encode(request), broadcast,
      [&](const platform::SocketAddress& from, std::span<const std::uint8_t> datagram) {
        if (const auto answer = protocol::Decode(datagram)) onAnswer(*answer, from.DottedText());
      });
  using Failure = platform::BroadcastChannel::Failure;
  const std::string reason = platform::ReasonText(exchange.reason);
  switch (exchange.failedAt) {
    case Failure::kNone:
      for (const std::string& name : exchange.sent.failedVia) {
        outcome.warnings.push_back("could not send on " + name + ": " + reason);
      }
      return;
    case Failure::kSocketLayer:
    case Failure::kSendSocket:
    case Failure::kReceiveSocket:
      outcome.error = "no udp socket: " + reason;
      break;
    case Failure::kReplyPort:
      outcome.error = "cannot receive on udp port 50001: " + reason;
      break;
    case Failure::kNotSent:
      outcome.error = "the request could not be sent on any interface: " + reason;
      break;
  }
  outcome.networkUnusable = true;
}

int ReportUnusable(const SettingsOutcome& outcome) {
  Warn(outcome.error);
  return kNetworkUnusable;
}

void ReportWarnings(const SettingsOutcome& outcome) {
  for (const std::string& warning : outcome.warnings) Warn(warning);
}

std::string NoAnswer(const protocol::MacBytes& mac, const BroadcastOptions& options) {
  return protocol::MacColonText(mac) + ": no answer within " +
         std::to_string(options.wait.count()) + " ms";
}

// Each value written that the unit, read back, does not hold.
std::vector<json> Differences(const protocol::SettingsRecord& written,
                              const protocol::SettingsRecord& read) {
  std::vector<json> differences;
  auto compare = [&](const char* field, const std::string& wanted, const std::string& held) {
    if (wanted != held)
      differences.push_back({{"field", field}, {"written", wanted}, {"read", held}});
  };
  compare("ip", protocol::DottedText(written.ipAddress), protocol::DottedText(read.ipAddress));
  compare("mask", protocol::DottedText(written.subnetMask), protocol::DottedText(read.subnetMask));
  compare("gateway", protocol::DottedText(written.gateway), protocol::DottedText(read.gateway));
  compare("port", std::to_string(written.port), std::to_string(read.port));
  compare("t", std::to_string(written.t), std::to_string(read.t));
  return differences;
}

}  // namespace

std::vector<UnitSettings> FindUnits(const BroadcastOptions& options, SettingsOutcome& outcome) {
  std::map<protocol::MacBytes, UnitSettings> found;  // once each, in MAC order
  Exchange(protocol::SettingsRequest(protocol::FindMac, {}, {}), options, outcome,
           [&](const protocol::SettingsMessage& answer, const std::string& from) {
             if (answer.AnswersFind()) found.try_emplace(answer.record.mac, answer.record, from);
           });
  std::vector<UnitSettings> units;
  for (auto& [mac, unit] : found) units.push_back(std::move(unit));
  return units;
}

std::optional<UnitSettings> ReadUnit(const protocol::MacBytes& mac, const BroadcastOptions& options,
                                     SettingsOutcome& outcome) {
  protocol::SettingsRecord asked;
  asked.mac = mac;
  std::optional<UnitSettings> first;
  Exchange(protocol::SettingsRequest(protocol::Read, asked, mac), options, outcome,
           [&](const protocol::SettingsMessage& answer, const std::string& from) {
             if (!answer.IsReadReply() || answer.record.mac != mac) return;  // not what was asked
             if (!first) {
               first = UnitSettings{answer.record, from};
             } else if (!protocol::SameSettings(first->record, answer.record)) {
               outcome.warnings.push_back("another answer for " + protocol::MacColonText(mac) +
                                          " from " + from +
                                          " with other settings; kept the one from " + first->from);
             }
           });
  return first;
}

bool WriteUnit(const protocol::SettingsRecord& record, const BroadcastOptions& options,
               SettingsOutcome& outcome) {
  bool acknowledged = false;
  Exchange(protocol::SettingsRequest(protocol::Write, record, record.mac), options, outcome,
           [&](const protocol::SettingsMessage& answer, const std::string&) {
             acknowledged =
                 acknowledged || (answer.IsWriteReply() && answer.record.mac == record.mac);
           });
  return acknowledged;
}

int Find(const BroadcastOptions& options) {
  SettingsOutcome outcome;
  const auto units = FindUnits(options, outcome);
  ReportWarnings(outcome);
  if (options.json) {
    json list = json::array();
    for (const UnitSettings& unit : units) list.push_back(SettingsJson(unit));
    PrintJson(list);
  } else if (!units.empty()) {
    PrintSettingsTable(std::cout, units);
  }
  if (outcome.networkUnusable) return ReportUnusable(outcome);
  if (units.empty()) {
    Warn("no unit answered within " + std::to_string(options.wait.count()) + " ms");
    return kUnitFailed;
  }
  return kOk;
}

int Read(const BroadcastOptions& options, const std::string& macText) {
  protocol::MacBytes mac{};
  protocol::ParseMac(macText, mac);
  SettingsOutcome outcome;
  const auto unit = ReadUnit(mac, options, outcome);
  ReportWarnings(outcome);
  const std::string error = outcome.networkUnusable ? outcome.error : NoAnswer(mac, options);
  if (options.json) {
    json document = unit ? SettingsJson(*unit) : json{{"mac", protocol::MacColonText(mac)}};
    document["ok"] = unit.has_value();
    if (!unit) document["error"] = error;
    PrintJson(document);
  } else if (unit) {
    PrintSettingsTable(std::cout, {*unit});
  }
  if (outcome.networkUnusable) return ReportUnusable(outcome);
  if (!unit) {
    Warn(error);
    return kUnitFailed;
  }
  return kOk;
}

int Write(const BroadcastOptions& options, const std::string& macText, const WriteValues& values) {
  protocol::MacBytes mac{};
  protocol::ParseMac(macText, mac);
  json document = {{"mac", protocol::MacColonText(mac)}, {"ok", false}};
  auto fail = [&](int status, const std::string& error) {
    Warn(error);
    document["error"] = error;
    if (options.json) PrintJson(document);
    return status;
  };

  // Only the values given change; the rest are the unit's own.
  SettingsOutcome outcome;
  const auto before = ReadUnit(mac, options, outcome);
  ReportWarnings(outcome);
  if (outcome.networkUnusable) return fail(kNetworkUnusable, outcome.error);
  if (!before) return fail(kUnitFailed, NoAnswer(mac, options));
  protocol::SettingsRecord record = before->record;
  if (values.ip) protocol::ParseIpv4(*values.ip, record.ipAddress);
  if (values.mask) protocol::ParseIpv4(*values.mask, record.subnetMask);
  if (values.gateway) protocol::ParseIpv4(*values.gateway, record.gateway);
  if (values.port) record.port = static_cast<std::uint16_t>(*values.port);
  if (values.t) record.t = static_cast<std::uint8_t>(*values.t);
  const UnitSettings written{record, before->from};
  document["written"] = SettingsJson(written);

  SettingsOutcome writeOutcome;
  const bool acknowledged = WriteUnit(record, options, writeOutcome);
  ReportWarnings(writeOutcome);
  if (writeOutcome.networkUnusable) return fail(kNetworkUnusable, writeOutcome.error);
  document["acknowledged"] = acknowledged;
  if (!options.json) {
    std::cout << protocol::MacColonText(mac) << ": wrote ip "
              << protocol::DottedText(record.ipAddress) << ", mask "
              << protocol::DottedText(record.subnetMask) << ", gateway "
              << protocol::DottedText(record.gateway) << ", port " << record.port << ", t "
              << int{record.t} << (acknowledged ? "" : " (no acknowledgement)") << '\n';
  }
  if (values.noConfirm) {
    document["confirmed"] = nullptr;
    document["ok"] = true;
    if (options.json) PrintJson(document);
    return kOk;
  }

  SettingsOutcome readOutcome;
  const auto after = ReadUnit(mac, options, readOutcome);
  ReportWarnings(readOutcome);
  if (readOutcome.networkUnusable) return fail(kNetworkUnusable, readOutcome.error);
  if (!after) {
    document["confirmed"] = false;
    return fail(kUnitFailed, "read-back: " + NoAnswer(mac, options));
  }
  const auto differences = Differences(record, after->record);
  document["confirmed"] = differences.empty();
  document["differences"] = differences;
  document["ok"] = differences.empty();
  if (options.json) PrintJson(document);
  if (differences.empty()) {
    if (!options.json) std::cout << "read back: the unit holds what was written\n";
    return kOk;
  }
  std::string text = protocol::MacColonText(mac) + ": read back differs:";
  for (const json& difference : differences) {
    text += " " + difference["field"].get<std::string>() + " is " +
            difference["read"].get<std::string>() + ", not " +
            difference["written"].get<std::string>() + ";";
  }
  text.pop_back();
  Warn(text);
  return kUnitFailed;
}

}  // namespace lampctl
