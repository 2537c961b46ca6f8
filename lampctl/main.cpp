// lampctl: the suite from the command line, for scripts, SSH sessions and
// many units at once. Parsing, calling and printing; the exchanges are our
// socket layer's and the records protocol/'s.
#include <CLI/CLI.hpp>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lamp_commands.h"
#include "output.h"
#include "settings_commands.h"
#include "socket_layer.h"
#include "text_format.h"
#include "unit_list.h"

namespace {

using namespace lampctl;
using json = nlohmann::ordered_json;

// Exit statuses.
constexpr int kOk = 0;
constexpr int kUnitFailed = 1;  // a unit did not answer, refused, or a check failed
constexpr int kUsage = 2;
constexpr int kNetworkUnusable = 3;  // no socket, nothing could be sent

const std::map<std::string, std::string> kUsageLines = {
    {"find", "lampctl find [--json] [--interface NAME]... [--wait MS]"},
    {"read", "lampctl read MAC [--json] [--interface NAME]..."},
    {"write",
     "lampctl write MAC [--ip A.B.C.D] [--mask A.B.C.D] [--gateway A.B.C.D] [--port N] [--t N]\n"
     "              [--no-confirm] [--json] [--interface NAME]..."},
    {"status", "lampctl status UNIT... [--json] [--parallel N] [--timeout MS]"},
    {"set", "lampctl set UNIT LAMP=STATE... [sound=N|sound=off] [--model N] [--json]"},
    {"reset", "lampctl reset UNIT [--json]"},
    {"poll", "lampctl poll (UNIT... | --from FILE) [--json] [--parallel N] [--timeout MS]"},
};

void Warn(const std::string& text) { std::cerr << "lampctl: " << text << '\n'; }

void PrintJson(const json& document) { std::cout << document.dump(2) << '\n'; }

// --- what the options check before anything is sent

CLI::Validator UnitCheck(bool allowRange) {
  return CLI::Validator(
      [allowRange](std::string& text) {
        std::vector<UnitAddress> units;
        std::string error;
        return ParseUnit(text, allowRange, units, error) ? std::string() : error;
      },
      allowRange ? "UNIT|RANGE" : "UNIT");
}

const CLI::Validator kMacCheck(
    [](std::string& text) {
      protocol::MacBytes mac{};
      return protocol::ParseMac(text, mac) ? std::string() : "not a MAC address: '" + text + "'";
    },
    "MAC");

const CLI::Validator kAddressCheck(
    [](std::string& text) {
      protocol::IpBytes address{};
      return protocol::ParseIpv4(text, address) ? std::string()
                                                : "not an IPv4 address: '" + text + "'";
    },
    "A.B.C.D");

// LAMP=STATE or sound=N|off, as a frame position and code.
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
  for (int lamp = 0; lamp < protocol::kLampCount; ++lamp) {
    if (name != kLampNames[lamp]) continue;
    if (value == "on") return std::pair{lamp, protocol::kLampOn};
    if (value == "off") return std::pair{lamp, protocol::kLampOff};
    if (value == "blink") return std::pair{lamp, protocol::kLampBlink};
    error = "a lamp is on, off or blink: '" + text + "'";
    return std::nullopt;
  }
  error = "not a lamp (red, yellow, green, blue, white) or sound: '" + text + "'";
  return std::nullopt;
}

const CLI::Validator kAssignmentCheck(
    [](std::string& text) {
      std::string error;
      return ParseAssignment(text, error) ? std::string() : error;
    },
    "LAMP=STATE");

std::vector<UnitAddress> Units(const std::vector<std::string>& texts, bool allowRange) {
  std::vector<UnitAddress> units;
  std::string error;
  for (const std::string& text : texts) ParseUnit(text, allowRange, units, error);  // checked
  return units;
}

// --- the commands

struct Common {
  bool json = false;
  BroadcastOptions broadcast;
  LampExchangeOptions lamp;
};

int ReportUnusable(const SettingsOutcome& outcome) {
  Warn(outcome.error);
  return kNetworkUnusable;
}

void ReportWarnings(const SettingsOutcome& outcome) {
  for (const std::string& warning : outcome.warnings) Warn(warning);
}

