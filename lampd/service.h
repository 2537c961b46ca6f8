// The service: a plant's units kept on MQTT. It polls every unit it serves
// on the event loop, publishes each state (retained) when it changes and
// each unit's availability, takes commands from the broker and answers with
// the unit's reply, finds units by broadcast, and describes every unit to
// Home Assistant. Several instances share one broker (or bridged brokers);
// each serves its own units and knows the others' from their states.
// Commands may be leases that expire and outrank each other (kept in a
// state file across restarts), may go to groups, and may come over HTTP,
// where the service also serves its metrics and Alertmanager's webhook.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "config.h"
#include "http_server.h"
#include "leases.h"
#include "metrics.h"
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
  // `statePath`: where leases are kept; empty: not kept.
  Service(platform::EventLoop& loop, Config config, std::string statePath = "");
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool Start(std::string& error);
  // Says "offline" for the bridge and leaves the broker cleanly.
  void Stop();

 private:
  // Told how the frame a command sent fared: empty `why` when the unit answered.
  using Done = std::function<void(const std::string& why)>;
  struct Waiting {
    protocol::LampFrame frame;
    Done done;
  };

  struct Unit {
    std::string id;
    protocol::UnitAddress address;
    std::optional<protocol::MacBytes> mac;
    std::optional<int> model;  // configured; else what the unit reports
    std::optional<protocol::LampFrame> state;
    int missed = 0;
    std::optional<bool> online;   // as last published
    bool busy = false;            // an exchange is under way
    std::deque<Waiting> waiting;  // commands behind it
    UnitSignals signals;          // its baseline and leases
    bool strayed = false;         // told of showing other than its leases
    std::uint64_t exchanges = 0;  // for the metrics
    std::map<std::string, std::uint64_t> failures;
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
  void Exchange(Unit& unit, const protocol::LampFrame& request, bool command, Done done = {});
  void OnResult(const std::string& id, const platform::TcpExchangeResult& result, bool command,
                const Done& done);
  void TakeResult(Unit& unit, const platform::TcpExchangeResult& result, bool command);
  void Find(bool answer);
  void OnFound(const protocol::SettingsRecord& record);
  void OnCommand(const std::string& id, const std::string& what, std::string_view payload);
  void OnGroupCommand(const std::string& name, const std::string& what, std::string_view payload);
  int ModelOf(const Unit& unit) const;

  // Leases and baselines. Apply refuses (with the reason) or takes the
  // command and sends what it changes; `done` hears how the frame fared.
  // A lease is logged unless `quiet` (a group's is logged once for all).
  std::optional<std::string> Apply(Unit& unit, const Command& command, Done done,
                                   bool quiet = false);
  // Sends what the unit should show where it shows otherwise (and what
  // `named` names whatever it shows); `done` at once when nothing need go.
  void SendWanted(Unit& unit, const protocol::LampCodes& named, bool heldOnly, Done done);
  void LeasesChanged(Unit& unit);
  void ArmExpiry(WallClock::time_point when);
  void OnExpiry();
  void SaveSoon();
  void Save();
  std::vector<Unit*> Members(const GroupConfig& group);
  const GroupConfig* GroupNamed(const std::string& name) const;
  // Passes a group's (or another instance's unit's) command on over MQTT.
  void Relay(const std::string& topic, Command command);
  nlohmann::ordered_json StateJson(const Unit& unit) const;
  // "a lease of ci, priority 5, for 10m" or "a clear of ci"; "" for the rest.
  static std::string LeaseText(const Command& command);

  // HTTP (service_http.cpp).
  nlohmann::ordered_json HttpState(const Unit& unit) const;  // the state, and whether it answers
  void OnHttp(const HttpRequest& request, std::function<void(HttpAnswer)> answer);
  void PutUnit(const std::string& id, const std::string& body,
               std::function<void(HttpAnswer)> answer);
  void PostGroup(const std::string& name, const std::string& body,
                 std::function<void(HttpAnswer)> answer);
  HttpAnswer OnAlerts(const std::string& body);
  std::string Metrics() const;

  platform::EventLoop& loop_;
  Config config_;
  std::unique_ptr<MqttConnection> mqtt_;
  platform::TcpExchangeClient exchanges_;
  std::map<std::string, Unit> units_;
  std::set<std::string> elsewhere_;  // ids other instances serve
  std::unique_ptr<platform::BroadcastChannel> finding_;
  bool answerFind_ = false;
  platform::EventLoop::TimerId pollTimer_ = 0, findTimer_ = 0, expiryTimer_ = 0;
  std::optional<WallClock::time_point> expiryAt_;

  std::string statePath_;
  std::map<std::string, UnitSignals> unplaced_;  // kept leases of units not found yet
  std::uint64_t serial_ = 0;                     // the last lease's
  bool saveQueued_ = false, saveFailing_ = false;

  std::unique_ptr<HttpServer> http_;
  Histogram exchangeSeconds_;
  std::map<std::string, std::uint64_t> commands_;  // by channel
};

}  // namespace lampd
