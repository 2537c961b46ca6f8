// Command line of the simulated lamp unit.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace CLI {
class App;  // the programs that only parse their line need not compile CLI11
}

namespace lampunit {

enum class TcpFault {
  kNone,
  kSilent,      // accept and never answer
  kShortReply,  // answer only the first k bytes
  kLateReply,   // answer after a delay
  kCloseAtOnce,
  kResetAtOnce,
  kLongReply,  // answer more than 8 bytes
};

enum class UdpFault {
  kNone,
  kEmpty,         // an empty datagram before each reply
  kShort,         // replies cut short
  kOversize,      // replies longer than a record
  kGarbage,       // a datagram of noise before each reply
  kFlood,         // datagrams to the requester, every few milliseconds, for a while
  kStray,         // answers every read, whatever MAC address it names, with its own record
  kIgnoreWrites,  // answers a write but keeps its settings
};

struct UnitOptions {
  std::string address = "192.168.10.200";
  std::uint16_t tcpPort = 20000;
  int count = 1;  // units at consecutive addresses and MAC addresses
  std::uint8_t model = 0;
  std::array<std::uint8_t, 6> mac = {0, 80, 194, 1, 2, 1};
  TcpFault tcpFault = TcpFault::kNone;
  int shortReplyBytes = 3;
  int lateReplyMs = 500;
  UdpFault udpFault = UdpFault::kNone;
  int floodMs = 5000;
  bool udp = true;
  int idleTimeoutMs = 5000;  // a TCP connection without a complete frame for this long is closed
  int maxConnections = 64;   // open TCP connections a unit keeps at the most
};

// Adds the unit's options to a command line; each value is checked as it
// is parsed.
void AddUnitOptions(CLI::App& app, UnitOptions& options);

// What the options cannot say one by one: "" when they fit together.
std::string CheckUnitOptions(const UnitOptions& options);

// A unit program's whole command line (--help and --version too) into
// `options`. -1 to go on; otherwise the exit status: 0 after --help or
// --version, 2 after a usage error said on standard error.
int ParseUnitCommandLine(int argc, char** argv, const char* program, const char* description,
                         UnitOptions& options);

}  // namespace lampunit
