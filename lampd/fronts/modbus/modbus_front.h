// The Modbus front: a PLC's registers onto the plant's one command path. It
// owns the server, the register map and the slots (by number, by the MAC
// address they name, and the ids other instances serve those by), and
// reaches the units only through the plant.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "lampd/config/config.h"
#include "lampd/core/log.h"
#include "lampd/core/metrics.h"
#include "lampd/core/plant.h"
#include "modbus_map.h"
#include "modbus_server.h"
#include "net/event_loop.h"

namespace lampd {

class ModbusFront : public PlantListener {
 public:
  ModbusFront(platform::EventLoop& loop, const ModbusConfig& config, LogLimiter& log, Plant& plant);
  bool Start(std::string& error);
  void Stop();
  void WriteMetrics(MetricsText& out) const;
  // A state another instance published: the id a MAC slot reaches its unit by.
  void OnPeerState(const std::string& id, const Json& state) override;
  // One whole request of `client`, as the server hands it on.
  ModbusAnswer Answer(const ModbusRequest& request, const protocol::IpBytes& client);

 private:
  modbus::Block Inputs(int slot);
  // The id a unit slot's commands name: its [[unit]] id, the id of the unit
  // with its MAC address here, or the id another instance serves it by.
  std::string SlotUnitId(const ModbusSlot& slot) const;

  const ModbusConfig& config_;
  LogLimiter& log_;
  Plant& plant_;
  ModbusMap map_;
  ModbusServer server_;
  std::map<int, const ModbusSlot*> slots_;
  std::multimap<protocol::MacBytes, int> slotsByMac_;
  std::map<int, std::string> slotIds_;
};

}  // namespace lampd
