// lampctl: the suite from the command line, for scripts, SSH sessions and
// many units at once. This file wires the command line (CLI11) to the
// commands: the broadcast ones in settings_commands, the lamp ones in
// lamp_commands.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli/checks.h"
#include "lamp_commands.h"
#include "net/socket_layer.h"
#include "report.h"
#include "settings_commands.h"
#include "unit_list.h"

namespace {

using namespace lampctl;

const std::map<std::string, std::string> kUsageLines = {
    {"find", "lampctl find [--json] [--interface NAME]... [--wait MS]"},
    {"read", "lampctl read MAC [--json] [--interface NAME]..."},
    {"write",
     "lampctl write MAC [--ip A.B.C.D] [--mask A.B.C.D] [--gateway A.B.C.D] [--port N] [--t N]\n"
     "              [--no-confirm] [--force] [--json] [--interface NAME]..."},
    {"status", "lampctl status UNIT... [--json] [--parallel N] [--timeout MS]"},
    {"set", "lampctl set UNIT LAMP=STATE... [sound=N|sound=off] [--model N] [--json]"},
    {"reset", "lampctl reset UNIT [--json]"},
    {"poll", "lampctl poll (UNIT... | --from FILE) [--json] [--parallel N] [--timeout MS]"},
};

const CLI::Validator kAssignmentCheck(
    [](std::string& text) {
      std::string error;
      return ParseAssignment(text, error) ? std::string() : error;
    },
    "LAMP=STATE");

std::vector<protocol::UnitAddress> Units(const std::vector<std::string>& texts, bool allowRange) {
  std::vector<protocol::UnitAddress> units;
  std::string error;
  for (const std::string& text : texts) {
    protocol::ParseUnit(text, allowRange, units, error);  // checked
  }
  return units;
}

int UsageError(const std::string& command, const std::string& message) {
  Warn(message);
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

// Output that could not be written is a failure, with its reason; a reader
// that went away (a closed pipe) ends the program quietly before this.
int FinishOutput(int status) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  const int reason = errno;
  Warn("cannot write the output: " +
       (reason ? platform::ReasonText(std::error_code(reason, std::generic_category()))
               : std::string("write error")));
  return status == kOk ? kUnitFailed : status;
}

int Run(int argc, char** argv) {
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

  BroadcastOptions broadcast;
  LampExchangeOptions lamp;
  bool json = false;
  int waitMs = 200, timeoutMs = 300;
  auto addJson = [&](CLI::App* command) {
    command->add_flag("--json", json, "Print one JSON document instead of columns");
  };
  auto addInterfaces = [&](CLI::App* command) {
    command
        ->add_option("--interface", broadcast.interfaces,
                     "Broadcast out of this interface only (repeat for more); default: every "
                     "adapter that is up and can broadcast")
        ->type_name("NAME")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  auto addLampOptions = [&](CLI::App* command) {
    command->add_option("--parallel", lamp.parallel, "Units asked at the same time (default 256)")
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
      ->check(platform::MacCheck());
  addJson(read);
  addInterfaces(read);

  WriteValues values;
  CLI::App* write = app.add_subcommand(
      "write", "Change the given network settings of the unit with MAC, then read them back");
  write->add_option("MAC", macText, "The unit's MAC address, in any form read takes")
      ->required()
      ->check(platform::MacCheck());
  write->add_option("--ip", values.ip, "New IP address")->check(platform::Ipv4Check());
  write->add_option("--mask", values.mask, "New subnet mask")->check(platform::Ipv4Check());
  write->add_option("--gateway", values.gateway, "New gateway")->check(platform::Ipv4Check());
  write->add_option("--port", values.port, "New TCP lamp port")
      ->type_name("N")
      ->check(CLI::Range(1, 65535));
  write->add_option("--t", values.t, "New T value (MT in NetAssign)")
      ->type_name("N")
      ->check(CLI::Range(0, 255));
  write->add_flag("--no-confirm", values.noConfirm, "Do not read the unit back after writing");
  write->add_flag("--force", values.force,
                  "Write settings that would take the unit off the network all the same");
  addJson(write);
  addInterfaces(write);
  write->footer(
      "Values not given stay as the unit holds them. Exit 0 when the unit, read back, holds what "
      "was written; 1 naming each value that differs. Settings that would take the unit off the "
      "network (an ip of 0.0.0.0, broadcast, loopback, multicast, or its subnet's network or "
      "broadcast address; a mask that is not a run of ones; port 0) are refused with exit 2 "
      "unless --force is given; a gateway outside the unit's subnet is warned about. Most units "
      "apply new settings only after a restart: until then they still answer at their old "
      "address.");

  std::vector<std::string> unitTexts;
  CLI::App* status = app.add_subcommand("status", "Read the lamps and sound of each unit");
  status->add_option("UNIT", unitTexts, "ADDRESS[:PORT], port 20000 when left out")
      ->required()
      ->check(platform::UnitCheck(false));
  addJson(status);
  addLampOptions(status);

  std::string unitText;
  std::vector<std::string> assignments;
  int model = 0;
  CLI::App* set =
      app.add_subcommand("set", "Set lamps and the sound of one unit, as the console does");
  set->add_option("UNIT", unitText, "ADDRESS[:PORT], port 20000 when left out")
      ->required()
      ->check(platform::UnitCheck(false));
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
      ->check(platform::UnitCheck(false));
  addJson(reset);

  std::string fromFile;
  CLI::App* poll = app.add_subcommand(
      "poll", "Read the state of many units at once: one line a unit, in the order given");
  poll->add_option("UNIT", unitTexts,
                   "ADDRESS[:PORT] or a last-octet range 192.168.10.1-254[:PORT]")
      ->check(platform::UnitCheck(true));
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
  broadcast.wait = std::chrono::milliseconds(waitMs);
  broadcast.json = json;
  lamp.timeout = std::chrono::milliseconds(timeoutMs);
  lamp.json = json;
  platform::RaiseDescriptorLimit();

  if (command == "find") return Find(broadcast);
  if (command == "read") return Read(broadcast, macText);
  if (command == "write") {
    if (!values.Any()) {
      return UsageError(command, "nothing to write: give --ip, --mask, --gateway, --port or --t");
    }
    return Write(broadcast, macText, values);
  }
  if (command == "status") return Status(lamp, Units(unitTexts, false), protocol::StatusRequest(0));
  if (command == "set") {
    std::string error;
    const auto codes = ParseAssignments(assignments, error);
    if (!codes) return UsageError(command, error);
    return Status(lamp, Units({unitText}, false), protocol::WriteRequest(model, *codes));
  }
  if (command == "reset") {
    return Status(lamp, Units({unitText}, false), protocol::ResetRequest(0));
  }
  // poll
  if (unitTexts.empty() == fromFile.empty()) {
    return UsageError(command, "give either units or --from FILE");
  }
  std::vector<protocol::UnitAddress> units = Units(unitTexts, true);
  if (!fromFile.empty()) {
    std::string error;
    if (!ReadUnitFile(fromFile, units, error)) return UsageError(command, error);
  }
  if (units.size() > kUnitLimit) {
    return UsageError(command, "more than " + std::to_string(kUnitLimit) + " units");
  }
  return Poll(lamp, units);
}

}  // namespace

int main(int argc, char** argv) { return FinishOutput(Run(argc, argv)); }
