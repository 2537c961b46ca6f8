#include "unit_options.h"

#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "text_format.h"

namespace lampunit {

const char* const kUnitUsage =
    "usage: lampunit [--address A] [--port P] [--count N] [--model M] [--mac a.b.c.d.e.f]\n"
    "                [--tcp-fault silent|close|reset|long|short:K|late:MS]\n"
    "                [--udp-fault empty|short|oversize|garbage|stray|\n"
    "                             ignore-writes|flood[:MS]] [--no-udp]\n";

namespace {

bool ParseInt(std::string_view text, int low, int high, int& value) {
  int parsed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool ParseMac(std::string_view text, std::array<std::uint8_t, 6>& mac) {
  for (std::size_t i = 0; i < mac.size(); ++i) {
    const auto dot = text.find('.');
    const bool last = i + 1 == mac.size();
    if (last != (dot == std::string_view::npos)) return false;
    int value = 0;
    if (!ParseInt(text.substr(0, dot), 0, 255, value)) return false;
    mac[i] = static_cast<std::uint8_t>(value);
    if (!last) text.remove_prefix(dot + 1);
  }
  return true;
}

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
    return argument && ParseInt(*argument, 0, 8, options.shortReplyBytes);
  }
  if (kind == "late") {
    options.tcpFault = TcpFault::kLateReply;
    return argument && ParseInt(*argument, 0, 60000, options.lateReplyMs);
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
    return !argument || ParseInt(*argument, 1, 600000, options.floodMs);
  }
  return false;
}

}  // namespace

std::optional<UnitOptions> ParseUnitOptions(int argc, char** argv, std::string& error) {
  UnitOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--no-udp") {
      options.udp = false;
      continue;
    }
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(flag);
      return std::nullopt;
    }
    const std::string_view value = argv[++i];
    int number = 0;
    bool ok = true;
    if (flag == "--address") {
      std::array<std::uint8_t, 4> parsed{};
      ok = protocol::ParseIpv4(value, parsed);
      options.address = value;
    } else if (flag == "--port") {
      ok = ParseInt(value, 1, 65535, number);
      options.tcpPort = static_cast<std::uint16_t>(number);
    } else if (flag == "--count") {
      ok = ParseInt(value, 1, 4000, options.count);
    } else if (flag == "--model") {
      ok = ParseInt(value, 0, 255, number);
      options.model = static_cast<std::uint8_t>(number);
    } else if (flag == "--mac") {
      ok = ParseMac(value, options.mac);
    } else if (flag == "--tcp-fault") {
      ok = ParseTcpFault(value, options);
    } else if (flag == "--udp-fault") {
      ok = ParseUdpFault(value, options);
    } else {
      error = "unknown option " + std::string(flag);
      return std::nullopt;
    }
    if (!ok) {
      error = "bad value for " + std::string(flag) + ": " + std::string(value);
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace lampunit
