#include "unit_engine.h"

#include <csignal>

#include "net/socket_layer.h"
#include "protocol/text_format.h"

namespace lampunit {
namespace {

UnitSettings InitialSettings(const protocol::IpBytes& address, const protocol::MacBytes& mac,
                             const UnitOptions& options) {
  UnitSettings settings;
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

// The bytes as one big-endian number, plus `offset`, carried leftwards.
template <std::size_t N>
std::array<std::uint8_t, N> Plus(std::array<std::uint8_t, N> bytes, int offset) {
  for (int i = static_cast<int>(N) - 1; i >= 0 && offset > 0; --i) {
    const int sum = bytes[i] + offset;
    bytes[i] = static_cast<std::uint8_t>(sum & 0xFF);
    offset = sum >> 8;
  }
  return bytes;
}

}  // namespace

UnitEngine::UnitEngine(const UnitOptions& options) : options_(options) {
  // A log reader that went away must not end the units with it.
  std::signal(SIGPIPE, SIG_IGN);
  protocol::IpBytes first{};
  protocol::ParseIpv4(options_.address, first);  // checked with the options
  for (int i = 0; i < options_.count; ++i) {
    auto unit = std::make_unique<SimulatedUnit>(
        SimulatedUnit{InitialSettings(Plus(first, i), Plus(options_.mac, i), options_),
                      LampState(options_.model), nullptr});
    unit->tcp =
        std::make_unique<TcpLampPort>(loop_, options_, unit->settings.address, unit->state, log_);
    units_.push_back(std::move(unit));
  }
}

UnitEngine::~UnitEngine() = default;

bool UnitEngine::Open(std::string& error) {
  // Each unit holds a few sockets; hundreds of them need more than the
  // usual 1024 descriptors.
  platform::RaiseDescriptorLimit();
  if (!loop_) {
    error = "cannot start the event loop: " + platform::ReasonText(loop_.Reason());
    return false;
  }
  std::vector<UnitSettings*> settings;
  for (auto& unit : units_) {
    if (!unit->tcp->Open(error)) return false;
    settings.push_back(&unit->settings);
  }
  if (options_.udp) {
    udp_ = std::make_unique<UdpSettingsPort>(loop_, options_, settings, log_);
    if (!udp_->Open(error)) return false;
  }
  log_.Event(options_.address, "ready, " + std::to_string(units_.size()) + " unit(s), tcp port " +
                                   std::to_string(options_.tcpPort) +
                                   (options_.udp ? ", udp port 50000" : ""));
  return true;
}

void UnitEngine::Run() { loop_.Run(); }

void UnitEngine::Stop() { loop_.Stop(); }

std::vector<UnitIdentity> UnitEngine::Identities() const {
  std::vector<UnitIdentity> identities;
  for (const auto& unit : units_) {
    identities.push_back(
        {unit->settings.address, options_.tcpPort, unit->settings.stored.mac, options_.model});
  }
  return identities;
}

void UnitEngine::OnStateChange(
    std::function<void(int unit, const protocol::LampFrame& state)> observer) {
  for (std::size_t i = 0; i < units_.size(); ++i) {
    units_[i]->state.OnChange(
        [observer, i](const protocol::LampFrame& state) { observer(static_cast<int>(i), state); });
  }
}

}  // namespace lampunit
