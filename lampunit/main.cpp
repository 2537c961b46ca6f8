// lampunit: a simulated lamp unit (or many) for tests, benchmarks and demos.
// Serves the TCP lamp port and the UDP settings port on its own address and
// logs every frame that crosses the wire.
#include <arpa/inet.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "lamp_state.h"
#include "reactor.h"
#include "tcp_lamp_port.h"
#include "unit_log.h"
#include "unit_options.h"

namespace {

struct SimulatedUnit {
  std::string address;
  std::array<std::uint8_t, 6> mac;
  lampunit::LampState state;
  std::unique_ptr<lampunit::TcpLampPort> tcp;
};

std::string AddressPlus(const std::string& base, int offset) {
  in_addr address{};
  inet_pton(AF_INET, base.c_str(), &address);
  address.s_addr = htonl(ntohl(address.s_addr) + static_cast<std::uint32_t>(offset));
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
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
  std::string error;
  auto options = lampunit::ParseUnitOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "lampunit: %s\n%s", error.c_str(), lampunit::kUnitUsage);
    return 2;
  }

  lampunit::Reactor reactor;
  std::vector<std::unique_ptr<SimulatedUnit>> units;
  for (int i = 0; i < options->count; ++i) {
    auto unit = std::make_unique<SimulatedUnit>(SimulatedUnit{
        AddressPlus(options->address, i), MacPlus(options->mac, i),
        lampunit::LampState(options->model), nullptr});
    unit->tcp = std::make_unique<lampunit::TcpLampPort>(reactor, *options, unit->address,
                                                        unit->state);
    if (!unit->tcp->Open(error)) {
      std::fprintf(stderr, "lampunit: %s\n", error.c_str());
      return 1;
    }
    units.push_back(std::move(unit));
  }
  lampunit::LogEvent(options->address, "ready, " + std::to_string(units.size()) +
                                           " unit(s), tcp port " +
                                           std::to_string(options->tcpPort));
  reactor.Run();
  return 0;
}
