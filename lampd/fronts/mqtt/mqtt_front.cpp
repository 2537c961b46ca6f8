// The MQTT front: a command topic and its payload become a request on the
// command path; what is refused or not answered goes to the error topic
// (each one, while the broker keeps up; dropped and counted past that).
#include "mqtt_front.h"

namespace lampd {
namespace {

constexpr std::size_t kErrorPayloadShown = 200;

// The client a payload names, where it is an object that names one: its
// refusals are tallied as that client's.
std::string ClientOf(std::string_view payload) {
  if (payload.empty() || payload.front() != '{') return "";
  const Json parsed = Json::parse(payload, nullptr, false);
  return TextOf(parsed, "client");
}

}  // namespace

MqttFront::MqttFront(platform::EventLoop& loop, const Config& config, LogLimiter& log, Plant& plant,
                     BrokerPeers& peers)
    : loop_(loop),
      config_(config),
      log_(log),
      plant_(plant),
      peers_(peers),
      topics_(config.mqtt.baseTopic, config.mqtt.discoveryPrefix) {
  for (const GroupConfig& group : config.groups) groups_.insert(group.name);
}

bool MqttFront::Start(std::string& error) {
  const MqttConfig& mqtt = config_.mqtt;
  MqttOptions options;
  options.host = mqtt.host;
  options.port = mqtt.port;
  options.tls = mqtt.tls;
  options.caFile = mqtt.caFile;
  options.clientId = mqtt.clientId;
  options.username = mqtt.username;
  options.password = mqtt.password;
  options.keepaliveSeconds = mqtt.keepaliveSeconds;
  options.willTopic = topics_.Name(TopicKind::kBridgeState, config_.name);
  options.willPayload = "offline";
  connection_ = std::make_unique<MqttConnection>(
      loop_, options,
      MqttConnection::Handlers{[this] { OnConnected(); },
                               [](const std::string& why) { Log("broker: " + why); },
                               [this](const std::string& topic, std::string_view payload) {
                                 OnMessage(topic, payload);
                               }});
  return connection_->Start(error);
}

void MqttFront::Stop() {
  if (connection_) connection_->Disconnect();
}

bool MqttFront::Connected() const { return connection_ && connection_->Connected(); }

bool MqttFront::Publish(TopicKind kind, const std::string& name, std::string_view payload,
                        bool retain) {
  return Connected() && connection_->Publish(topics_.Name(kind, name), payload, 1, retain);
}

void MqttFront::OnConnected() {
  Log("broker: connected to " + config_.mqtt.host + ":" + std::to_string(config_.mqtt.port));
  for (const std::string& pattern : topics_.Subscriptions()) connection_->Subscribe(pattern, 1);
  // Home Assistant may have lost its descriptions with the broker: told again.
  for (auto& [id, told] : told_) told.described.reset();
  peers_.OnBrokerConnected();
}

void MqttFront::OnMessage(const std::string& topic, std::string_view payload) {
  const auto parsed = topics_.Parse(topic);
  if (!parsed) return;
  if (payload.size() > Topics::Limit(parsed->kind)) {
    ++droppedMessages_;
    log_.Say("dropped", "a message of " + std::to_string(payload.size()) + " bytes on " + topic +
                            " dropped unread: over " + std::to_string(Topics::Limit(parsed->kind)) +
                            " bytes");
    const std::string why = "payload of " + std::to_string(payload.size()) + " bytes, over 4 KiB";
    if ((parsed->kind == TopicKind::kUnitSet || parsed->kind == TopicKind::kUnitSetField) &&
        plant_.Reaches(parsed->name) == Plant::Reach::kHere) {
      PublishError(TopicKind::kUnitError, parsed->name, why, payload);
    } else if ((parsed->kind == TopicKind::kGroupSet ||
                parsed->kind == TopicKind::kGroupSetField) &&
               groups_.contains(parsed->name)) {
      PublishError(TopicKind::kGroupError, parsed->name, why, payload);
    }
    return;
  }
  switch (parsed->kind) {
    case TopicKind::kHomeAssistant:
      return OnHomeAssistant(payload);
    case TopicKind::kBridgeState:
      return peers_.OnBridgeState(parsed->name, payload);
    case TopicKind::kUnitState:
      return peers_.OnStateSeen(parsed->name, payload, OurEcho(parsed->name, payload));
    case TopicKind::kUnitAvailability:
      SeeAvailability(parsed->name, payload);
      return peers_.OnAvailabilitySeen(parsed->name, payload);
    case TopicKind::kFindRequest:
      return peers_.OnFindAsked();
    default:
      return OnCommand(*parsed, payload);
  }
}

void MqttFront::OnCommand(const ParsedTopic& topic, std::string_view payload) {
  Request request;
  request.origin = Origin::kMqtt;
  request.name = topic.name;
  const bool group = topic.kind == TopicKind::kGroupSet || topic.kind == TopicKind::kGroupSetField;
  request.target = group ? Request::Target::kGroup : Request::Target::kUnit;
  const TopicKind errorKind = group ? TopicKind::kGroupError : TopicKind::kUnitError;

  if (group) {
    if (!groups_.contains(topic.name)) {
      log_.Say("group", "group " + topic.name + ": not in this instance's [groups]; passed over");
      return;
    }
  } else if (const Plant::Reach reach = plant_.Reaches(topic.name); reach != Plant::Reach::kHere) {
    // Another instance's unit is none of ours to answer for; an id no
    // instance serves is told about.
    if (reach == Plant::Reach::kNowhere) {
      const std::string why = "no instance serves a unit with id " + topic.name;
      plant_.Refuse(Origin::kMqtt, topic.name, false, why, ClientOf(payload));
      PublishError(errorKind, topic.name, why, payload);
    }
    return;
  }

  std::string why;
  bool parsed = true;
  switch (topic.kind) {
    case TopicKind::kUnitGet:
      request.read = true;
      break;
    case TopicKind::kUnitAck:
      parsed = ParseAck(payload, request.command, why);
      break;
    case TopicKind::kUnitSet:
    case TopicKind::kGroupSet:
      parsed = ParseCommand(payload, "mqtt", request.command, why);
      break;
    case TopicKind::kUnitSetField:
    case TopicKind::kGroupSetField:
      parsed = ParseField(topic.field, payload, "mqtt", request.command, why);
      break;
    default:
      return;
  }
  if (!parsed) {
    plant_.Refuse(Origin::kMqtt, topic.name, group, why, ClientOf(payload));
    return PublishError(errorKind, topic.name, why, payload);
  }
  request.client = request.command.client;
  if (request.command.relayedBy == config_.name) return;  // our own, passed on to the others
  request.relayed = !request.command.relayedBy.empty();
  plant_.Submit(std::move(request), [this, errorKind, name = topic.name](const Outcome& outcome) {
    if (outcome.summarised) return;  // a flood over its share is told once a second
    if (outcome.refusal != Outcome::Refusal::kNone) {
      return PublishError(errorKind, name, outcome.why, "");
    }
    for (const auto& [id, why] : outcome.failed) PublishError(TopicKind::kUnitError, id, why, "");
  });
}

void MqttFront::PublishError(TopicKind kind, const std::string& name, const std::string& why,
                             std::string_view payload) {
  log_.Say("refused", (kind == TopicKind::kGroupError ? "group " : "unit ") + name + ": " + why);
  if (!Connected()) return;
  const Json error = {{"error", why}, {"payload", CutUtf8(payload, kErrorPayloadShown)}};
  connection_->Publish(topics_.Name(kind, name), Dump(error), 1, false, true);
}

void MqttFront::OnEvent(const Json& line, const std::string& text) {
  const std::string unit = TextOf(line, "unit");
  if (unit.empty() || !Connected()) return;
  // Events are dropped, and counted, while the broker falls behind.
  connection_->Publish(topics_.Name(TopicKind::kUnitEvent, unit), text, 1, false, true);
}

void MqttFront::WriteMetrics(MetricsText& out) const {
  const bool made = connection_ != nullptr;
  out.Family("lampd_mqtt_connected", "gauge", "Whether lampd is connected to its broker.");
  out.Sample("lampd_mqtt_connected", {}, Connected() ? 1 : 0);
  out.Family("lampd_mqtt_dropped_total", "counter",
             "Messages dropped unread for being over their topic's size.");
  out.Sample("lampd_mqtt_dropped_total", {}, static_cast<double>(droppedMessages_));
  out.Family("lampd_mqtt_events_dropped_total", "counter",
             "Event and error messages dropped while " +
                 std::to_string(MqttConnection::kMostUnacknowledged) +
                 " messages waited for the broker's acknowledgement.");
  out.Sample("lampd_mqtt_events_dropped_total", {},
             made ? static_cast<double>(connection_->Dropped()) : 0);
  out.Family("lampd_mqtt_inbox_dropped_total", "counter",
             "Messages dropped unread while " + std::to_string(MqttConnection::kMostWaiting) +
                 " messages (or 8 MiB) waited to be handled.");
  out.Sample("lampd_mqtt_inbox_dropped_total", {},
             made ? static_cast<double>(connection_->DroppedIn()) : 0);
  out.Family("lampd_mqtt_unacknowledged", "gauge",
             "Messages published at QoS 1 that the broker has not acknowledged yet.");
  out.Sample("lampd_mqtt_unacknowledged", {},
             made ? static_cast<double>(connection_->Unacknowledged()) : 0);
}

}  // namespace lampd
