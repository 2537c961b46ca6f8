// The service: a plant's units kept on MQTT. It polls every unit it serves
// on the event loop, publishes each state (retained) when it changes and
// each unit's availability, takes commands from the broker and answers with
// the unit's reply, finds units by broadcast, and describes every unit to
// Home Assistant. Several instances share one broker (or bridged brokers);
// each serves its own units and knows the others' from their states.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "config.h"
#include "mqtt_connection.h"
#include "net/broadcast.h"
#include "net/event_loop.h"
#include "net/tcp_exchanges.h"
#include "protocol/lamp_frame.h"
#include "protocol/settings_frame.h"

namespace lampd {

// One line a event on standard error, with the unit and the reason.
void Log(const std::string& line);

class Service {
 public:
  Service(platform::EventLoop& loop, Config config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool Start(std::string& error);
  // Says "offline" for the bridge and leaves the broker cleanly.
  void Stop();

 private:
  struct Unit {
    std::string id;
    protocol::UnitAddress address;
    std::optional<protocol::MacBytes> mac;
    std::optional<int> model;  // configured; else what the unit reports
    std::optional<protocol::LampFrame> state;
    int missed = 0;
    std::optional<bool> online;               // as last published
    bool busy = false;                        // an exchange is under way
    std::deque<protocol::LampFrame> waiting;  // commands behind it
    std::string servedBy;     // another instance that serves it, when it is not ours
    bool discovered = false;  // Home Assistant has its description for the model known
  };

  // The broker.
  void OnConnected();
  void OnMessage(const std::string& topic, std::string_view payload);
  void PublishState(Unit& unit);
  void PublishAvailability(Unit& unit, bool online);
  void PublishDiscovery(Unit& unit);
  void PublishError(const std::string& id, const std::string& why, std::string_view payload);
  std::string Topic(const std::string& rest) const { return config_.mqtt.baseTopic + "/" + rest; }

  // The units.
  void PollAll();
  void Exchange(Unit& unit, const protocol::LampFrame& request, bool command);
  void OnResult(const std::string& id, const platform::TcpExchangeResult& result, bool command);
  void TakeResult(Unit& unit, const platform::TcpExchangeResult& result, bool command);
  void Find(bool answer);
  void OnFound(const protocol::SettingsRecord& record);
  void OnCommand(const std::string& id, const std::string& what, std::string_view payload);
  int ModelOf(const Unit& unit) const;

  platform::EventLoop& loop_;
  Config config_;
  std::unique_ptr<MqttConnection> mqtt_;
  platform::TcpExchangeClient exchanges_;
  std::map<std::string, Unit> units_;
  std::set<std::string> elsewhere_;  // ids other instances serve
  std::unique_ptr<platform::BroadcastChannel> finding_;
  bool answerFind_ = false;
  platform::EventLoop::TimerId pollTimer_ = 0, findTimer_ = 0;
};

}  // namespace lampd
