#include "unit_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "cli/checks.h"
#include "protocol/text_format.h"
#include "protocol/unit_address.h"

namespace lampunit {

namespace {

// "kind" or "kind:argument"; an argument, where given, may not be empty.
struct FaultText {
  std::string_view kind;
  std::optional<std::string_view> argument;
};

FaultText SplitFault(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return {text, std::nullopt};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

bool ParseTcpFault(std::string_view text, UnitOptions& options) {
  static constexpr std::pair<std::string_view, TcpFault> kPlain[] = {
      {"silent", TcpFault::kSilent},
      {"close", TcpFault::kCloseAtOnce},
      {"reset", TcpFault::kResetAtOnce},
      {"long", TcpFault::kLongReply},
  };
  const auto [kind, argument] = SplitFault(text);
  for (const auto& [name, fault] : kPlain) {
    if (kind == name) {
      options.tcpFault = fault;
      return !argument;
    }
  }
  if (kind == "short") {
    options.tcpFault = TcpFault::kShortReply;
    return argument && protocol::ParseNumber(*argument, 0, 8, options.shortReplyBytes);
  }
  if (kind == "late") {
    options.tcpFault = TcpFault::kLateReply;
    return argument && protocol::ParseNumber(*argument, 0, 60000, options.lateReplyMs);
  }
  return false;
}

bool ParseUdpFault(std::string_view text, UnitOptions& options) {
  static constexpr std::pair<std::string_view, UdpFault> kPlain[] = {
      {"empty", UdpFault::kEmpty},       {"short", UdpFault::kShort},
      {"oversize", UdpFault::kOversize}, {"garbage", UdpFault::kGarbage},
      {"stray", UdpFault::kStray},       {"ignore-writes", UdpFault::kIgnoreWrites},
  };
  const auto [kind, argument] = SplitFault(text);
  for (const auto& [name, fault] : kPlain) {
    if (kind == name) {
      options.udpFault = fault;
      return !argument;
    }
  }
  if (kind == "flood") {
    options.udpFault = UdpFault::kFlood;
    return !argument || protocol::ParseNumber(*argument, 1, 600000, options.floodMs);
  }
  return false;
}

bool ParseMacOption(std::string_view text, UnitOptions& options) {
  return protocol::ParseMac(text, options.mac);
}

// An option whose text one parse function both checks, so that a bad value is
// refused with its reason before anything runs, and then applies.
using OptionParse = bool (*)(std::string_view, UnitOptions&);
void AddParsedOption(CLI::App& app, UnitOptions& options, const std::string& name,
                     OptionParse parse, const std::string& help, const std::string& typeName,
                     const std::string& refusal) {
  app.add_option_function<std::string>(
         name, [&options, parse](const std::string& text) { parse(text, options); }, help)
      ->type_name(typeName)
      ->check(CLI::Validator(
          [parse, refusal](std::string& text) {
            UnitOptions scratch;
            return parse(text, scratch) ? std::string() : refusal + ": '" + text + "'";
          },
          typeName));
}

}  // namespace

void AddUnitOptions(CLI::App& app, UnitOptions& options) {
  app.add_option("--address", options.address,
                 "Address of the (first) unit, A.B.C.D (default 192.168.10.200)")
      ->type_name("A")
      ->check(platform::Ipv4Check());
  app.add_option("--port", options.tcpPort, "TCP lamp port, 1 to 65535 (default 20000)")
      ->type_name("P")
      ->check(CLI::Range(1, 65535));
  app.add_option("--count", options.count,
                 "Units at consecutive addresses and MAC addresses, 1 to 4000 (default 1)")
      ->type_name("N")
      ->check(CLI::Range(1, 4000));
  app.add_option("--model", options.model, "Model byte the unit answers with, 0 to 255 (default 0)")
      ->type_name("M")
      ->check(CLI::Range(0, 255));
  AddParsedOption(app, options, "--mac", ParseMacOption,
                  "MAC address of the (first) unit, 0.80.194.1.2.1 or 00:50:c2:01:02:01 (default "
                  "0.80.194.1.2.1)",
                  "MAC", "not a MAC address");
  AddParsedOption(app, options, "--tcp-fault", ParseTcpFault,
                  "Act as a broken unit on TCP: silent (never answer), close or reset (right "
                  "after accepting), long (answer 12 bytes), short:K (answer K bytes, 0 to 8), "
                  "late:MS (answer after MS ms, 0 to 60000)",
                  "FAULT", "not a TCP fault");
  AddParsedOption(app, options, "--udp-fault", ParseUdpFault,
                  "Act as a broken unit on UDP: empty or garbage (a datagram before each answer), "
                  "short or oversize (answers cut or too long), stray (answer every READ), "
                  "ignore-writes, flood[:MS] (a datagram every 50 ms for MS ms, 1 to 600000, "
                  "default 5000)",
                  "FAULT", "not a UDP fault");
  app.add_option("--idle-timeout", options.idleTimeoutMs,
                 "Close a TCP connection that sends no complete frame for this long, 100 to "
                 "600000 ms (default 5000)")
      ->type_name("MS")
      ->check(CLI::Range(100, 600000));
  app.add_option(
         "--max-connections", options.maxConnections,
         "Open TCP connections a unit keeps at the most; an idle one makes room for a new one, "
         "1 to 1000 (default 64)")
      ->type_name("N")
      ->check(CLI::Range(1, 1000));
  app.add_flag_function(
      "--no-udp", [&options](std::int64_t) { options.udp = false; },
      "Serve no settings port (UDP 50000)");
}

std::string CheckUnitOptions(const UnitOptions& options) {
  // The last unit's address and MAC address must not run past the end.
  std::array<std::uint8_t, 4> first{};
  protocol::ParseIpv4(options.address, first);
  std::uint64_t address = 0, mac = 0;
  for (std::uint8_t byte : first) address = address << 8 | byte;
  for (std::uint8_t byte : options.mac) mac = mac << 8 | byte;
  const std::uint64_t more = static_cast<std::uint64_t>(options.count) - 1;
  if (address + more > 0xFFFFFFFFull) {
    return "--count " + std::to_string(options.count) + " from " + options.address +
           " runs past 255.255.255.255";
  }
  if (mac + more > 0xFFFFFFFFFFFFull) {
    return "--count " + std::to_string(options.count) + " from MAC " +
           protocol::MacColonText(options.mac) + " runs past ff:ff:ff:ff:ff:ff";
  }
  return "";
}

int ParseUnitCommandLine(int argc, char** argv, const char* program, const char* description,
                         UnitOptions& options) {
  CLI::App app{description, program};
  app.set_version_flag("--version", std::string(LAMP_VERSION), "Print the version and exit");
  AddUnitOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    if (failure.get_exit_code() == 0) return app.exit(failure);  // --help, --version
    std::fprintf(stderr, "%s: %s\nRun '%s --help' for the options.\n", program,
                 protocol::PrintableText(failure.what(), 400).c_str(), program);
    return 2;
  }
  if (const std::string error = CheckUnitOptions(options); !error.empty()) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 2;
  }
  return -1;
}

}  // namespace lampunit
