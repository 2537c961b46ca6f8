// The simulated units of one process: their settings and lamp state, their
// TCP lamp ports and the shared UDP settings port, served by one loop. The
// lampunit program runs it as it is; the tower runs it on a thread of its
// own and draws what it is told. No Qt here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lamp_state.h"
#include "net/event_loop.h"
#include "tcp_lamp_port.h"
#include "udp_settings_port.h"
#include "unit_log.h"
#include "unit_options.h"

namespace lampunit {

// How a unit looks from outside, for those who draw it.
struct UnitIdentity {
  std::string address;
  std::uint16_t port = 0;
  protocol::MacBytes mac{};
  std::uint8_t model = 0;
};

class UnitEngine {
 public:
  explicit UnitEngine(const UnitOptions& options);
  ~UnitEngine();
  UnitEngine(const UnitEngine&) = delete;
  UnitEngine& operator=(const UnitEngine&) = delete;

  // Opens every port; false with `error` when one cannot be had. Logs the
  // ready line once all are open.
  bool Open(std::string& error);
  // Serves until Stop (from any thread).
  void Run();
  void Stop();

  std::vector<UnitIdentity> Identities() const;
  // Called on the serving thread with a unit's index and its state (a 'W'
  // reply) whenever a write changed it, before the unit answers.
  void OnStateChange(std::function<void(int unit, const protocol::LampFrame& state)> observer);

 private:
  struct SimulatedUnit {
    UnitSettings settings;
    LampState state;
    std::unique_ptr<TcpLampPort> tcp;
  };

  UnitOptions options_;
  UnitLog log_;
  platform::EventLoop loop_;
  std::vector<std::unique_ptr<SimulatedUnit>> units_;
  std::unique_ptr<UdpSettingsPort> udp_;
};

}  // namespace lampunit
