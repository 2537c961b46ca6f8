#include "settings_commands.h"

#include <algorithm>
#include <bit>
#include <unordered_set>

#include "net/broadcast.h"
#include "output.h"
#include "protocol/text_format.h"
#include "report.h"

namespace lampctl {
namespace {

using namespace std::chrono_literals;

// As NetAssign's: a host that never stops sending cannot hold us for good.
constexpr auto kCollectionBound = 3s;
// Warnings of one kind said at the most; the rest are counted.
constexpr std::size_t kWarningsShown = 5;

// The request out of every adapter (or those named), `onAnswer` for each
// whole record that comes back.
void Exchange(const protocol::SettingsMessage& request, const BroadcastOptions& options,
              SettingsOutcome& outcome,
              const std::function<void(const protocol::SettingsMessage&,
                                       const platform::SocketAddress& from)>& onAnswer) {
  platform::BroadcastOptions broadcast;
  broadcast.unitPort = protocol::kSettingsPort;
  broadcast.replyPort = protocol::kSettingsReplyPort;
  broadcast.interfaces = options.interfaces;
  broadcast.quiet = options.wait;
  broadcast.bound = options.wait + kCollectionBound;
  const auto exchange = platform::ExchangeBroadcast(
      protocol::Encode(request), broadcast,
      [&](const platform::SocketAddress& from, std::span<const std::uint8_t> datagram) {
        if (const auto answer = protocol::Decode(datagram)) {
          onAnswer(*answer, from);
        } else if (outcome.notRecords++ == 0) {
          outcome.firstNotRecordFrom = from.DottedText();
        }
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

std::uint32_t Number(const protocol::IpBytes& bytes) {
  return std::uint32_t{bytes[0]} << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
}

bool Contiguous(const protocol::IpBytes& mask) {
  const std::uint32_t hostBits = ~Number(mask);
  return (hostBits & (hostBits + 1)) == 0;
}

int PrefixLength(const protocol::SettingsRecord& record) {
  return std::popcount(Number(record.subnetMask));
}

// Why `address` cannot be a unit's own, or "" when it can.
std::string NotAUnitAddress(const protocol::IpBytes& address) {
  const std::string text = protocol::DottedText(address);
  if (Number(address) == 0) return "ip 0.0.0.0 is no host's address";
  if (Number(address) == 0xFFFFFFFF) return "ip 255.255.255.255 is the broadcast address";
  if (address[0] == 127) return "ip " + text + " is a loopback address";
  if (address[0] >= 224 && address[0] < 240) return "ip " + text + " is a multicast address";
  if (address[0] >= 240) return "ip " + text + " is a reserved address";
  return "";
}

bool OnItsSubnet(const protocol::IpBytes& other, const protocol::SettingsRecord& record) {
  const std::uint32_t mask = Number(record.subnetMask);
  return Number(other) == 0 ||  // no gateway at all
         (Number(other) & mask) == (Number(record.ipAddress) & mask);
}

// Why the settings as they would be written take the unit off the network.
std::string Unreachable(const protocol::SettingsRecord& record) {
  if (std::string why = NotAUnitAddress(record.ipAddress); !why.empty()) return why;
  if (!Contiguous(record.subnetMask)) {
    return "mask " + protocol::DottedText(record.subnetMask) +
           " is not a run of ones followed by zeros";
  }
  const std::uint32_t host = Number(record.ipAddress) & ~Number(record.subnetMask);
  if (PrefixLength(record) <= 30 && (host == 0 || host == ~Number(record.subnetMask))) {
    return "ip " + protocol::DottedText(record.ipAddress) + " is the " +
           (host == 0 ? "network" : "broadcast") + " address of its subnet /" +
           std::to_string(PrefixLength(record));
  }
  if (record.port == 0) return "port 0 takes no connections";
  return "";
}

std::string NoAnswer(const protocol::MacBytes& mac, const BroadcastOptions& options,
                     const SettingsOutcome& outcome) {
  std::string text = protocol::MacColonText(mac) + ": no answer within " +
                     std::to_string(options.wait.count()) + " ms";
  if (outcome.notRecords == 0) return text;
  // Something did answer, just not with a settings record: say so.
  return text + "; " + std::to_string(outcome.notRecords) +
         (outcome.notRecords == 1 ? " datagram that was not a settings record came"
                                  : " datagrams that were not settings records came") +
         " from " + outcome.firstNotRecordFrom + (outcome.notRecords > 1 ? " and others" : "");
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
  // Constant work a datagram, however many answer: a set of the MAC
  // addresses listed, one sort at the end, and a bound on what is kept.
  std::unordered_set<std::uint64_t> listed;
  std::vector<UnitSettings> units;
  std::size_t passedOver = 0;
  Exchange(protocol::SettingsRequest(protocol::FindMac, {}, {}), options, outcome,
           [&](const protocol::SettingsMessage& answer, const platform::SocketAddress& from) {
             if (!answer.AnswersFind()) return;
             std::uint64_t key = 0;
             for (std::uint8_t byte : answer.record.mac) key = key << 8 | byte;
             if (listed.contains(key)) return;
             if (units.size() >= kFindLimit) {
               ++passedOver;
               return;
             }
             listed.insert(key);
             units.push_back({answer.record, from.DottedText()});
           });
  if (passedOver > 0) {
    outcome.warnings.push_back("the listing is cut at " + std::to_string(kFindLimit) +
                               " units: " + std::to_string(passedOver) +
                               " more answers from other units were passed over");
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
  std::optional<UnitSettings> first;
  std::size_t others = 0;  // answers for the unit with other settings
  Exchange(protocol::SettingsRequest(protocol::Read, asked, mac), options, outcome,
           [&](const protocol::SettingsMessage& answer, const platform::SocketAddress& from) {
             if (!answer.IsReadReply() || answer.record.mac != mac) return;  // not what was asked
             if (!first) {
               first = UnitSettings{answer.record, from.DottedText()};
             } else if (!protocol::SameSettings(first->record, answer.record) &&
                        others++ < kWarningsShown) {
               outcome.warnings.push_back("another answer for " + protocol::MacColonText(mac) +
                                          " from " + from.DottedText() +
                                          " with other settings; kept the one from " + first->from);
             }
           });
  if (others > kWarningsShown) {
    outcome.warnings.push_back(std::to_string(others - kWarningsShown) + " more answers for " +
                               protocol::MacColonText(mac) + " with other settings");
  }
  return first;
}

bool WriteUnit(const protocol::SettingsRecord& record, const BroadcastOptions& options,
               SettingsOutcome& outcome) {
  bool acknowledged = false;
  Exchange(protocol::SettingsRequest(protocol::Write, record, record.mac), options, outcome,
           [&](const protocol::SettingsMessage& answer, const platform::SocketAddress&) {
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
  const std::string error =
      outcome.networkUnusable ? outcome.error : NoAnswer(mac, options, outcome);
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

  // Values that would take the unit off the network are refused before
  // anything is sent, unless the user means them.
  protocol::SettingsRecord given;
  if (values.ip) protocol::ParseIpv4(*values.ip, given.ipAddress);
  if (values.mask) protocol::ParseIpv4(*values.mask, given.subnetMask);
  if (!values.force) {
    std::string refusal;
    if (values.ip) refusal = NotAUnitAddress(given.ipAddress);
    if (refusal.empty() && values.mask && !Contiguous(given.subnetMask)) {
      refusal = "mask " + protocol::DottedText(given.subnetMask) +
                " is not a run of ones followed by zeros";
    }
    if (!refusal.empty()) return fail(kUsage, refusal + "; --force writes it all the same");
  }

  // Only the values given change; the rest are the unit's own.
  SettingsOutcome outcome;
  const auto before = ReadUnit(mac, options, outcome);
  ReportWarnings(outcome);
  if (outcome.networkUnusable) return fail(kNetworkUnusable, outcome.error);
  if (!before) return fail(kUnitFailed, NoAnswer(mac, options, outcome));
  protocol::SettingsRecord record = before->record;
  if (values.ip) protocol::ParseIpv4(*values.ip, record.ipAddress);
  if (values.mask) protocol::ParseIpv4(*values.mask, record.subnetMask);
  if (values.gateway) protocol::ParseIpv4(*values.gateway, record.gateway);
  if (values.port) record.port = static_cast<std::uint16_t>(*values.port);
  if (values.t) record.t = static_cast<std::uint8_t>(*values.t);
  if (const std::string refusal = Unreachable(record); !refusal.empty() && !values.force) {
    return fail(kUsage, refusal + "; nothing written; --force writes it all the same");
  }
  if (!OnItsSubnet(record.gateway, record)) {
    Warn("gateway " + protocol::DottedText(record.gateway) + " lies outside the unit's subnet " +
         protocol::DottedText(record.ipAddress) + "/" + std::to_string(PrefixLength(record)));
  }
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
    return fail(kUnitFailed, "read-back: " + NoAnswer(mac, options, readOutcome));
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