int Find(const Common& common) {
  SettingsOutcome outcome;
  const auto units = FindUnits(common.broadcast, outcome);
  ReportWarnings(outcome);
  if (common.json) {
    json list = json::array();
    for (const UnitSettings& unit : units) list.push_back(SettingsJson(unit));
    PrintJson(list);
  } else if (!units.empty()) {
    PrintSettingsTable(std::cout, units);
  }
  if (outcome.networkUnusable) return ReportUnusable(outcome);
  if (units.empty()) {
    Warn("no unit answered within " + std::to_string(common.broadcast.wait.count()) + " ms");
    return kUnitFailed;
  }
  return kOk;
}

std::string NoAnswer(const protocol::MacBytes& mac, const Common& common) {
  return protocol::MacColonText(mac) + ": no answer within " +
         std::to_string(common.broadcast.wait.count()) + " ms";
}

int Read(const Common& common, const std::string& macText) {
  protocol::MacBytes mac{};
  protocol::ParseMac(macText, mac);
  SettingsOutcome outcome;
  const auto unit = ReadUnit(mac, common.broadcast, outcome);
  ReportWarnings(outcome);
  const std::string error = outcome.networkUnusable ? outcome.error : NoAnswer(mac, common);
  if (common.json) {
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

struct WriteValues {
  std::optional<std::string> ip, mask, gateway;
  std::optional<int> port, t;
  bool noConfirm = false;
};

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

int Write(const Common& common, const std::string& macText, const WriteValues& values) {
  protocol::MacBytes mac{};
  protocol::ParseMac(macText, mac);
  json document = {{"mac", protocol::MacColonText(mac)}, {"ok", false}};
  auto fail = [&](int status, const std::string& error) {
    Warn(error);
    document["error"] = error;
    if (common.json) PrintJson(document);
    return status;
  };

  // Only the values given change; the rest are the unit's own.
  SettingsOutcome outcome;
  const auto before = ReadUnit(mac, common.broadcast, outcome);
  ReportWarnings(outcome);
  if (outcome.networkUnusable) return fail(kNetworkUnusable, outcome.error);
  if (!before) return fail(kUnitFailed, NoAnswer(mac, common));
  protocol::SettingsRecord record = before->record;
  if (values.ip) protocol::ParseIpv4(*values.ip, record.ipAddress);
  if (values.mask) protocol::ParseIpv4(*values.mask, record.subnetMask);
  if (values.gateway) protocol::ParseIpv4(*values.gateway, record.gateway);
  if (values.port) record.port = static_cast<std::uint16_t>(*values.port);
  if (values.t) record.t = static_cast<std::uint8_t>(*values.t);
  const UnitSettings written{record, before->from};
  document["written"] = SettingsJson(written);

  SettingsOutcome writeOutcome;
  const bool acknowledged = WriteUnit(record, common.broadcast, writeOutcome);
  ReportWarnings(writeOutcome);
  if (writeOutcome.networkUnusable) return fail(kNetworkUnusable, writeOutcome.error);
  document["acknowledged"] = acknowledged;
  if (!common.json) {
    std::cout << protocol::MacColonText(mac) << ": wrote ip "
              << protocol::DottedText(record.ipAddress) << ", mask "
              << protocol::DottedText(record.subnetMask) << ", gateway "
              << protocol::DottedText(record.gateway) << ", port " << record.port << ", t "
              << int{record.t} << (acknowledged ? "" : " (no acknowledgement)") << '\n';
  }
  if (values.noConfirm) {
    document["confirmed"] = nullptr;
    document["ok"] = true;
    if (common.json) PrintJson(document);
    return kOk;
  }

  SettingsOutcome readOutcome;
  const auto after = ReadUnit(mac, common.broadcast, readOutcome);
  ReportWarnings(readOutcome);
  if (readOutcome.networkUnusable) return fail(kNetworkUnusable, readOutcome.error);
  if (!after) {
    document["confirmed"] = false;
    return fail(kUnitFailed, "read-back: " + NoAnswer(mac, common));
  }
  const auto differences = Differences(record, after->record);
  document["confirmed"] = differences.empty();
  document["differences"] = differences;
  document["ok"] = differences.empty();
  if (common.json) PrintJson(document);
  if (differences.empty()) {
    if (!common.json) std::cout << "read back: the unit holds what was written\n";
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

int Status(const Common& common, const std::vector<UnitAddress>& units,
           const protocol::LampFrame& frame) {
  const auto answers = ExchangeFrame(units, frame, common.lamp);
  const int status = LampStatus(answers);
  if (common.json) {
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

int Poll(const Common& common, const std::vector<UnitAddress>& units) {
  const auto answers = ExchangeFrame(units, StatusFrame(), common.lamp);
  if (common.json) {
    json list = json::array();
    for (const UnitAnswer& answer : answers) list.push_back(AnswerJson(answer));
    PrintJson(list);
  } else {
    PrintPollTable(std::cout, answers, UseColour());
  }
  return LampStatus(answers);
}

int UsageError(const std::string& command, const std::string& message) {
  std::cerr << "lampctl: " << message << '\n';
  const auto usage = kUsageLines.find(command);
  if (usage != kUsageLines.end()) {
    std::cerr << "usage: " << usage->second << '\n';
  } else {
    std::cerr << "usage: lampctl COMMAND [OPTIONS]; commands: find read write status set reset "
                 "poll\n";
  }
  std::cerr << "Run 'lampctl " << (command.empty() ? "" : command + " ") << "--help' for more.\n";
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "lampctl: find networked signal-lamp units, read and write their network settings, and "
      "read and set their lamps and sound, from scripts and SSH sessions.",
      "lampctl"};
  app.set_version_flag("--version", std::string(LAMP_VERSION), "Print the version and exit");
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 all went well; 1 a unit did not answer, refused, or a check failed; 2 usage "
      "error; 3 the network could not be used at all.\nRun 'lampctl COMMAND --help' for a "
      "command's options; see lampctl(1).");

  Common common;
  int waitMs = 200, timeoutMs = 300;
  auto addJson = [&](CLI::App* command) {
    command->add_flag("--json", common.json, "Print one JSON document instead of columns");
  };
  auto addInterfaces = [&](CLI::App* command) {
    command
        ->add_option("--interface", common.broadcast.interfaces,
                     "Broadcast out of this interface only (repeat for more); default: every "
                     "adapter that is up and can broadcast")
        ->type_name("NAME")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  auto addLampOptions = [&](CLI::App* command) {
    command
        ->add_option("--parallel", common.lamp.parallel,
                     "Units asked at the same time (default 256)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    command
        ->add_option("--timeout", timeoutMs,
                     "Time for a unit's reply once the request is sent (default 300)")
        ->type_name("MS")
        ->check(CLI::Range(1, 60000));
  };

  CLI::App* find = app.add_subcommand(
      "find", "Broadcast a Mac Find and list each unit that answers, once, in MAC order");
  addJson(find);
  addInterfaces(find);
  find->add_option("--wait", waitMs,
                   "End the collection this long after the last answer (default 200)")
      ->type_name("MS")
      ->check(CLI::Range(1, 60000));

  std::string macText;
  CLI::App* read = app.add_subcommand("read", "Read the network settings of the unit with MAC");
  read->add_option("MAC", macText,
                   "00:50:c2:01:02:0a, 00-50-C2-01-02-0A or NetAssign's 0.80.194.1.2.10")
      ->required()
      ->check(kMacCheck);
  addJson(read);
  addInterfaces(read);

  WriteValues values;
  CLI::App* write = app.add_subcommand(
      "write", "Change the given network settings of the unit with MAC, then read them back");
  write->add_option("MAC", macText, "The unit's MAC address, in any form read takes")
      ->required()
      ->check(kMacCheck);
  write->add_option("--ip", values.ip, "New IP address")->check(kAddressCheck);
  write->add_option("--mask", values.mask, "New subnet mask")->check(kAddressCheck);
  write->add_option("--gateway", values.gateway, "New gateway")->check(kAddressCheck);
  write->add_option("--port", values.port, "New TCP lamp port")
      ->type_name("N")
      ->check(CLI::Range(1, 65535));
  write->add_option("--t", values.t, "New T value (MT in NetAssign)")
      ->type_name("N")
      ->check(CLI::Range(0, 255));
  write->add_flag("--no-confirm", values.noConfirm, "Do not read the unit back after writing");
  addJson(write);
  addInterfaces(write);
  write->footer(
      "Values not given stay as the unit holds them. Exit 0 when the unit, read back, holds what "
      "was written; 1 naming each value that differs. Most units apply new settings only after a "
      "restart: until then they still answer at their old address.");

  std::vector<std::string> unitTexts;
  CLI::App* status = app.add_subcommand("status", "Read the lamps and sound of each unit");
  status->add_option("UNIT", unitTexts, "ADDRESS[:PORT], port 20000 when left out")
      ->required()
      ->check(UnitCheck(false));
  addJson(status);
  addLampOptions(status);

  std::string unitText;
  std::vector<std::string> assignments;
  int model = 0;
  CLI::App* set =
      app.add_subcommand("set", "Set lamps and the sound of one unit, as the console does");
  set->add_option("UNIT", unitText, "ADDRESS[:PORT], port 20000 when left out")
      ->required()
      ->check(UnitCheck(false));
  set->add_option("ASSIGNMENT", assignments,
                  "LAMP=STATE (red, yellow, green, blue, white; on, off, blink) or sound=1..5|off")
      ->required()
      ->check(kAssignmentCheck);
  set->add_option("--model", model, "Model byte of the frame, 0 to 7 (default 0)")
      ->type_name("N")
      ->check(CLI::Range(0, 7));
  addJson(set);
  set->footer("What is not named stays as it is on the unit (code 0x64).");

  CLI::App* reset = app.add_subcommand("reset", "Turn every lamp and the sound of one unit off");
  reset->add_option("UNIT", unitText, "ADDRESS[:PORT], port 20000 when left out")
      ->required()
      ->check(UnitCheck(false));
  addJson(reset);

  std::string fromFile;
  CLI::App* poll = app.add_subcommand(
      "poll", "Read the state of many units at once: one line a unit, in the order given");
  poll->add_option("UNIT", unitTexts,
                   "ADDRESS[:PORT] or a last-octet range 192.168.10.1-254[:PORT]")
      ->check(UnitCheck(true));
  poll->add_option("--from", fromFile, "A file of units or ranges, one a line, # comments")
      ->type_name("FILE");
  addJson(poll);
  addLampOptions(poll);

  std::string command;
  try {
    app.parse(argc, argv);
    command = app.get_subcommands().front()->get_name();
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    const auto parsed = app.get_subcommands();
    return UsageError(parsed.empty() ? "" : parsed.front()->get_name(), error.what());
  }
  common.broadcast.wait = std::chrono::milliseconds(waitMs);
  common.lamp.timeout = std::chrono::milliseconds(timeoutMs);
  platform::RaiseDescriptorLimit();

  if (command == "find") return Find(common);
  if (command == "read") return Read(common, macText);
  if (command == "write") {
    if (!values.ip && !values.mask && !values.gateway && !values.port && !values.t) {
      return UsageError(command, "nothing to write: give --ip, --mask, --gateway, --port or --t");
    }
    return Write(common, macText, values);
  }
  if (command == "status") return Status(common, Units(unitTexts, false), StatusFrame());
  if (command == "set") {
    std::string error;
    std::optional<protocol::LampFrame> frame;
    std::vector<int> named;
    for (const std::string& text : assignments) {
      const auto [lamp, code] = *ParseAssignment(text, error);
      if (std::find(named.begin(), named.end(), lamp) != named.end()) {
        return UsageError(command, "'" + text.substr(0, text.find('=')) + "' is named twice");
      }
      named.push_back(lamp);
      if (!frame) {
        frame = protocol::BuildLampFrame(lamp, code, model, false, false);
      } else {
        (*frame)[protocol::kFirstLampByte + lamp] = code;
      }
    }
    return Status(common, Units({unitText}, false), protocol::WireFrame(*frame));
  }
  if (command == "reset") return Status(common, Units({unitText}, false), ResetFrame(0));
  // poll
  if (unitTexts.empty() == fromFile.empty()) {
    return UsageError(command, "give either units or --from FILE");
  }
  std::vector<UnitAddress> units = Units(unitTexts, true);
  if (!fromFile.empty()) {
    std::string error;
    if (!ReadUnitFile(fromFile, units, error)) return UsageError(command, error);
  }
  return Poll(common, units);
}
