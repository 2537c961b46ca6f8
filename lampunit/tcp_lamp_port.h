// The unit's TCP lamp port: one connection per command, an 8-byte frame in,
// the unit's 8-byte state out, with the fault modes tests ask for. It keeps
// serving under abuse: a connection that sends no complete frame for the
// idle time-out is closed, at most `maxConnections` are open (the longest
// idle goes first), and out of descriptors it stops accepting for a moment
// instead of failing on every turn of the loop.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lamp_state.h"
#include "net/event_loop.h"
#include "net/socket_layer.h"
#include "unit_log.h"
#include "unit_options.h"

namespace lampunit {

class TcpLampPort {
 public:
  TcpLampPort(platform::EventLoop& loop, const UnitOptions& options, std::string unitAddress,
              LampState& state, UnitLog& log);
  TcpLampPort(const TcpLampPort&) = delete;
  TcpLampPort& operator=(const TcpLampPort&) = delete;

  bool Open(std::string& error);

 private:
  struct Connection {
    platform::Socket socket;
    std::string peer;
    std::vector<std::uint8_t> received;
    platform::EventLoop::Clock::time_point lastFrame;  // or the accept
  };

  // Takes one waiting connection; false when there was none to take.
  bool OnAccept();
  void PauseAccepting();
  void ResumeAccepting();
  void OnReadable(std::uint64_t id);
  void OnFrame(std::uint64_t id, const protocol::LampFrame& request);
  void SendReply(std::uint64_t id, const protocol::LampFrame& reply);
  void Drop(std::uint64_t id, const std::string& why);
  void CloseIdle();
  void ScheduleIdleCheck();

  platform::EventLoop& loop_;
  const UnitOptions& options_;
  std::string unit_;
  LampState& state_;
  UnitLog& log_;
  platform::Socket listener_;
  bool paused_ = false;
  bool idleCheckDue_ = false;
  std::uint64_t nextId_ = 1;
  std::map<std::uint64_t, Connection> connections_;
};

}  // namespace lampunit
