#include "lamp_commands.h"

#include <algorithm>

#include "net/tcp_exchanges.h"
#include "output.h"
#include "report.h"

namespace lampctl {
namespace {

// The exit status of lamp exchanges: 3 when no socket could be made at all.
int LampStatus(const std::vector<UnitAnswer>& answers) {
  bool allNoSocket = !answers.empty(), anyFailed = false;
  for (const UnitAnswer& answer : answers) {
    allNoSocket = allNoSocket && answer.noSocket;
    anyFailed = anyFailed || !answer.ok;
  }
  if (allNoSocket) return kNetworkUnusable;
  return anyFailed ? kUnitFailed : kOk;
}

void ReportFailures(const std::vector<UnitAnswer>& answers) {
  for (const UnitAnswer& answer : answers) {
    if (!answer.ok) Warn(answer.unit.Text() + ": " + answer.error);
  }
}

}  // namespace

std::vector<UnitAnswer> ExchangeFrame(const std::vector<protocol::UnitAddress>& units,
                                      const protocol::LampFrame& frame,
                                      const LampExchangeOptions& options) {
  std::vector<platform::TcpExchange> exchanges;
  for (const protocol::UnitAddress& unit : units) {
    exchanges.push_back({platform::SocketAddress::FromBytes(unit.address, unit.port),
                         std::vector<std::uint8_t>(frame.begin(), frame.end())});
  }
  platform::TcpExchangeLimits limits;
  limits.connect = kConnectLimit;
  limits.reply = options.timeout;
  limits.replySize = protocol::kFrameSize;
  limits.parallel = options.parallel;
  const auto results = platform::RunTcpExchanges(exchanges, limits);

  std::vector<UnitAnswer> answers;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const platform::TcpExchangeResult& result = results[i];
    UnitAnswer answer;
    answer.unit = units[i];
    answer.ok = result.ok;
    answer.noSocket = result.failedAt == platform::TcpExchangeResult::Step::kSocket;
    answer.seconds = result.elapsed.count();
    if (result.ok) {
      std::copy(result.reply.begin(), result.reply.end(), answer.reply.begin());
    } else {
      answer.error = result.Reason();
    }
    answers.push_back(answer);
  }
  return answers;
}

std::optional<std::pair<int, std::uint8_t>> ParseAssignment(const std::string& text,
                                                            std::string& error) {
  const auto equals = text.find('=');
  const std::string name = text.substr(0, equals);
  const std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
  if (name == "sound") {
    if (value == "off") return std::pair{protocol::kSoundLamp, protocol::kSoundOff};
    if (value.size() == 1 && value[0] >= '1' && value[0] <= '5') {
      return std::pair{protocol::kSoundLamp, static_cast<std::uint8_t>(value[0] - '0')};
    }
    error = "sound takes 1 to 5 or off: '" + text + "'";
    return std::nullopt;
  }
  const auto lamp = protocol::LampNumberOf(name);
  if (!lamp) {
    error = "not a lamp (red, yellow, green, blue, white) or sound: '" + text + "'";
    return std::nullopt;
  }
  const auto code = protocol::LampCodeOf(value);
  if (!code) {
    error = "a lamp is on, off or blink: '" + text + "'";
    return std::nullopt;
  }
  return std::pair{*lamp, *code};
}

int Status(const LampExchangeOptions& options, const std::vector<protocol::UnitAddress>& units,
           const protocol::LampFrame& frame) {
  const auto answers = ExchangeFrame(units, frame, options);
  const int status = LampStatus(answers);
  if (options.json) {
    json list = json::array();
    for (const UnitAnswer& answer : answers) list.push_back(AnswerJson(answer));
    PrintJson(units.size() == 1 ? list[0] : json{{"ok", status == kOk}, {"units", list}});
  } else {
    const bool colour = UseColour();
    for (const UnitAnswer& answer : answers) {
      if (answer.ok) PrintUnitState(std::cout, answer, colour);
    }
  }
  ReportFailures(answers);
  return status;
}

int Poll(const LampExchangeOptions& options, const std::vector<protocol::UnitAddress>& units) {
  const auto answers = ExchangeFrame(units, protocol::StatusRequest(0), options);
  if (options.json) {
    json list = json::array();
    for (const UnitAnswer& answer : answers) list.push_back(AnswerJson(answer));
    PrintJson(list);
  } else {
    PrintPollTable(std::cout, answers, UseColour());
  }
  return LampStatus(answers);
}

std::optional<protocol::LampCodes> ParseAssignments(const std::vector<std::string>& texts,
                                                    std::string& error) {
  protocol::LampCodes codes = protocol::kLeaveAllUnchanged;
  std::vector<int> named;
  for (const std::string& text : texts) {
    const auto assignment = ParseAssignment(text, error);
    if (!assignment) return std::nullopt;
    const auto [lamp, code] = *assignment;
    if (std::find(named.begin(), named.end(), lamp) != named.end()) {
      error = "'" + text.substr(0, text.find('=')) + "' is named twice";
      return std::nullopt;
    }
    named.push_back(lamp);
    codes[lamp] = code;
  }
  return codes;
}

}  // namespace lampctl
