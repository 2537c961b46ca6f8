// lampunit: a simulated lamp unit (or many) for tests, benchmarks and demos.
// Serves the TCP lamp port and the UDP settings port on its own address and
// logs every frame that crosses the wire.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "lamp_state.h"
#include "reactor.h"
#include "socket_layer.h"
#include "tcp_lamp_port.h"
#include "text_format.h"
#include "udp_settings_port.h"
#include "unit_log.h"
#include "unit_options.h"

namespace {

struct SimulatedUnit {
  lampunit::UnitSettings settings;
  lampunit::LampState state;
  std::unique_ptr<lampunit::TcpLampPort> tcp;
};

lampunit::UnitSettings InitialSettings(const protocol::IpBytes& address,
                                       std::array<std::uint8_t, 6> mac,
                                       const lampunit::UnitOptions& options) {
  lampunit::UnitSettings settings;
  settings.address = protocol::DottedText(address);
  settings.servingAddress = address;
  settings.stored.mac = mac;
  settings.stored.ipAddress = address;
  settings.stored.subnetMask = {255, 255, 255, 0};
  settings.stored.gateway = {address[0], address[1], address[2], 1};
  settings.stored.port = options.tcpPort;
  settings.stored.t = options.model;
  return settings;
}

protocol::IpBytes AddressPlus(protocol::IpBytes address, int offset) {
  for (int i = 3; i >= 0 && offset > 0; --i) {
    const int sum = address[i] + offset;
    address[i] = static_cast<std::uint8_t>(sum & 0xFF);
    offset = sum >> 8;
  }
  return address;
}

std::array<std::uint8_t, 6> MacPlus(std::array<std::uint8_t, 6> mac, int offset) {
  for (int i = 5; i >= 0 && offset > 0; --i) {
    const int sum = mac[i] + offset;
    mac[i] = static_cast<std::uint8_t>(sum & 0xFF);
    offset = sum >> 8;
  }
  return mac;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "lampunit: one or many simulated lamp units, for tests, benchmarks and demos. Each serves "
      "its TCP lamp port on its own address and the UDP settings port 50000, and writes a line "
      "for every frame it receives and sends. Run it on a network of your own: scripts/private-net "
      "gives one.",
      "lampunit"};
  app.set_version_flag("--version", std::string(LAMP_VERSION), "Print the version and exit");
  auto options = std::make_optional<lampunit::UnitOptions>();
  lampunit::AddUnitOptions(app, *options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& failure) {
    if (failure.get_exit_code() == 0) return app.exit(failure);  // --help, --version
    std::fprintf(stderr, "lampunit: %s\nRun 'lampunit --help' for the options.\n", failure.what());
    return 2;
  }
  std::string error = lampunit::CheckUnitOptions(*options);
  if (!error.empty()) {
    std::fprintf(stderr, "lampunit: %s\n", error.c_str());
    return 2;
  }

  protocol::IpBytes firstAddress{};
  protocol::ParseIpv4(options->address, firstAddress);  // checked with the options

  platform::RaiseDescriptorLimit();
  lampunit::Reactor reactor;
  std::vector<std::unique_ptr<SimulatedUnit>> units;
  std::vector<lampunit::UnitSettings*> settings;
  for (int i = 0; i < options->count; ++i) {
    auto unit = std::make_unique<SimulatedUnit>(SimulatedUnit{
        InitialSettings(AddressPlus(firstAddress, i), MacPlus(options->mac, i), *options),
        lampunit::LampState(options->model), nullptr});
    unit->tcp = std::make_unique<lampunit::TcpLampPort>(reactor, *options, unit->settings.address,
                                                        unit->state);
    if (!unit->tcp->Open(error)) {
      std::fprintf(stderr, "lampunit: %s\n", error.c_str());
      return 1;
    }
    settings.push_back(&unit->settings);
    units.push_back(std::move(unit));
  }
  std::unique_ptr<lampunit::UdpSettingsPort> udp;
  if (options->udp) {
    udp = std::make_unique<lampunit::UdpSettingsPort>(reactor, *options, settings);
    if (!udp->Open(error)) {
      std::fprintf(stderr, "lampunit: %s\n", error.c_str());
      return 1;
    }
  }
  lampunit::LogEvent(options->address, "ready, " + std::to_string(units.size()) +
                                           " unit(s), tcp port " +
                                           std::to_string(options->tcpPort) +
                                           (options->udp ? ", udp port 50000" : ""));
  reactor.Run();
  return 0;
}
