// lampd's Modbus TCP side, on the service's own loop. Each connection keeps
// one request's bytes at the most (260); a request is answered as soon as
// it is whole, with libmodbus writing the answer (its registers or the
// exception). A client outside `allow`, one past max_clients, a stream
// that is not Modbus, a request begun and not finished within a few
// seconds, a client silent for `idle` and one that does not read its
// answers are closed, each logged with the reason through the limiter. One
// address holds a share of max_clients; past it, or past max_clients, the
// client silent longest makes room.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "lampd/config/config.h"
#include "lampd/core/log.h"
#include "lampd/core/metrics.h"
#include "modbus_map.h"
#include "modbus_request.h"
#include "net/event_loop.h"
#include "net/socket_layer.h"

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace lampd {

class ModbusServer {
 public:
  // A request begun must be whole within this, or its client is closed.
  static constexpr std::chrono::seconds kRequestLimit{5};
  // One address holds a quarter of max_clients at the most (at least one).
  static constexpr std::size_t kShareOfClients = 4;
  // A client silent this long (or half of `idle`, if less) is closed to
  // make room for a new one.
  static constexpr std::chrono::seconds kEvictableAfter{10};

  using Handler =
      std::function<ModbusAnswer(const ModbusRequest&, const protocol::IpBytes& client)>;

  ModbusServer(platform::EventLoop& loop, const ModbusConfig& config, LogLimiter& log,
               Handler handler);
  ~ModbusServer();
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

  bool Start(std::string& error);
  void Stop();
  void WriteMetrics(MetricsText& out) const;

 private:
  struct Connection {
    platform::Socket socket;
    protocol::IpBytes client{};
    ModbusReader reader;
    std::chrono::steady_clock::time_point heard, begun;  // last bytes; the request's first
    platform::EventLoop::TimerId timer = 0;
    std::chrono::steady_clock::time_point timerAt;
  };
  struct ContextFree {
    void operator()(modbus_t* context) const;
  };
  struct MappingFree {
    void operator()(modbus_mapping_t* mapping) const;
  };

  void OnAccept();
  void OnReadable(std::uint64_t id);
  // Answers one whole request; false when the client had to be closed.
  bool Answer(std::uint64_t id, Connection& connection);
  std::chrono::steady_clock::duration RequestLimit() const;
  void ArmTimer(std::uint64_t id, std::chrono::steady_clock::time_point when);
  void OnTimer(std::uint64_t id);
  void Close(std::uint64_t id, std::string_view reason, const std::string& why);
  bool Allowed(const protocol::IpBytes& client) const;
  std::size_t PerClient() const;
  std::chrono::steady_clock::duration EvictableAfter() const;
  // Room for one more from `client`, made by closing an idle connection:
  // false when every connection that would have to go is busy.
  bool MakeRoom(const protocol::IpBytes& client);

  platform::EventLoop& loop_;
  ModbusConfig config_;
  LogLimiter& log_;
  Handler handler_;
  platform::Socket listening_;
  std::map<std::uint64_t, Connection> connections_;
  std::uint64_t nextId_ = 1;
  // libmodbus writes the answers: one context, pointed at each client's
  // socket in turn, and registers for every address, made once at start.
  std::unique_ptr<modbus_t, ContextFree> context_;
  std::unique_ptr<modbus_mapping_t, MappingFree> mapping_;
  std::uint64_t requests_ = 0;
  std::map<int, std::uint64_t> exceptions_;                   // by code
  std::map<std::string, std::uint64_t, std::less<>> closed_;  // by reason
};

}  // namespace lampd
