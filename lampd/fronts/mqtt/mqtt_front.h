// The MQTT front: the plant's message bus. It owns the connection to the
// broker; turns the command topics into requests on the plant's one
// command path and tells what is refused on the error topics; publishes
// the states and availability of the units served here (retained, each
// echo known for certain), their events, and Home Assistant's description
// of each. What the broker says of other instances (their bridge states,
// the units' states they publish) and Mac Find's requests are no front's:
// they go on to the broker's peers, the service.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "lampd/config/config.h"
#include "lampd/core/log.h"
#include "lampd/core/metrics.h"
#include "lampd/core/plant.h"
#include "mqtt_connection.h"
#include "net/event_loop.h"
#include "topics.h"

namespace lampd {

// What the broker carries besides the front's own topics, handed on as it comes.
class BrokerPeers {
 public:
  virtual ~BrokerPeers() = default;
  // Connected (again): the front has subscribed; what the broker may have
  // lost meanwhile is the peers' to publish again.
  virtual void OnBrokerConnected() = 0;
  virtual void OnBridgeState(const std::string& instance, std::string_view payload) = 0;
  // A retained state on unit `id`'s topic; `ours`: the echo of one this front published.
  virtual void OnStateSeen(const std::string& id, std::string_view payload, bool ours) = 0;
  virtual void OnAvailabilitySeen(const std::string& id, std::string_view payload) = 0;
  virtual void OnFindAsked() = 0;
};

class MqttFront : public PlantListener {
 public:
  MqttFront(platform::EventLoop& loop, const Config& config, LogLimiter& log, Plant& plant,
            BrokerPeers& peers);
  // False with `error` when the client cannot be made (bad TLS files).
  bool Start(std::string& error);
  void Stop();
  bool Connected() const;
  // Topic `kind` of `name`, at QoS 1; false (and dropped) while not connected.
  bool Publish(TopicKind kind, const std::string& name, std::string_view payload, bool retain);
  void WriteMetrics(MetricsText& out) const;

  void OnUnitState(const std::string& id, const Json& state) override;
  void OnUnitAvailability(const std::string& id, bool online) override;
  void OnUnitChanged(const std::string& id) override;
  void OnEvent(const Json& line, const std::string& text) override;

 private:
  using SteadyClock = std::chrono::steady_clock;
  // What this front told of a unit served here.
  struct Told {
    // States published (hashed) whose echo has not come back yet, and when.
    std::deque<std::pair<std::size_t, SteadyClock::time_point>> published;
    std::optional<Json> waiting;        // a change that waits for an echo to make room
    std::deque<bool> availabilitySent;  // online or not, published, whose echo has not come
    std::optional<bool> online;         // as last told
    std::optional<int> described;       // the model Home Assistant has the description of
  };

  void OnConnected();
  void OnMessage(const std::string& topic, std::string_view payload);
  // mqtt_front.cpp: a command topic and its payload.
  void OnCommand(const ParsedTopic& topic, std::string_view payload);
  // To BASE/ID/error or BASE/group/NAME/error.
  void PublishError(TopicKind kind, const std::string& name, const std::string& why,
                    std::string_view payload);
  // publishing.cpp: states and availability, and what stands on their topics.
  void PublishState(const std::string& id, Told& told, const Json& state);
  bool OurEcho(const std::string& id, std::string_view payload);
  // An availability word on a unit's topic: our echo, or put right when it says otherwise.
  void SeeAvailability(const std::string& id, std::string_view payload);
  void PublishAvailability(const std::string& id, Told& told, bool online);
  // discovery.cpp: Home Assistant's description of a unit, once its model is known.
  void Describe(const std::string& id, Told& told, int model);
  void OnHomeAssistant(std::string_view payload);

  platform::EventLoop& loop_;
  const Config& config_;
  LogLimiter& log_;
  Plant& plant_;
  BrokerPeers& peers_;
  Topics topics_;
  std::set<std::string> groups_;  // this instance's [groups]
  std::unique_ptr<MqttConnection> connection_;
  std::map<std::string, Told> told_;   // by unit id
  std::uint64_t droppedMessages_ = 0;  // over their topic's size, unread
};

}  // namespace lampd
