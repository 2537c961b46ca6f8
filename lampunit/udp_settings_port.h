// The units' UDP settings port 50000: answers a find-MAC broadcast with the
// unit's MAC address, a read with its settings, and stores a write, when the
// request names the unit's MAC address. Replies go from the unit's own
// address to the requester, port 50001. One socket serves every unit of the
// process; several processes may serve the same port side by side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/event_loop.h"
#include "net/socket_layer.h"
#include "protocol/settings_frame.h"
#include "unit_log.h"
#include "unit_options.h"

namespace lampunit {

// What a unit stores and answers with.
struct UnitSettings {
  std::string address;                 // the address it serves on, as text
  protocol::IpBytes servingAddress{};  // the same; replies come from here
  protocol::SettingsRecord stored;     // MAC, address, mask, gateway, port, T
};

class UdpSettingsPort {
 public:
  UdpSettingsPort(platform::EventLoop& loop, const UnitOptions& options,
                  std::vector<UnitSettings*> units, UnitLog& log);
  UdpSettingsPort(const UdpSettingsPort&) = delete;
  UdpSettingsPort& operator=(const UdpSettingsPort&) = delete;

  bool Open(std::string& error);

 private:
  void OnDatagram();
  void Answer(UnitSettings& unit, char second, const platform::SocketAddress& requester);
  void SendFrom(const UnitSettings& unit, const std::vector<std::uint8_t>& bytes,
                const platform::SocketAddress& to);
  void Flood(const UnitSettings& unit, platform::SocketAddress to,
             platform::EventLoop::Clock::time_point until);

  platform::EventLoop& loop_;
  const UnitOptions& options_;
  std::vector<UnitSettings*> units_;
  UnitLog& log_;
  platform::Socket socket_;
  bool flooding_ = false;
};

}  // namespace lampunit
